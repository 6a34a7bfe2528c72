#pragma once

#include "mml_source.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One channel's MML read into notes on an exact time line, in units of a
// beat.

inline constexpr std::uint64_t kUnitsPerBeat = 3072;  // a quarter note: 3 × 2^10, for triplets and dots
inline constexpr std::size_t kMaxMmlNotes = 1000000;    // notes and rests a song may hold, repeats counted
inline constexpr std::size_t kMaxMmlReading = 4000000;   // characters a song may read, repeats counted
inline constexpr int kDefaultTempo = 120;               // beats a minute until a t sets one
inline constexpr int kMaxTranspose = 48;                // semitones either way

struct MmlPlace {
    std::size_t line;    // from 1
    std::size_t column;  // from 1
};

struct MmlNote {
    std::uint64_t start;   // units from the song's start
    std::uint64_t length;  // units, ties included
    int pitch;             // table index 0 … 80, transposed, before any arpeggio
    double level;          // the channel's volume, a fraction of unity (v15 and V128: 1.0)
    int gateEighths;       // q: the eighths of the length the gate holds, 1 … 8
    int volumeEnvelope;    // @v: 1 … 255, or 0 for none
    int arpeggio;          // @a: 1 … 255, or 0 for none
    MmlPlace place;        // where it is written
    int pitchEnvelope = 0;          // @p: 1 … 255, or 0 for none
    std::uint64_t releaseUnits = 0; // its volume envelope's release after its gate share, cut at the next note
    std::uint32_t firstBend = 0;    // its pitch changes (legato, slides) in its channel's `bends` …
    std::uint32_t bendCount = 0;    // … this many, in order

    // Units from the song's start to the end of its gate share.
    double shareEnd() const { return static_cast<double>(start) + static_cast<double>(length) * gateEighths / 8.0; }
};

// A change of a sounding note's pitch without striking it again: `c4&d4`
// (legato) at d's start, `c4~e4` (a slide) a semitone a tick from there.
struct MmlBend {
    std::uint64_t at;  // units from the note's start
    int pitch;         // table index, transposed, before any arpeggio or pitch envelope
};

// A `t`: from `start` on, every channel plays at `beatsPerMinute`.
struct MmlTempoChange {
    std::uint64_t start;  // units
    int beatsPerMinute;   // 1 … 255
    MmlPlace place;
};

// A `!name`: a cue, a place in the song a game may jump to.
struct MmlCue {
    std::uint64_t start;  // units
    std::string name;
    MmlPlace place;
};

// A note or rest as written, for an editor that changes the text: each
// time a repeat or phrase plays it, one span.
struct MmlSpan {
    std::uint64_t start;   // units from the song's start
    std::uint64_t length;  // units, ties included
    int pitch;             // table index 0 … 80, transposed; -1 for a rest
    MmlPlace place;        // where it is written (columns in bytes)
    int octave;            // the octave it is read in (o, < and >)
    int transpose;         // k, semitones
};

struct MmlChannel {
    std::vector<MmlNote> notes;
    std::vector<MmlSpan> spans;           // kept only where asked for
    std::vector<MmlBend> bends;           // the notes' pitch changes, note by note
    std::vector<MmlTempoChange> tempos;   // in the order written
    std::vector<MmlCue> cues;             // in the order written
    std::uint64_t end = 0;                // units: where the channel's last note or rest ends
    std::optional<std::uint64_t> loop;    // units: where L stands
    MmlPlace loopPlace{0, 0};
    bool failed = false;                  // an error was found reading it: its times are not to be trusted
    MmlPlace place{1, 1};                 // where its first line starts
};

// The song's reading, counted across its channels, so that no song of
// repeats grows past kMaxMmlNotes nor reads more than kMaxMmlReading
// characters (repeats of octave changes, of blanks or of empty brackets hold
// no notes, yet nest to 255^16 passes).
struct MmlBudget {
    std::size_t notes = kMaxMmlNotes;  // notes and rests still allowed
    std::size_t read = 0;              // characters and pieces read so far
};

// Reads one channel. Errors are added once each; once the song has one,
// repeats are read once, since no song will be made of it.
MmlChannel parseMmlChannel(const std::vector<MmlPiece>& pieces, const MmlSource& source, MmlBudget& budget,
                           MmlErrors& errors, bool keepSpans = false);

// Reads the T line: tempo changes, the rests and lengths between them, and
// repeats of those; anything else is an error.
MmlChannel parseMmlTempoTrack(const std::vector<MmlPiece>& pieces, const MmlSource& source, MmlBudget& budget,
                              MmlErrors& errors);
