// What Playback::fill hands the audio device, buffer by buffer, for device
// buffers that are not whole 512-frame blocks: the song's own frames in
// order, then silence once a song that does not loop has ended.

#include "memory_read.h"
#include "playback.h"
#include "song_clock.h"
#include "song_bytes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace {

using Frames = std::vector<std::int16_t>;  // interleaved stereo

// A few seconds of every voice, with a loop, ending in LoopEnd.
const Bytes kSong{150, 4,                                   //
                  0, 4, 33, 1, 4, 45, 2, 4, 28, 3, 4, 52,  // pitches
                  0, 2, 3, 1, 2, 2, 2, 2, 6, 3, 2, 1,      // notes
                  0, 5, 1,                                 // loop point
                  4, 2, 0, 0, 1, 1, 5, 2, 0, 0, 1, 2, 0, 4, 40, 0, 2, 2, 0, 1, 1,
                  0, 6, 0};

// What the player renders in 512-frame blocks: `frames` frames, or, not
// looping, up to the end of the block in which the song ends.
Frames blocks(bool looping, std::size_t frames, const Bytes& bytes = kSong)
{
    SongPlayer player = driverPlayer();
    player.looping = looping;
    EXPECT_TRUE(loadSong(player, bytes));
    Frames out;
    Bytes block(kBlockFrames * 4);
    SampleBuffer buffer{SampleFormat::S16, ChannelLayout::Stereo, block.data(), block.size()};
    while (out.size() < 2 * frames && !(player.finished && !looping)) {
        player.render(buffer);
        for (std::size_t i = 0; i < block.size(); i += 2) {
            out.push_back(static_cast<std::int16_t>(block[i] | block[i + 1] << 8));
        }
    }
    out.resize(std::min(out.size(), 2 * frames));
    return out;
}

std::unique_ptr<SongPlayer> song(const Bytes& bytes = kSong)
{
    auto player = std::make_unique<SongPlayer>(driverPlayer());
    EXPECT_TRUE(loadSong(*player, bytes));
    return player;
}

// Device buffers of `size` frames, `count` of them, each filled over a
// marker that fill() must overwrite.
Frames deviceBuffers(Playback& playback, std::size_t size, std::size_t count)
{
    Frames out;
    Frames buffer(2 * size);
    for (std::size_t i = 0; i < count; ++i) {
        std::fill(buffer.begin(), buffer.end(), std::int16_t{0x5a5a});
        playback.fill(buffer.data(), size);
        out.insert(out.end(), buffer.begin(), buffer.end());
    }
    return out;
}

TEST(Playback, DeviceBuffersOfAnySizeHoldTheSongThenSilence)
{
    const Frames once = blocks(false, SIZE_MAX);
    const std::size_t songFrames = once.size() / 2;
    for (const std::size_t size : {1u, 700u, 4096u}) {
        Playback playback(false, songFrames + 10000);
        playback.play(song());
        const std::size_t count = (songFrames + 5000) / size + 1;
        const Frames heard = deviceBuffers(playback, size, count);
        ASSERT_GE(heard.size(), once.size());
        EXPECT_TRUE(std::equal(once.begin(), once.end(), heard.begin())) << size;
        EXPECT_TRUE(std::all_of(heard.begin() + static_cast<std::ptrdiff_t>(once.size()), heard.end(),
                                [](std::int16_t v) { return v == 0; }))
            << size;
        EXPECT_TRUE(playback.status().ended);
        EXPECT_EQ(playback.status().frames, songFrames);
        // The capture is what the device was handed.
        const auto captured = playback.captured();
        EXPECT_EQ(std::vector<std::int16_t>(captured.begin(), captured.end()), once) << size;
    }
}

TEST(Playback, LoopingGoesOnAndPausesHoldTheirPlace)
{
    const std::size_t size = 700;
    const Frames looped = blocks(true, 200 * size);
    Playback playback(true);
    playback.play(song());
    Frames heard = deviceBuffers(playback, size, 100);
    playback.setPaused(true);
    const Frames paused = deviceBuffers(playback, size, 3);
    EXPECT_TRUE(std::all_of(paused.begin(), paused.end(), [](std::int16_t v) { return v == 0; }));
    playback.setPaused(false);
    const Frames rest = deviceBuffers(playback, size, 100);
    heard.insert(heard.end(), rest.begin(), rest.end());
    EXPECT_EQ(heard, looped);
    EXPECT_GT(playback.status().pass, 0u);
    EXPECT_EQ(playback.status().frames, 200 * size);
}

// Looping, a song with no LoopEnd plays on past its last event (what still
// sounds rings out); a new song starts the clock and the pass count over.
TEST(Playback, SongsWithoutALoopEndAndNewSongs)
{
    const Bytes open{120, 4, 0, 2, 2, 4, 2, 0};  // two notes and no end mark
    Playback playback(true);
    playback.play(song(open));
    EXPECT_EQ(deviceBuffers(playback, 700, 10), blocks(true, 7000, open));
    EXPECT_FALSE(playback.status().ended);
    EXPECT_EQ(playback.status().frames, 7000u);

    Playback looping(true);
    looping.play(song());
    deviceBuffers(looping, 4096, 40);
    EXPECT_GE(looping.status().pass, 1u);
    looping.collect();
    looping.play(song(open));
    deviceBuffers(looping, 700, 2);
    EXPECT_EQ(looping.status().frames, 1400u);
    EXPECT_EQ(looping.status().pass, 0u);
    EXPECT_EQ(looping.status().events, 2u);
}

// Bar and beat of what is played, going round the loop as the player does:
// one beat of intro and a loop of three beats at 120 beats a minute.
TEST(SongClock, BarsAndBeatsGoRoundTheLoop)
{
    const std::vector<std::uint8_t> song = {120, 4, 0, 2, 2, 0, 5, 4, 0, 2, 2, 0, 1, 4, 0, 1, 4, 0, 1, 4, 0, 6, 0};
    SongPlayer player;
    player.sampleRate = 48000.0f;
    ASSERT_TRUE(player.load(memoryRead(song.data(), song.size())));
    const SongClock clock = SongClock::of(player, 120);
    // The loop section begins when LoopStart's wait of a beat has run.
    EXPECT_NEAR(static_cast<double>(clock.loopFrame), 24000.0, 10.0);
    EXPECT_NEAR(static_cast<double>(clock.passFrames), 72000.0, 20.0);  // and a frame or two an event
    EXPECT_EQ(clock.at(0).beat, 1u);
    EXPECT_EQ(clock.at(30000).beat, 2u);
    EXPECT_EQ(clock.at(80000).beat, 4u);
    // Past the loop's end it is the loop again: beat 2, 3, …, in bar 1.
    EXPECT_EQ(clock.songFrame(clock.loopFrame + clock.passFrames + 100), clock.loopFrame + 100);
    EXPECT_EQ(clock.at(clock.loopFrame + clock.passFrames + 100).beat, 2u);
    EXPECT_EQ(clock.at(clock.loopFrame + 3 * clock.passFrames + 30000).beat, 3u);
    EXPECT_EQ(clock.at(clock.loopFrame + 3 * clock.passFrames + 30000).bar, 1u);
    // A song without a loop counts on: bar 2 after four beats.
    const std::vector<std::uint8_t> plain = {120, 4, 0, 2, 2, 0, 1, 40};
    ASSERT_TRUE(player.load(memoryRead(plain.data(), plain.size())));
    const SongClock on = SongClock::of(player, 120);
    EXPECT_EQ(on.passFrames, 0u);
    EXPECT_EQ(on.at(4 * 24000 + 10).bar, 2u);
}

}  // namespace
