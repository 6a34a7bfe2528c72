#include "pitch_table.h"
#include "song_bytes.h"
#include "song_player.h"
#include "timeline.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace {

constexpr float kDt = 1.0f / 48000.0f;

// The event index the sequencer will take next, after each of `frames` ticks.
std::vector<std::uint64_t> positions(SongPlayer& player, int frames)
{
    std::vector<std::uint64_t> result;
    for (int i = 0; i < frames; ++i) {
        player.tick(kDt);
        result.push_back(player.position);
    }
    return result;
}

// Frames ticked until `finished` is set, counting the frame that set it.
std::uint64_t framesUntilFinished(SongPlayer& player, std::uint64_t limit)
{
    for (std::uint64_t frame = 0; frame < limit; ++frame) {
        player.tick(kDt);
        if (player.finished) {
            return frame + 1;
        }
    }
    return limit;
}

TEST(PitchTable, ChainReproducesTheQuotedEntries)
{
    EXPECT_EQ(kPitchRatios[40], 1.0f);
    EXPECT_EQ(kPitchRatios[41], 1.059463f);
    EXPECT_EQ(kPitchRatios[52], 1.9999983f);
    EXPECT_EQ(kPitchRatios[28], 0.50000042f);
    EXPECT_NEAR(kPitchRatios[0], 0.0992128, 5e-8);
    EXPECT_EQ(kPitchRatios[80], 10.079343f);
    for (std::size_t n = 0; n < kPitchCount; ++n) {
        const double exact = std::pow(2.0, (static_cast<double>(n) - 40.0) / 12.0);
        EXPECT_NEAR(kPitchRatios[n] / exact, 1.0, 2.6e-6) << n;
    }
}

TEST(SongLoad, RejectsAMissingOrZeroHeader)
{
    for (const Bytes& song : {Bytes{}, Bytes{120}, Bytes{0, 4}, Bytes{120, 0}, Bytes{0, 0, 0, 2, 1}}) {
        SongPlayer player = driverPlayer();
        EXPECT_FALSE(loadSong(player, song)) << song.size() << " bytes";
        EXPECT_TRUE(player.events.empty());
        EXPECT_EQ(player.rowDuration, 0.0f);
    }
}

TEST(SongLoad, ReadsHeaderAndWholeEventsOnly)
{
    SongPlayer player = driverPlayer();
    ASSERT_TRUE(loadSong(player, {120, 4, 0, 2, 8, 7, 255, 200, 9}));
    EXPECT_EQ(player.rowDuration, 0.125f);
    ASSERT_EQ(player.events.size(), 2u);
    EXPECT_EQ(player.events[1].voice, 7);
    EXPECT_EQ(player.events[1].command, 255);
    EXPECT_EQ(player.events[1].param, 200);

    ASSERT_TRUE(loadSong(player, {3, 5}));
    EXPECT_TRUE(player.events.empty());
    EXPECT_EQ(player.rowDuration, 60.0f / 15.0f);
    EXPECT_FALSE(player.finished);
    player.tick(kDt);
    EXPECT_TRUE(player.finished);
}

// The largest song file loads, trailing bytes included; one byte more does
// not, and keeps no events.
TEST(SongLoad, StopsPastTheLargestSong)
{
    Bytes song(kMaxSongBytes, 0);
    song[0] = 120;
    song[1] = 4;
    SongPlayer player = driverPlayer();
    ASSERT_TRUE(loadSong(player, song));
    EXPECT_EQ(player.events.size(), (kMaxSongBytes - 2) / 3);
    song.push_back(0);
    EXPECT_FALSE(loadSong(player, song));
    EXPECT_TRUE(player.events.empty());
}

TEST(SongLoad, StartsOverOnEveryLoad)
{
    SongPlayer player = driverPlayer();
    ASSERT_TRUE(loadSong(player, {120, 4, 0, 2, 8, 0, 3, 200, 0, 1, 4}));
    positions(player, 3);
    EXPECT_TRUE(player.voices[0].active);

    ASSERT_TRUE(loadSong(player, {120, 4}));
    EXPECT_EQ(player.position, 0u);
    EXPECT_FALSE(player.waitTimer.running());
    EXPECT_FALSE(player.voices[0].active);
    EXPECT_EQ(player.voices[0].volume, 1.0f);
}

