#pragma once

#include "song_player.h"

#include <cstdint>

// Where in its song a player is, for showing bar and beat: the frames
// played mapped back into the song as the player goes round its loop, and
// the beats they hold at the song's tempo (four to a bar).
struct SongClock {
    std::uint64_t loopFrame = 0;   // where the loop section first begins
    std::uint64_t passFrames = 0;  // frames one pass round the loop takes; 0: the song has none
    double beatsPerMinute = 120.0;

    // From a loaded song: its loop, and its beats a minute (the header's
    // tempo byte, the beat its author meant: only its product with the rows
    // a beat is timing; for MML, the music's first tempo).
    static SongClock of(const SongPlayer& song, double beatsPerMinute);

    // The frame of the song that the `played`-th frame played is.
    std::uint64_t songFrame(std::uint64_t played) const;

    struct BarBeat {
        std::uint64_t bar;   // from 1
        std::uint64_t beat;  // from 1, of four
    };
    BarBeat at(std::uint64_t played) const;
};
