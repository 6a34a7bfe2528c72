#include "timeline.h"

#include "loop_timing.h"
#include "memory_read.h"
#include "output_format.h"

#include <algorithm>
#include <array>

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

bool songFits(const SongPlayer& player, std::uint64_t blockFrames, std::uint64_t maxFrames)
{
    // With looping off every event is taken at most once, in order: a
    // wait costs its countdown and the frame that takes it (and the next
    // event may need one more), a note or an unknown command a frame, a
    // volume or pitch change nothing.
    const float dt = 1.0f / player.sampleRate;
    std::array<std::uint64_t, 256> waitFrames{};
    for (std::size_t rows = 0; rows < waitFrames.size(); ++rows) {
        Countdown wait;
        wait.set(static_cast<float>(rows) * player.rowDuration);
        waitFrames[rows] = wait.stepsLeft(dt) + 2;
    }
    std::uint64_t most = 2 * blockFrames;
    for (const SongEvent& event : player.events) {
        if (event.voice >= kVoiceCount) {
            continue;
        }
        switch (static_cast<Command>(event.command)) {
        case Command::Wait:
        case Command::LoopStart:
        case Command::LoopEnd:
            most += waitFrames[event.param & 0xFFu];
            break;
        case Command::SetVolume:
        case Command::SetPitch:
            break;
        default:
            most += 1;
            break;
        }
        if (most > maxFrames) {
            SongPlayer copy;
            copy.loadFrom(player);
            copy.looping = false;
            return computeTimeline(copy, blockFrames).frames <= maxFrames;
        }
    }
    return true;
}

bool hasLoop(const SongPlayer& song)
{
    return std::any_of(song.events.begin(), song.events.end(), [](const SongEvent& event) {
        return event.voice < kVoiceCount && event.command == static_cast<std::uint8_t>(Command::LoopEnd);
    });
}

std::uint64_t finishFrame(const SongPlayer& song, std::uint64_t passes)
{
    if (passes <= 1 || !hasLoop(song)) {
        SongPlayer copy;
        copy.loadFrom(song);
        copy.looping = false;
        copy.fade = {};
        return computeTimeline(copy, 1).finishedAt;
    }
    return loopTiming(song).endOf(passes);
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
