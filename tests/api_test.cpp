// libsqn's C interface against what sqn2wav writes, cut any way, in either
// format, on many threads, and without allocating while it renders.

#include "process_test.h"

#include <sqn/sqn.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
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
std::vector<std::int16_t> renderLikeSqn2wav(sqn_player* player)
{
    std::vector<std::int16_t> out;
    std::int16_t block[2 * 512];
    do {
        sqn_player_render_s16(player, block, 512);
        out.insert(out.end(), block, block + 2 * 512);
    } while (!sqn_player_finished(player));
    return out;
}

std::vector<std::int16_t> renderLikeSqn2wav(const Bytes& song)
{
    return renderLikeSqn2wav(open(song).get());
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
        sqn_player_position(player.get());
        sqn_player_loop_passes(player.get());
        sqn_player_set_muted(player.get(), static_cast<unsigned>(i % 6), i % 2);
    }
    sqn_player_seek(player.get(), 480000);
    EXPECT_EQ(allocations.load(), before);
    // With looping on (the default), the demo plays on past its end mark.
    EXPECT_FALSE(sqn_player_finished(player.get()));
}

// Where the song is: frames rendered, passes, and its length, which is the
// frame in which sqn_player_finished turns 1.
TEST_F(Library, PositionPassesAndLength)
{
    std::mt19937 random(11);
    for (int trial = 0; trial < 20; ++trial) {
        const Bytes song = trial == 0 ? kWorkedExample : randomSong(random);
        const Player player = open(song);
        const std::uint64_t length = sqn_player_length(player.get());
        ASSERT_GT(length, 0u);
        // Not finished one frame before; finished with that frame.
        std::vector<std::int16_t> frames(2 * length);
        sqn_player_render_s16(player.get(), frames.data(), length - 1);
        EXPECT_EQ(sqn_player_finished(player.get()), 0) << trial;
        sqn_player_render_s16(player.get(), frames.data(), 1);
        EXPECT_EQ(sqn_player_finished(player.get()), 1) << trial;
        EXPECT_EQ(sqn_player_position(player.get()), length);
        if (trial == 0) {
            EXPECT_EQ(length, 24006u);  // LoopEnd is taken in frame 24005
        }
        // Looping, the same length, and the passes counted as they go by.
        const Player looping = open(song, 48000, true);
        EXPECT_EQ(sqn_player_length(looping.get()), length);
    }
    const Player looping = open(kWorkedExample, 48000, true);
    std::vector<std::int16_t> block(2 * 24006);
    EXPECT_EQ(sqn_player_loop_passes(looping.get()), 0u);
    sqn_player_render_s16(looping.get(), block.data(), 24006);
    EXPECT_EQ(sqn_player_loop_passes(looping.get()), 1u);
    sqn_player_render_s16(looping.get(), block.data(), 24006);
    EXPECT_EQ(sqn_player_loop_passes(looping.get()), 2u);
    // The position counts every frame played, across the passes too, and
    // from where a seek went.
    EXPECT_EQ(sqn_player_position(looping.get()), 2u * 24006);
    sqn_player_seek(looping.get(), 50000);
    sqn_player_render_s16(looping.get(), block.data(), 1000);
    EXPECT_EQ(sqn_player_position(looping.get()), 51000u);
}

// Seeking to a frame gives what rendering from the start and dropping that
// many frames gives, bit for bit: looping or not, at 44100 Hz too, twice.
TEST_F(Library, SeekIsRenderAndDrop)
{
    std::mt19937 random(12);
    for (int trial = 0; trial < 24; ++trial) {
        const Bytes song = randomSong(random);
        const unsigned rate = trial % 2 == 0 ? 48000 : 44100;
        const bool looping = trial % 3 != 0;
        const std::uint64_t frame = random() % 300000;
        const Player played = open(song, rate, looping);
        std::vector<std::int16_t> dropped(2 * (frame + 4096));
        sqn_player_render_s16(played.get(), dropped.data(), frame + 4096);
        const Player sought = open(song, rate, looping);
        std::vector<std::int16_t> out(2 * 4096);
        for (int again = 0; again < 2; ++again) {
            ASSERT_EQ(sqn_player_seek(sought.get(), frame), 0);
            EXPECT_EQ(sqn_player_position(sought.get()), frame);
            sqn_player_render_s16(sought.get(), out.data(), 4096);
            EXPECT_TRUE(std::equal(out.begin(), out.end(), dropped.begin() + static_cast<std::ptrdiff_t>(2 * frame)))
                << "trial " << trial << " frame " << frame;
        }
    }
}

