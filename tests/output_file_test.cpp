// What a run of sqn2wav leaves at its output path: the new file in one step
// on success, and what was there before on any failure or interrupt.

#include "process_test.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

namespace {

const Bytes kWorkedExample{0x78, 0x04, 0x00, 0x04, 0x28, 0x00, 0x03, 0x80, 0x00, 0x02,
                           0x04, 0x00, 0x01, 0x04, 0x04, 0x02, 0x00, 0x00, 0x06, 0x00};
constexpr std::size_t kWorkedExampleWavBytes = 44 + 24064 * 4;

class OutputPath : public ProcessTest {
protected:
    void SetUp() override
    {
        ProcessTest::SetUp();
        fs::create_directories(path("out"));
        writeFile("song.sqn", kWorkedExample);
    }

    std::string out(const std::string& name = "out.wav") const { return path("out/" + name); }

    static std::function<void()> fileSizeLimit(rlim_t bytes)
    {
        return [bytes] {
            const rlimit limit{bytes, bytes};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        };
    }

    // Waits until the run writes its hidden file (a generous minute, for a
    // busy machine).
    bool writing(const std::string& prefix = ".out.wav.") const
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < until) {
            for (const std::string& name : listing(path("out"))) {
                if (name.rfind(prefix, 0) == 0) {
                    return true;
                }
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        return false;
    }

    static mode_t modeOf(const std::string& file)
    {
        struct stat st {};
        ::stat(file.c_str(), &st);
        return st.st_mode & 07777;
    }
};

TEST_F(OutputPath, FailedOrInterruptedRunsLeaveItAsItWas)
{
    const Bytes old{'o', 'l', 'd', ' ', 'w', 'a', 'v'};
    for (const bool existing : {true, false}) {
        fs::remove(out());
        if (existing) {
            writeFile("out/out.wav", old);
        }
        const std::vector<std::string> before = listing(path("out"));

        // The disk fills up in the middle of the song.
        Result r = runArgs({SQN2WAV_BINARY, path("song.sqn"), out()}, fileSizeLimit(65536));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "failed to write pcm frames.\n");
        EXPECT_EQ(listing(path("out")), before);
        if (existing) {
            EXPECT_EQ(readFile(out()), old);
        }

        // Interrupted while rendering six hours of song (the size limit
        // only keeps the disk safe should the signal come late).
        writeFile("long.sqn", {1, 1, 0, 1, 255});
        for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGUSR1, SIGALRM, SIGXCPU}) {
            const pid_t pid = start({SQN2WAV_BINARY, path("long.sqn"), out()}, fileSizeLimit(256 << 20));
            ASSERT_TRUE(writing()) << "no hidden file appeared";
            ::kill(pid, signal);
            r = finish(pid);
            EXPECT_EQ(r.status, 128 + signal);
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(listing(path("out")), before) << "signal " << signal;
            if (existing) {
                EXPECT_EQ(readFile(out()), old);
            }
        }
    }
}

// A reader that stops reading (`sqn2wav song.sqn /dev/stdout | head -c 44`)
// ends the run as it ends any program in a pipeline: by SIGPIPE, silently,
// whichever thread was writing.
TEST_F(OutputPath, AClosedPipeEndsTheRunSilently)
{
    writeFile("long.sqn", {1, 1, 0, 1, 255});
    for (int run = 0; run < 3; ++run) {
        const Result r = runArgs({SQN2WAV_BINARY, path("long.sqn"), "/dev/fd/3"}, [] {
            int ends[2];
            if (::pipe(ends) == 0) {
                ::close(ends[0]);
                ::dup2(ends[1], 3);
            }
        });
        EXPECT_EQ(r.status, 128 + SIGPIPE);
        EXPECT_EQ(r.err, "");
    }
}

