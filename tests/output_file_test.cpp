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
        for (const int signal : {SIGINT, SIGTERM}) {
            const pid_t pid = start({SQN2WAV_BINARY, path("long.sqn"), out()}, fileSizeLimit(256 << 20));
            bool writing = false;
            for (int wait = 0; wait < 20000 && !writing; ++wait) {
                for (const std::string& name : listing(path("out"))) {
                    writing = writing || name.rfind(".out.wav.", 0) == 0;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
            ASSERT_TRUE(writing) << "no hidden file appeared";
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

}  // namespace