// A seek far into a looping song goes round whole passes at once, and is
// still render-and-drop bit for bit: many passes in, checked against the
// render; a billion passes in (a seek that would otherwise take an hour),
// the same frames as a few passes in, with the passes counted.
TEST_F(Library, SeekingFarIntoALoopGoesRoundWholePasses)
{
    std::mt19937 random(31);
    for (int trial = 0; trial < 6; ++trial) {
        const Bytes song = randomSong(random);
        const Player probe = open(song, 48000, false);
        const std::uint64_t length = sqn_player_length(probe.get());
        const std::uint64_t frame = length * (8 + random() % 8) + random() % length;
        // Rendered from the start up to the frame, then the frames after it.
        const Player played = open(song, 48000, true);
        std::vector<std::int16_t> scratch(2 * 4096);
        for (std::uint64_t at = 0; at < frame; at += 4096) {
            sqn_player_render_s16(played.get(), scratch.data(), std::min<std::uint64_t>(4096, frame - at));
        }
        std::vector<std::int16_t> next(2 * 4096);
        const unsigned passes = sqn_player_loop_passes(played.get());
        sqn_player_render_s16(played.get(), next.data(), 4096);
        const Player sought = open(song, 48000, true);
        ASSERT_EQ(sqn_player_seek(sought.get(), frame), 0);
        EXPECT_EQ(sqn_player_loop_passes(sought.get()), passes) << trial;
        std::vector<std::int16_t> out(2 * 4096);
        sqn_player_render_s16(sought.get(), out.data(), 4096);
        EXPECT_EQ(out, next) << "trial " << trial << " frame " << frame;
    }
    // The worked example loops to its start every 24006 frames.
    const Player near = open(kWorkedExample, 48000, true);
    const Player far = open(kWorkedExample, 48000, true);
    ASSERT_EQ(sqn_player_seek(near.get(), 3 * 24006 + 777), 0);
    ASSERT_EQ(sqn_player_seek(far.get(), 1000000000ull * 24006 + 777), 0);
    EXPECT_EQ(sqn_player_loop_passes(far.get()), 1000000000u);
    EXPECT_EQ(sqn_player_position(far.get()), 1000000000ull * 24006 + 777);
    std::vector<std::int16_t> a(2 * 30000);
    std::vector<std::int16_t> b(2 * 30000);
    sqn_player_render_s16(near.get(), a.data(), 30000);
    sqn_player_render_s16(far.get(), b.data(), 30000);
    EXPECT_EQ(a, b);
}

// The benchmark's dense ten-minute song, sought to its end and then into
// it: the frames are the rendered ones. (How long a seek takes is for the
// benchmark, `make bench`.)
TEST_F(Library, SeekingTenMinutesOfADenseSong)
{
    ASSERT_EQ(runArgs({MAKE_BENCH_SONG_BINARY, "dense", path("dense.sqn")}).status, 0);
    const Bytes song = readFile(path("dense.sqn"));
    const Player player = open(song);
    const std::uint64_t tenMinutes = 600ull * 48000;
    ASSERT_GE(sqn_player_length(player.get()), tenMinutes);
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
        const auto start = std::chrono::steady_clock::now();
        sqn_player_seek(player.get(), tenMinutes);
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::printf("ten minutes sought in %.1f ms\n", 1000.0 * best);
    const std::uint64_t into = 7ull * 60 * 48000 + 12345;
    const Player played = open(song);
    std::vector<std::int16_t> all(2 * (into + 4096));
    sqn_player_render_s16(played.get(), all.data(), into + 4096);
    std::vector<std::int16_t> next(2 * 4096);
    sqn_player_seek(player.get(), into);
    sqn_player_render_s16(player.get(), next.data(), 4096);
    EXPECT_TRUE(std::equal(next.begin(), next.end(), all.begin() + static_cast<std::ptrdiff_t>(2 * into)));
}

