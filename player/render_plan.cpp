#include "render_plan.h"

#include "output_format.h"
#include "timeline.h"

#include <algorithm>

namespace {

// Sums and products of frame counts that stop at UINT64_MAX instead of
// wrapping: a length past it is refused as too long, never taken short.
std::uint64_t add(std::uint64_t a, std::uint64_t b)
{
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

// The frames, in whole blocks, through `frame`'s block; `frames` rounded up
// to whole blocks.
std::uint64_t blocksThrough(std::uint64_t frame)
{
    return add(frame / kBlockFrames * kBlockFrames, kBlockFrames);
}

std::uint64_t wholeBlocks(std::uint64_t frames)
{
    const std::uint64_t rest = frames % kBlockFrames;
    return rest == 0 ? frames : add(frames - rest, kBlockFrames);
}

}  // namespace

std::uint64_t applyRenderPlan(const RenderPlan& plan, SongPlayer& player)
{
    player.muted = plan.muted;
    if (plan.loops <= 1 && plan.fadeFrames == 0) {
        return 0;
    }
    player.looping = true;
    player.loopLimit = plan.loops - 1;
    const std::uint64_t finished = finishFrame(player, plan.loops);
    const std::uint64_t blocks = blocksThrough(finished);
    if (plan.fadeFrames == 0) {
        return blocks;
    }
    const std::uint64_t length = plan.fadeFrames;
    if (!hasLoop(player)) {
        // Nothing to play on into: the song's last seconds fade, or the
        // whole of a song shorter than the fade, so that it still ends in
        // silence.
        player.fade = {blocks > length ? blocks - length : 0, std::min(length, blocks)};
        return blocks;
    }
    // Past the last pass the song plays on round its loop while it fades;
    // the file ends with the fade, in whole blocks.
    player.loopLimit = UINT64_MAX;
    player.fade = {finished, length};
    return wholeBlocks(add(finished, length));
}
