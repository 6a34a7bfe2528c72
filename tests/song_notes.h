#pragma once

// The notes of a song file as it plays them, read straight from its bytes:
// for checking what an importer or a compiler wrote, note by note.

#include "test_bytes.h"

#include <cstdint>
#include <ostream>
#include <vector>

// A NoteOn as the song plays it: its row (the waits before it summed), its
// voice, and the pitch index, volume and gate it has then.
struct Played {
    std::int64_t row;
    int voice;
    int pitch;
    int volume;
    int gate;
    bool operator==(const Played&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Played& p)
{
    return out << "{row " << p.row << ", voice " << p.voice << ", pitch " << p.pitch << ", volume " << p.volume
               << ", gate " << p.gate << "}";
}

struct SongNotes {
    std::vector<Played> notes;
    std::uint64_t loopRow = 0;  // where the event after LoopStart is taken
    std::uint64_t endRow = 0;   // where LoopEnd is taken
};

inline SongNotes songNotes(const Bytes& song)
{
    SongNotes out;
    std::int64_t row = 0;
    int pitch[6] = {40, 40, 40, 40, 40, 40};
    int volume[6] = {128, 128, 128, 128, 128, 128};
    for (std::size_t i = 2; i + 3 <= song.size(); i += 3) {
        const int voice = song[i];
        const int param = song[i + 2];
        if (voice >= 6) {
            continue;
        }
        switch (song[i + 1]) {
        case 1: row += param; break;
        case 2: out.notes.push_back({row, voice, pitch[voice], volume[voice], param}); break;
        case 3: volume[voice] = param; break;
        case 4: pitch[voice] = param; break;
        case 5: row += param; out.loopRow = static_cast<std::uint64_t>(row); break;
        case 6: out.endRow = static_cast<std::uint64_t>(row); break;
        }
    }
    return out;
}
