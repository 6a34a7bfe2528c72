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
        EXPECT_EQ(r.out, fs::path(program).filename().string() + " 1.3.0\n");
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
    // An empty file is an empty song: nothing to list, and no error.
    writeFile("empty.sqn", {});
    r = runProgram(SQNDIS_BINARY, path("empty.sqn"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
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

// An output that is the input, by its name or through a link, is refused
// before either is touched.
TEST_F(Companions, AnOutputThatIsTheInputIsRefused)
{
    const Bytes song{0x78, 0x04, 0x00, 0x02, 0x04, 0x00, 0x01, 0x04};
    const std::string text = "tempo 120 4\nnote 0 4\n";
    writeFile("same.sqn", song);
    writeText("same.txt", text);
    fs::create_symlink("same.sqn", path("link.sqn"));
    struct Case {
        std::string program;
        std::string input;
        std::string output;
        std::string err;
    };
    const std::vector<Case> cases = {
        {SQN2WAV_BINARY, "same.sqn", "same.sqn", "output file is the input file.\n"},
        {SQN2WAV_BINARY, "same.sqn", "link.sqn", "output file is the input file.\n"},
        {SQNASM_BINARY, "same.txt", "same.txt",
         std::string(SQNASM_BINARY) + ": cannot write " + path("same.txt") + ": it is the input\n"},
        {MID2SQN_BINARY, "same.sqn", "link.sqn",
         std::string(MID2SQN_BINARY) + ": cannot write " + path("link.sqn") + ": it is the input\n"},
    };
    for (const Case& c : cases) {
        const Result r = runProgram(c.program, path(c.input) + " " + path(c.output));
        EXPECT_EQ(r.status, 1) << c.program;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(readFile(path("same.sqn")), song);
        EXPECT_EQ(readFile(path("same.txt")), Bytes(text.begin(), text.end()));
        EXPECT_TRUE(fs::is_symlink(path("link.sqn")));
    }
    // Standard input that is the output file.
    const Result r = runProgram(SQNASM_BINARY, "- " + path("same.txt") + " <" + path("same.txt"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(readFile(path("same.txt")), Bytes(text.begin(), text.end()));
}

// However much is wrong, what is printed stays short and cannot play tricks
// on the terminal: the first hundred errors and a count, words quoted up to
// 32 bytes, control characters escaped, names too.
TEST_F(Companions, ErrorsAreBoundedAndQuoted)
{
    std::string text = "tempo 120 4\n";
    for (int i = 0; i < 250; ++i) {
        text += "note 0 x\n";
    }
    writeText("many.txt", text);
    Result r = runProgram(SQNASM_BINARY, path("many.txt") + " " + path("out.sqn"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 101);
    EXPECT_NE(r.err.find(path("many.txt") + ":101:8: expected a gate length"), std::string::npos);
    EXPECT_EQ(r.err.find(":102:8:"), std::string::npos);
    EXPECT_NE(r.err.find(std::string(SQNASM_BINARY) + ": 150 more errors not shown\n"), std::string::npos);

    const std::string newlineName = "two\nlines.txt";
    writeText(newlineName, "tempo 120 4\nnote 0 \x1b[2J\x07\nwait 0 " + std::string(100, '9') +
                               "\nnote 0 a\x01" "b\nnote 0 a\x7f" "b\nwait 0 " + std::string(32, '9') + "\nwait 0 " +
                               std::string(5000, '1') + "\n");
    r = runArgs({SQNASM_BINARY, path(newlineName), path("out.sqn")});
    EXPECT_EQ(r.status, 1);
    const std::string shown = path("two\\nlines.txt");
    EXPECT_EQ(r.err, shown + ":2:8: expected a gate length in rows, 0 … 255, found '\\x1b[2J\\x07'\n" +
                         shown + ":3:8: expected rows to wait, 0 … 255, found '" + std::string(32, '9') + "...'\n" +
                         shown + ":4:8: expected a gate length in rows, 0 … 255, found 'a\\x01b'\n" +
                         shown + ":5:8: expected a gate length in rows, 0 … 255, found 'a\\x7fb'\n" +
                         shown + ":6:8: expected rows to wait, 0 … 255, found '" + std::string(32, '9') + "'\n" +
                         shown + ":7:4097: expected the end of the line within 4096 bytes, found a longer line\n");

    // A song file named so is listed under its escaped name: the name
    // cannot add statements to the listing.
    writeFile("a\nwait 0 9.sqn", {120, 4, 0, 2, 4});
    r = runArgs({SQNDIS_BINARY, path("a\nwait 0 9.sqn")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("# " + path("a\\nwait 0 9.sqn") + ": frames and times", 0), 0u) << r.out;
    r = runArgs({SQNDIS_BINARY, path("missing\x1b]0;x\x07.sqn")});
    EXPECT_EQ(r.err, std::string(SQNDIS_BINARY) + ": cannot read " + path("missing\\x1b]0;x\\x07.sqn") +
                         ": No such file or directory\n");
}

// A stream that never ends is not read without bound: past the largest
// song the programs stop with their failure.
TEST_F(Companions, EndlessInputsStop)
{
    Result r = runArgs({SQN2WAV_BINARY, "/dev/urandom", path("out.wav")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "failed to load .sqn file.\n");
    EXPECT_FALSE(fs::exists(path("out.wav")));
    r = runProgram(SQNDIS_BINARY, "- </dev/urandom");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, std::string(SQNDIS_BINARY) +
                         ": cannot read standard input: longer than the 16777216 bytes a song may hold\n");
    r = runArgs({MID2SQN_BINARY, "/dev/zero", path("out.sqn")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string(MID2SQN_BINARY) + ": cannot read /dev/zero: File too large\n");

    // Endless text: a stream of good lines stops at the song's size limit,
    // an endless line once it is plainly not a line of text, and a stream of
    // bad lines at the line limit.
    r = runProgram("bash", "-c \"(echo tempo 1 1; yes 'wait 0 1') | " SQNASM_BINARY " - " + path("out.sqn") + "\"");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "<stdin>:5592406:1: expected a song of at most 16777216 bytes, found more\n");
    r = runArgs({SQNASM_BINARY, "/dev/zero", path("out.sqn")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "/dev/zero:1:4097: expected the end of the line within 4096 bytes, found a longer line\n");
#if !defined(__SANITIZE_ADDRESS__)  // sixteen million errors take the sanitizers minutes
    r = runProgram("bash", "-c \"yes x | " SQNASM_BINARY " - " + path("out.sqn") + "\"");
    EXPECT_EQ(r.status, 1);
    // The first hundred errors, the one that stopped the reading, the count.
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 102);
    EXPECT_NE(r.err.find("\n<stdin>:16777217:1: expected at most 16777216 lines, found more\n" +
                         std::string(SQNASM_BINARY) + ": 16777116 more errors not shown\n"),
              std::string::npos)
        << r.err.substr(r.err.size() > 400 ? r.err.size() - 400 : 0);
#endif
    EXPECT_FALSE(fs::exists(path("out.sqn")));
}

}  // namespace
