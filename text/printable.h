#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Text from outside (file names, words of a song's text) made safe to show
// on a terminal: control characters and DEL become escapes ("\n", "\t",
// "\x1b", "\x00"), so no name can start a new line of output, no escape
// sequence reaches the terminal and no NUL cuts a message short; so do
// bytes that are not valid UTF-8, which would garble it. Everything else,
// valid UTF-8 included, is kept as it is.
std::string printable(std::string_view text);

// The same, cut after `limit` bytes of `text` with "..." in place of the
// rest, for quoting a word of a line that may be of any length.
std::string printablePrefix(std::string_view text, std::size_t limit);
