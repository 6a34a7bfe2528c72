#include "music_outline.h"

#include "song_map.h"

#include <cmath>

namespace {

// The beats of `clock` from frame `from` up to `to`, but for those told
// already (up to `lastQuarter`, quarter notes from the start), as the
// player tells them.
void addBeats(const MusicClock& clock, double from, double to, double& lastQuarter, MusicOutline& outline)
{
    std::int64_t index = clock.placeAt(from).index;
    if (std::round(clock.exactBeatFrame(index)) < from) {
        ++index;
    }
    for (; outline.beats.size() < MusicOutline::kMaxBeats; ++index) {
        const double at = std::round(clock.exactBeatFrame(index));
        if (at >= to) {
            return;
        }
        const double quarter = clock.beatQuarter(index);
        if (quarter <= lastQuarter + 1e-6) {
            continue;
        }
        lastQuarter = quarter;
        const MusicClock::Place beat = clock.placeOfBeat(index);
        outline.beats.push_back({static_cast<std::uint64_t>(at), beat.bar, beat.beat});
    }
}

}  // namespace

MusicOutline musicOutline(const SongPlayer& song)
{
    MusicOutline outline;
    SongPlayer player;
    player.loadFrom(song);
    player.looping = false;
    const float dt = 1.0f / player.sampleRate;
    // The clock from each frame a map record changes it in. The sequencer
    // is walked as a render walks it, its frame kept as render keeps it
    // (map records take their place from it), nothing mixed.
    MusicClock clock = player.clock;
    double since = 0.0;
    double lastQuarter = -1.0;
    std::uint64_t frame = 0;
    while (true) {
        player.frame = frame;
        const std::uint64_t before = player.position;
        player.tick(dt);
        bool changed = false;
        for (std::uint64_t i = before; i < player.position; ++i) {
            const SongEvent& taken = player.events[i];
            if (taken.voice != kMapVoice || player.map.at(i) == nullptr) {
                continue;
            }
            if (taken.command == static_cast<std::uint8_t>(MapKind::Cue)) {
                outline.cues.push_back({frame, taken.param});
            } else {
                changed = true;
            }
        }
        if (changed) {
            addBeats(clock, since, static_cast<double>(frame), lastQuarter, outline);
            clock = player.clock;
            since = static_cast<double>(frame);
        }
        if (player.finished) {
            break;
        }
        ++frame;
        frame += player.skipWait(dt, UINT64_MAX - frame);
    }
    addBeats(clock, since, static_cast<double>(frame) + 1.0, lastQuarter, outline);
    return outline;
}