// The rates a player accepts are the ones the header names.
TEST_F(Library, AcceptsTheRatesTheHeaderNames)
{
    for (const unsigned rate : {0u, 1u, 999u, 768001u, 4294967295u}) {
        EXPECT_EQ(open(kWorkedExample, rate), nullptr) << rate;
    }
    for (const unsigned rate : {1000u, 8000u, 44100u, 96000u, 768000u}) {
        EXPECT_NE(open(kWorkedExample, rate), nullptr) << rate;
    }
    const std::string text = "tempo 120 4\nnote 0 4\n";
    char error[96];
    EXPECT_EQ(sqn_player_open_text(text.data(), text.size(), 4294967295u, error, sizeof error), nullptr);
    EXPECT_STREQ(error, "1:1: expected a sample rate of 1000 … 768000 frames a second, found 4294967295");
}

// The frames a wait of `seconds` lasts after the frame that sets it, where
// single precision cannot count it down: the exact number of the player's
// frame lengths it holds, rounded up.
std::uint64_t exactFrames(float seconds, unsigned rate)
{
    int e = 0;
    int f = 0;
    const float dt = 1.0f / static_cast<float>(rate);
    const auto dtUnits = static_cast<unsigned __int128>(std::ldexp(std::frexp(dt, &e), 24));
    const auto secondUnits = static_cast<unsigned __int128>(std::ldexp(std::frexp(seconds, &f), 24));
    const unsigned __int128 scaled = secondUnits << (f - e);
    return static_cast<std::uint64_t>((scaled + dtUnits - 1) / dtUnits);
}

// At the highest rates the longest waits and gates (255 rows of a minute:
// 15300 s) last their exact length and cost nothing to count, to open or to
// seek through, nor does a seek past the end. The watchdog ends the test
// should any of it stall.
TEST_F(Library, LongWaitsAtHighRatesOpenAndSeekAtOnce)
{
    ::alarm(60);
    // A hit with a gate of 255 rows, a wait as long, the end.
    const Bytes song{1, 1, 4, 2, 255, 0, 1, 255, 0, 6, 0};
    for (const unsigned rate : {48000u, 96000u, 192000u, 768000u}) {
        const Player player = open(song, rate);
        ASSERT_NE(player, nullptr);
        // Frame 0 starts the hit, 1 sets the wait, then the wait's frames,
        // one to take LoopEnd.
        const std::uint64_t length = 2 + exactFrames(15300.0f, rate) + 1;
        EXPECT_EQ(sqn_player_length(player.get()), length) << rate;
        // Across the song's end, sought and played alike.
        std::vector<std::int16_t> played(2 * 8192);
        std::vector<std::int16_t> sought(2 * 4096);
        ASSERT_EQ(sqn_player_seek(player.get(), length - 4096), 0);
        sqn_player_render_s16(player.get(), played.data(), 8192);
        EXPECT_EQ(sqn_player_finished(player.get()), 1);
        ASSERT_EQ(sqn_player_seek(player.get(), length), 0);
        sqn_player_render_s16(player.get(), sought.data(), 4096);
        EXPECT_TRUE(std::equal(sought.begin(), sought.end(), played.begin() + 2 * 4096)) << rate;
        // An hour past the end, and the farthest frame there is: silence.
        for (const std::uint64_t frame : {std::uint64_t{length + 3600ull * rate}, ~std::uint64_t{0}}) {
            ASSERT_EQ(sqn_player_seek(player.get(), frame), 0);
            std::fill(sought.begin(), sought.end(), 1);
            sqn_player_render_s16(player.get(), sought.data(), 4096);
            EXPECT_TRUE(std::all_of(sought.begin(), sought.end(), [](std::int16_t v) { return v == 0; }));
            EXPECT_EQ(sqn_player_position(player.get()), frame + 4096);
        }
    }
    ::alarm(0);
}