TEST(Sequencer, WorkedExampleFrameByFrame)
{
    SongPlayer player = driverPlayer();
    ASSERT_TRUE(loadSong(player, kWorkedExample));
    ASSERT_EQ(player.events.size(), 6u);

    player.tick(kDt);  // frame 0: SetPitch, SetVolume, NoteOn
    EXPECT_EQ(player.position, 3u);
    EXPECT_TRUE(player.voices[0].active);
    EXPECT_TRUE(player.voices[0].sustain);
    EXPECT_EQ(player.voices[0].gate.seconds, 0.5f);

    player.tick(kDt);  // frame 1: the 0.5 s wait
    EXPECT_EQ(player.position, 4u);
    EXPECT_EQ(player.waitTimer.seconds, 0.5f);

    for (int frame = 2; frame <= 24003; ++frame) {
        player.tick(kDt);
        ASSERT_EQ(player.position, 4u) << "frame " << frame;
    }
    EXPECT_LE(player.waitTimer.seconds, 0.0f);
    EXPECT_FALSE(player.waitTimer.widened);

    player.tick(kDt);  // frame 24004: voice 4 starts
    EXPECT_EQ(player.position, 5u);
    EXPECT_TRUE(player.voices[4].active);
    EXPECT_FALSE(player.voices[4].sustain);
    EXPECT_FALSE(player.finished);

    player.tick(kDt);  // frame 24005: LoopEnd ends the song
    EXPECT_TRUE(player.finished);
    EXPECT_EQ(player.position, 6u);
}

TEST(Sequencer, ZeroWaitsStillEndTheTick)
{
    for (std::uint8_t command : {1, 5, 6}) {
        SongPlayer player = driverPlayer();
        ASSERT_TRUE(loadSong(player, {120, 4, 0, 5, 0, 0, command, 0, 1, 2, 0}));
        EXPECT_EQ(positions(player, 3), (std::vector<std::uint64_t>{1, 2, 3}))
            << "command " << int(command);
        EXPECT_TRUE(player.voices[1].active);
    }
}

TEST(Sequencer, InvalidVoicesAndCommands)
{
    SongPlayer player = driverPlayer();
    // (6, Wait, 10) and (7, LoopEnd, 0) are skipped within the tick;
    // (0, 9, 0) is consumed and ends it.
    ASSERT_TRUE(loadSong(player, {120, 4, 6, 1, 10, 7, 6, 0, 0, 2, 1, 0, 9, 0, 1, 2, 1}));
    EXPECT_EQ(positions(player, 2), (std::vector<std::uint64_t>{3, 4}));
    EXPECT_TRUE(player.voices[0].active);
    EXPECT_FALSE(player.voices[1].active);
    EXPECT_FALSE(player.finished);
    player.tick(kDt);
    EXPECT_TRUE(player.voices[1].active);
}

TEST(Sequencer, VolumeAndPitchTakeEffectInTheSameTick)
{
    SongPlayer player = driverPlayer();
    ASSERT_TRUE(loadSong(player, {120, 4, 2, 3, 128, 2, 4, 255, 3, 3, 255, 3, 4, 40, 3, 4, 0, 2, 2, 1}));
    player.tick(kDt);
    EXPECT_EQ(player.position, 6u);
    EXPECT_TRUE(player.voices[2].active);
    EXPECT_EQ(player.voices[2].volume, 1.0f);
    EXPECT_EQ(player.voices[2].pitch, kPitchRatios[80]);
    EXPECT_EQ(player.voices[3].volume, 1.9921875f);
    EXPECT_EQ(player.voices[3].pitch, kPitchRatios[0]);
    // A pitch past the table's end plays its last entry; 40 is exactly unity.
    ASSERT_TRUE(loadSong(player, {120, 4, 1, 4, 81, 2, 4, 40}));
    player.tick(kDt);
    EXPECT_EQ(player.voices[1].pitch, 10.079343f);
    EXPECT_EQ(player.voices[2].pitch, 1.0f);
}

