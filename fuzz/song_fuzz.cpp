// Arbitrary bytes as a song: loaded through a ReadFn over memory, played to
// its end by the fast timeline, and rendered block by block for a bounded
// number of frames. A crash, a hang (a song that never ends), undefined
// behaviour, or a render that disagrees with the timeline about where the
// song ends is a finding.

#include "memory_read.h"
#include "output_format.h"
#include "sample_buffer.h"
#include "song_player.h"
#include "timeline.h"

#include <array>
#include <cstdint>
#include <cstdlib>

namespace {

constexpr std::uint64_t kMaxRenderedFrames = 64 * kBlockFrames;

bool loadBytes(SongPlayer& player, const std::uint8_t* data, std::size_t size)
{
    player.sampleRate = static_cast<float>(kOutputRate);
    player.looping = false;
    return player.load(memoryRead(data, size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    SongPlayer timed;
    if (!loadBytes(timed, data, size)) {
        return 0;
    }
    const Timeline timeline = computeTimeline(timed, kBlockFrames);

    SongPlayer player;
    loadBytes(player, data, size);
    std::array<std::uint8_t, kBlockFrames * kOutputFrameBytes> block{};
    SampleBuffer output{SampleFormat::S16, ChannelLayout::Stereo, block.data(), block.size()};
    for (std::uint64_t frame = 0; frame < kMaxRenderedFrames && frame < timeline.frames; frame += kBlockFrames) {
        if (player.finished) {
            std::abort();  // rendering ended before the timeline said it would
        }
        player.render(output);
    }
    if (timeline.frames <= kMaxRenderedFrames && !player.finished) {
        std::abort();  // rendering goes on past the timeline's end
    }
    return 0;
}
