// Arbitrary bytes as an output rate and a song: three bytes choose a rate
// from 1 Hz to 192 kHz and one whether the song loops; the rest is the song.
// It is rendered in 512-frame blocks (the vector mixer where it fits) and
// frame by frame (the scalar mixer) for a bounded number of frames. A crash,
// undefined behaviour, a sustained playhead outside its sample, or the two
// renderings differing by a bit is a finding.

#include "memory_read.h"
#include "sample_buffer.h"
#include "song_player.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t kBlock = 512;
constexpr std::size_t kBlocks = 16;
constexpr std::uint32_t kMaxRate = 192000;

void checkPlayheads(const SongPlayer& player)
{
    for (const Voice& voice : player.voices) {
        if (voice.active && voice.sustain && voice.playhead >= static_cast<float>(voice.sample.buffer.frameCount())) {
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 4) {
        return 0;
    }
    const std::uint32_t rate = 1 + (data[0] | data[1] << 8 | data[2] << 16) % kMaxRate;
    const bool looping = (data[3] & 1) != 0;
    data += 4;
    size -= 4;

    SongPlayer blocks;
    SongPlayer frames;
    for (SongPlayer* player : {&blocks, &frames}) {
        player->sampleRate = static_cast<float>(rate);
        player->looping = looping;
        if (!player->load(memoryRead(data, size))) {
            return 0;
        }
    }
    std::array<std::uint8_t, kBlock * 4> whole{};
    std::array<std::uint8_t, kBlock * 4> single{};
    SampleBuffer wholeBuffer{SampleFormat::S16, ChannelLayout::Stereo, whole.data(), whole.size()};
    for (std::size_t b = 0; b < kBlocks && !blocks.finished; ++b) {
        blocks.render(wholeBuffer);
        checkPlayheads(blocks);
        for (std::size_t j = 0; j < kBlock; ++j) {
            SampleBuffer one{SampleFormat::S16, ChannelLayout::Stereo, single.data() + 4 * j, 4};
            frames.render(one);
            checkPlayheads(frames);
        }
        if (std::memcmp(whole.data(), single.data(), whole.size()) != 0) {
            std::abort();
        }
    }
    return 0;
}