// A song long enough to be rendered in stretches on several cores: a
// stretch written at its place past the file size limit fails the run as a
// full disk does, and the path keeps what it held.
TEST_F(OutputPath, AFailedLaterStretchLeavesItAsItWas)
{
    writeFile("out/out.wav", {'o', 'l', 'd'});
    const std::vector<std::string> before = listing(path("out"));
    writeFile("held.sqn", {60, 1, 0, 2, 255, 4, 2, 255, 0, 1, 90, 0, 6, 0});  // 90 s, 17 MB
    const Result r = runArgs({SQN2WAV_BINARY, "--threads", "2", path("held.sqn"), out()}, fileSizeLimit(10 << 20));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "failed to write pcm frames.\n");
    EXPECT_EQ(listing(path("out")), before);
    EXPECT_EQ(readFile(out()), (Bytes{'o', 'l', 'd'}));
}

TEST_F(OutputPath, SuccessReplacesItWholeKeepingPermissions)
{
    writeFile("out/out.wav", {'o', 'l', 'd'});
    ::chmod(out().c_str(), 0604);
    const std::vector<std::string> before = listing(path("out"));
    Result r = runArgs({SQN2WAV_BINARY, path("song.sqn"), out()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(readFile(out()).size(), kWorkedExampleWavBytes);
    EXPECT_EQ(modeOf(out()), 0604u);
    EXPECT_EQ(listing(path("out")), before);

    // A new file gets what the umask allows of 0666.
    r = runArgs({SQN2WAV_BINARY, path("song.sqn"), out("new.wav")}, [] { ::umask(027); });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(modeOf(out("new.wav")), 0640u);

    // A symbolic link stays one, and the file it points to is written.
    writeFile("out/target.wav", {'o', 'l', 'd'});
    fs::create_symlink("target.wav", out("link.wav"));
    r = runArgs({SQN2WAV_BINARY, path("song.sqn"), out("link.wav")});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(fs::is_symlink(out("link.wav")));
    EXPECT_EQ(readFile(out("target.wav")).size(), kWorkedExampleWavBytes);

    // A device takes the file as it is written.
    r = runArgs({SQN2WAV_BINARY, path("song.sqn"), "/dev/null"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

// A run whose caller ignores hangups (nohup) goes on through one.
TEST_F(OutputPath, AnIgnoredHangupStaysIgnored)
{
    writeFile("long.sqn", {1, 1, 0, 1, 255});
    const pid_t pid = start({SQN2WAV_BINARY, path("long.sqn"), out()}, [] {
        ::signal(SIGHUP, SIG_IGN);
        const rlimit limit{256 << 20, 256 << 20};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    });
    ASSERT_TRUE(writing());
    ::kill(pid, SIGHUP);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), 0) << "the hangup ended the run";
    ::kill(pid, SIGTERM);
    EXPECT_EQ(finish(pid).status, 128 + SIGTERM);
    EXPECT_TRUE(listing(path("out")).empty());
}

// Where no hidden file can be made beside an existing file, or the user may
// not write it, the run fails and the file stays byte for byte as it was.
TEST_F(OutputPath, AnExistingFileIsNeverWrittenInPlace)
{
    const Bytes old{'o', 'l', 'd', ' ', 'w', 'a', 'v'};

    // A name so long that ".NAME.XXXXXX" is past the file system's limit.
    const std::string longName = std::string(250, 'n') + ".wav";
    writeFile("out/" + longName, old);
    Result r = runArgs({SQN2WAV_BINARY, path("song.sqn"), out(longName)}, fileSizeLimit(65536));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "failed to write pcm frames.\n");
    EXPECT_EQ(readFile(out(longName)), old);
    EXPECT_EQ(listing(path("out")), std::vector<std::string>{longName});
    r = runArgs({SQN2WAV_BINARY, path("song.sqn"), out(longName)});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(readFile(out(longName)).size(), kWorkedExampleWavBytes);
    EXPECT_EQ(listing(path("out")), std::vector<std::string>{longName});

    // The permission cases, as another user.
    std::string why;
    const std::string sqn2wav = copyForNobody(SQN2WAV_BINARY, why);
    if (sqn2wav.empty()) {
        GTEST_SKIP() << why;
    }
    fs::permissions(path("out"), fs::perms::all);
    for (const char* stream : {"stdout.txt", "stderr.txt"}) {
        fs::remove(path(stream));
    }
    // A write-protected file in a folder the user may write.
    writeFile("out/locked.wav", old);
    ::chmod(out("locked.wav").c_str(), 0444);
    r = runArgs({sqn2wav, path("song.sqn"), out("locked.wav")}, becomeNobody);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "failed to open output file.\n");
    EXPECT_EQ(readFile(out("locked.wav")), old);
    EXPECT_EQ(modeOf(out("locked.wav")), 0444u);

    // A file the user may write in a folder they may not.
    fs::create_directories(path("fixed"));
    writeFile("fixed/open.wav", old);
    ::chmod(path("fixed/open.wav").c_str(), 0666);
    ::chmod(path("fixed").c_str(), 0755);
    r = runArgs({sqn2wav, path("song.sqn"), path("fixed/open.wav")}, becomeNobody);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "failed to open output file.\n");
    EXPECT_EQ(readFile(path("fixed/open.wav")), old);
    EXPECT_EQ(listing(path("fixed")), std::vector<std::string>{"open.wav"});
}

