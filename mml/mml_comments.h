#pragma once

#include "mml_errors.h"

#include <string>
#include <string_view>

// `/* … */` comments, which may run across lines, blanked out of an MML
// text: every byte of one becomes a space but its line ends, so that lines
// and columns stay those of the text. A `/*` after a `;` is part of that
// line's comment. An unclosed one is an error where it opens.
std::string withoutBlockComments(std::string_view text, MmlErrors& errors);
