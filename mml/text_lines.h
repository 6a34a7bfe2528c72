#pragma once

#include <algorithm>
#include <string_view>
#include <vector>

// The lines of a text, without their line ends: as many as it has line ends,
// and one more (empty after a last line end).
inline std::vector<std::string_view> textLines(std::string_view text)
{
    std::vector<std::string_view> lines;
    std::size_t at = 0;
    while (at <= text.size()) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}
