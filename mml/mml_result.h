#pragma once

#include "song_assembler.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// What compiling MML gives: the song, or the mistakes that kept it from
// being made, and what the song could not hold.

struct MmlLine {
    std::string statement;  // empty for a comment alone
    std::string comment;
    std::size_t events = 1; // the events the statement writes (a map record's: one or more; a comment's: none)
};

struct MmlResult {
    std::vector<std::uint8_t> song;  // the song file; empty when there were errors
    std::vector<MmlLine> text;       // the same song in the text form, with bars, beats and MML lines (where asked for)
    std::vector<TextError> errors;   // the first kMaxReportedErrors errors, at their lines and columns, in order
    std::size_t errorCount = 0;      // every error, shown or not
    std::vector<TextError> warnings; // the first kMaxReportedErrors things the song could not hold (a note cut), in order
    std::size_t warningCount = 0;    // every warning, shown or not
    std::vector<std::uint32_t> eventLines;  // the MML line each event comes from (a wait: its note's), in event order
    int tempo = 120;                 // the file's header: its tempo byte …
    int rowsPerBeat = 4;             // … and rows a beat
    int beatsPerMinute = 120;        // the music's tempo at its start
    std::string title;               // #title, as written; empty where not given
    std::string composer;            // #composer
};
