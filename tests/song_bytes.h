#pragma once

#include "memory_read.h"
#include "song_player.h"
#include "test_bytes.h"

#include <cstdint>
#include <vector>


// Loads a song held in memory, the way the driver loads a file.
inline bool loadSong(SongPlayer& player, const Bytes& song)
{
    return player.load(memoryRead(song.data(), song.size()));
}

// A player set up as the driver sets it up: 48000 Hz, LoopEnd ends the song.
inline SongPlayer driverPlayer()
{
    SongPlayer player;
    player.sampleRate = 48000.0f;
    player.looping = false;
    return player;
}

// The design's worked example: header (120, 4), then voice 0 at pitch 40 and
// volume 128 plays a 4-row note, a 4-row wait, voice 4 hits, LoopEnd.
inline const Bytes kWorkedExample{0x78, 0x04, 0x00, 0x04, 0x28, 0x00, 0x03, 0x80, 0x00, 0x02,
                                  0x04, 0x00, 0x01, 0x04, 0x04, 0x02, 0x00, 0x00, 0x06, 0x00};
