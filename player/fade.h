#pragma once

#include <cstdint>

// A fade to silence: from frame `start` on, over `length` frames, the level
// falls evenly in decibels (an exponential curve, 60 dB over the fade), and
// is silent from its end on. Each frame's gain is computed from its own
// index alone, in single precision with exactly rounded operations only, so
// that it is the same wherever a render is cut and on every machine.
struct Fade {
    std::uint64_t start = 0;   // frames from the song's start
    std::uint64_t length = 0;  // frames; 0: no fade

    bool active() const { return length > 0; }

    // The gain of `frame`: 1 before the fade, 0 from its end on.
    float gainAt(std::uint64_t frame) const
    {
        if (frame < start) {
            return 1.0f;
        }
        const std::uint64_t k = frame - start;
        if (k >= length) {
            return 0.0f;
        }
        // ratio^length is e^-6.9: 60 dB down at the fade's end.
        const float ratio = 1.0f - kNatsOf60dB / static_cast<float>(length);
        float gain = 1.0f;
        for (int bit = 63; bit >= 0; --bit) {
            gain *= gain;
            if ((k >> bit) & 1u) {
                gain *= ratio;
            }
        }
        return gain;
    }

    static constexpr float kNatsOf60dB = 6.9077554f;  // ln 1000
};
