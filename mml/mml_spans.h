#pragma once

#include "mml_parser.h"
#include "mml_source.h"

#include <array>
#include <string>
#include <string_view>
#include <vector>

// An MML song's notes and rests where they are written, for an editor that
// changes the least text that makes the song say something else: each
// channel's spans in the order played, columns in characters.

struct MmlSpans {
    std::array<std::vector<MmlSpan>, kMmlChannels> channels;
    bool failed = false;  // the text has mistakes: times after the first in a channel may be off
};

// Of a file of several songs, the one named `song` (the first where empty).
// An #include is not followed (the page has no files to read).
MmlSpans mmlSpans(std::string_view text, const std::string& song = {});