TEST(Sequencer, NotesWithNoWaitBetweenStartOneFrameApart)
{
    SongPlayer player = driverPlayer();
    ASSERT_TRUE(loadSong(player, {120, 4, 0, 2, 4, 4, 2, 0}));
    player.tick(kDt);
    EXPECT_TRUE(player.voices[0].active);
    EXPECT_FALSE(player.voices[4].active);
    player.tick(kDt);
    EXPECT_TRUE(player.voices[4].active);
}

TEST(Sequencer, LoopEndEndsTheSongOrJumpsBack)
{
    // Wait 1, LoopStart 0, NoteOn(1), LoopEnd 0, NoteOn(2).
    const Bytes song{120, 4, 0, 1, 1, 0, 5, 0, 1, 2, 0, 0, 6, 0, 2, 2, 0};

    SongPlayer once = driverPlayer();
    ASSERT_TRUE(loadSong(once, song));
    const std::uint64_t row = framesUntilFinished(once, 100000);
    EXPECT_EQ(once.position, 4u);
    EXPECT_FALSE(once.waitTimer.running());
    // Events after a non-looping LoopEnd are still taken in the next frame.
    once.tick(kDt);
    EXPECT_TRUE(once.voices[2].active);
    EXPECT_GT(row, 6000u);

    SongPlayer looping = driverPlayer();
    looping.looping = true;
    ASSERT_TRUE(loadSong(looping, song));
    EXPECT_EQ(framesUntilFinished(looping, 50000), 50000u);
    EXPECT_EQ(looping.loopStart, 2u);
    EXPECT_LT(looping.position, 4u);

    // No LoopStart seen: back to the first event.
    SongPlayer fromTop = driverPlayer();
    fromTop.looping = true;
    ASSERT_TRUE(loadSong(fromTop, {120, 4, 0, 2, 0, 0, 6, 0}));
    EXPECT_EQ(positions(fromTop, 3), (std::vector<std::uint64_t>{1, 0, 1}));
}

// The left channel of the first `frames` frames the player renders, as the
// 16-bit samples sqn2wav writes.
std::vector<std::int16_t> renderLeft(SongPlayer& player, std::size_t frames)
{
    std::vector<std::uint8_t> bytes(frames * 4);
    SampleBuffer output{SampleFormat::S16, ChannelLayout::Stereo, bytes.data(), bytes.size()};
    player.render(output);
    std::vector<std::int16_t> left(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        left[i] = static_cast<std::int16_t>(bytes[4 * i] | (bytes[4 * i + 1] << 8));
    }
    return left;
}

// A second NoteOn while the first hit still sounds starts the hit over:
// the output is the lone hit cut off where the second begins, then the
// whole hit again.
TEST(Sequencer, ANoteOnRestartsASoundingVoice)
{
    constexpr std::size_t kHitFrames = 4838;  // mixed frames of the 4444-frame hit at 48000 Hz
    SongPlayer lone = driverPlayer();
    ASSERT_TRUE(loadSong(lone, {240, 16, 4, 2, 0}));
    const std::vector<std::int16_t> hit = renderLeft(lone, kHitFrames);

    // A row of 1/64 s is 750 frames: the wait is set in frame 1, its 750th
    // decrement (frame 751) takes it to zero or below, and frame 752
    // starts the second hit.
    SongPlayer twice = driverPlayer();
    ASSERT_TRUE(loadSong(twice, {240, 16, 4, 2, 0, 0, 1, 1, 4, 2, 0}));
    const std::vector<std::int16_t> out = renderLeft(twice, 752 + kHitFrames);
    for (std::size_t frame = 0; frame < 752; ++frame) {
        ASSERT_EQ(out[frame], hit[frame]) << "frame " << frame;
    }
    for (std::size_t frame = 752; frame < out.size(); ++frame) {
        ASSERT_EQ(out[frame], hit[frame - 752]) << "frame " << frame;
    }
}

// Each wait sets the countdown afresh, whatever the last one left below
// zero: two 1-row waits at 120 × 4 take the next event in frame 12004.
TEST(Sequencer, EachWaitIsSetNotAdded)
{
    SongPlayer player = driverPlayer();
    ASSERT_TRUE(loadSong(player, {120, 4, 0, 1, 1, 0, 1, 1, 4, 2, 0}));
    std::uint64_t frame = 0;
    for (; frame < 20000 && !player.voices[4].active; ++frame) {
        player.tick(kDt);
    }
    EXPECT_EQ(frame - 1, 12004u);
}

