// The sqn2wav binary run as a user runs it: messages, exit statuses, what
// happens to the output file, and the bytes of the WAV it writes.

#include "memory_read.h"
#include "process_test.h"
#include "sample_buffer.h"
#include "song_player.h"
#include "song_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
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
        {"--colour red", "no option --colour (options: --loops N, --fade SECONDS, --voices LIST, --threads N)"},
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

namespace {

// Songs for the options: an intro of half a second, then a loop of 1.5 s
// with notes on every voice, held notes and a hit crossing the loop's end.
const std::string kLoopedSong =
    "tempo 120 4\npitch 0 C5\nvolume 0 0.8\nnote 0 4\nwait 0 4\nloop-start 0 0\n"
    "pitch 1 E5\nnote 1 6\npitch 2 G4\nnote 2 3\nnote 4 0\nwait 0 4\npitch 3 C4\nnote 3 4\nnote 5 0\nwait 0 4\n"
    "pitch 0 D5\nnote 0 4\nnote 4 0\nwait 0 4\nloop-end 0 0\n";
// The same without a loop: it ends when its events run out.
const std::string kUnloopedSong = "tempo 120 4\npitch 0 C5\nnote 0 8\nwait 0 8\npitch 3 G4\nnote 3 8\nwait 0 8\n";

Bytes assembled(const std::string& text)
{
    std::vector<TextError> errors;
    return assembleSong(text, errors).value_or(Bytes{});
}

// The left and right values after the header.
std::vector<std::int16_t> samplesOf(const Bytes& wav)
{
    std::vector<std::int16_t> values;
    for (std::size_t at = 44; at + 1 < wav.size(); at += 2) {
        values.push_back(s16At(wav, at));
    }
    return values;
}

// What the player renders with looping on, `frames` frames.
std::vector<std::int16_t> looped(const Bytes& song, std::size_t frames)
{
    SongPlayer player;
    player.sampleRate = 48000.0f;
    EXPECT_TRUE(player.load(memoryRead(song.data(), song.size())));
    std::vector<std::uint8_t> bytes(frames * 4);
    SampleBuffer buffer{SampleFormat::S16, ChannelLayout::Stereo, bytes.data(), bytes.size()};
    player.render(buffer);
    std::vector<std::int16_t> values(frames * 2);
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = static_cast<std::int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    }
    return values;
}

// The frame in which LoopEnd is taken for the `pass`-th time, looping on.
std::uint64_t loopEndFrame(const Bytes& song, std::uint64_t pass)
{
    SongPlayer player;
    player.sampleRate = 48000.0f;
    EXPECT_TRUE(player.load(memoryRead(song.data(), song.size())));
    for (std::uint64_t frame = 0;; ++frame) {
        const std::uint64_t before = player.loopPasses;
        player.tick(1.0f / 48000.0f);
        if (player.loopPasses > before && player.loopPasses == pass) {
            return frame;
        }
    }
}

// --loops 1 writes today's bytes; --loops 3 the intro and three passes, the
// song ending in the block of its third LoopEnd, each pass the looping
// player's own frames.
TEST_F(Sqn2wav, LoopsPlayThePassesAskedFor)
{
    const Bytes song = assembled(kLoopedSong);
    writeFile("song.sqn", song);
    ASSERT_EQ(run(path("song.sqn") + " " + path("plain.wav")).status, 0);
    ASSERT_EQ(run("--loops 1 " + path("song.sqn") + " " + path("once.wav")).status, 0);
    EXPECT_EQ(readFile(path("once.wav")), readFile(path("plain.wav")));

    ASSERT_EQ(run("--loops 3 " + path("song.sqn") + " " + path("three.wav")).status, 0);
    const std::vector<std::int16_t> three = samplesOf(readFile(path("three.wav")));
    const std::uint64_t third = loopEndFrame(song, 3);
    EXPECT_EQ(third, loopEndFrame(song, 1) + 2 * (loopEndFrame(song, 2) - loopEndFrame(song, 1)));
    EXPECT_EQ(three.size() / 2, (third / 512 + 1) * 512);
    const std::vector<std::int16_t> played = looped(song, three.size() / 2);
    EXPECT_TRUE(std::equal(played.begin(), played.begin() + static_cast<std::ptrdiff_t>(2 * (third + 1)), three.begin()));
    EXPECT_EQ(u32At(readFile(path("three.wav")), 40), three.size() * 2);

    // A loop-start inside the loop moves the loop point for the passes
    // after the first: they are shorter, and the file ends in the block of
    // the last LoopEnd asked for.
    const Bytes moving = assembled("tempo 120 4\npitch 0 C5\nloop-start 0 0\nnote 0 2\nwait 0 8\nloop-start 0 0\n"
                                   "note 5 0\nwait 0 2\nloop-end 0 0\n");
    writeFile("moving.sqn", moving);
    ASSERT_EQ(run("--loops 4 " + path("moving.sqn") + " " + path("four.wav")).status, 0);
    const std::uint64_t fourth = loopEndFrame(moving, 4);
    EXPECT_NE(loopEndFrame(moving, 2) - loopEndFrame(moving, 1), loopEndFrame(moving, 1) + 1);
    EXPECT_EQ(samplesOf(readFile(path("four.wav"))).size() / 2, (fourth / 512 + 1) * 512);
}

