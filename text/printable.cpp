#include "printable.h"

#include "characters.h"

#include <cstdio>

std::string printable(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const char c = text[at];
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80) {
            // Valid UTF-8 as it is; a byte of no character as an escape,
            // which a terminal shows instead of garbling.
            const std::size_t length = utf8SequenceAt(text, at);
            if (length > 0) {
                out.append(text.substr(at, length));
                at += length;
                continue;
            }
        }
        ++at;
        if (byte >= 0x20 && byte < 0x7f) {
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            out += escape;
        }
    }
    return out;
}

std::string printablePrefix(std::string_view text, std::size_t limit)
{
    if (text.size() <= limit) {
        return printable(text);
    }
    // Not inside a UTF-8 sequence: back up over its continuation bytes.
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xc0) == 0x80) {
        --cut;
    }
    return printable(text.substr(0, cut)) + "...";
}
