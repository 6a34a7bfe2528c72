#pragma once

#include "song_player.h"

#include <cstdint>
#include <functional>
#include <vector>

// When the sequencer takes each event of a song, as the renderer plays it
// (LoopEnd ends the song; output in whole blocks). Found by running the
// player's own tick, with the frames spent waiting skipped in one go and
// nothing mixed, so even an hours-long song takes a moment.
struct Timeline {
    std::uint64_t finishedAt = 0;  // frame in which the song ended
    std::uint64_t frames = 0;      // frames rendered: whole blocks, through finishedAt's
};

// Told of each event as it is taken: its index and the output frame. With
// LoopEnd ending the song, events are taken in file order, each at most once;
// those not told of by the end are never reached.
using EventTaken = std::function<void(std::uint64_t event, std::uint64_t frame)>;

// `player` must be loaded with `looping` off; it is played to the end.
Timeline computeTimeline(SongPlayer& player, std::uint64_t blockFrames, const EventTaken& taken = {});

// Whether the song `player` holds (loaded, with its rate) renders with
// looping off, in whole blocks, to at most `maxFrames` frames. The events'
// waits settle it for all but songs near the limit (a sum over the events,
// each wait's frames counted as the player counts them); those are played to
// their end with nothing mixed, on a copy. `player` is only read.
bool songFits(const SongPlayer& player, std::uint64_t blockFrames, std::uint64_t maxFrames);

// Whether the song has a loop: a LoopEnd that a pass reaches (with looping
// off, events are taken in order, so the first one always is).
bool hasLoop(const SongPlayer& song);

// The frame in which the song `song` holds (its events, rate and row
// length) ends when LoopEnd jumps back `passes` − 1 times and ends it the
// next: every pass after the first takes the same frames (waits are set,
// never carried over), so many passes are found from two. UINT64_MAX where
// that frame lies past 2^64.
std::uint64_t finishFrame(const SongPlayer& song, std::uint64_t passes);

// How long sqn2wav renders a song file's bytes, in seconds (0 for bytes
// that do not load).
double renderedSeconds(const std::vector<std::uint8_t>& song);