// A muted voice plays on unheard: muting what --voices leaves out gives
// sqn2wav's file for those voices, and a voice heard again comes back in
// exactly where the unmuted render has it.
TEST_F(Library, MutedVoicesKeepTheirTime)
{
    const Bytes song = readFile(std::string(EXAMPLES_BUILD_DIR) + "/groove.sqn");
    writeFile("groove.sqn", song);
    ASSERT_EQ(runArgs({SQN2WAV_BINARY, "--voices", "0,4", path("groove.sqn"), path("stems.wav")}).status, 0);
    const Bytes wav = readFile(path("stems.wav"));
    const Player player = open(song);
    for (const unsigned voice : {1u, 2u, 3u, 5u}) {
        EXPECT_EQ(sqn_player_set_muted(player.get(), voice, 1), 0);
    }
    const std::vector<std::int16_t> out = renderLikeSqn2wav(player.get());
    ASSERT_EQ(wav.size(), 44 + 2 * out.size());
    EXPECT_EQ(std::memcmp(wav.data() + 44, out.data(), 2 * out.size()), 0);

    // Muted for its first 50000 frames, then heard: from there on the
    // frames are the unmuted render's (the other voices muted for good).
    const Player whole = open(song);
    const Player later = open(song);
    for (const unsigned voice : {0u, 1u, 2u, 3u, 4u}) {
        sqn_player_set_muted(whole.get(), voice, 1);
        sqn_player_set_muted(later.get(), voice, 1);
    }
    sqn_player_set_muted(later.get(), 5, 1);
    std::vector<std::int16_t> a(2 * 90000);
    std::vector<std::int16_t> b(2 * 90000);
    sqn_player_render_s16(whole.get(), a.data(), 90000);
    sqn_player_render_s16(later.get(), b.data(), 50000);
    EXPECT_TRUE(std::all_of(b.begin(), b.begin() + 2 * 50000, [](std::int16_t v) { return v == 0; }));
    EXPECT_EQ(sqn_player_set_muted(later.get(), 5, 0), 0);
    sqn_player_render_s16(later.get(), b.data() + 2 * 50000, 40000);
    EXPECT_TRUE(std::equal(a.begin() + 2 * 50000, a.end(), b.begin() + 2 * 50000));
    EXPECT_TRUE(std::any_of(a.begin() + 2 * 50000, a.end(), [](std::int16_t v) { return v != 0; }));

    // A note held across the moment it is heard again (a one-second note,
    // unmuted 0.625 s in, then two seconds to the next): it comes back in
    // where it would be and ends when it would, as if never muted; any
    // true value mutes.
    const Bytes held{120, 4, 0, 4, 33, 0, 2, 8, 0, 1, 16, 0, 2, 4, 0, 1, 8, 0, 6, 0};
    const Player heard = open(held);
    const Player back = open(held);
    const Player two = open(held);
    EXPECT_EQ(sqn_player_set_muted(back.get(), 0, 1), 0);
    EXPECT_EQ(sqn_player_set_muted(two.get(), 0, 2), 0);
    std::vector<std::int16_t> c(2 * 160000);
    std::vector<std::int16_t> d(2 * 160000);
    std::vector<std::int16_t> e(2 * 30000);
    sqn_player_render_s16(heard.get(), c.data(), 160000);
    sqn_player_render_s16(back.get(), d.data(), 30000);
    sqn_player_render_s16(two.get(), e.data(), 30000);
    EXPECT_TRUE(std::all_of(e.begin(), e.end(), [](std::int16_t v) { return v == 0; })) << "muted 2 is muted";
    sqn_player_set_muted(back.get(), 0, 0);
    sqn_player_render_s16(back.get(), d.data() + 2 * 30000, 130000);
    EXPECT_TRUE(std::equal(c.begin() + 2 * 30000, c.end(), d.begin() + 2 * 30000));

    EXPECT_EQ(sqn_player_set_muted(nullptr, 0, 1), -1);
    EXPECT_EQ(sqn_player_set_muted(player.get(), 6, 1), -1);
    EXPECT_EQ(sqn_player_set_muted(player.get(), 4294967295u, 0), -1);
}

