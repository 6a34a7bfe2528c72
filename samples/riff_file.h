#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// A four-character code as one little-endian 32-bit word of its ASCII bytes.
constexpr std::uint32_t fourCC(const char (&code)[5])
{
    return static_cast<std::uint32_t>(static_cast<std::uint8_t>(code[0])) |
           (static_cast<std::uint32_t>(static_cast<std::uint8_t>(code[1])) << 8) |
           (static_cast<std::uint32_t>(static_cast<std::uint8_t>(code[2])) << 16) |
           (static_cast<std::uint32_t>(static_cast<std::uint8_t>(code[3])) << 24);
}

// One top-level chunk, with its own copy of the body.
struct RiffChunk {
    std::uint32_t id = 0;             // FourCC
    std::vector<std::uint8_t> body;   // the chunk's bytes, without its 8-byte header
};

// A RIFF image split into its top-level chunks, in file order.
struct RiffFile {
    std::uint32_t formType = 0;  // FourCC, such as "WAVE"
    std::vector<RiffChunk> chunks;
};

// Splits a complete RIFF image into chunks. Raises std::out_of_range
// ("Buffer overflow", "Invalid RIFF size", "Invalid chunk size") or
// std::runtime_error ("Invalid RIFF magic"). Chunks are read back to back:
// no pad byte is skipped after an odd-length body.
RiffFile parseRiff(const std::uint8_t* bytes, std::size_t length);
