// sqnplay run as a user runs it, on miniaudio's null backend (real time, no
// sound hardware): what it plays, checked frame for frame through its
// capture, its ending, its reloads, its terminal and its errors.

#include "file_watch.h"
#include "memory_read.h"
#include "process_test.h"
#include "song_player.h"
#include "song_text.h"

#include <poll.h>
#include <sys/stat.h>
#include <pty.h>
#include <termios.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Frames = std::vector<std::int16_t>;  // interleaved stereo

// What the player renders for a song, in 512-frame blocks, for `frames`
// frames or (looping off) to the end of the block in which it ends.
Frames reference(const Bytes& song, bool looping, std::size_t frames)
{
    SongPlayer player;
    player.sampleRate = 48000.0f;
    player.looping = looping;
    EXPECT_TRUE(player.load(memoryRead(song.data(), song.size())));
    Frames out;
    std::vector<std::uint8_t> block(2048);
    SampleBuffer buffer{SampleFormat::S16, ChannelLayout::Stereo, block.data(), block.size()};
    while (out.size() < 2 * frames && !(player.finished && !looping)) {
        player.render(buffer);
        for (std::size_t i = 0; i < block.size(); i += 2) {
            out.push_back(static_cast<std::int16_t>(block[i] | (block[i + 1] << 8)));
        }
    }
    return out;
}

Bytes assemble(const std::string& text)
{
    std::vector<TextError> errors;
    return assembleSong(text, errors).value_or(Bytes{});
}

Frames asFrames(const Bytes& bytes)
{
    Frames frames(bytes.size() / 2);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        frames[i] = s16At(bytes, 2 * i);
    }
    return frames;
}

bool samePrefix(const Frames& a, const Frames& b, std::size_t from, std::size_t bFrom = 0)
{
    for (std::size_t i = from; i < a.size(); ++i) {
        if (i - from + bFrom >= b.size() || a[i] != b[i - from + bFrom]) {
            return false;
        }
    }
    return true;
}

class Sqnplay : public ProcessTest {
protected:
    void writeText(const std::string& name, const std::string& text) const
    {
        writeFile(name, Bytes(text.begin(), text.end()));
    }

    // Replaces a file in one step, as editors save.
    void saveText(const std::string& name, const std::string& text) const
    {
        writeText(name + ".saving", text);
        fs::rename(path(name + ".saving"), path(name));
    }

    // Waits, up to a generous deadline (the machine may be busy), until
    // the capture holds `frames` frames; how many it holds then. It grows
    // as a hidden file beside its name while the program plays.
    std::size_t waitForCapture(std::size_t frames) const
    {
        const auto until = Clock::now() + std::chrono::seconds(60);
        std::size_t held = 0;
        do {
            for (const std::string& name : listing(path(""))) {
                if (name == "cap.raw" || name.rfind(".cap.raw.", 0) == 0) {
                    std::error_code error;
                    const auto bytes = fs::file_size(path(name), error);
                    held = error ? held : std::max<std::size_t>(held, static_cast<std::size_t>(bytes) / 4);
                }
            }
            if (held >= frames) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        } while (Clock::now() < until);
        return held;
    }

