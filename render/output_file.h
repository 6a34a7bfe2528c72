#pragma once

#include <signal.h>

#include <cstdio>
#include <string>

// A file a program writes whole, made so that a failed or interrupted run
// leaves its path exactly as it was. Where the path names a regular file or
// nothing yet, the bytes go to a new hidden file beside it (".name.XXXXXX",
// or ".sqn.XXXXXX" where that name would be too long) that replaces the
// path in one rename once everything was written and closed without an
// error; on failure, destruction or any signal that would end the process
// (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, …) that file is removed. An
// existing regular file is never written in place: where no hidden file can
// be made beside it, or the user may not write it, open fails and the file
// stays as it was. A symbolic link stays one: the file it leads to is
// replaced so, or made so where it does not exist yet (a dangling link).
// Anything else (a pipe, a device such as /dev/null) is written
// in place, as it is.
class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Opens the stream for binary writing; false (with errno set) when the
    // path cannot be written.
    bool open(const char* path);

    std::FILE* stream() const { return file_; }

    // Flushes and closes the stream and puts the file in place. False when
    // any of it failed, or when the stream had failed before; the path then
    // holds what it held before (written in place: whatever was written).
    bool commit();

    // Closes the stream and removes the hidden file, if there is one.
    void discard();

private:
    // Makes the hidden file beside path_ and names it in temporary_; the
    // descriptor, or -1 with errno set.
    int makeHidden();
    // Opens path_, where nothing is yet, through a hidden file where one
    // can be made.
    bool openNew();
    // The stream over the hidden file `fd`, with the permission bits `mode`.
    bool openHidden(int fd, mode_t mode);

    std::string path_;
    std::string temporary_;  // empty when writing to the path itself
    std::FILE* file_ = nullptr;
};

// Keeps the signals that remove the hidden file (those that would end the
// process) from this thread while it lives: held while the pending name and
// the file on disk change together, and while threads are started, so that
// those threads never take them and the thread that began the run does.
class CleanupSignalsHeld {
public:
    enum class Pipe {
        held,
        // For starting a thread that writes the output: a write to a closed
        // pipe raises SIGPIPE on the writing thread itself, which must then
        // end the run as a program in a pipeline ends, not see a failed
        // write.
        raised,
    };

    explicit CleanupSignalsHeld(Pipe pipe = Pipe::held);
    ~CleanupSignalsHeld();
    CleanupSignalsHeld(const CleanupSignalsHeld&) = delete;
    CleanupSignalsHeld& operator=(const CleanupSignalsHeld&) = delete;

private:
    sigset_t saved_;
};
