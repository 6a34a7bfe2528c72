#pragma once

#include <cstdint>

// Sequencer commands as stored in a song file's command byte.
enum class Command : std::uint8_t {
    Wait = 1,       // param: rows to wait before the next event
    NoteOn = 2,     // param: gate length in rows
    SetVolume = 3,  // param: volume in 1/128 steps (128 = unity)
    SetPitch = 4,   // param: pitch table index, limited to the last entry
    LoopStart = 5,  // param: rows to wait; the next event is the loop point
    LoopEnd = 6,    // param: rows to wait; jumps back to the loop point or ends the song
};

// One three-byte record of a song file. Any voice or command byte is kept as
// read: the sequencer skips voices past the last and consumes unknown
// commands, so a file always replays as it was written.
struct SongEvent {
    std::uint8_t voice = 0;    // 0 … 5 address a voice; others are skipped
    std::uint8_t command = 0;  // a Command value, or any other byte
    std::uint16_t param = 0;   // 0 … 255, from one file byte
};