// --fade: past the last pass the song plays on round its loop, fading; up to
// the fade the frames are the looping render's, the fade's first one too,
// and the last tenth of a second is all but silent. The file ends with the
// fade, in whole blocks. A song without a loop fades over its last seconds.
TEST_F(Sqn2wav, AFadeFollowsTheLastPass)
{
    const Bytes song = assembled(kLoopedSong);
    writeFile("song.sqn", song);
    ASSERT_EQ(run("--loops 2 --fade 2.5 " + path("song.sqn") + " " + path("faded.wav")).status, 0);
    const std::vector<std::int16_t> faded = samplesOf(readFile(path("faded.wav")));
    const std::uint64_t start = loopEndFrame(song, 2);
    EXPECT_EQ(faded.size() / 2, (start + 120000 + 511) / 512 * 512);
    const std::vector<std::int16_t> plain = looped(song, faded.size() / 2);
    EXPECT_TRUE(std::equal(faded.begin(), faded.begin() + static_cast<std::ptrdiff_t>(2 * (start + 1)), plain.begin()));
    EXPECT_NE(faded, plain);
    int last = 0;
    for (std::size_t i = faded.size() - 2 * 4800; i < faded.size(); ++i) {
        last = std::max(last, std::abs(static_cast<int>(faded[i])));
    }
    int loud = 0;
    for (const std::int16_t value : plain) {
        loud = std::max(loud, std::abs(static_cast<int>(value)));
    }
    EXPECT_LT(last, loud / 100);  // 40 dB down and more
    // Half way through it is 30 dB down: even in decibels.
    for (std::size_t i = 2 * (start + 60000 - 200); i < 2 * (start + 60000 + 200); ++i) {
        if (std::abs(plain[i]) > 2000) {
            EXPECT_NEAR(static_cast<double>(faded[i]) / plain[i], 0.0316, 0.004) << i;
        }
    }

    writeFile("short.sqn", assembled(kUnloopedSong));
    ASSERT_EQ(run(path("short.sqn") + " " + path("short.wav")).status, 0);
    ASSERT_EQ(run("--fade 0.5 " + path("short.sqn") + " " + path("short-faded.wav")).status, 0);
    const std::vector<std::int16_t> whole = samplesOf(readFile(path("short.wav")));
    const std::vector<std::int16_t> ending = samplesOf(readFile(path("short-faded.wav")));
    ASSERT_EQ(ending.size(), whole.size());
    const std::size_t fadeStart = whole.size() / 2 - 24000;
    EXPECT_TRUE(std::equal(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(2 * (fadeStart + 1)), ending.begin()));
    EXPECT_NE(whole, ending);
}

