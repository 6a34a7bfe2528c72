// What a seek costs next to rendering the frames it passes, on one thread:
//   seek-benchmark SONG.sqn ...
// For each song, the medians of rendering it whole and of seeking a fresh
// player over the same frames, and their ratio (lower is better); then the
// largest ratio over random looping songs, each seeking through a minute
// of passes, which should stay below 1: a seek never costs more than
// playing.

#include "memory_read.h"
#include "output_format.h"
#include "sample_buffer.h"
#include "song_player.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRuns = 5;

SongPlayer loaded(const std::vector<std::uint8_t>& song, bool looping)
{
    SongPlayer player;
    player.sampleRate = static_cast<float>(kOutputRate);
    player.looping = looping;
    player.load(memoryRead(song.data(), song.size()));
    return player;
}

// Seconds to render `frames` (or the whole song, where 0), and the frames.
std::pair<double, std::uint64_t> renderTime(const std::vector<std::uint8_t>& song, bool looping, std::uint64_t frames)
{
    SongPlayer player = loaded(song, looping);
    std::array<std::uint8_t, kBlockFrames * kOutputFrameBytes> block{};
    SampleBuffer output{SampleFormat::S16, ChannelLayout::Stereo, block.data(), block.size()};
    std::uint64_t done = 0;
    const auto start = Clock::now();
    while (frames > 0 ? done < frames : !player.finished) {
        player.render(output);
        done += kBlockFrames;
    }
    return {std::chrono::duration<double>(Clock::now() - start).count(), done};
}

double seekTime(const std::vector<std::uint8_t>& song, bool looping, std::uint64_t frames)
{
    SongPlayer player = loaded(song, looping);
    const auto start = Clock::now();
    player.skip(frames);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (player.voices[0].playhead < 0.0f) {
        std::puts("");  // keeps the seek from being optimised away
    }
    return seconds;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// A song of random events inside a loop, as the fuzzers and the page's
// tests make them.
std::vector<std::uint8_t> randomSong(std::uint32_t seed)
{
    std::uint32_t state = seed;
    const auto next = [&state] {
        state = state * 1103515245u + 12345u;
        return state >> 8;
    };
    std::vector<std::uint8_t> song{static_cast<std::uint8_t>(60 + next() % 180), static_cast<std::uint8_t>(1 + next() % 8)};
    song.insert(song.end(), {0, 5, 0});
    for (int i = 0; i < 300; ++i) {
        const std::uint8_t command = static_cast<std::uint8_t>(1 + next() % 4);
        const std::uint8_t param = static_cast<std::uint8_t>(command == 1 ? next() % 3 : next() % 256);
        song.insert(song.end(), {static_cast<std::uint8_t>(next() % 6), command, param});
    }
    song.insert(song.end(), {0, 6, 0});
    return song;
}

}  // namespace

int main(int argc, char** argv)
{
    std::printf("%-22s %9s %9s %9s %7s\n", "song", "seconds", "render", "seek", "ratio");
    for (int i = 1; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        const std::vector<std::uint8_t> song((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<double> renders;
        std::vector<double> seeks;
        std::vector<double> ratios;
        std::uint64_t frames = 0;
        for (int run = 0; run < kRuns; ++run) {
            const auto [render, rendered] = renderTime(song, false, 0);
            frames = rendered;
            const double seek = seekTime(song, false, frames);
            renders.push_back(render);
            seeks.push_back(seek);
            ratios.push_back(seek / render);
        }
        const char* name = argv[i];
        for (const char* at = argv[i]; *at != '\0'; ++at) {
            if (*at == '/') {
                name = at + 1;
            }
        }
        std::printf("%-22s %9.1f %9.4f %9.4f %7.3f\n", name, static_cast<double>(frames) / kOutputRate,
                    median(renders), median(seeks), median(ratios));
    }
    // Random looping songs: a minute of passes each, the worst seek.
    constexpr std::uint64_t kMinute = 60ull * kOutputRate;
    double worst = 0.0;
    std::uint32_t worstSeed = 0;
    for (std::uint32_t seed = 1; seed <= 40; ++seed) {
        const std::vector<std::uint8_t> song = randomSong(seed);
        std::vector<double> ratios;
        for (int run = 0; run < 3; ++run) {
            ratios.push_back(seekTime(song, true, kMinute) / renderTime(song, true, kMinute).first);
        }
        if (median(ratios) > worst) {
            worst = median(ratios);
            worstSeed = seed;
        }
    }
    std::printf("random looping songs, a minute each: the largest seek/render ratio %.3f (song %u of 40)\n", worst,
                worstSeed);
    return 0;
}
