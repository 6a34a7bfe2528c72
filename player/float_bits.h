#pragma once

#include <cstdint>
#include <cstring>

// A float's bits and back, copied rather than cast: std::bit_cast is missing
// from some standard libraries the player is built with (WebAssembly).
inline std::uint32_t bitsOf(float value)
{
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

inline float floatOf(std::uint32_t bits)
{
    float value = 0.0f;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}
