#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>

// Bounds-checked reads from a byte image, little-endian (RIFF) or big-endian
// (MIDI): every value is built byte by byte, and a read that would pass the
// end raises the out-of-range error `overflowMessage` instead.
struct ByteCursor {
    const std::uint8_t* bytes;    // first byte of the image
    std::size_t length;           // bytes in the image
    const char* overflowMessage;  // what a read past the end raises

    std::uint8_t u8(std::size_t offset) const
    {
        need(offset, 1);
        return bytes[offset];
    }

    std::uint16_t u16(std::size_t offset) const
    {
        need(offset, 2);
        return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
    }

    std::uint32_t u32(std::size_t offset) const
    {
        need(offset, 4);
        return static_cast<std::uint32_t>(bytes[offset]) |
               (static_cast<std::uint32_t>(bytes[offset + 1]) << 8) |
               (static_cast<std::uint32_t>(bytes[offset + 2]) << 16) |
               (static_cast<std::uint32_t>(bytes[offset + 3]) << 24);
    }

    std::uint16_t u16be(std::size_t offset) const
    {
        need(offset, 2);
        return static_cast<std::uint16_t>((bytes[offset] << 8) | bytes[offset + 1]);
    }

    std::uint32_t u32be(std::size_t offset) const
    {
        need(offset, 4);
        return (static_cast<std::uint32_t>(bytes[offset]) << 24) |
               (static_cast<std::uint32_t>(bytes[offset + 1]) << 16) |
               (static_cast<std::uint32_t>(bytes[offset + 2]) << 8) | static_cast<std::uint32_t>(bytes[offset + 3]);
    }

private:
    void need(std::size_t offset, std::size_t size) const
    {
        if (offset > length || length - offset < size) {
            throw std::out_of_range(overflowMessage);
        }
    }
};
