// What a run of sqn2wav leaves at its output path: the new file in one step
// on success, and what was there before on any failure or interrupt.

#include "process_test.h"

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

    // Waits until the run writes its hidden file.
    bool writing(const std::string& prefix = ".out.wav.") const
    {
        for (int wait = 0; wait < 20000; ++wait) {
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
    const Result r = runArgs({SQN2WAV_BINARY, path("held.sqn"), out()}, fileSizeLimit(10 << 20));
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

    if (::geteuid() != 0) {
        GTEST_SKIP() << "the permission cases run as root, as another user";
    }
    const auto asNobody = [] {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(99);
        }
    };
    fs::permissions(dir_, fs::perms::all);
    fs::permissions(path("out"), fs::perms::all);
    for (const char* stream : {"stdout.txt", "stderr.txt"}) {
        fs::remove(path(stream));
    }
    // A write-protected file in a folder the user may write.
    writeFile("out/locked.wav", old);
    ::chmod(out("locked.wav").c_str(), 0444);
    r = runArgs({SQN2WAV_BINARY, path("song.sqn"), out("locked.wav")}, asNobody);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "failed to open output file.\n");
    EXPECT_EQ(readFile(out("locked.wav")), old);
    EXPECT_EQ(modeOf(out("locked.wav")), 0444u);

    // A file the user may write in a folder they may not.
    fs::create_directories(path("fixed"));
    writeFile("fixed/open.wav", old);
    ::chmod(path("fixed/open.wav").c_str(), 0666);
    ::chmod(path("fixed").c_str(), 0755);
    r = runArgs({SQN2WAV_BINARY, path("song.sqn"), path("fixed/open.wav")}, asNobody);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "failed to open output file.\n");
    EXPECT_EQ(readFile(path("fixed/open.wav")), old);
    EXPECT_EQ(listing(path("fixed")), std::vector<std::string>{"open.wav"});
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

}  // namespace
