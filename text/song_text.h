#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The readable form of a song file. One statement a line; a `#` at the
// start of a word starts a comment (inside one it is a sharp, as in C#5):
//   tempo 120 4        the header: beats a minute, rows a beat
//   pitch 0 G5         command, voice, parameter: one three-byte event
//   bytes 7            one or two trailing bytes that complete no event
// Commands are wait, note, volume, pitch, loop-start, loop-end or any byte
// 0 … 255; pitches may be note names, volumes fractions of unity. Every byte
// file has a text form that assembles back to the same bytes.

struct TextError {
    std::size_t line;     // from 1
    std::size_t column;   // from 1, in bytes
    std::string message;  // says what was expected
};

// The song's bytes, or nothing with every error found (at most one a line).
std::optional<std::vector<std::uint8_t>> assembleSong(std::string_view text, std::vector<TextError>& errors);

// The text form of a song file, each event commented with the output frame
// and time at which the renderer's sequencer takes it, and the song's
// rendered length at the end.
std::string disassembleSong(const std::vector<std::uint8_t>& bytes);
