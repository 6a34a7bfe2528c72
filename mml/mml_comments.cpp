#include "mml_comments.h"

std::string withoutBlockComments(std::string_view text, MmlErrors& errors)
{
    std::string kept(text);
    std::size_t line = 1;
    // Columns count from after a byte order mark, as the reading skips it.
    std::size_t lineStart = text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
    for (std::size_t at = 0; at < kept.size(); ++at) {
        const char c = kept[at];
        if (c == '\n') {
            ++line;
            lineStart = at + 1;
        } else if (c == ';') {
            const std::size_t end = kept.find('\n', at);
            if (end == std::string::npos) {
                break;
            }
            at = end - 1;  // the line's end is counted next
        } else if (c == '/' && at + 1 < kept.size() && kept[at + 1] == '*') {
            const std::size_t openLine = line;
            const std::size_t openColumn = at - lineStart + 1;
            const std::size_t close = kept.find("*/", at + 2);
            const std::size_t end = close == std::string::npos ? kept.size() : close + 2;
            for (std::size_t i = at; i < end; ++i) {
                if (kept[i] == '\n') {
                    ++line;
                    lineStart = i + 1;
                } else {
                    kept[i] = ' ';
                }
            }
            if (close == std::string::npos) {
                errors.add(openLine, openColumn, "expected */ to close this /*, found the end of the file");
                break;
            }
            at = end - 1;
        }
    }
    return kept;
}
