#pragma once

#include "song_player.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

// A ReadFn over a song held in memory: delivers the bytes in order, and
// false once fewer than asked for are left. `data` must outlive the call of
// load it is passed to.
inline ReadFn memoryRead(const std::uint8_t* data, std::size_t size)
{
    return [data, size, at = std::size_t{0}](void* destination, std::uint32_t count) mutable {
        if (size - at < count) {
            return false;
        }
        std::memcpy(destination, data + at, count);
        at += count;
        return true;
    };
}