TEST(Sequencer, GateCountsDownThenReleasesSustain)
{
    SongPlayer player = driverPlayer();
    ASSERT_TRUE(loadSong(player, {120, 4, 0, 2, 1}));
    player.tick(kDt);
    for (int frame = 1; frame < 6000; ++frame) {
        player.tick(kDt);
    }
    EXPECT_TRUE(player.voices[0].sustain);
    for (int frame = 0; frame < 3; ++frame) {
        player.tick(kDt);
    }
    EXPECT_FALSE(player.voices[0].sustain);
    EXPECT_EQ(player.voices[0].gate.seconds, 0.0f);
}

// A wait of 540 s: subtracting 1/48000 from a float of 512 or more changes
// nothing, so the countdown goes on in double precision and still ends after
// the wait's real length.
TEST(Sequencer, WaitsLongerThanSinglePrecisionCanCountStillEnd)
{
    SongPlayer player = driverPlayer();
    ASSERT_TRUE(loadSong(player, {1, 1, 0, 1, 9, 0, 2, 9}));
    EXPECT_EQ(player.rowDuration, 60.0f);
    const std::uint64_t frames = framesUntilFinished(player, 30'000'000);
    EXPECT_TRUE(player.waitTimer.widened);
    EXPECT_TRUE(player.voices[0].gate.widened || !player.voices[0].sustain);
    // Frame 0 sets the wait, 540 s of frames count it down, one takes the
    // NoteOn and the next finds the end.
    EXPECT_NEAR(static_cast<double>(frames), 540.0 * 48000.0 + 3.0, 2.0);
}

TEST(Countdown, StaysInSinglePrecisionWhileItMakesProgress)
{
    Countdown countdown;
    countdown.set(511.0f);
    float expected = 511.0f;
    for (int i = 0; i < 1000; ++i) {
        countdown.step(kDt);
        expected -= kDt;
        ASSERT_EQ(countdown.seconds, expected);
    }
    EXPECT_FALSE(countdown.widened);

    countdown.set(600.0f);
    countdown.step(kDt);
    EXPECT_TRUE(countdown.widened);
    EXPECT_TRUE(countdown.running());
    countdown.set(0.25f);
    EXPECT_FALSE(countdown.widened);
}

// Whether advance() from `start` leaves exactly the state of as many
// single steps, and says it took as many.
::testing::AssertionResult advanceMatchesSteps(float start, float dt, std::uint64_t limit)
{
    Countdown fast;
    fast.set(start);
    Countdown slow = fast;
    const std::uint64_t taken = fast.advance(dt, limit);
    std::uint64_t steps = 0;
    while (steps < limit && slow.running()) {
        slow.step(dt);
        ++steps;
    }
    if (taken == steps && fast.seconds == slow.seconds && fast.widened == slow.widened && fast.frames == slow.frames) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "start " << start << ", dt " << dt << ", limit " << limit << ": took "
                                         << taken << " to " << fast.seconds << " s, single steps " << steps << " to "
                                         << slow.seconds << " s";
}

// advance() must leave exactly the state of as many single steps.
TEST(Countdown, AdvanceMatchesSingleSteps)
{
    std::uint64_t seed = 12345;
    auto random = [&seed]() {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::uint32_t>(seed >> 33);
    };
    const float rates[] = {48000.0f, 44100.0f, 96000.0f, 8000.0f, 192000.0f};
    for (int trial = 0; trial < 400; ++trial) {
        // Two waits that stall single precision and run out in double; then
        // start values from a few frames up to past the stall, cut short.
        const float dt = trial < 2 ? kDt : 1.0f / rates[trial % 5];
        const float start = trial < 2 ? 515.0f + 7.25f * trial
                                      : static_cast<float>(random() % 100000) * 1e-5f *
                                            static_cast<float>(1 << (random() % 11));
        // Limits of a span's length (the renderer's usual call) among them.
        const std::uint64_t limit = trial < 2        ? UINT64_MAX
                                    : trial % 3 == 0 ? 2'000'000
                                    : trial % 3 == 1 ? 1 + random() % 600
                                                     : random() % 300000;
        ASSERT_TRUE(advanceMatchesSteps(start, dt, limit));
    }
}

