#pragma once

#include <sys/stat.h>

#include <string>

// Tells when a file has changed, by its modification time and size, once
// the change has settled: a file still being written is seen again at the
// next look before it counts, so that half a save is never loaded. Editors
// that save by writing a new file and renaming it over the old one are seen
// too; a moment in which the file is missing is not a change.
class FileWatch {
public:
    explicit FileWatch(std::string path) : path_(std::move(path)) { look(loaded_); }

    // Called at a steady pace: true once for each settled change.
    bool changed()
    {
        Seen now;
        if (!look(now) || now == loaded_) {
            candidate_ = now;
            return false;
        }
        if (!(now == candidate_)) {
            candidate_ = now;  // still moving: look again next time
            return false;
        }
        loaded_ = now;
        return true;
    }

private:
    struct Seen {
        long long seconds = 0;  // modification time
        long long nanoseconds = 0;
        long long size = -1;    // bytes
        bool operator==(const Seen&) const = default;
    };

    bool look(Seen& seen) const
    {
        struct stat st {};
        if (stat(path_.c_str(), &st) != 0) {
            return false;
        }
        seen = {st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_size};
        return true;
    }

    std::string path_;
    Seen loaded_;     // the file as last loaded
    Seen candidate_;  // as seen at the last look
};
