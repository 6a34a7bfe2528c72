#include "sample_buffer.h"
#include "test_bytes.h"
#include "wav_sample.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace {

SampleBuffer view(std::vector<std::uint8_t>& bytes, SampleFormat format, ChannelLayout layout)
{
    return {format, layout, bytes.data(), bytes.size()};
}

std::int32_t s32At(const std::vector<std::uint8_t>& bytes, std::size_t sample)
{
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) {
        v = (v << 8) | bytes[4 * sample + i];
    }
    return static_cast<std::int32_t>(v);
}

TEST(SampleBuffer, FrameCountIgnoresTrailingPartialFrame)
{
    struct Case {
        SampleFormat format;
        ChannelLayout layout;
        std::uint64_t bytes;
        std::uint64_t frames;
    };
    const Case cases[] = {
        {SampleFormat::S16, ChannelLayout::Stereo, 2048, 512},
        {SampleFormat::S16, ChannelLayout::Stereo, 2047, 511},
        {SampleFormat::S16, ChannelLayout::Mono, 3, 1},
        {SampleFormat::U8, ChannelLayout::Mono, 7, 7},
        {SampleFormat::U8, ChannelLayout::Stereo, 7, 3},
        {SampleFormat::S32, ChannelLayout::Stereo, 15, 1},
        {SampleFormat::F32, ChannelLayout::Mono, 0, 0},
    };
    for (const Case& c : cases) {
        const SampleBuffer buffer{c.format, c.layout, nullptr, c.bytes};
        EXPECT_EQ(buffer.frameCount(), c.frames) << c.bytes << " bytes";
    }
}

TEST(SampleBuffer, ReadPastTheEndIsSilenceForEveryFormat)
{
    // The region is the first 16 bytes; the bytes after it must not be read.
    std::vector<std::uint8_t> bytes(64, 0x7F);
    for (auto format : {SampleFormat::U8, SampleFormat::S16, SampleFormat::S32, SampleFormat::F32}) {
        for (auto layout : {ChannelLayout::Mono, ChannelLayout::Stereo}) {
            const SampleBuffer buffer{format, layout, bytes.data(), 16};
            const StereoFrame frame = buffer.readFrame(buffer.frameCount());
            EXPECT_EQ(frame.left, 0.0f);
            EXPECT_EQ(frame.right, 0.0f);
        }
    }
}

TEST(SampleBuffer, ReadConversions)
{
    std::vector<std::uint8_t> u8{0, 255, 128};
    const SampleBuffer u8View = view(u8, SampleFormat::U8, ChannelLayout::Mono);
    EXPECT_EQ(u8View.readFrame(0).left, -1.0f);
    EXPECT_EQ(u8View.readFrame(1).left, 1.0f);
    EXPECT_EQ(u8View.readFrame(2).left, (128.0f * 0.003921569f - 0.5f) * 2.0f);

    std::vector<std::uint8_t> s16{0xFF, 0x7F, 0x00, 0x80, 0xFF, 0x3F, 0xA0, 0x0F};
    const SampleBuffer s16View = view(s16, SampleFormat::S16, ChannelLayout::Mono);
    EXPECT_EQ(s16View.readFrame(0).left, 1.0f);
    EXPECT_LT(s16View.readFrame(1).left, -1.0f);
    EXPECT_EQ(s16View.readFrame(2).left, 0.49998474f);
    EXPECT_EQ(s16View.readFrame(3).left, 0.12207404f);  // 4000

    std::vector<std::uint8_t> s32{0xFF, 0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x00, 0x80};
    const SampleBuffer s32View = view(s32, SampleFormat::S32, ChannelLayout::Mono);
    EXPECT_EQ(s32View.readFrame(0).left, 1.0f);
    EXPECT_EQ(s32View.readFrame(1).left, -1.0f);

    const float value = -0.3125f;
    std::vector<std::uint8_t> f32(4);
    std::memcpy(f32.data(), &value, 4);
    EXPECT_EQ(view(f32, SampleFormat::F32, ChannelLayout::Mono).readFrame(0).left, value);
}

TEST(SampleBuffer, MonoReadsBothChannelsAndWritesOnlyLeft)
{
    std::vector<std::uint8_t> bytes(4, 0);
    SampleBuffer buffer = view(bytes, SampleFormat::S16, ChannelLayout::Mono);
    buffer.writeFrame(1, 0.5f, -0.5f);
    EXPECT_EQ(s16At(bytes, 0), 0);
    EXPECT_EQ(s16At(bytes, 2), 16383);
    const StereoFrame frame = buffer.readFrame(1);
    EXPECT_EQ(frame.left, 0.49998474f);
    EXPECT_EQ(frame.right, 0.49998474f);
}

