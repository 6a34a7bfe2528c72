#pragma once

// Byte-level helpers for checking files and buffers: whole files, and
// little-endian values at byte offsets.

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

inline Bytes readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline std::uint16_t u16At(const Bytes& bytes, std::size_t at)
{
    return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

inline std::int16_t s16At(const Bytes& bytes, std::size_t at)
{
    return static_cast<std::int16_t>(u16At(bytes, at));
}

inline std::uint32_t u32At(const Bytes& bytes, std::size_t at)
{
    return u16At(bytes, at) | (static_cast<std::uint32_t>(u16At(bytes, at + 2)) << 16);
}
