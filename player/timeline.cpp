#include "timeline.h"

#include "memory_read.h"
#include "output_format.h"

Timeline computeTimeline(SongPlayer& player, std::uint64_t blockFrames, const EventTaken& taken)
{
    Timeline timeline;
    const float dt = 1.0f / player.sampleRate;

    std::uint64_t frame = 0;
    std::uint64_t end = UINT64_MAX;
    while (frame < end) {
        const std::uint64_t before = player.position;
        player.tick(dt);
        if (taken) {
            // With looping off the position only moves forward.
            for (std::uint64_t i = before; i < player.position; ++i) {
                taken(i, frame);
            }
        }
        if (player.finished && end == UINT64_MAX) {
            timeline.finishedAt = frame;
            end = (frame / blockFrames + 1) * blockFrames;
        }
        ++frame;
        frame += player.skipWait(dt, end - frame);
    }
    timeline.frames = end;
    return timeline;
}

double renderedSeconds(const std::vector<std::uint8_t>& song)
{
    SongPlayer player;
    player.sampleRate = static_cast<float>(kOutputRate);
    player.looping = false;
    if (!player.load(memoryRead(song.data(), song.size()))) {
        return 0.0;
    }
    return static_cast<double>(computeTimeline(player, kBlockFrames).frames) / kOutputRate;
}
