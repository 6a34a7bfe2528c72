#pragma once

#include "song_file.h"

#include <memory>
#include <optional>
#include <string>

// Loads a song file on a thread of its own, so that a program's main loop
// (its keys, Ctrl-C, the status line) never waits on a reload: a huge song,
// a slow disk. One load at a time; where no thread can be started, the load
// runs at once on the caller's.
class SongLoader {
public:
    SongLoader() = default;
    // A load still running is left to finish on its own: the program is
    // ending, and nothing will wait for it.
    ~SongLoader();
    SongLoader(const SongLoader&) = delete;
    SongLoader& operator=(const SongLoader&) = delete;

    // Starts loading `path` as loadSongFile does (regular files only);
    // false while a load is running.
    bool start(const std::string& path, float sampleRate, const std::string& song = {});

    bool running() const;

    // The finished load, once; nothing while it runs or when none was
    // started.
    std::optional<LoadedSong> take();

private:
    struct Job;
    std::shared_ptr<Job> job_;  // shared with its thread
};
