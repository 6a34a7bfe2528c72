#pragma once

#include "song_player.h"

#include <cstdint>
#include <vector>

// When the sequencer takes each event of a song, as the renderer plays it
// (LoopEnd ends the song; output in whole blocks). Found by running the
// player's own tick, with the frames spent waiting skipped in one go and
// nothing mixed, so even an hours-long song takes a moment.
struct Timeline {
    static constexpr std::uint64_t kNotTaken = UINT64_MAX;

    std::vector<std::uint64_t> takenAt;  // output frame each event is taken in, or kNotTaken
    std::uint64_t finishedAt = 0;        // frame in which the song ended
    std::uint64_t frames = 0;            // frames rendered: whole blocks, through finishedAt's
};

// `player` must be loaded with `looping` off; it is played to the end.
Timeline computeTimeline(SongPlayer& player, std::uint64_t blockFrames);