// A few steps that end just above, on or just below a power of two (where
// the rounded decrement halves) leave what single steps leave.
TEST(Countdown, AdvanceAcrossAPowerOfTwoMatchesSingleSteps)
{
    for (const float dt : {1.0f / 48000.0f, 1.0f / 44100.0f, 1.0f / 8000.0f}) {
        for (int exponent = -4; exponent <= 9; ++exponent) {
            const float floor = std::ldexp(1.0f, exponent);
            for (int above = 0; above < 6; ++above) {
                for (std::uint64_t limit = 1; limit <= 9; ++limit) {
                    ASSERT_TRUE(advanceMatchesSteps(floor + static_cast<float>(above) * dt, dt, limit))
                        << "from 2^" << exponent << " + " << above << " frames";
                }
            }
        }
    }
}

// Once single precision stalls, a countdown holds the exact number of frame
// lengths left, rounded up, at every rate: a step is one of them, and
// counting many is as quick as counting one (a 600 s wait at 96 kHz is
// stepped here to check; 15300 s at 768 kHz is 11 billion frames).
TEST(Countdown, WidenedCountsAreExactAtEveryRate)
{
    const float dt96 = 1.0f / 96000.0f;
    Countdown stepped;
    stepped.set(600.0f);
    Countdown counted = stepped;
    std::uint64_t steps = 0;
    while (stepped.running()) {
        stepped.step(dt96);
        ++steps;
    }
    EXPECT_TRUE(stepped.widened);
    EXPECT_EQ(counted.advance(dt96, UINT64_MAX), steps);
    // 600 / dt96 exactly: dt96 is 11453246 × 2^-40, 600 is 600 × 2^0.
    const unsigned __int128 whole = static_cast<unsigned __int128>(600) << 40;
    EXPECT_EQ(steps, static_cast<std::uint64_t>((whole + 11453245) / 11453246));
    ASSERT_EQ(std::ldexp(11453246.0, -40), static_cast<double>(dt96));

    for (const float rate : {96000.0f, 192000.0f, 768000.0f}) {
        const float dt = 1.0f / rate;
        Countdown longest;
        longest.set(15300.0f);
        const std::uint64_t left = longest.stepsLeft(dt);
        EXPECT_GE(static_cast<double>(left) * dt, 15300.0 * (1 - 1e-7)) << rate;
        EXPECT_LE(static_cast<double>(left) * dt, 15300.0 * (1 + 1e-7)) << rate;
        // Cut anywhere, the steps add up.
        EXPECT_EQ(longest.advance(dt, 12345), 12345u);
        EXPECT_EQ(longest.stepsLeft(dt), left - 12345);
        longest.step(dt);
        EXPECT_EQ(longest.advance(dt, UINT64_MAX), left - 12346);
        EXPECT_FALSE(longest.running());
    }
}

// At 65536 Hz a frame is 2^-16 s exactly, and a countdown of a whole
// number of frames lands on 0.0 itself: that is run out, and no further
// frame is counted.
TEST(Countdown, LandingExactlyOnZeroHasRunOut)
{
    const float dt = 1.0f / 65536.0f;
    Countdown row;
    row.set(0.125f);
    EXPECT_EQ(row.stepsLeft(dt), 8192u);
    Countdown stepped = row;
    for (int i = 0; i < 8191; ++i) {
        stepped.step(dt);
    }
    EXPECT_TRUE(stepped.running());
    stepped.step(dt);
    EXPECT_EQ(stepped.seconds, 0.0f);
    EXPECT_FALSE(stepped.running());
    EXPECT_EQ(row.advance(dt, UINT64_MAX), 8192u);
    EXPECT_EQ(row.seconds, 0.0f);
    EXPECT_EQ(row.advance(dt, UINT64_MAX), 0u);
}

