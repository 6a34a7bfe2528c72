// libsqn's C interface against what sqn2wav writes, cut any way, in either
// format, on many threads, and without allocating while it renders.

#include "process_test.h"

#include <sqn/sqn.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <thread>
#include <vector>

namespace {

std::atomic<long> allocations{0};

}  // namespace

// Counts every allocation of the process, the library's included. Kept out
// of line, so that the compiler does not pair its malloc and free with the
// new and delete expressions it inlines them into.
[[gnu::noinline]] void* operator new(std::size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}

[[gnu::noinline]] void operator delete(void* p) noexcept
{
    std::free(p);
}

[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

namespace {

const Bytes kWorkedExample{0x78, 0x04, 0x00, 0x04, 0x28, 0x00, 0x03, 0x80, 0x00, 0x02,
                           0x04, 0x00, 0x01, 0x04, 0x04, 0x02, 0x00, 0x00, 0x06, 0x00};

struct PlayerCloser {
    void operator()(sqn_player* player) const { sqn_player_close(player); }
};
using Player = std::unique_ptr<sqn_player, PlayerCloser>;

Player open(const Bytes& song, unsigned rate = 48000, bool looping = false)
{
    Player player(sqn_player_open(song.data(), song.size(), rate));
    if (player) {
        sqn_player_set_looping(player.get(), looping ? 1 : 0);
    }
    return player;
}

// As sqn2wav renders: blocks of 512 frames up to the one the song ends in.
std::vector<std::int16_t> renderLikeSqn2wav(const Bytes& song)
{
    const Player player = open(song);
    std::vector<std::int16_t> out;
    std::int16_t block[2 * 512];
    do {
        sqn_player_render_s16(player.get(), block, 512);
        out.insert(out.end(), block, block + 2 * 512);
    } while (!sqn_player_finished(player.get()));
    return out;
}

// `frames` frames of a song, rendered in blocks of `blockFrames`.
std::vector<std::int16_t> renderInBlocks(const Bytes& song, std::size_t frames, std::size_t blockFrames)
{
    const Player player = open(song, 48000, true);
    std::vector<std::int16_t> out(2 * frames);
    for (std::size_t done = 0; done < frames; done += blockFrames) {
        sqn_player_render_s16(player.get(), out.data() + 2 * done, std::min(blockFrames, frames - done));
    }
    return out;
}

Bytes randomSong(std::mt19937& random)
{
    Bytes song{static_cast<std::uint8_t>(100 + random() % 100), static_cast<std::uint8_t>(2 + random() % 8)};
    for (int i = 0; i < 300; ++i) {
        const auto command = static_cast<std::uint8_t>(1 + random() % 5);
        song.insert(song.end(), {static_cast<std::uint8_t>(random() % 6), command,
                                 static_cast<std::uint8_t>(command == 1 || command == 5 ? random() % 3 : random() % 256)});
    }
    song.insert(song.end(), {0, 6, 0});
    return song;
}

class Library : public ProcessTest {};

TEST_F(Library, OpensWhatSqn2wavLoads)
{
    for (const Bytes& bad : {Bytes{}, Bytes{120}, Bytes{0, 4}, Bytes{120, 0}, Bytes{0, 0, 0, 2, 1}}) {
        EXPECT_EQ(sqn_player_open(bad.data(), bad.size(), 48000), nullptr) << bad.size() << " bytes";
    }
    EXPECT_EQ(sqn_player_open(kWorkedExample.data(), kWorkedExample.size(), 0), nullptr);
    EXPECT_NE(open({120, 4}), nullptr);
    sqn_player_close(nullptr);
    EXPECT_STREQ(sqn_version(), SQN_PROJECT_VERSION);
}

// Rendered in 512-frame blocks with looping off, the frames are the data
// chunk sqn2wav writes, byte for byte.
TEST_F(Library, MatchesTheDataSqn2wavWrites)
{
    std::vector<std::string> songs = {"demo", "chords", "groove", "loops"};
    writeFile("worked.sqn", kWorkedExample);
    std::mt19937 random(9);
    for (int i = 0; i < 3; ++i) {
        writeFile("random" + std::to_string(i) + ".sqn", randomSong(random));
    }
    std::vector<std::string> paths;
    for (const std::string& name : songs) {
        paths.push_back(std::string(EXAMPLES_BUILD_DIR) + "/" + name + ".sqn");
    }
    paths.push_back(path("worked.sqn"));
    for (int i = 0; i < 3; ++i) {
        paths.push_back(path("random" + std::to_string(i) + ".sqn"));
    }
    for (const std::string& song : paths) {
        ASSERT_EQ(runArgs({SQN2WAV_BINARY, song, path("out.wav")}).status, 0) << song;
        const Bytes wav = readFile(path("out.wav"));
        const std::vector<std::int16_t> frames = renderLikeSqn2wav(readFile(song));
        ASSERT_EQ(wav.size(), 44 + 2 * frames.size()) << song;
        EXPECT_EQ(std::memcmp(wav.data() + 44, frames.data(), 2 * frames.size()), 0) << song;
    }
}

TEST_F(Library, FramesDoNotDependOnHowTheyAreCut)
{
    const Bytes song = readFile(std::string(EXAMPLES_BUILD_DIR) + "/demo.sqn");
    constexpr std::size_t kFrames = 300000;
    const std::vector<std::int16_t> whole = renderInBlocks(song, kFrames, kFrames);
    for (const std::size_t block : {1, 7, 512, 100000}) {
        EXPECT_TRUE(renderInBlocks(song, kFrames, block) == whole) << "blocks of " << block;
    }
}

// The float output is the mix the 16-bit output is converted from: limited
// to ±1, times 32767, truncated.
TEST_F(Library, FloatsAreTheUnclampedMix)
{
    // Four cycles and both hits at the top volume, to go past full scale.
    Bytes song{120, 4};
    for (std::uint8_t v = 0; v < 6; ++v) {
        song.insert(song.end(), {v, 3, 255, v, 2, 8});
    }
    song.insert(song.end(), {0, 1, 8, 0, 6, 0});
    const Player s16 = open(song);
    const Player f32 = open(song);
    std::vector<std::int16_t> ints(2 * 20000);
    std::vector<float> floats(2 * 20000);
    sqn_player_render_s16(s16.get(), ints.data(), 20000);
    sqn_player_render_f32(f32.get(), floats.data(), 20000);
    bool pastFullScale = false;
    for (std::size_t i = 0; i < ints.size(); ++i) {
        const float limited = std::min(1.0f, std::max(-1.0f, floats[i]));
        ASSERT_EQ(ints[i], static_cast<std::int16_t>(limited * 32767.0f)) << "value " << i;
        pastFullScale = pastFullScale || std::fabs(floats[i]) > 1.0f;
    }
    EXPECT_TRUE(pastFullScale);
}

// Independent players on several threads give what each gives alone.
TEST_F(Library, PlayersOnManyThreads)
{
    std::mt19937 random(77);
    std::vector<Bytes> songs;
    std::vector<std::vector<std::int16_t>> alone;
    for (int i = 0; i < 6; ++i) {
        songs.push_back(randomSong(random));
        alone.push_back(renderLikeSqn2wav(songs.back()));
    }
    std::vector<std::vector<std::int16_t>> together(songs.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < songs.size(); ++i) {
        threads.emplace_back([&, i] { together[i] = renderLikeSqn2wav(songs[i]); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_TRUE(together == alone);
}

// Safe in a real-time callback: rendering, looping and asking whether the
// song has ended allocate nothing.
TEST_F(Library, RenderingAllocatesNothing)
{
    const Bytes song = readFile(std::string(EXAMPLES_BUILD_DIR) + "/demo.sqn");
    std::vector<std::int16_t> ints(2 * 4096);
    std::vector<float> floats(2 * 4096);
    long before = allocations.load();
    const Player player = open(song, 44100, true);
    ASSERT_GT(allocations.load(), before);  // the counter sees the library's allocations
    before = allocations.load();
    for (int i = 0; i < 400; ++i) {
        sqn_player_render_s16(player.get(), ints.data(), 4096);
        sqn_player_render_f32(player.get(), floats.data(), 4096);
        sqn_player_finished(player.get());
    }
    EXPECT_EQ(allocations.load(), before);
    // With looping on (the default), the demo plays on past its end mark.
    EXPECT_FALSE(sqn_player_finished(player.get()));
}

}  // namespace
