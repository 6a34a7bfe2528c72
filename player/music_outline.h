#pragma once

#include "song_player.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// The bars, beats and cues of one pass through a song (looping off), for
// drawing it: its timeline walked with the clock its map records set,
// nothing mixed. Frames at the song's rate.
struct MusicOutline {
    struct Beat {
        std::uint64_t frame;
        std::uint64_t bar;   // from 1
        std::uint32_t beat;  // in its bar, from 1: a bar line where 1
    };
    struct Cue {
        std::uint64_t frame;
        std::uint32_t index;
    };
    std::vector<Beat> beats;  // up to the song's end, at most kMaxBeats
    std::vector<Cue> cues;

    static constexpr std::size_t kMaxBeats = 200000;  // a long song's, at a brisk tempo
};

// `song` loaded (its events, rate and row length); only read.
MusicOutline musicOutline(const SongPlayer& song);
