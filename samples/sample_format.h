#pragma once

#include <cstdint>

// How one PCM sample is stored; the values are part of the data model.
enum class SampleFormat : std::uint32_t {
    U8 = 0,   // unsigned 8-bit, 0 … 255
    S16 = 1,  // signed 16-bit little-endian
    S32 = 2,  // signed 32-bit little-endian
    F32 = 3,  // IEEE single precision little-endian
};

// How samples are interleaved into frames.
enum class ChannelLayout : std::uint32_t {
    Mono = 0,    // one sample per frame
    Stereo = 1,  // left then right
};

constexpr std::uint32_t bytesPerSample(SampleFormat format)
{
    return format == SampleFormat::U8 ? 1 : format == SampleFormat::S16 ? 2 : 4;
}

constexpr std::uint32_t channelCount(ChannelLayout layout)
{
    return layout == ChannelLayout::Mono ? 1 : 2;
}
