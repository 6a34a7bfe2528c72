#pragma once

#include "mml_errors.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// `#include "drums.mml"`: another MML file's lines, read in where the line
// stands. Names are relative to the file that includes them; files nest up
// to kMaxIncludeDepth deep, and a file that includes itself (or one that
// includes it) is refused.

inline constexpr std::size_t kMaxIncludeDepth = 8;
inline constexpr std::size_t kMaxIncludedFiles = 64;
inline constexpr std::size_t kMaxSplicedBytes = 16u << 20;  // all files together, as mml2sqn reads one

// Reads the file `name` that the file `from` includes ("" for the file
// given): its name as errors are to show it in `shown`, its bytes in
// `text`. False, with the reason in `why` ("No such file or directory"),
// where it cannot be read.
using MmlFileReader = std::function<bool(const std::string& from, const std::string& name, std::string& shown,
                                         std::string& text, std::string& why)>;

struct MmlSplicedText {
    std::string text;  // every file's lines in reading order, their /* */ comments blanked
    std::string raw;   // the same lines as written, for columns counted in characters
    // Of each line of `text`, from 1: the index of its file in `files` and
    // its line there.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> lines;
    std::vector<std::string> files{""};  // "" for the file given, then each one included, as the reader shows it

    // Moves `line` (and, through it, an error's file) back where it was written.
    void place(std::size_t& line, std::string& file) const;
};

// `text`, the file `path` holds, with what it includes read in through
// `read` (none where `read` is empty: an #include is then an error).
// Errors stand at the lines of the spliced text.
MmlSplicedText spliceIncludes(std::string_view text, const std::string& path, const MmlFileReader& read,
                              MmlErrors& errors);
