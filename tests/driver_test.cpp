// The sqn2wav binary run as a user runs it: messages, exit statuses, what
// happens to the output file, and the bytes of the WAV it writes.

#include "process_test.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace {

class Sqn2wav : public ProcessTest {
protected:
    Result run(const std::string& args) const { return runProgram(SQN2WAV_BINARY, args); }
};

// The 44-byte header every output starts with, for `dataBytes` of samples.
Bytes header(std::uint32_t dataBytes)
{
    Bytes h;
    auto text = [&](const char* s) { h.insert(h.end(), s, s + 4); };
    auto u32 = [&](std::uint32_t v) {
        for (int i = 0; i < 4; ++i) h.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    auto u16 = [&](std::uint16_t v) {
        h.push_back(static_cast<std::uint8_t>(v));
        h.push_back(static_cast<std::uint8_t>(v >> 8));
    };
    text("RIFF");
    u32(36 + dataBytes);
    text("WAVE");
    text("fmt ");
    u32(16);
    u16(1);
    u16(2);
    u32(48000);
    u32(192000);
    u16(4);
    u16(16);
    text("data");
    u32(dataBytes);
    return h;
}

const Bytes kWorkedExample{0x78, 0x04, 0x00, 0x04, 0x28, 0x00, 0x03, 0x80, 0x00, 0x02,
                           0x04, 0x00, 0x01, 0x04, 0x04, 0x02, 0x00, 0x00, 0x06, 0x00};

TEST_F(Sqn2wav, UsageNamesTheProgram)
{
    for (const std::string& args : std::vector<std::string>{"", path("a.sqn")}) {
        const Result r = run(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, std::string("usage: ") + SQN2WAV_BINARY + " <input.sqn> <output.wav>\n");
        EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(fs::exists(path("a.sqn")));
}

// Options come before the file names: each bad one is one line naming it,
// status 1, and no file; one thread writes the bytes many do.
TEST_F(Sqn2wav, OptionsAreCheckedBeforeAnythingIsWritten)
{
    writeFile("song.sqn", kWorkedExample);
    const std::string program = SQN2WAV_BINARY;
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"--threads 0", "--threads takes a whole number of threads, 1 … 8, found '0'"},
        {"--threads 9", "--threads takes a whole number of threads, 1 … 8, found '9'"},
        {"--threads=abc", "--threads takes a whole number of threads, 1 … 8, found 'abc'"},
        {"--threads=-1", "--threads takes a whole number of threads, 1 … 8, found '-1'"},
        {"--colour red", "no option --colour (options: --threads N)"},
    };
    for (const auto& [options, message] : bad) {
        const Result r = run(options + " " + path("song.sqn") + " " + path("out.wav"));
        EXPECT_EQ(r.status, 1) << options;
        EXPECT_EQ(r.err, program + ": " + message + "\n") << options;
        EXPECT_FALSE(fs::exists(path("out.wav"))) << options;
    }
    Result r = run(path("song.sqn") + " " + path("plain.wav"));
    ASSERT_EQ(r.status, 0);
    for (const char* options : {"--threads 1", "--threads=8", "--threads 2 --"}) {
        r = run(std::string(options) + " " + path("song.sqn") + " " + path("out.wav") + " ignored");
        EXPECT_EQ(r.status, 0) << options << r.err;
        EXPECT_EQ(readFile(path("out.wav")), readFile(path("plain.wav"))) << options;
    }
    // A song named like an option, after --.
    writeFile("--song.sqn", kWorkedExample);
    r = run("-- " + path("--song.sqn") + " " + path("out.wav"));
    EXPECT_EQ(r.status, 0);
    r = run("--threads 1");
    EXPECT_EQ(r.err, "usage: " + program + " <input.sqn> <output.wav>\n");
}

