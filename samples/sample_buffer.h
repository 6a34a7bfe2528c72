#pragma once

#include "sample_format.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

// One frame as the mixer sees it: full scale is ±1.0.
struct StereoFrame {
    float left = 0.0f;
    float right = 0.0f;
};

// A non-owning view of interleaved PCM memory, converting between the stored
// samples and the floats all mixing is done in. readFrame and writeFrame sit
// on the per-frame path: they are inline, never allocate and ignore indices
// past the end (a read there is silence).
struct SampleBuffer {
    SampleFormat format = SampleFormat::U8;
    ChannelLayout layout = ChannelLayout::Mono;
    std::uint8_t* data = nullptr;  // first byte of the region; never freed here
    std::uint64_t size = 0;        // bytes in the region

    // Whole frames only: a trailing partial frame is ignored.
    std::uint64_t frameCount() const
    {
        return size / (bytesPerSample(format) * channelCount(layout));
    }

    StereoFrame readFrame(std::uint64_t index) const
    {
        if (index >= frameCount()) {
            return {};
        }
        if (layout == ChannelLayout::Mono) {
            const float value = readSample(index);
            return {value, value};
        }
        return {readSample(2 * index), readSample(2 * index + 1)};
    }

    void writeFrame(std::uint64_t index, float left, float right)
    {
        if (index >= frameCount()) {
            return;
        }
        if (layout == ChannelLayout::Mono) {
            writeSample(index, left);
            return;
        }
        writeSample(2 * index, left);
        writeSample(2 * index + 1, right);
    }

    // writeFrame for `count` frames from `first` on, with the format chosen
    // once rather than per frame; frames past the end are left alone.
    void writeFrames(std::uint64_t first, const float* left, const float* right, std::uint64_t count)
    {
        const std::uint64_t frames = frameCount();
        const std::uint64_t end = first < frames ? first + std::min(count, frames - first) : first;
        if (format == SampleFormat::S16 && layout == ChannelLayout::Stereo) {
            std::uint8_t* out = data + 4 * first;
            for (std::uint64_t j = first; j < end; ++j, out += 4) {
                storeU32(out, static_cast<std::uint16_t>(s16From(left[j - first])), 2);
                storeU32(out + 2, static_cast<std::uint16_t>(s16From(right[j - first])), 2);
            }
            return;
        }
        for (std::uint64_t j = first; j < end; ++j) {
            writeFrame(j, left[j - first], right[j - first]);
        }
    }

    // Full-scale factors, each the single-precision value the output is
    // defined by.
    static constexpr float kU8Scale = 0.003921569f;    // 1/255
    static constexpr float kS16Scale = 3.0518509e-5f;  // 1/32767: -32768 reads below -1.0
    static constexpr float kS32Scale = 0x1p-31f;

    // Sample `sample` of `data` stored as `F`, as a float; no bounds check.
    // The mixer reads through this with the format fixed per voice.
    template <SampleFormat F>
    static float sampleAt(const std::uint8_t* data, std::uint64_t sample)
    {
        if constexpr (F == SampleFormat::U8) {
            return (static_cast<float>(data[sample]) * kU8Scale - 0.5f) * 2.0f;
        } else if constexpr (F == SampleFormat::S16) {
            return static_cast<float>(loadS16(data + 2 * sample)) * kS16Scale;
        } else if constexpr (F == SampleFormat::S32) {
            return static_cast<float>(loadS32(data + 4 * sample)) * kS32Scale;
        } else {
            const std::uint32_t bits = static_cast<std::uint32_t>(loadS32(data + 4 * sample));
            float value;
            std::memcpy(&value, &bits, sizeof value);
            return value;
        }
    }

    // A mixed value as a 16-bit sample: limited to ±1.0 and scaled by
    // 32767, so -32768 is never written.
    static std::int16_t s16From(float x)
    {
        return static_cast<std::int16_t>(limit(x, -1.0f, 1.0f) * 32767.0f);
    }

private:
    float readSample(std::uint64_t sample) const
    {
        switch (format) {
        case SampleFormat::U8:
            return sampleAt<SampleFormat::U8>(data, sample);
        case SampleFormat::S16:
            return sampleAt<SampleFormat::S16>(data, sample);
        case SampleFormat::S32:
            return sampleAt<SampleFormat::S32>(data, sample);
        case SampleFormat::F32:
            return sampleAt<SampleFormat::F32>(data, sample);
        }
        return 0.0f;
    }

    void writeSample(std::uint64_t sample, float x)
    {
        switch (format) {
        case SampleFormat::U8: {
            const float y = limit(x * 0.5f + 0.5f, 0.0f, 1.0f);
            data[sample] = static_cast<std::uint8_t>(y * 255.0f);
            return;
        }
        case SampleFormat::S16:
            storeU32(data + 2 * sample, static_cast<std::uint16_t>(s16From(x)), 2);
            return;
        case SampleFormat::S32: {
            const float y = limit(x, -1.0f, 1.0f) * 2147483648.0f;
            const std::int32_t value = y >= 2147483648.0f ? 2147483647 : static_cast<std::int32_t>(y);
            storeU32(data + 4 * sample, static_cast<std::uint32_t>(value), 4);
            return;
        }
        case SampleFormat::F32: {
            std::uint32_t bits;
            std::memcpy(&bits, &x, sizeof bits);
            storeU32(data + 4 * sample, bits, 4);
            return;
        }
        }
    }

    // Limits x to [low, high]; a NaN comes out as high rather than reaching
    // an undefined integer conversion.
    static float limit(float x, float low, float high)
    {
        return std::max(low, std::min(high, x));
    }

    static std::int16_t loadS16(const std::uint8_t* p)
    {
        return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
    }

    static std::int32_t loadS32(const std::uint8_t* p)
    {
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(p[0]) |
                                         (static_cast<std::uint32_t>(p[1]) << 8) |
                                         (static_cast<std::uint32_t>(p[2]) << 16) |
                                         (static_cast<std::uint32_t>(p[3]) << 24));
    }

    static void storeU32(std::uint8_t* p, std::uint32_t value, int bytes)
    {
        for (int i = 0; i < bytes; ++i) {
            p[i] = static_cast<std::uint8_t>(value >> (8 * i));
        }
    }
};
