// render() alone, in frames per second, and skip() (a seek), for 1 … 6
// voices sounding throughout: voices 0–3 hold long notes at assorted pitches, voices 4 and 5
// retrigger their hits before each pass ends.

#include "memory_read.h"
#include "output_format.h"
#include "sample_buffer.h"
#include "song_player.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <vector>

namespace {

// A song of `voices` voices (taken in the order 0, 4, 1, 5, 2, 3, so that
// both kinds mix from two voices on) lasting about `seconds` seconds.
std::vector<std::uint8_t> steadySong(int voices, int seconds)
{
    constexpr std::uint8_t kOrder[6] = {0, 4, 1, 5, 2, 3};
    constexpr std::uint8_t kPitches[6] = {33, 40, 21, 45, 28, 37};
    std::vector<std::uint8_t> song{240, 40};  // rows of 1/160 s: 300 frames
    for (int row = 0; row < seconds * 160; ++row) {
        for (int i = 0; i < voices; ++i) {
            const std::uint8_t v = kOrder[i];
            const bool oneShot = v >= 4;
            // Hits every 16 rows (4800 frames) and 4 rows (1200); long notes
            // every 160 rows, with pitch and volume changes between.
            const int every = v == 4 ? 16 : v == 5 ? 4 : 160;
            if (row % every == 0) {
                song.insert(song.end(), {v, 4, static_cast<std::uint8_t>(kPitches[v] + (row / every) % 5)});
                song.insert(song.end(), {v, 3, static_cast<std::uint8_t>(oneShot ? 100 : 60)});
                song.insert(song.end(), {v, 2, static_cast<std::uint8_t>(oneShot ? 1 : 200)});
            }
        }
        song.insert(song.end(), {0, 1, 1});
    }
    song.insert(song.end(), {0, 6, 0});
    return song;
}

void loadSong(SongPlayer& player, const std::vector<std::uint8_t>& song)
{
    player.sampleRate = static_cast<float>(kOutputRate);
    player.looping = false;
    player.load(memoryRead(song.data(), song.size()));
}

void renderVoices(benchmark::State& state)
{
    const auto song = steadySong(static_cast<int>(state.range(0)), 10);
    std::array<std::uint8_t, kBlockFrames * kOutputFrameBytes> block{};
    SampleBuffer output{SampleFormat::S16, ChannelLayout::Stereo, block.data(), block.size()};
    std::uint64_t frames = 0;
    for (auto _ : state) {
        state.PauseTiming();
        SongPlayer player;
        loadSong(player, song);
        state.ResumeTiming();
        while (!player.finished) {
            player.render(output);
            frames += kBlockFrames;
        }
        benchmark::DoNotOptimize(block.data());
    }
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
    state.counters["x realtime"] =
        benchmark::Counter(static_cast<double>(frames) / kOutputRate, benchmark::Counter::kIsRate);
    // Seconds a voice costs a frame, the output's conversion included.
    if (state.range(0) > 0) {
        state.counters["s/frame/voice"] = benchmark::Counter(static_cast<double>(frames * state.range(0)),
                                                             benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    }
}

BENCHMARK(renderVoices)->DenseRange(0, 6)->Unit(benchmark::kMillisecond);

// skip() against render() over the same ten seconds: what a seek costs
// next to playing, as a ratio (lower is better).
void skipVoices(benchmark::State& state)
{
    const auto song = steadySong(static_cast<int>(state.range(0)), 10);
    std::uint64_t frames = 0;
    for (auto _ : state) {
        state.PauseTiming();
        SongPlayer player;
        loadSong(player, song);
        state.ResumeTiming();
        player.skip(10ull * kOutputRate);
        frames += 10ull * kOutputRate;
        benchmark::DoNotOptimize(player.voices[0].playhead);
    }
    state.counters["x realtime"] =
        benchmark::Counter(static_cast<double>(frames) / kOutputRate, benchmark::Counter::kIsRate);
}

BENCHMARK(skipVoices)->DenseRange(0, 6)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
