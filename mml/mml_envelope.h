#pragma once

#include "mml_errors.h"

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <optional>
#include <string_view>
#include <vector>

// An instrument's envelope, as `@v1 = { 15 12 9 | 6 4 / 2 0 }` (a volume
// envelope, with a release), `@a1 = { | 0 4 7 }` (an arpeggio, in
// semitones) or `@p1 = { 0 -1 -2 }` (a pitch envelope, the same) defines it:
// one value a tick from a note's start (`15:3` holds one for three ticks);
// after the last value it goes back to the one after `|`, or without `|`
// holds the last.
struct MmlEnvelope {
    std::vector<int> values;           // one at least
    std::optional<std::size_t> loop;   // the index the values go round from
    // A volume envelope's values after `/`: from the note's release (the
    // end of its gate share) on, a tick each, the last held; none where
    // there is no `/`.
    std::vector<int> release;
    std::size_t line = 0;              // where it is defined
    std::size_t column = 0;

    // Whether the value at every tick from `tick` on is the one at `tick`.
    bool heldFrom(std::uint64_t tick) const { return !loop && tick + 1 >= values.size(); }

    int releaseAt(std::uint64_t tick) const
    {
        return release[std::min<std::uint64_t>(tick, release.size() - 1)];
    }

    int at(std::uint64_t tick) const
    {
        if (tick < values.size()) {
            return values[tick];
        }
        if (!loop) {
            return values.back();
        }
        const std::uint64_t round = values.size() - *loop;
        return values[*loop + (tick - values.size()) % round];
    }

    // The values it takes, the extremes.
    int least() const;
    int most() const;
};

enum class EnvelopeKind { Volume, Arpeggio, Pitch };

inline constexpr int kMaxEnvelopeNumber = 255;  // @v1 … @v255; @v0 is "none"
inline constexpr int kMaxArpeggioSemitones = 48;
inline constexpr int kMaxStepTicks = 255;                // 15:255
inline constexpr std::size_t kMaxEnvelopeSteps = 4096;   // ticks an envelope spells out, in all

// Reads the braces of a definition, `{ 15 12 9 | 6 4 }` from its first
// character on (`column` is its place on `line`). Nothing, with the
// mistake reported, for a value out of range, a misplaced `|` or `/`, no
// values or an unclosed `{`.
std::optional<MmlEnvelope> readEnvelope(std::string_view text, EnvelopeKind kind, std::size_t line, std::size_t column,
                                        MmlErrors& errors);