// Threads of the user nobody running now (the limit on processes counts
// threads).
rlim_t nobodysThreads()
{
    rlim_t count = 0;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        struct stat st {};
        const std::string task = entry.path().string() + "/task";
        if (::stat(entry.path().c_str(), &st) == 0 && st.st_uid == kNobody && fs::exists(task)) {
            std::error_code error;
            count += static_cast<rlim_t>(std::distance(fs::directory_iterator(task, error), fs::directory_iterator()));
        }
    }
    return count;
}

// Under a limit on processes (ulimit -u, a container's pids limit) some or
// all of the threads sqn2wav asks for cannot start: it renders on those it
// gets, the same bytes, and leaves nothing else behind.
TEST_F(OutputPath, FewerThreadsThanAskedForWriteTheSameFile)
{
    // A song of 64 seconds: long enough to share among threads.
    Bytes song{120, 4};
    for (int row = 0; row < 128; ++row) {
        for (std::uint8_t v = 0; v < 6; v += 2) {
            song.insert(song.end(), {v, 4, static_cast<std::uint8_t>((row * 7 + v * 13) % 81), v, 2,
                                     static_cast<std::uint8_t>(row % 3)});
        }
        song.insert(song.end(), {0, 1, 4});
    }
    song.insert(song.end(), {0, 6, 0});
    writeFile("busy.sqn", song);
    ASSERT_EQ(runArgs({SQN2WAV_BINARY, path("busy.sqn"), path("alone.wav")}).status, 0);
    const Bytes alone = readFile(path("alone.wav"));
    ASSERT_GT(alone.size(), 64u * 48000 * 4);

    std::string why;
    const std::string sqn2wav = copyForNobody(SQN2WAV_BINARY, why);
    if (sqn2wav.empty()) {
        GTEST_SKIP() << why;
    }
    fs::permissions(path("out"), fs::perms::all);
    // No thread more than the program's own, one, two.
    for (const auto& [extra, threads] : {std::pair<rlim_t, const char*>{0, "2"}, {1, "4"}, {2, "8"}}) {
        {
            for (const char* stream : {"stdout.txt", "stderr.txt"}) {
                fs::remove(path(stream));
            }
            const rlim_t allowed = nobodysThreads() + 1 + extra;
            const Result r = runArgs({sqn2wav, "--threads", threads, path("busy.sqn"), out()}, [allowed] {
                const rlimit limit{allowed, allowed};
                ::setrlimit(RLIMIT_NPROC, &limit);
                // The leak checker needs a thread of its own at exit, which
                // the limit refuses.
                ::setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
                becomeNobody();
            });
            EXPECT_EQ(r.status, 0) << extra << " more threads, " << threads << " asked for: " << r.err;
            EXPECT_EQ(r.err, "");
            EXPECT_TRUE(readFile(out()) == alone) << extra << " more threads, " << threads << " asked for";
            EXPECT_EQ(listing(path("out")), std::vector<std::string>{"out.wav"});
        }
    }
}

