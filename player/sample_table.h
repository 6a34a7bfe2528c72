#pragma once

#include "sample_buffer.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// A voice's sample as floats, for the vector mixer: each frame's value, as
// the mixer reads it, and the step from it to the next frame (from the last
// to the first), per channel. Made once when a sound is given to a voice, so
// that mixing reads floats instead of converting stored values every frame.
struct SampleTable {
    // Floats after each table's last frame, so that a window of frames read
    // from near the end stays inside the table.
    static constexpr std::size_t kPadding = 64;
    // Longest sample given a table: its indices fit 32-bit lanes.
    static constexpr std::uint64_t kMaxFrames = std::uint64_t{1} << 22;

    std::array<std::vector<float>, 2> values;  // per channel, frame count + kPadding; the second empty
                                               // where the sample is mono or its channels are equal
    std::array<std::vector<float>, 2> steps;   // values[(i + 1) % n] − values[i], per channel
    const std::uint8_t* source = nullptr;      // the sample bytes these came from
    std::uint64_t frames = 0;                  // frames in the sample, 0 … kMaxFrames

    // Whether this table was made from `sample` (and made at all).
    bool describes(const SampleBuffer& sample) const
    {
        return source != nullptr && source == sample.data && frames == sample.frameCount();
    }
};

// The table of `sample`; an empty one (describing nothing) for a sample with
// no frames or more than kMaxFrames.
SampleTable makeSampleTable(const SampleBuffer& sample);
