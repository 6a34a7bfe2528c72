// sqnasm and sqndis run as a user runs them.

#include "process_test.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class Companions : public ProcessTest {
protected:
    void writeText(const std::string& name, const std::string& text) const
    {
        writeFile(name, Bytes(text.begin(), text.end()));
    }
};

TEST_F(Companions, AssembleDisassembleRender)
{
    writeText("song.txt", "tempo 120 4\npitch 0 G5\nvolume 0 1.0\nnote 0 4\nwait 0 4\nnote 4 0\nloop-end 0 0\n");
    Result r = runProgram(SQNASM_BINARY, path("song.txt") + " " + path("song.sqn"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(readFile(path("song.sqn")), (Bytes{0x78, 0x04, 0x00, 0x04, 0x28, 0x00, 0x03, 0x80, 0x00, 0x02,
                                                 0x04, 0x00, 0x01, 0x04, 0x04, 0x02, 0x00, 0x00, 0x06, 0x00}));

    r = runProgram(SQNDIS_BINARY, path("song.sqn"));
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("note 4 0                # frame 24004, 0.500083 s\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("sqn2wav writes 47 blocks"), std::string::npos);

    // The listing assembles back to the same song.
    writeText("again.txt", r.out);
    EXPECT_EQ(runProgram(SQNASM_BINARY, path("again.txt") + " " + path("again.sqn")).status, 0);
    EXPECT_EQ(readFile(path("again.sqn")), readFile(path("song.sqn")));
}

TEST_F(Companions, AssemblyErrorsWriteNothing)
{
    writeText("bad.txt", "tempo 120 4\nnote 0 4\npitch 0 H2\nwait 0\n");
    writeFile("out.sqn", {'o', 'l', 'd'});
    const Result r = runProgram(SQNASM_BINARY, path("bad.txt") + " " + path("out.sqn"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, path("bad.txt") +
                         ":3:9: expected a pitch: a note name D#2 … B8 or an index 0 … 255, found 'H2'\n" +
                         path("bad.txt") + ":4:7: expected rows to wait, 0 … 255, found the end of the line\n");
    EXPECT_EQ(readFile(path("out.sqn")), (Bytes{'o', 'l', 'd'}));

    EXPECT_EQ(runProgram(SQNASM_BINARY, path("bad.txt") + " " + path("new.sqn")).status, 1);
    EXPECT_FALSE(std::filesystem::exists(path("new.sqn")));
}

TEST_F(Companions, UsageAndUnreadableFiles)
{
    Result r = runProgram(SQNASM_BINARY, path("only.txt"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string("usage: ") + SQNASM_BINARY + " <input.txt> <output.sqn>\n");
    r = runProgram(SQNDIS_BINARY, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string("usage: ") + SQNDIS_BINARY + " <input.sqn>\n");

    r = runProgram(SQNASM_BINARY, path("missing.txt") + " " + path("out.sqn"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string(SQNASM_BINARY) + ": cannot read " + path("missing.txt") + "\n");
    r = runProgram(SQNDIS_BINARY, path("missing.sqn"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");

    writeText("song.txt", "tempo 1 1\n");
    r = runProgram(SQNASM_BINARY, path("song.txt") + " " + path("no/dir/out.sqn"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string(SQNASM_BINARY) + ": cannot write " + path("no/dir/out.sqn") + "\n");
}

}  // namespace
