#pragma once

#include "mml_envelope.h"
#include "mml_errors.h"

#include <array>
#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// An MML file split into what each channel plays and the named phrases,
// every piece of text keeping the line and column it came from.

inline constexpr std::size_t kMmlChannels = 6;     // A–F: voices 0–5
inline constexpr std::size_t kMaxPhraseDepth = 64;  // phrases used inside phrases
// Envelope steps a beat, unless #tick says otherwise: 48 a second at 120
// beats a minute, 60 at 150; a whole number of ticks for 16ths (6), 32nds
// (3), triplet 8ths (8) and triplet 16ths (4).
inline constexpr int kDefaultTicksPerBeat = 24;
inline constexpr int kMaxTicksPerBeat = 96;
inline constexpr std::size_t kMaxTitleBytes = 200;

struct MmlPiece {
    std::string_view text;  // without its comment
    std::size_t line;       // from 1
    std::size_t column;     // of text[0], from 1
};

struct MmlSource {
    std::array<std::vector<MmlPiece>, kMmlChannels> channels;  // in file order
    std::vector<MmlPiece> tempoTrack;                           // T: tempo changes only
    std::map<std::string, std::vector<MmlPiece>, std::less<>> phrases;
    std::set<std::string, std::less<>> circular;  // phrases that use themselves, reported already
    std::map<int, MmlEnvelope> volumeEnvelopes;    // @v1 … @v255
    std::map<int, MmlEnvelope> arpeggios;          // @a1 … @a255
    std::map<int, MmlEnvelope> pitchEnvelopes;     // @p1 … @p255
    std::map<int, std::vector<MmlPiece>> instruments;  // @i1 … @i255: the settings they bundle
    // Envelopes whose definition has a mistake, told there: a use of one
    // is no second mistake.
    std::set<int> brokenVolumeEnvelopes;
    std::set<int> brokenArpeggios;
    std::set<int> brokenPitchEnvelopes;
    std::set<int> brokenInstruments;
    int ticksPerBeat = kDefaultTicksPerBeat;       // #tick
    int rowsPerBeat = 0;                           // #rows; 0 where the compiler chooses the grid
    int beatsPerBar = 4;                           // #meter: quarter notes a bar
    std::string title;                             // #title "…", as written (UTF-8)
    std::string composer;                          // #composer "…"
};

// Splits `text` (which must outlive the result) into channels, phrases,
// envelopes and the settings at the top (#tick, #rows, #meter, #title,
// #composer);
// lines that are none of them are errors, and so are phrases that use
// themselves, directly or through others.
MmlSource splitMml(std::string_view text, MmlErrors& errors);

// Walks a channel's pieces and the phrases they use, one character at a
// time, skipping spaces and tabs, always knowing where it is. Every
// character and piece it passes is counted in `read`, which its copies
// share: the work of reading repeats again is counted there.
class MmlCursor {
public:
    MmlCursor(const std::vector<MmlPiece>& pieces, std::size_t& read);

    bool atEnd() const;
    char peek() const;  // '\0' at the end
    // The character at the cursor, all of its UTF-8 bytes (one byte where
    // they are not valid UTF-8); empty at the end.
    std::string_view character() const;
    void advance();
    // Whether a space, a line's end or a phrase's edge came before the
    // character at the cursor: numbers, dots and names end there.
    bool afterSpace() const { return spaced_; }
    std::size_t line() const;
    std::size_t column() const;

    // Continues in a phrase's pieces, returning here at its end. False when
    // the phrase is in use already (it would use itself).
    bool enter(const std::vector<MmlPiece>& pieces);

private:
    struct Frame {
        const std::vector<MmlPiece>* pieces;
        std::size_t piece = 0;
        std::size_t at = 0;
    };
    void settle();  // past spaces, tabs and ended pieces and phrases

    std::vector<Frame> frames_;
    std::size_t* read_;  // characters and pieces passed, by this cursor and its copies
    bool spaced_ = true;
};