// A fade longer than a song without a loop fades over the whole song,
// which still ends all but silent rather than stopping dead.
TEST_F(Sqn2wav, AFadeLongerThanTheSongFadesAllOfIt)
{
    writeFile("note.sqn", assembled("tempo 120 4\npitch 0 C5\nnote 0 8\nwait 0 8\n"));  // one second
    ASSERT_EQ(run(path("note.sqn") + " " + path("plain.wav")).status, 0);
    ASSERT_EQ(run("--fade 8 " + path("note.sqn") + " " + path("faded.wav")).status, 0);
    const std::vector<std::int16_t> plain = samplesOf(readFile(path("plain.wav")));
    const std::vector<std::int16_t> faded = samplesOf(readFile(path("faded.wav")));
    ASSERT_EQ(faded.size(), plain.size());
    EXPECT_EQ(faded[0], plain[0]);  // from the first frame on
    const auto peak = [](const std::vector<std::int16_t>& values, std::size_t from, std::size_t to) {
        int most = 0;
        for (std::size_t i = from; i < to; ++i) {
            most = std::max(most, std::abs(static_cast<int>(values[i])));
        }
        return most;
    };
    const std::size_t end = faded.size();
    EXPECT_LT(peak(faded, end - 2 * 4800, end), peak(plain, end - 2 * 24000, end - 2 * 4800) / 100);  // 40 dB down
    // Falling all the way: each tenth of a second quieter than the one before.
    for (std::size_t from = 2 * 4800; from + 2 * 4800 <= 2 * 43200; from += 2 * 4800) {
        EXPECT_LT(peak(faded, from, from + 2 * 4800), peak(faded, from - 2 * 4800, from)) << from;
    }
}

// Lengths past what 64 bits count are refused, never wrapped round to a
// short file: a song whose 65,535 passes end 65,533 frames past 2^64.
TEST_F(Sqn2wav, PassesPastWhatFramesCountAreRefused)
{
    // A row of a minute; waits of 255 rows (734,400,009 frames each), of 5,
    // 8 and 209 rows, and single frames: a pass of 281,479,271,743,490 frames.
    Bytes song{1, 1};
    const auto waits = [&song](std::size_t count, std::uint8_t rows) {
        for (std::size_t i = 0; i < count; ++i) {
            song.insert(song.end(), {0, 1, rows});
        }
    };
    waits(383277, 255);
    waits(1, 5);
    waits(1, 8);
    waits(1, 209);
    waits(13346, 0);
    song.insert(song.end(), {0, 6, 0});
    writeFile("long.sqn", song);
    for (const char* loops : {"1", "2", "65534", "65535"}) {
        const Result r = run(std::string("--loops ") + loops + " " + path("long.sqn") + " " + path("out.wav"));
        EXPECT_EQ(r.status, 1) << loops;
        EXPECT_EQ(r.err, "failed to write pcm frames.\n") << loops;
        EXPECT_FALSE(fs::exists(path("out.wav"))) << loops;
    }
}

// --voices: the others are silent, the timing the song's own: the six
// one-voice files add up to the whole within the rounding of six.
TEST_F(Sqn2wav, OneVoiceAtATimeAddsUpToTheMix)
{
    writeFile("song.sqn", assembled(kLoopedSong));
    ASSERT_EQ(run(path("song.sqn") + " " + path("mix.wav")).status, 0);
    const std::vector<std::int16_t> mix = samplesOf(readFile(path("mix.wav")));
    std::vector<int> sum(mix.size(), 0);
    for (int voice = 0; voice < 6; ++voice) {
        const std::string stem = path("stem" + std::to_string(voice) + ".wav");
        ASSERT_EQ(run("--voices " + std::to_string(voice) + " " + path("song.sqn") + " " + stem).status, 0);
        const std::vector<std::int16_t> alone = samplesOf(readFile(stem));
        ASSERT_EQ(alone.size(), mix.size()) << voice;
        EXPECT_TRUE(std::any_of(alone.begin(), alone.end(), [](std::int16_t v) { return v != 0; })) << voice;
        for (std::size_t i = 0; i < mix.size(); ++i) {
            sum[i] += alone[i];
        }
    }
    int worst = 0;
    for (std::size_t i = 0; i < mix.size(); ++i) {
        worst = std::max(worst, std::abs(sum[i] - mix[i]));
    }
    EXPECT_LE(worst, 6);
    ASSERT_EQ(run("--voices 0,1,2,3,4,5 " + path("song.sqn") + " " + path("all.wav")).status, 0);
    EXPECT_EQ(readFile(path("all.wav")), readFile(path("mix.wav")));
}

