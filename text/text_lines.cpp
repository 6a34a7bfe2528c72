#include "text_lines.h"

#include "song_assembler.h"
#include "song_player.h"

#include <cerrno>
#include <string>

bool readTextLines(std::FILE* input, const std::function<bool(std::string_view)>& line)
{
    std::string current;
    std::uint64_t length = 0;  // of the line being read; a last line with no line break still counts
    for (int c = std::getc(input);; c = std::getc(input)) {
        if (c == EOF || c == '\n') {
            if ((c == '\n' || length > 0) && !line(current)) {
                break;
            }
            if (c == EOF) {
                break;
            }
            current.clear();
            length = 0;
            continue;
        }
        ++length;
        if (current.size() <= kMaxLineBytes) {
            current += static_cast<char>(c);
        } else if (length > kMaxSongBytes) {
            line(current);
            break;
        }
    }
    return std::ferror(input) == 0;
}
