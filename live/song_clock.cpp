#include "song_clock.h"

#include "countdown.h"
#include "output_format.h"
#include "timeline.h"

#include <algorithm>
#include <cmath>

SongClock SongClock::of(const SongPlayer& song, double beatsPerMinute)
{
    SongClock clock;
    clock.beatsPerMinute = beatsPerMinute > 0.0 ? beatsPerMinute : 120.0;
    if (!hasLoop(song)) {
        return clock;
    }
    const auto loopEnd = std::find_if(song.events.begin(), song.events.end(), [](const SongEvent& event) {
        return event.voice < kVoiceCount && event.command == static_cast<std::uint8_t>(Command::LoopEnd);
    });
    const std::uint64_t first = finishFrame(song, 1);
    clock.passFrames = finishFrame(song, 2) - first;
    // The second pass begins once the first LoopEnd's wait has run.
    Countdown wait;
    wait.set(static_cast<float>(loopEnd->param) * song.rowDuration);
    const std::uint64_t second = first + 1 + wait.stepsLeft(1.0f / song.sampleRate);
    clock.loopFrame = second > clock.passFrames ? second - clock.passFrames : 0;
    return clock;
}

std::uint64_t SongClock::songFrame(std::uint64_t played) const
{
    if (passFrames == 0 || played < loopFrame + passFrames) {
        return played;
    }
    return loopFrame + (played - loopFrame) % passFrames;
}

SongClock::BarBeat SongClock::at(std::uint64_t played) const
{
    const double beats = static_cast<double>(songFrame(played)) / kOutputRate * beatsPerMinute / 60.0;
    const auto whole = static_cast<std::uint64_t>(std::floor(beats));
    return {whole / 4 + 1, whole % 4 + 1};
}