// The text form, and why it did not open.
TEST_F(Library, OpensTheTextForm)
{
    const std::string text = "tempo 120 4\npitch 0 G5\nvolume 0 1.0\nnote 0 4\nwait 0 4\nnote 4 0\nloop-end 0 0\n";
    char error[64] = "untouched";
    const Player fromText(sqn_player_open_text(text.data(), text.size(), 48000, error, sizeof error));
    ASSERT_NE(fromText, nullptr);
    EXPECT_STREQ(error, "");
    const Player fromBytes = open(kWorkedExample);
    std::vector<std::int16_t> a(2 * 30000);
    std::vector<std::int16_t> b(2 * 30000);
    sqn_player_set_looping(fromText.get(), 0);
    sqn_player_render_s16(fromText.get(), a.data(), 30000);
    sqn_player_render_s16(fromBytes.get(), b.data(), 30000);
    EXPECT_EQ(a, b);

    const std::string bad = "tempo 120 4\nnote 0 x\nwait 0 300\n";
    EXPECT_EQ(sqn_player_open_text(bad.data(), bad.size(), 48000, error, sizeof error), nullptr);
    EXPECT_STREQ(error, "2:8: expected a gate length in rows, 0 … 255, found 'x'");
    char small[8];
    EXPECT_EQ(sqn_player_open_text(bad.data(), bad.size(), 48000, small, sizeof small), nullptr);
    EXPECT_STREQ(small, "2:8: ex");
    EXPECT_EQ(sqn_player_open_text(bad.data(), bad.size(), 48000, nullptr, 0), nullptr);
    const std::string zero = "tempo 0 4\n";
    EXPECT_EQ(sqn_player_open_text(zero.data(), zero.size(), 48000, error, sizeof error), nullptr);
    EXPECT_EQ(std::string(error).rfind("1:1: ", 0), 0u) << error;
    EXPECT_EQ(sqn_player_open_text(text.data(), text.size(), 0, error, sizeof error), nullptr);
    EXPECT_EQ(sqn_player_open_text(nullptr, 5, 48000, error, sizeof error), nullptr);
}

// NULL where a player belongs does nothing, and says so.
TEST_F(Library, NullPlayersDoNothing)
{
    sqn_player_render_s16(nullptr, nullptr, 0);
    std::int16_t ints[4] = {1, 2, 3, 4};
    float floats[4] = {1, 2, 3, 4};
    sqn_player_render_s16(nullptr, ints, 2);
    sqn_player_render_f32(nullptr, floats, 2);
    EXPECT_EQ(ints[0], 1);
    EXPECT_EQ(floats[3], 4.0f);
    sqn_player_set_looping(nullptr, 1);
    EXPECT_EQ(sqn_player_finished(nullptr), 0);
    EXPECT_EQ(sqn_player_position(nullptr), 0u);
    EXPECT_EQ(sqn_player_length(nullptr), 0u);
    EXPECT_EQ(sqn_player_loop_passes(nullptr), 0u);
    EXPECT_EQ(sqn_player_seek(nullptr, 10), -1);
    sqn_player_close(nullptr);
    const Player player = open(kWorkedExample);
    sqn_player_render_s16(player.get(), nullptr, 10);  // no buffer: nothing rendered
    EXPECT_EQ(sqn_player_position(player.get()), 0u);
    static_assert(SQN_VERSION_MAJOR == 1 && SQN_VERSION_MINOR == 3 && SQN_VERSION_PATCH == 0);
    EXPECT_EQ(std::to_string(SQN_VERSION_MAJOR) + "." + std::to_string(SQN_VERSION_MINOR) + "." +
                  std::to_string(SQN_VERSION_PATCH),
              SQN_PROJECT_VERSION);
}

}  // namespace
