// sqnasm and sqndis run as a user runs them.

#include "process_test.h"

#include <gtest/gtest.h>

#include <algorithm>
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

TEST_F(Companions, CommandLinesBehaveLikeOtherUnixTools)
{
    // Help and version on standard output; a wrong command line is the
    // usage line on standard error.
    for (const char* program : {SQNASM_BINARY, SQNDIS_BINARY}) {
        Result r = runProgram(program, "--help");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind(std::string("usage: ") + program + " <input.", 0), 0u) << r.out;
        EXPECT_NE(r.out.find("- reads standard input"), std::string::npos) << r.out;
        EXPECT_EQ(r.err, "");
        r = runProgram(program, "--version");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, fs::path(program).filename().string() + " 1.0.0\n");
        r = runProgram(program, "--frobnicate x y");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
    }
    Result r = runProgram(SQNASM_BINARY, path("only.txt"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string("usage: ") + SQNASM_BINARY + " <input.txt> <output.sqn>\n");
    r = runProgram(SQNDIS_BINARY, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string("usage: ") + SQNDIS_BINARY + " <input.sqn>\n");

    // Files that cannot be read or written are named with the reason.
    r = runProgram(SQNASM_BINARY, path("missing.txt") + " " + path("out.sqn"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string(SQNASM_BINARY) + ": cannot read " + path("missing.txt") +
                         ": No such file or directory\n");
    r = runProgram(SQNDIS_BINARY, dir_.string());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string(SQNDIS_BINARY) + ": cannot read " + dir_.string() + ": Is a directory\n");
    EXPECT_EQ(r.out, "");
    writeText("song.txt", "tempo 1 1\n");
    r = runProgram(SQNASM_BINARY, path("song.txt") + " " + path("no/dir/out.sqn"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string(SQNASM_BINARY) + ": cannot write " + path("no/dir/out.sqn") +
                         ": No such file or directory\n");
    r = runProgram(std::string("(") + SQNASM_BINARY + " " + path("song.txt") + " - >/dev/full)", "");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string(SQNASM_BINARY) + ": cannot write standard output: No space left on device\n");

    // In a pipe, both ways: a text with a byte order mark and words in any
    // case, assembled to standard output and listed from standard input.
    writeText("mixed.txt", "\xEF\xBB\xBFTempo 120 4\nPITCH 0 g5\nVolume 0 1.0\nNOTE 0 4\nWait 0 4\n"
                           "note 4 0\nLoop-End 0 0\npitch 1 db5\npitch 1 C#5\n");
    const std::string pipe = std::string(SQNASM_BINARY) + " - - <" + path("mixed.txt") + " | " + SQNDIS_BINARY;
    r = runProgram(pipe, "-");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind("# standard input: ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\ntempo 120 4  "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nnote 4 0                # frame 24004, 0.500083 s\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\npitch 1 C#5  "), std::string::npos) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 11) << r.out;

    // Errors in a text from standard input name it, and nothing is written.
    writeText("bad.txt", "\xEF\xBB\xBFtempo 120 4\nnote 0 x\n");
    r = runProgram(SQNASM_BINARY, "- - <" + path("bad.txt"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "<stdin>:2:8: expected a gate length in rows, 0 … 255, found 'x'\n");
    writeText("bom.txt", "\xEF\xBB\xBFtempo 120\n");
    r = runProgram(SQNASM_BINARY, path("bom.txt") + " " + path("bom.sqn"));
    EXPECT_EQ(r.err, path("bom.txt") + ":1:10: expected rows a beat, 0 … 255, found the end of the line\n");
}

}  // namespace