// Whatever /proc/stat holds (an endless device, a pipe no one writes),
// sqn2wav chooses its threads at once and writes the same file: it is
// run with one or the other bound over /proc/stat in a mount namespace of
// its own, where the system allows one.
TEST_F(OutputPath, WhateverTheSchedulersCountHoldsTheRenderStartsAtOnce)
{
    // A song of a minute and more: long enough to look for idle cores.
    Bytes song{120, 4};
    for (int row = 0; row < 128; ++row) {
        song.insert(song.end(), {0, 4, static_cast<std::uint8_t>(20 + row % 40), 0, 2, 8, 0, 1, 4});
    }
    song.insert(song.end(), {0, 6, 0});
    writeFile("minute.sqn", song);
    ASSERT_EQ(runArgs({SQN2WAV_BINARY, path("minute.sqn"), path("alone.wav")}).status, 0);
    const Bytes alone = readFile(path("alone.wav"));
    ASSERT_GT(alone.size(), 60u * 48000 * 4);
    ASSERT_EQ(::mkfifo(path("stat.fifo").c_str(), 0600), 0);
    for (const std::string& stand : {std::string("/dev/zero"), path("stat.fifo")}) {
        const auto bound = [stand] {
            if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                ::mount(stand.c_str(), "/proc/stat", nullptr, MS_BIND, nullptr) != 0) {
                ::_exit(98);
            }
        };
        const auto began = std::chrono::steady_clock::now();
        const pid_t pid = start({SQN2WAV_BINARY, path("minute.sqn"), out()}, bound);
        // A deadline of ten seconds: the render takes a fraction of one
        // (reading an endless /proc/stat word by word took twenty).
        Result r;
        for (int waited = 0; waited < 200; ++waited) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (r.status == -1) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        if (r.status == 98) {
            GTEST_SKIP() << "no mount namespace may be made here (that needs root)";
        }
        EXPECT_EQ(r.status, 0) << stand << " after "
                               << std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count()
                               << " s";
        EXPECT_TRUE(readFile(out()) == alone) << stand;
    }
}

// A link stays a link, and the file it leads to is replaced whole: a failed
// run leaves that file as it was.
TEST_F(OutputPath, ALinkedFileIsReplacedWhole)
{
    const Bytes old{'o', 'l', 'd'};
    writeFile("out/target.wav", old);
    fs::create_symlink("target.wav", out("link.wav"));
    Result r = runArgs({SQN2WAV_BINARY, path("song.sqn"), out("link.wav")}, fileSizeLimit(65536));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(readFile(out("target.wav")), old);
    EXPECT_EQ(listing(path("out")), (std::vector<std::string>{"link.wav", "target.wav"}));
}

// A link to a file that is not there yet (ln -s final.wav current.wav): the
// file is made whole through a hidden file beside it, through a chain of
// links too, and a failed run leaves nothing.
TEST_F(OutputPath, ADanglingLinkGetsItsFileWhole)
{
    fs::create_directories(path("out/takes"));
    fs::create_symlink("takes/final.wav", out("current.wav"));
    fs::create_symlink("current.wav", out("latest.wav"));
    const std::vector<std::string> before = listing(path("out"));
    for (const char* name : {"current.wav", "latest.wav"}) {
        Result r = runArgs({SQN2WAV_BINARY, path("song.sqn"), out(name)}, fileSizeLimit(65536));
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_EQ(r.err, "failed to write pcm frames.\n");
        EXPECT_EQ(listing(path("out")), before) << name;
        EXPECT_TRUE(listing(path("out/takes")).empty()) << name;
    }
    const Result r = runArgs({SQN2WAV_BINARY, path("song.sqn"), out("latest.wav")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_symlink(out("current.wav")));
    EXPECT_TRUE(fs::is_symlink(out("latest.wav")));
    EXPECT_EQ(listing(path("out/takes")), std::vector<std::string>{"final.wav"});
    EXPECT_EQ(readFile(path("out/takes/final.wav")).size(), kWorkedExampleWavBytes);
}

}  // namespace
