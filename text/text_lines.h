#pragma once

#include <cstdio>
#include <functional>
#include <string_view>

// Reads a text a line at a time, holding one line at most: each line goes
// to `line` without its line break, and a line longer than kMaxLineBytes
// goes as its first kMaxLineBytes + 1 bytes (which SongAssembler reports),
// the rest of it read past. Reading stops where `line` returns false, and
// after a line that runs on past kMaxSongBytes (no text has one: an endless
// stream such as /dev/zero). False, with errno set, when reading failed.
bool readTextLines(std::FILE* input, const std::function<bool(std::string_view)>& line);