// stepsLeft with a limit is the true count cut at the limit, for limits on
// either side of the count and close to it.
TEST(Countdown, StepsLeftIsTheCountCutAtTheLimit)
{
    for (const float rate : {48000.0f, 44100.0f, 65536.0f, 8000.0f}) {
        const float dt = 1.0f / rate;
        for (const float start : {0.125f, 0.5f, 0.01f, 3.75f, 60.0f, 300.0f}) {
            Countdown countdown;
            countdown.set(start);
            Countdown stepped = countdown;
            std::uint64_t count = 0;
            while (stepped.running()) {
                stepped.step(dt);
                ++count;
            }
            for (std::uint64_t limit = count > 3 ? count - 3 : 0; limit <= count + 3; ++limit) {
                EXPECT_EQ(countdown.stepsLeft(dt, limit), std::min(count, limit))
                    << "start " << start << " rate " << rate << " limit " << limit;
            }
            EXPECT_EQ(countdown.stepsLeft(dt, 512), std::min<std::uint64_t>(count, 512));
        }
    }
}

TEST(Countdown, StepsLeftOfTheWorkedExampleWait)
{
    Countdown wait;
    wait.set(0.5f);
    EXPECT_EQ(wait.stepsLeft(kDt), 24002u);  // frames 2 … 24003
}

// Whether a song fits a number of frames: the worked example renders 24064,
// found from its events alone where the limit is far, by playing it to its
// end where the limit is close; and not at all where it is exceeded.
TEST(Render, SongFitsKnowsTheLengthFromTheEvents)
{
    SongPlayer player = driverPlayer();
    ASSERT_TRUE(loadSong(player, kWorkedExample));
    EXPECT_TRUE(songFits(player, 512, 24064));
    EXPECT_FALSE(songFits(player, 512, 24063));
    EXPECT_TRUE(songFits(player, 512, 1'000'000'000));
    // Eight and a half hours of waits, against the WAV limit.
    SongPlayer longSong = driverPlayer();
    ASSERT_TRUE(loadSong(longSong, {1, 1, 0, 1, 255, 0, 1, 255, 0, 6, 0}));
    EXPECT_FALSE(songFits(longSong, 512, 0xFFFFFFDBull / 4));
    SongPlayer fits = driverPlayer();
    ASSERT_TRUE(loadSong(fits, {1, 1, 0, 1, 255, 0, 6, 0}));
    EXPECT_TRUE(songFits(fits, 512, 0xFFFFFFDBull / 4));
    EXPECT_EQ(player.position, 0u);  // only read
}

// A fade falls evenly in decibels, 60 dB over its length, from exactly
// unity at its first frame to silence after its last; each frame's gain
// from its own index alone.
TEST(Fade, FallsEvenlyInDecibelsToSilence)
{
    const Fade fade{1000, 48000};
    EXPECT_EQ(fade.gainAt(0), 1.0f);
    EXPECT_EQ(fade.gainAt(999), 1.0f);
    EXPECT_EQ(fade.gainAt(1000), 1.0f);
    for (const double part : {0.1, 0.25, 0.5, 0.75, 0.9}) {
        const auto frame = static_cast<std::uint64_t>(1000 + part * 48000);
        EXPECT_NEAR(20.0 * std::log10(fade.gainAt(frame)), -60.0 * part, 0.5) << part;
    }
    EXPECT_NEAR(fade.gainAt(1000 + 47999), 0.001, 0.0002);
    EXPECT_EQ(fade.gainAt(1000 + 48000), 0.0f);
    EXPECT_EQ(fade.gainAt(UINT64_MAX), 0.0f);
    float before = 2.0f;
    for (std::uint64_t frame = 1000; frame < 49000; frame += 7) {
        ASSERT_LT(fade.gainAt(frame), before);
        before = fade.gainAt(frame);
    }
    EXPECT_FALSE(Fade{}.active());
}

TEST(Render, WorkedExampleEndsAfter47Blocks)
{
    SongPlayer player = driverPlayer();
    ASSERT_TRUE(loadSong(player, kWorkedExample));
    std::vector<std::uint8_t> block(2048, 0x55);
    SampleBuffer output{SampleFormat::S16, ChannelLayout::Stereo, block.data(), block.size()};
    int blocks = 0;
    do {
        player.render(output);
        ++blocks;
    } while (!player.finished);
    EXPECT_EQ(blocks, 47);
}

}  // namespace
