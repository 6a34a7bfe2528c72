#pragma once

// The readable form of a song file. One statement a line; a `#` at the
// start of a word starts a comment (inside one it is a sharp, as in C#5):
//   tempo 120 4        the header: beats a minute, rows a beat
//   pitch 0 G5         command, voice, parameter: one three-byte event
//   bytes 7            one or two trailing bytes that complete no event
// Commands are wait, note, volume, pitch, loop-start, loop-end or any byte
// 0 … 255, in any case; pitches may be note names, volumes fractions of
// unity. A byte order mark at the start is skipped. Every byte file has a
// text form that assembles back to the same bytes.

#include "song_assembler.h"
#include "song_disassembler.h"

#include <string>
#include <string_view>

// Whether a file's name ends in `ending` (".txt", lower case), in any case.
inline bool hasEnding(const std::string& path, std::string_view ending)
{
    if (path.size() < ending.size()) {
        return false;
    }
    for (std::size_t i = 0; i < ending.size(); ++i) {
        char c = path[path.size() - ending.size() + i];
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
        if (c != ending[i]) {
            return false;
        }
    }
    return true;
}

// Whether a file's name says it holds the text form: it ends in ".txt", in
// any case.
inline bool namesSongText(const std::string& path)
{
    return hasEnding(path, ".txt");
}