// With every option at once, one thread writes the bytes several do: a
// song of over a minute, shared among threads from seeks.
TEST_F(Sqn2wav, OptionsWriteTheSameBytesOnAnyNumberOfThreads)
{
    std::string text = "tempo 120 4\npitch 0 C5\nnote 0 4\nwait 0 4\nloop-start 0 0\n";
    for (int row = 0; row < 200; ++row) {
        text += "pitch " + std::to_string(row % 4) + " " + std::to_string(20 + row % 40) + "\nnote " +
                std::to_string(row % 4) + " " + std::to_string(1 + row % 6) + "\nnote " + std::to_string(4 + row % 2) +
                " 0\nwait 0 2\n";
    }
    text += "loop-end 0 0\n";
    writeFile("song.sqn", assembled(text));
    const std::string options = "--loops 2 --fade 7.5 --voices 0,2,3,5";
    ASSERT_EQ(run(options + " --threads 1 " + path("song.sqn") + " " + path("one.wav")).status, 0);
    const Bytes one = readFile(path("one.wav"));
    EXPECT_GT(one.size(), 44u + 60u * 48000 * 4);
    for (const char* threads : {"2", "3"}) {
        ASSERT_EQ(run(options + " --threads " + threads + " " + path("song.sqn") + " " + path("many.wav")).status, 0);
        EXPECT_EQ(readFile(path("many.wav")), one) << threads;
    }
    // Into a pipe, where nothing can be placed ahead, every sample arrives
    // in order however many threads were asked for; only the header's
    // sizes cannot be filled in, which is reported.
    for (const char* threads : {"", "--threads 3 "}) {
        const Result r = run(options + " " + threads + path("song.sqn") + " /dev/stdout 2>" + path("pipe.err") + " | cat");
        ASSERT_EQ(r.status, 0);
        const Bytes piped(r.out.begin(), r.out.end());
        const Bytes told = readFile(path("pipe.err"));
        EXPECT_EQ(std::string(told.begin(), told.end()), "failed to write pcm frames.\n");
        ASSERT_EQ(piped.size(), one.size()) << threads;
        EXPECT_TRUE(std::equal(piped.begin() + 44, piped.end(), one.begin() + 44)) << threads;
    }
}

// A bad value: one line naming the option, status 1, no file.
TEST_F(Sqn2wav, BadOptionValuesAreRefused)
{
    writeFile("song.sqn", assembled(kLoopedSong));
    const std::string program = SQN2WAV_BINARY;
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"--loops 0", "--loops takes a whole number of passes, 1 … 65535, found '0'"},
        {"--loops 2.5", "--loops takes a whole number of passes, 1 … 65535, found '2.5'"},
        {"--voices 9", "--voices takes voices 0 … 5 with commas between them (as 0,4), found '9'"},
        {"--voices 6", "--voices takes voices 0 … 5 with commas between them (as 0,4), found '6'"},
        {"--voices 0,6", "--voices takes voices 0 … 5 with commas between them (as 0,4), found '0,6'"},
        {"--voices 0,,1", "--voices takes voices 0 … 5 with commas between them (as 0,4), found '0,,1'"},
        {"--voices ''", "--voices takes voices 0 … 5 with commas between them (as 0,4), found ''"},
        {"--fade -1", "--fade takes seconds, 0 … 600 (as 8 or 2.5), found '-1'"},
        {"--fade abc", "--fade takes seconds, 0 … 600 (as 8 or 2.5), found 'abc'"},
        {"--fade 601", "--fade takes seconds, 0 … 600 (as 8 or 2.5), found '601'"},
        {"--fade 600.000001", "--fade takes seconds, 0 … 600 (as 8 or 2.5), found '600.000001'"},
        {"--fade", "--fade needs a value"},
    };
    for (const auto& [options, message] : bad) {
        const std::string args = options == "--fade" ? options : options + " " + path("song.sqn") + " " + path("out.wav");
        const Result r = run(args);
        EXPECT_EQ(r.status, 1) << options;
        EXPECT_EQ(r.err, program + ": " + message + "\n") << options;
        EXPECT_FALSE(fs::exists(path("out.wav"))) << options;
    }
    // The ends of the ranges are taken (a fade over the whole of a short
    // song).
    writeFile("short.sqn", assembled(kUnloopedSong));
    for (const char* options : {"--fade 600", "--fade 0", "--voices 5", "--threads 8"}) {
        const Result r = run(std::string(options) + " " + path("short.sqn") + " " + path("out.wav"));
        EXPECT_EQ(r.status, 0) << options << r.err;
        EXPECT_TRUE(fs::exists(path("out.wav"))) << options;
        fs::remove(path("out.wav"));
    }
}

}  // namespace
