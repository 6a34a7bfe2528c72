// A song rendered on several threads, each stretch after the first from a
// seek and written at its place: the file is the one a single thread
// writes, byte for byte, however the stretches fall and whoever takes them.

#include "render_song.h"
#include "memory_read.h"
#include "render_parts.h"
#include "song_player.h"
#include "test_bytes.h"
#include "wav_writer.h"
#include "write_behind.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// A busy song of `rows` rows of an eighth of a second: notes, pitches,
// volumes and gates on every voice, held notes across rows, a loop.
std::vector<std::uint8_t> busySong(std::mt19937& random, int rows)
{
    std::vector<std::uint8_t> song{120, 4, 0, 5, 0};
    for (int row = 0; row < rows; ++row) {
        for (std::uint8_t v = 0; v < 6; ++v) {
            if (random() % 3 == 0) {
                continue;
            }
            song.insert(song.end(), {v, 4, static_cast<std::uint8_t>(random() % 81)});
            song.insert(song.end(), {v, 3, static_cast<std::uint8_t>(40 + random() % 100)});
            song.insert(song.end(), {v, 2, static_cast<std::uint8_t>(random() % 12)});
        }
        song.insert(song.end(), {0, 1, static_cast<std::uint8_t>(1 + random() % 2)});
    }
    song.insert(song.end(), {0, 6, 0});
    return song;
}

class RenderingInStretches : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder_ = fs::temp_directory_path() / ("render-parts-" + std::to_string(::getpid()));
        fs::create_directories(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }

    // The WAV file the song renders to on `threads` threads, in stretches
    // of at least `minPart` frames.
    Bytes render(const std::vector<std::uint8_t>& song, std::size_t threads,
                 std::uint64_t minPart = RenderParts::kMinPartFrames) const
    {
        SongPlayer player;
        player.sampleRate = 48000.0f;
        player.looping = false;
        EXPECT_TRUE(player.load(memoryRead(song.data(), song.size())));
        const std::string path = (folder_ / "out.wav").string();
        WavWriter writer;
        EXPECT_TRUE(writer.open(path.c_str()));
        EXPECT_TRUE(renderSong(player, writer, threads, 0, minPart));
        EXPECT_TRUE(writer.finish());
        return readFile(path);
    }

    fs::path folder_;
};

// Busy songs of three and four and a half minutes on 1 to 8 threads (more
// threads than cores, so that stretches are taken from each other as
// threads run out of work), and a song too short to share.
TEST_F(RenderingInStretches, AnyNumberOfThreadsWritesTheSameFile)
{
    std::mt19937 random(2026);
    for (const int rows : {1000, 1500, 40}) {
        const std::vector<std::uint8_t> song = busySong(random, rows);
        const Bytes alone = render(song, 1);
        ASSERT_GT(alone.size(), 44u);
        for (const std::size_t threads : {2, 3, 8}) {
            EXPECT_TRUE(render(song, threads) == alone) << rows << " rows on " << threads << " threads";
        }
        // Stretches of a second: many, taken from each other as threads
        // finish, each steal a seek.
        for (int run = 0; run < 3; ++run) {
            EXPECT_TRUE(render(song, 8, 48000) == alone) << rows << " rows in short stretches";
        }
    }
}

// The signals blocked in thread `tid` of this process, from its SigBlk line.
std::uint64_t blockedSignals(const std::string& tid)
{
    std::ifstream status("/proc/self/task/" + tid + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("SigBlk:", 0) == 0) {
            return std::stoull(line.substr(7), nullptr, 16);
        }
    }
    return 0;
}

// A signal that ends the run removes the hidden file and exits; taken on a
// thread just starting or ending, it finds a stack that is not yet (or no
// longer) fully there. The threads a render starts leave those signals to
// the thread that began it (SIGPIPE, which a write raises on the thread
// that made it, aside).
TEST_F(RenderingInStretches, ItsThreadsLeaveEndingSignalsToTheCaller)
{
    std::mt19937 random(7);
    const std::vector<std::uint8_t> song = busySong(random, 1500);
    SongPlayer player;
    player.sampleRate = 48000.0f;
    player.looping = false;
    ASSERT_TRUE(player.load(memoryRead(song.data(), song.size())));
    const std::string path = (folder_ / "out.wav").string();
    WavWriter writer;
    ASSERT_TRUE(writer.open(path.c_str()));
    {
        WriteBehind behind(writer);
        RenderParts parts(player, writer, 3, 48000);
        std::size_t others = 0;
        const std::string self = std::to_string(::gettid());
        for (const auto& task : fs::directory_iterator("/proc/self/task")) {
            const std::string tid = task.path().filename().string();
            if (tid == self) {
                continue;
            }
            ++others;
            const std::uint64_t blocked = blockedSignals(tid);
            for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGXCPU}) {
                EXPECT_NE(blocked & (std::uint64_t{1} << (signal - 1)), 0u) << "signal " << signal << " in " << tid;
            }
        }
        EXPECT_GE(others, 1u);
        EXPECT_EQ(blockedSignals(self) & (std::uint64_t{1} << (SIGINT - 1)), 0u);
    }
}

}  // namespace