TEST(SampleBuffer, StereoKeepsLeftThenRight)
{
    std::vector<std::uint8_t> bytes(8, 0);
    SampleBuffer buffer = view(bytes, SampleFormat::S16, ChannelLayout::Stereo);
    buffer.writeFrame(1, 0.25f, -0.25f);
    EXPECT_EQ(s16At(bytes, 4), 8191);
    EXPECT_EQ(s16At(bytes, 6), -8191);
    EXPECT_EQ(buffer.readFrame(1).right, -8191.0f * 3.0518509e-5f);
}

TEST(SampleBuffer, S16WriteLimitsAndTruncates)
{
    struct Case {
        float in;
        std::int16_t out;
    };
    const Case cases[] = {
        {0.5f, 16383}, {1.0f, 32767},   {1.7f, 32767},   {-1.0f, -32767},
        {-3.0f, -32767}, {0.0f, 0},     {-0.5f, -16383}, {3.0518509e-5f, 1},
        {std::numeric_limits<float>::infinity(), 32767},
    };
    std::vector<std::uint8_t> bytes(2);
    SampleBuffer buffer = view(bytes, SampleFormat::S16, ChannelLayout::Mono);
    for (const Case& c : cases) {
        buffer.writeFrame(0, c.in, 0.0f);
        EXPECT_EQ(s16At(bytes, 0), c.out) << c.in;
    }
}

TEST(SampleBuffer, S32AndU8Writes)
{
    std::vector<std::uint8_t> s32(4);
    SampleBuffer s32View = view(s32, SampleFormat::S32, ChannelLayout::Mono);
    s32View.writeFrame(0, 1.0f, 0.0f);
    EXPECT_EQ(s32At(s32, 0), 2147483647);
    s32View.writeFrame(0, -2.0f, 0.0f);
    EXPECT_EQ(s32At(s32, 0), -2147483647 - 1);
    s32View.writeFrame(0, 0.5f, 0.0f);
    EXPECT_EQ(s32At(s32, 0), 1073741824);

    std::vector<std::uint8_t> u8(1);
    SampleBuffer u8View = view(u8, SampleFormat::U8, ChannelLayout::Mono);
    const std::pair<float, int> cases[] = {{-1.0f, 0}, {0.0f, 127}, {1.0f, 255}, {5.0f, 255}, {-5.0f, 0}};
    for (const auto& [in, out] : cases) {
        u8View.writeFrame(0, in, 0.0f);
        EXPECT_EQ(u8[0], out) << in;
    }
    u8View.writeFrame(0, -1.0f, 0.0f);
    EXPECT_EQ(u8View.readFrame(0).left, -1.0f);
    u8View.writeFrame(0, 1.0f, 0.0f);
    EXPECT_EQ(u8View.readFrame(0).left, 1.0f);
}

TEST(SampleBuffer, WritePastTheEndLeavesMemoryUntouched)
{
    std::vector<std::uint8_t> bytes(6, 0xAB);  // one whole stereo frame plus two stray bytes
    SampleBuffer buffer{SampleFormat::S16, ChannelLayout::Stereo, bytes.data(), 4};
    buffer.writeFrame(1, 0.5f, 0.5f);
    EXPECT_EQ(bytes, std::vector<std::uint8_t>(6, 0xAB));
}

TEST(WavSample, MoveKeepsTheViewOnTheSameBytes)
{
    WavSample sample;
    sample.storage = {1, 0, 2, 0};
    sample.buffer = {SampleFormat::S16, ChannelLayout::Mono, sample.storage.data(), 4};
    const std::uint8_t* bytes = sample.storage.data();

    WavSample moved = std::move(sample);
    EXPECT_EQ(moved.buffer.data, bytes);
    EXPECT_EQ(moved.storage.data(), bytes);
    EXPECT_EQ(moved.buffer.frameCount(), 2u);
    EXPECT_EQ(sample.buffer.frameCount(), 0u);

    moved = WavSample{};
    EXPECT_TRUE(moved.storage.empty());
    EXPECT_EQ(moved.buffer.data, nullptr);
}

}  // namespace