    // Waits up to `seconds` for standard error to hold `text`.
    bool waitForError(const std::string& text, double seconds) const
    {
        const auto until = Clock::now() + std::chrono::duration<double>(seconds);
        while (Clock::now() < until) {
            const Bytes err = readFile(path("stderr.txt"));
            if (std::string(err.begin(), err.end()).find(text) != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
};

const std::string kWorkedExampleText =
    "tempo 120 4\npitch 0 G5\nvolume 0 1.0\nnote 0 4\nwait 0 4\nnote 4 0\nloop-end 0 0\n";

// With --once the song plays to the end of the block it ends in, as
// sqn2wav writes it, and the program ends once that has been played: not
// before the song's length, not long after.
TEST_F(Sqnplay, OncePlaysWhatSqn2wavWritesThenEnds)
{
    writeText("song.txt", kWorkedExampleText);
    writeFile("song.sqn", assemble(kWorkedExampleText));
    ASSERT_EQ(runArgs({SQN2WAV_BINARY, path("song.sqn"), path("song.wav")}).status, 0);
    const Bytes wav = readFile(path("song.wav"));
    const Bytes data(wav.begin() + 44, wav.end());
    const double length = static_cast<double>(data.size()) / 4 / 48000;  // 0.501 s

    for (const char* song : {"song.sqn", "song.txt"}) {
        const auto began = Clock::now();
        const Result r =
            runArgs({SQNPLAY_BINARY, "--once", "--backend", "null", "--capture", path("cap.raw"), path(song)});
        const double elapsed = std::chrono::duration<double>(Clock::now() - began).count();
        EXPECT_EQ(r.status, 0) << song << r.err;
        EXPECT_EQ(r.out, "");  // no terminal: no status line
        EXPECT_EQ(r.err, "");
        EXPECT_GE(elapsed, length - 0.05) << song;
        EXPECT_LT(elapsed, length + 60.0) << song;  // it ends, however busy the machine
        EXPECT_TRUE(readFile(path("cap.raw")) == data) << song;
    }
}

// Of an MML file of several songs, --song plays the one named, as sqn2wav
// renders what mml2sqn --song compiles; a name the file lacks is told.
TEST_F(Sqnplay, SongPlaysOneOfAFilesSongs)
{
    writeText("game.mml", "@v1 = { 15 9 / 3 0 }\n#song music\nA @v1 o4 c d\n#song coin\nA @v1 o6 l16 b > e\n");
    ASSERT_EQ(runArgs({MML2SQN_BINARY, "--song", "coin", path("game.mml"), path("coin.sqn")}).status, 0);
    ASSERT_EQ(runArgs({SQN2WAV_BINARY, path("coin.sqn"), path("coin.wav")}).status, 0);
    const Bytes wav = readFile(path("coin.wav"));
    const Result r = runArgs({SQNPLAY_BINARY, "--once", "--backend", "null", "--song", "coin", "--capture",
                              path("cap.raw"), path("game.mml")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(readFile(path("cap.raw")) == Bytes(wav.begin() + 44, wav.end()));
    const Result missing =
        runArgs({SQNPLAY_BINARY, "--once", "--backend", "null", "--song", "boss", path("game.mml")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, path("game.mml") + ":1:1: expected a song named boss, found the songs music, coin\n");
}

// Played past its end, a looping song goes on, each pass repeating the
// looped section's frames exactly.
TEST_F(Sqnplay, LoopingGoesOnThroughTheLoop)
{
    const std::string text =
        "tempo 240 16\npitch 0 C5\nnote 0 1\nwait 0 2\nloop-start 0 0\npitch 1 G5\nnote 1 2\nnote 4 0\n"
        "wait 0 6\nloop-end 0 0\n";
    writeText("loop.txt", text);
    const pid_t pid = start({SQNPLAY_BINARY, "--backend", "null", "--capture", path("cap.raw"), path("loop.txt")});
    waitForCapture(48000);
    ::kill(pid, SIGTERM);
    const Result r = finish(pid);
    EXPECT_EQ(r.status, 0) << r.err;
    const Frames played = asFrames(readFile(path("cap.raw")));
    ASSERT_GT(played.size(), 2u * 48000 / 2);  // at least half a second

    // Frame for frame what the player renders with looping on, and
    // periodic from the loop point on: the frames between the passes'
    // starts are the same in every pass.
    const Bytes song = assemble(text);
    EXPECT_TRUE(samePrefix(played, reference(song, true, played.size() / 2), 0));
    SongPlayer player;
    player.sampleRate = 48000.0f;
    ASSERT_TRUE(player.load(memoryRead(song.data(), song.size())));
    std::vector<std::size_t> passStarts;
    for (std::size_t frame = 0; passStarts.size() < 3; ++frame) {
        const std::uint64_t before = player.loopPasses;
        player.tick(1.0f / 48000.0f);
        if (player.loopPasses != before) {
            passStarts.push_back(frame);
        }
    }
    const std::size_t period = passStarts[1] - passStarts[0];
    EXPECT_EQ(passStarts[2] - passStarts[1], period);
    ASSERT_GT(played.size() / 2, passStarts[0] + 3 * period);
    for (std::size_t i = 2 * passStarts[0]; i + 2 * period < played.size(); ++i) {
        ASSERT_EQ(played[i], played[i + 2 * period]) << "value " << i;
    }
}

// --watch: a broken edit is reported with its line and column and the old
// song plays on; a fixed edit starts the new song from its beginning.
TEST_F(Sqnplay, WatchReloadsFixedTextsAndKeepsPlayingThroughBrokenOnes)
{
    const std::string first = "tempo 240 16\npitch 0 C5\nnote 0 2\nwait 0 4\nloop-end 0 0\n";
    const std::string second = "tempo 240 16\npitch 3 E6\nnote 3 3\nwait 0 3\nnote 5 0\nwait 0 2\nloop-end 0 0\n";
    writeText("song.txt", first);
    const pid_t pid =
        start({SQNPLAY_BINARY, "--watch", "--backend", "null", "--capture", path("cap.raw"), path("song.txt")});
    waitForCapture(48000 * 3 / 10);
    saveText("song.txt", "tempo 240 16\nnote 0 x\n");
    EXPECT_TRUE(waitForError(path("song.txt") + ":2:8: expected a gate length in rows, 0 … 255, found 'x'\n", 60.0));
    waitForCapture(waitForCapture(0) + 48000 * 3 / 10);
    saveText("song.txt", second);
    EXPECT_TRUE(waitForError("sqnplay: reloaded " + path("song.txt") + "\n", 60.0));
    waitForCapture(waitForCapture(0) + 48000 * 3 / 10);
    ::kill(pid, SIGINT);
    const Result r = finish(pid);
    EXPECT_EQ(r.status, 0);

    // The first song up to a buffer boundary past the broken edit, then the
    // second from its beginning.
    const Frames played = asFrames(readFile(path("cap.raw")));
    const Frames old = reference(assemble(first), true, played.size() / 2);
    const Frames fresh = reference(assemble(second), true, played.size() / 2);
    std::size_t switched = 0;
    while (switched < played.size() && played[switched] == old[switched]) {
        ++switched;
    }
    switched -= switched % 2;
    for (; switched > 0 && !samePrefix(played, fresh, switched); switched -= 2) {
    }
    EXPECT_GT(switched, 2u * 48000 / 4) << "the first song stopped before the fixed edit";
    EXPECT_TRUE(samePrefix(played, fresh, switched));
    EXPECT_LT(switched + 2 * 48000 / 5, played.size());
}

// --watch on a song with an error: the error is told, the program waits,
// and once the song is saved without errors it plays from its beginning.
TEST_F(Sqnplay, WatchWaitsForABrokenSongToBeFixed)
{
    writeText("song.txt", "tempo 240 16\nnote 0 x\n");
    const pid_t pid =
        start({SQNPLAY_BINARY, "--watch", "--backend", "null", "--capture", path("cap.raw"), path("song.txt")});
    EXPECT_TRUE(waitForError(path("song.txt") + ":2:8: expected a gate length in rows, 0 … 255, found 'x'\n", 60.0));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, WNOHANG), 0) << "it did not wait";
    const std::string fixed = "tempo 240 16\npitch 0 C5\nnote 0 2\nwait 0 4\nloop-end 0 0\n";
    saveText("song.txt", fixed);
    EXPECT_TRUE(waitForError("sqnplay: loaded " + path("song.txt") + "\n", 60.0));
    waitForCapture(48000 * 3 / 10);
    ::kill(pid, SIGINT);
    const Result r = finish(pid);
    EXPECT_EQ(r.status, 0);
    // What played is the fixed song from its beginning.
    const Frames played = asFrames(readFile(path("cap.raw")));
    ASSERT_GT(played.size(), 2u * 48000 / 4);
    EXPECT_TRUE(samePrefix(played, reference(assemble(fixed), true, played.size() / 2), 0));
    // Without --watch there is nothing to wait for.
    const Result once = runArgs({SQNPLAY_BINARY, "--backend", "null", path("broken.txt")});
    EXPECT_EQ(once.status, 1);
}

// --watch never waits on what the song's name comes to stand for: an
// endless device, a FIFO with no writer. Each is refused unread, the old
// song plays on, the good file saved back is played, and Ctrl-C ends the
// program at once.
TEST_F(Sqnplay, WatchNeverWaitsOnAPipeOrADevice)
{
    const std::string first = "tempo 240 16\npitch 0 C5\nnote 0 2\nwait 0 4\nloop-end 0 0\n";
    writeText("song.txt", first);
    const pid_t pid =
        start({SQNPLAY_BINARY, "--watch", "--backend", "null", "--capture", path("cap.raw"), path("song.txt")});
    waitForCapture(48000 * 3 / 10);
    const std::string refused = path("song.txt") + ": not a regular file (a pipe or a device): not read\n";
    fs::create_symlink("/dev/zero", path("song.link"));
    fs::rename(path("song.link"), path("song.txt"));
    EXPECT_TRUE(waitForError(refused, 60.0));
    fs::remove(path("song.txt"));
    ASSERT_EQ(::mkfifo(path("song.txt").c_str(), 0644), 0);
    EXPECT_TRUE(waitForError(refused + refused, 60.0));
    // Played on through the refusals for a second and more.
    waitForCapture(48000 * 11 / 10);
    saveText("song.txt", first + "# saved again\n");
    EXPECT_TRUE(waitForError("sqnplay: reloaded " + path("song.txt") + "\n", 60.0));
    const auto asked = Clock::now();
    ::kill(pid, SIGINT);
    const Result r = finish(pid);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - asked).count(), 2.0);
    EXPECT_EQ(r.status, 0);
    const std::size_t refusals = [&] {
        std::size_t count = 0;
        for (std::size_t at = r.err.find(refused); at != std::string::npos; at = r.err.find(refused, at + 1)) {
            ++count;
        }
        return count;
    }();
    EXPECT_EQ(refusals, 2u) << r.err;
    // The first song played on through the refusals, up to the reload
    // (which came after a second of it).
    Frames played = asFrames(readFile(path("cap.raw")));
    ASSERT_GT(played.size(), 2u * 48000);
    played.resize(2 * 48000);
    EXPECT_TRUE(samePrefix(played, reference(assemble(first), true, played.size() / 2), 0));
}

// Without --watch a saved change is not loaded: the first song plays on.
TEST_F(Sqnplay, WithoutWatchTheFileIsNotReloaded)
{
    const std::string first = "tempo 240 16\npitch 0 C5\nnote 0 2\nwait 0 4\nloop-end 0 0\n";
    writeText("song.txt", first);
    const pid_t pid = start({SQNPLAY_BINARY, "--backend", "null", "--capture", path("cap.raw"), path("song.txt")});
    waitForCapture(48000 * 3 / 10);
    saveText("song.txt", "tempo 240 16\npitch 3 E6\nnote 3 3\nwait 0 3\nloop-end 0 0\n");
    // Long enough after the save for a reload to have been heard.
    waitForCapture(waitForCapture(0) + 48000 * 9 / 10);
    ::kill(pid, SIGINT);
    const Result r = finish(pid);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    const Frames played = asFrames(readFile(path("cap.raw")));
    ASSERT_GT(played.size(), 2u * 48000);
    EXPECT_TRUE(samePrefix(played, reference(assemble(first), true, played.size() / 2), 0));
}

// On a terminal: a status line, space to pause and resume, q to quit, and
// the terminal as it was afterwards.
TEST_F(Sqnplay, KeysAndStatusLineOnATerminal)
{
    writeText("song.txt", kWorkedExampleText);
    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        ::execl(SQNPLAY_BINARY, SQNPLAY_BINARY, "--backend", "null", path("song.txt").c_str(), nullptr);
        ::_exit(127);
    }
    ASSERT_GT(pid, 0);
    termios after {};
    std::string shown;
    // Reads what the terminal shows until `text` is among it (or the
    // program has gone, or a generous minute has passed).
    const auto readUntil = [&](const std::string& text) {
        const auto until = Clock::now() + std::chrono::seconds(60);
        char buffer[4096];
        while (Clock::now() < until && shown.find(text) == std::string::npos) {
            pollfd fd{master, POLLIN, 0};
            if (::poll(&fd, 1, 20) > 0) {
                const ssize_t got = ::read(master, buffer, sizeof buffer);
                if (got <= 0) {
                    break;
                }
                shown.append(buffer, static_cast<std::size_t>(got));
            }
        }
        return shown.find(text) != std::string::npos;
    };
    EXPECT_TRUE(readUntil("playing song.txt  0:0")) << shown;
    EXPECT_TRUE(readUntil("pass 1  bar 1, beat 1")) << shown;
    // Keys are read one at a time and not echoed while it plays.
    termios during {};
    ASSERT_EQ(::tcgetattr(master, &during), 0);
    EXPECT_FALSE(during.c_lflag & ECHO);
    EXPECT_FALSE(during.c_lflag & ICANON);
    // The worked example's LoopEnd comes after half a second: the second
    // pass begins.
    EXPECT_TRUE(readUntil("pass 2  bar 1, beat 1")) << shown;
    EXPECT_EQ(shown.find("pass 0"), std::string::npos) << "passes count from 1";
    ASSERT_EQ(::write(master, " ", 1), 1);
    EXPECT_TRUE(readUntil("paused  song.txt")) << shown;
    shown.clear();
    ASSERT_EQ(::write(master, " ", 1), 1);
    EXPECT_TRUE(readUntil("playing song.txt")) << shown;
    // 1–6 mute and unmute the voices, shown on the line.
    ASSERT_EQ(::write(master, "25", 2), 2);
    EXPECT_TRUE(readUntil("beat 1  muted 2 5")) << shown;
    ASSERT_EQ(::write(master, "2", 1), 1);
    shown.clear();
    EXPECT_TRUE(readUntil("beat 1  muted 5\x1b")) << shown;
    ASSERT_EQ(::write(master, "16", 2), 2);
    EXPECT_TRUE(readUntil("beat 1  muted 1 5 6\x1b")) << shown;
    ASSERT_EQ(::write(master, "q", 1), 1);
    readUntil("\x1b[?25h");
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(shown.find("\x1b[?25h"), std::string::npos);  // the cursor shown again
    ASSERT_EQ(::tcgetattr(master, &after), 0);
    EXPECT_TRUE(after.c_lflag & ECHO);
    EXPECT_TRUE(after.c_lflag & ICANON);
    ::close(master);
}

TEST_F(Sqnplay, ErrorsAndStatuses)
{
    Result r = runArgs({SQNPLAY_BINARY, "--backend", "null", path("missing.sqn")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "failed to open .sqn file.\n");
    writeFile("zero.sqn", {0, 4, 0, 2, 1});
    r = runArgs({SQNPLAY_BINARY, "--backend", "null", path("zero.sqn")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "failed to load .sqn file.\n");
    writeText("bad.txt", "tempo 120 4\nnote 0 4\npitch 0 H2\nwait 0\n");
    r = runArgs({SQNPLAY_BINARY, "--backend", "null", path("bad.txt")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, path("bad.txt") + ":3:9: expected a pitch: a note name D#2 … B8 or an index 0 … 255, found 'H2'\n" +
                         path("bad.txt") + ":4:7: expected rows to wait, 0 … 255, found the end of the line\n");
    // No JACK server runs here, whether or not libjack is installed: only
    // the program's own lines are shown, and what to try.
    writeText("song.txt", kWorkedExampleText);
    r = runArgs({SQNPLAY_BINARY, "--backend", "jack", path("song.txt")});
    EXPECT_EQ(r.status, 1);
    const std::string program = SQNPLAY_BINARY;
    EXPECT_EQ(r.err, program + ": failed to open audio device.\n" + program +
                         ": no sound server or sound card answered; try --backend pulseaudio, alsa or jack, "
                         "or --backend null --capture FILE to play without sound\n");

    const std::string usage = "usage: " + program + " [options] <song>\n";
    r = runArgs({SQNPLAY_BINARY, "--backend", "speakers", path("song.txt")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, program + ": no backend 'speakers': null, alsa, pulseaudio or jack\n" + usage);
    for (const char* latency : {"9", "2001", "abc", "", "100ms"}) {
        r = runArgs({SQNPLAY_BINARY, "--latency", latency, path("song.txt")});
        EXPECT_EQ(r.status, 1) << latency;
        EXPECT_EQ(r.err, program + ": --latency takes a whole number of milliseconds, 10 … 2000\n" + usage);
    }
    // A capture that cannot be written is a failure, and one that would
    // replace the song is refused before playing.
    r = runArgs({SQNPLAY_BINARY, "--once", "--backend", "null", "--capture", path("no/dir/out.raw"), path("song.txt")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, program + ": cannot write " + path("no/dir/out.raw") + ": No such file or directory\n");
    r = runArgs({SQNPLAY_BINARY, "--once", "--backend", "null", "--capture", path("song.txt"), path("song.txt")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, program + ": cannot write " + path("song.txt") + ": it is the input\n");
    EXPECT_EQ(readFile(path("song.txt")), Bytes(kWorkedExampleText.begin(), kWorkedExampleText.end()));

    // Many bad lines: the first hundred, then a count.
    std::string many = "tempo 120 4\n";
    for (int i = 0; i < 150; ++i) {
        many += "note 0 x\n";
    }
    writeText("many.txt", many);
    r = runArgs({SQNPLAY_BINARY, "--backend", "null", path("many.txt")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 101);
    EXPECT_NE(r.err.find("\n50 more errors not shown\n"), std::string::npos);
    r = runArgs({SQNPLAY_BINARY, "--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "sqnplay 1.3.0\n");
    r = runArgs({SQNPLAY_BINARY, "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("--watch"), std::string::npos);
}

// With standard output a pipe (a script reading it), the terminal on
// standard input is left as it is: no raw mode, no status line.
TEST_F(Sqnplay, NoTerminalModesWhenOutputIsAPipe)
{
    writeText("song.txt", kWorkedExampleText);
    int master = -1;
    int slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        startsAsFromAShell();
        ::dup2(slave, 0);
        ::dup2(pipeEnds[1], 1);
        ::close(pipeEnds[0]);
        ::execl(SQNPLAY_BINARY, SQNPLAY_BINARY, "--backend", "null", "--capture", path("cap.raw").c_str(),
                path("song.txt").c_str(), nullptr);
        ::_exit(127);
    }
    ::close(pipeEnds[1]);
    // Playing, so past where a terminal would have been set up.
    waitForCapture(4800);
    termios during {};
    ASSERT_EQ(::tcgetattr(slave, &during), 0);
    EXPECT_TRUE(during.c_lflag & ECHO);
    EXPECT_TRUE(during.c_lflag & ICANON);
    ::kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    char buffer[256];
    EXPECT_EQ(::read(pipeEnds[0], buffer, sizeof buffer), 0) << "something was written to the pipe";
    ::close(pipeEnds[0]);
    ::close(master);
    ::close(slave);
}

// A file rewritten within the same second at the same size is a change:
// the modification time counts to the nanosecond.
TEST_F(Sqnplay, FileWatchSeesChangesWithinASecond)
{
    writeText("song.txt", "tempo 1 1\n");
    const auto stamp = [&](long nanoseconds) {
        const timespec times[2] = {{0, UTIME_OMIT}, {1700000000, nanoseconds}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path("song.txt").c_str(), times, 0), 0);
    };
    stamp(100);
    FileWatch watch(path("song.txt"));
    EXPECT_FALSE(watch.changed());
    writeText("song.txt", "tempo 2 1\n");
    stamp(200);
    EXPECT_FALSE(watch.changed());  // seen once: it may still be moving
    EXPECT_TRUE(watch.changed());   // the same again: settled
    EXPECT_FALSE(watch.changed());
}

}  // namespace
