#pragma once

#include "output_file.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

// What sqnplay plays, written as it plays (raw 16-bit little-endian stereo
// frames) through an OutputFile: the file grows beside its name as a hidden
// one, so another program can follow it, and takes its name whole when
// the program ends.
class CaptureWriter {
public:
    // False (errno set) where the file cannot be written.
    bool open(const std::string& path) { return file_.open(path.c_str()); }

    // Writes the values of `played` not written yet: it only ever grows.
    bool write(std::span<const std::int16_t> played);

    // The rest, and the file in its place.
    bool finish(std::span<const std::int16_t> played);

private:
    OutputFile file_;
    std::size_t written_ = 0;  // values
    bool failed_ = false;
};
