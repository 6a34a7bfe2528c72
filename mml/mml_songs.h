#pragma once

#include "mml_errors.h"

#include <string>
#include <string_view>
#include <vector>

// Several songs in one MML file (a game's music and its jingles): `#song
// name` on a line of its own starts a song, and what stands before the
// first `#song` (envelopes, instruments, phrases, settings) is every song's.
// A file without `#song` is one song.

inline constexpr std::size_t kMaxSongNameBytes = 64;

// The songs' names in file order; empty for a file of one song. A name
// that is missing, malformed or given twice is an error at its line.
std::vector<std::string> mmlSongNames(std::string_view text, MmlErrors& errors);

// `text` with only the song named `song` (the first where `song` is
// empty) and what all songs share: every line of the other songs becomes
// blank, so that lines and columns stay those of the file. An unknown name
// is an error at 1:1, naming the songs there are (and no song is kept).
std::string mmlSongText(std::string_view text, const std::string& song, MmlErrors& errors);
