#pragma once

#include <cstddef>
#include <string_view>

// Characters of UTF-8 text, as an editor counts them: a valid sequence is
// one character, and so is each byte that is not part of one.

// The bytes of the valid UTF-8 sequence starting at `at` (1 for ASCII, up
// to 4), or 0 where the bytes there are no valid sequence (a stray
// continuation byte, an overlong form, a surrogate, a cut-off sequence).
std::size_t utf8SequenceAt(std::string_view text, std::size_t at);

// The bytes of the character starting at `at`: its sequence, or 1.
std::size_t characterBytesAt(std::string_view text, std::size_t at);

// The column, counted in characters from 1, of the byte at `byteColumn`
// (counted in bytes from 1) of `line`; a column past the line's end counts
// on a character a byte.
std::size_t characterColumn(std::string_view line, std::size_t byteColumn);
