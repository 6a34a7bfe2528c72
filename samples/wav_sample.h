#pragma once

#include "sample_buffer.h"

#include <cstdint>
#include <vector>

// A decoded sample: owns its PCM bytes and a view over them. Moved, never
// copied; the view stays valid across a move because the bytes do not move.
struct WavSample {
    std::uint32_t sampleRate = 0;       // Hz as declared by the file; playback ignores it
    std::vector<std::uint8_t> storage;  // the PCM bytes
    SampleBuffer buffer;                // view over storage

    WavSample() = default;
    WavSample(const WavSample&) = delete;
    WavSample& operator=(const WavSample&) = delete;

    WavSample(WavSample&& other) noexcept
        : sampleRate(other.sampleRate), storage(std::move(other.storage)), buffer(other.buffer)
    {
        other.buffer = {};
    }

    WavSample& operator=(WavSample&& other) noexcept
    {
        if (this == &other) {
            return *this;
        }
        sampleRate = other.sampleRate;
        storage = std::move(other.storage);
        buffer = other.buffer;
        other.buffer = {};
        return *this;
    }
};
