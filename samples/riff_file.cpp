#include "riff_file.h"

#include "byte_cursor.h"

#include <stdexcept>

RiffFile parseRiff(const std::uint8_t* bytes, std::size_t length)
{
    const ByteCursor cursor{bytes, length, "Buffer overflow"};
    // All three header fields are read before any is checked, so a short
    // image is an overflow whatever it starts with.
    const std::uint32_t magic = cursor.u32(0);
    const std::uint32_t riffSize = cursor.u32(4);
    RiffFile file;
    file.formType = cursor.u32(8);

    if (magic != fourCC("RIFF")) {
        throw std::runtime_error("Invalid RIFF magic");
    }
    // The size field is only checked: the walk below is bounded by the image.
    if (riffSize > length - 8) {
        throw std::out_of_range("Invalid RIFF size");
    }
    if (length <= 12) {
        return file;
    }

    std::size_t offset = 12;
    for (;;) {
        const std::uint32_t id = cursor.u32(offset);
        const std::uint32_t bodyLength = cursor.u32(offset + 4);
        const std::size_t body = offset + 8;
        if (bodyLength > length - body) {
            throw std::out_of_range("Invalid chunk size");
        }
        file.chunks.push_back({id, std::vector<std::uint8_t>(bytes + body, bytes + body + bodyLength)});
        offset = body + bodyLength;
        if (offset >= length) {
            return file;
        }
    }
}