// A song too long for a WAV file (four hours of waits, twice: 8.5 h) is
// refused before anything is written, at once, not after 4 GiB of it.
TEST_F(Sqn2wav, ASongTooLongForAWavIsRefusedAtOnce)
{
    writeFile("long.sqn", {1, 1, 0, 1, 255, 0, 1, 255, 0, 2, 1, 0, 6, 0});
    writeFile("out.wav", {'k', 'e', 'e', 'p'});
    const auto began = std::chrono::steady_clock::now();
    const Result r = run(path("long.sqn") + " " + path("out.wav"));
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count(), 5.0);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "failed to write pcm frames.\n");
    EXPECT_EQ(readFile(path("out.wav")), (Bytes{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(listing(dir_.string()), (std::vector<std::string>{"long.sqn", "out.wav", "stderr.txt", "stdout.txt"}));
}

TEST_F(Sqn2wav, MissingSongCreatesNoOutput)
{
    const Result r = run(path("missing.sqn") + " " + path("out.wav"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "failed to open .sqn file.\n");
    EXPECT_FALSE(fs::exists(path("out.wav")));
}

TEST_F(Sqn2wav, BadSongNeverTouchesTheOutput)
{
    for (const Bytes& song : {Bytes{}, Bytes{120}, Bytes{0, 4, 0, 2, 1}, Bytes{120, 0}}) {
        writeFile("bad.sqn", song);
        fs::remove(path("out.wav"));
        Result r = run(path("bad.sqn") + " " + path("out.wav"));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "failed to load .sqn file.\n");
        EXPECT_FALSE(fs::exists(path("out.wav"))) << song.size() << " bytes";

        writeFile("out.wav", {'k', 'e', 'e', 'p'});
        r = run(path("bad.sqn") + " " + path("out.wav"));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(readFile(path("out.wav")), (Bytes{'k', 'e', 'e', 'p'}));
    }
}

TEST_F(Sqn2wav, UnwritableOutputPath)
{
    writeFile("song.sqn", {120, 4});
    const Result r = run(path("song.sqn") + " " + path("no/such/dir/out.wav"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "failed to open output file.\n");
}

TEST_F(Sqn2wav, FullDiskIsAFailure)
{
    writeFile("song.sqn", kWorkedExample);
    const Result r = run(path("song.sqn") + " /dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "failed to write pcm frames.\n");
}

// A pipe takes the samples, but the sizes in the header can never be filled
// in: that is reported rather than passed off as a finished file. The test
// holds the read end itself, opened without waiting for a writer, so that
// nothing blocks whatever the program does.
TEST_F(Sqn2wav, OutputThatCannotSeekIsAFailure)
{
    writeFile("song.sqn", {120, 4});
    const std::string fifo = path("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const Result r = run(path("song.sqn") + " " + fifo);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "failed to write pcm frames.\n");
    Bytes piped(8192);
    const ssize_t got = ::read(reader, piped.data(), piped.size());
    ::close(reader);
    ASSERT_EQ(got, 2092);  // the header with its placeholder sizes, then one block
    EXPECT_EQ(u32At(piped, 40), 0u);
}

TEST_F(Sqn2wav, HeaderOnlySongIsOneBlockOfSilence)
{
    writeFile("song.sqn", {120, 4});
    writeFile("out.wav", Bytes(5000, 0xEE));  // replaced, not overwritten in place
    const Result r = run(path("song.sqn") + " " + path("out.wav") + " ignored extra");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "");
    Bytes expected = header(2048);
    expected.resize(2092, 0);
    EXPECT_EQ(readFile(path("out.wav")), expected);
}

TEST_F(Sqn2wav, WorkedExampleIs47Blocks)
{
    writeFile("song.sqn", kWorkedExample);
    ASSERT_EQ(run(path("song.sqn") + " " + path("out.wav")).status, 0);
    const Bytes wav = readFile(path("out.wav"));
    ASSERT_EQ(wav.size(), 44u + 24064u * 4u);
    EXPECT_EQ(Bytes(wav.begin(), wav.begin() + 44), header(24064 * 4));
    // Voice 0 alone at unity pitch and volume, from its NoteOn frame on: the
    // triangle read at 0.91875 frames a step.
    const std::int16_t expected[] = {261, 524, 787, 1049, 1311, 1574, 1837, 2099};
    for (std::size_t frame = 0; frame < 8; ++frame) {
        EXPECT_EQ(s16At(wav, 44 + 4 * frame), expected[frame]) << "left, frame " << frame;
        EXPECT_EQ(s16At(wav, 46 + 4 * frame), expected[frame]) << "right, frame " << frame;
    }
}

// A note at frame 0 alone in a song: the voice is heard up to the frame in
// which its pass ends, and not after.
TEST_F(Sqn2wav, NotesSoundForTheirPassAndStop)
{
    const struct {
        std::uint8_t voice;
        std::size_t frames;  // mixed, counting the NoteOn's frame
    } notes[] = {{4, 4838}, {5, 1573}, {0, 61}};
    for (const auto& note : notes) {
        writeFile("song.sqn", {120, 4, note.voice, 2, 0, 0, 1, 80});  // the note, then 10 s of nothing
        ASSERT_EQ(run(path("song.sqn") + " " + path("out.wav")).status, 0);
        const Bytes wav = readFile(path("out.wav"));
        ASSERT_GT(wav.size(), 44u + 4 * note.frames);
        EXPECT_NE(s16At(wav, 44 + 4 * (note.frames - 2)), 0) << int(note.voice);
        std::size_t lastHeard = 0;
        for (std::size_t frame = 0; 44 + 4 * frame < wav.size(); ++frame) {
            if (s16At(wav, 44 + 4 * frame) != 0 || s16At(wav, 46 + 4 * frame) != 0) {
                lastHeard = frame;
            }
        }
        EXPECT_LT(lastHeard, note.frames) << int(note.voice);
        EXPECT_GE(lastHeard, note.frames - 2) << int(note.voice);
    }
}

TEST_F(Sqn2wav, LoopEndAfter1000FramesGivesTwoBlocks)
{
    // Rows of 0.0125 s (tempo 240, 20 rows a beat): a 1-row wait is 600
    // frames, a 4-row LoopEnd wait runs on past the end mark.
    writeFile("song.sqn", {240, 20, 0, 1, 1, 0, 1, 0, 0, 6, 4});
    ASSERT_EQ(run(path("song.sqn") + " " + path("out.wav")).status, 0);
    const Bytes wav = readFile(path("out.wav"));
    EXPECT_EQ(wav.size(), 44u + 2 * 2048u);
    EXPECT_EQ(u32At(wav, 40), 4096u);
    EXPECT_EQ(u32At(wav, 4), 36u + 4096u);
}

}  // namespace
