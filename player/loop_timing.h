#pragma once

#include "song_player.h"

#include <array>
#include <cstdint>
#include <vector>

// When a looping song's passes come. The first pass plays from the song's
// start, through every LoopStart before its LoopEnd; every later one from
// the last of them to that LoopEnd, the same events taking the same frames
// (waits are set, never carried over): the passes are steady from the
// second on.
struct LoopTiming {
    bool looped = false;               // the song has a loop
    std::vector<std::uint64_t> ends;   // the frames of the first LoopEnds, up to the first steady pass's
    std::uint64_t pass = 0;            // frames of each steady pass
    std::uint64_t loopStart = 0;       // the event index the steady passes start from
    std::uint64_t loopFrame = 0;       // the frame the loop point is first reached in: the intro's length
    // Voices no event of a steady pass strikes or changes: once the passes
    // are steady they only play on what they had.
    std::array<bool, kVoiceCount> untouched{};
    // Voices a steady pass changes (pitch or volume) but does not strike.
    std::array<bool, kVoiceCount> changedOnly{};

    // Where the steady passes begin: the frame after the LoopEnd before
    // the first of them.
    std::uint64_t steadyFrom() const { return ends.size() >= 2 ? ends[ends.size() - 2] + 1 : 0; }

    // The frame in which the `passes`-th LoopEnd is taken (from 1);
    // UINT64_MAX where that lies past 2^64.
    std::uint64_t endOf(std::uint64_t passes) const;
};

// Played looping, with the song `song` holds (its events, rate and row
// length): what its first two passes take.
LoopTiming loopTiming(const SongPlayer& song);

// Frames the song's first pass takes at least (its waits summed, each
// counted short): a seek to a frame before it plays from the start without
// going round, so needs no LoopTiming, which costs two passes to work out.
std::uint64_t firstPassAtLeast(const SongPlayer& song);

// Restarts `player` (its song loaded, its looping as set) and plays on from
// `frame`, exactly as a restart and skip(frame) would. Looping, where the
// passes are steady, whole passes are gone round at once: the voices a pass
// strikes are where they were a pass before, the untouched ones play on
// from where they are by themselves, and the frames and passes are counted
// as if played; so a seek costs the intro and two passes however far it
// goes (a song whose steady pass changes a voice still sounding from
// before, without striking it, is sought frame by frame).
void seekSong(SongPlayer& player, std::uint64_t frame, const LoopTiming& timing);
