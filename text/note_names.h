#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Note names for pitch-table indices. Index 40 plays a 56-frame cycle at
// 787.5 Hz, nearest to G5 (783.99 Hz with A4 at 440 Hz), and each index is a
// semitone: index n is MIDI note n + 39, from D#2 (index 0) to B8 (80).
inline constexpr int kMidiOfIndexZero = 39;

// "C5", "D#2": sharps only, octave after the letter.
std::string noteName(std::uint8_t index);

// Accepts sharps and flats ("D#2", "Eb2"), in any case ("eb2", "EB2");
// nothing for a malformed name or one outside the table.
std::optional<std::uint8_t> noteIndex(std::string_view name);
