#include "render_plan.h"

#include "output_format.h"
#include "timeline.h"

std::uint64_t applyRenderPlan(const RenderPlan& plan, SongPlayer& player)
{
    player.muted = plan.muted;
    if (plan.loops <= 1 && plan.fadeFrames == 0) {
        return 0;
    }
    player.looping = true;
    player.loopLimit = plan.loops - 1;
    const std::uint64_t finished = finishFrame(player, plan.loops);
    const std::uint64_t blocks = (finished / kBlockFrames + 1) * kBlockFrames;
    if (plan.fadeFrames == 0) {
        return blocks;
    }
    const std::uint64_t length = plan.fadeFrames;
    if (!hasLoop(player)) {
        // Nothing to play on into: the song's last seconds fade.
        player.fade = {blocks > length ? blocks - length : 0, length};
        return blocks;
    }
    // Past the last pass the song plays on round its loop while it fades;
    // the file ends with the fade, in whole blocks.
    player.loopLimit = UINT64_MAX;
    player.fade = {finished, length};
    return (finished + length + kBlockFrames - 1) / kBlockFrames * kBlockFrames;
}
