#pragma once

#include "song_clock.h"
#include "song_player.h"

#include <memory>
#include <string>
#include <vector>

// A song loaded from a file for playing: a .sqn file, a text in the song
// text form when the name ends in ".txt", or Music Macro Language when it
// ends in ".mml" (in any case; compiled in memory).
struct LoadedSong {
    std::unique_ptr<SongPlayer> player;  // set when the song loaded
    std::vector<std::string> errors;     // otherwise the lines to report, as sqn2wav and sqnasm word them
    std::vector<std::string> warnings;   // what an MML song could not hold, told as mml2sqn tells it
    std::string title;                   // an MML song's #title, as written
    SongClock clock;                     // its bars and beats
};

// With `regularOnly`, anything but a regular file (a pipe, a device) is
// refused without being read, and opening never waits: for reloading a
// file that something else may have replaced. Of an MML file of several
// songs, `song` names the one (the first where empty).
LoadedSong loadSongFile(const std::string& path, float sampleRate, bool regularOnly = false,
                        const std::string& song = {});
