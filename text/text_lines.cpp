#include "text_lines.h"

#include "song_assembler.h"

#include <cerrno>
#include <string>

bool readTextLines(std::FILE* input, const std::function<void(std::string_view)>& line)
{
    std::string current;
    bool any = false;  // a last line with no line break still counts
    for (int c = std::getc(input);; c = std::getc(input)) {
        if (c == EOF || c == '\n') {
            if (c == '\n' || any) {
                line(current);
            }
            if (c == EOF) {
                break;
            }
            current.clear();
            any = false;
            continue;
        }
        any = true;
        if (current.size() <= kMaxLineBytes) {
            current += static_cast<char>(c);
        }
    }
    return std::ferror(input) == 0;
}
