#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// A song on a grid of rows (as mid2sqn makes one) written as MML a
// composer can edit: a channel line per voice, the tempo and the cues on
// the T line, #meter from the song's meter, lengths as note lengths with
// dots and ties, bars repeated literally as [ ]n, a bar that comes back
// three times or more as a phrase, and a bar check | at each bar line a
// note does not cross. Compiled by mml2sqn, it gives the same
// notes (voice, pitch, volume) at the same frames, within a millisecond.
//
// The grid's row must be a length MML has: 1, 2, 3, 4, 6, 8, 12 or 16 rows
// a beat; nothing for another grid.

inline bool mmlHasRowLength(int rowsPerBeat)
{
    for (const int rows : {1, 2, 3, 4, 6, 8, 12, 16}) {
        if (rows == rowsPerBeat) {
            return true;
        }
    }
    return false;
}

// `song`: a song file; `heading`: comment lines for the top (each without
// its "; "); `noteBeats`: where each of its NoteOns starts and ends in
// quarter notes (as the MIDI file has them), which put the notes on their
// beats exactly; without them, the beats come from the frames through the
// song's tempo map.
std::optional<std::string> mmlOfSong(const std::vector<std::uint8_t>& song, const std::vector<std::string>& heading,
                                     const std::vector<std::pair<double, double>>& noteBeats = {});
