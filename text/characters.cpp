#include "characters.h"

std::size_t utf8SequenceAt(std::string_view text, std::size_t at)
{
    if (at >= text.size()) {
        return 0;
    }
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    unsigned char least = 0x80;  // the second byte's range, which rules out overlong forms and surrogates
    unsigned char most = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        least = lead == 0xE0 ? 0xA0 : 0x80;
        most = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        least = lead == 0xF0 ? 0x90 : 0x80;
        most = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (at + length > text.size() || byte(1) < least || byte(1) > most) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
    }
    return length;
}

std::size_t characterBytesAt(std::string_view text, std::size_t at)
{
    const std::size_t length = utf8SequenceAt(text, at);
    return length == 0 ? 1 : length;
}

std::size_t characterColumn(std::string_view line, std::size_t byteColumn)
{
    std::size_t column = 1;
    std::size_t at = 0;
    const std::size_t target = byteColumn > 0 ? byteColumn - 1 : 0;
    while (at < target && at < line.size()) {
        at += characterBytesAt(line, at);
        ++column;
    }
    return column + (target > at ? target - at : 0);
}
