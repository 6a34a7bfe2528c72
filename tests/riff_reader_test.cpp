#include "riff_file.h"
#include "test_bytes.h"
#include "wav_decoder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

void append32(Bytes& out, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
}

void appendId(Bytes& out, const char* id)
{
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(id[i]));
    }
}

Bytes chunk(const char* id, const Bytes& body)
{
    Bytes out;
    appendId(out, id);
    append32(out, static_cast<std::uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// A RIFF image of the given chunks, its size field set to fit.
Bytes riff(std::initializer_list<Bytes> chunks, const char* form = "WAVE")
{
    Bytes out;
    appendId(out, "RIFF");
    append32(out, 0);
    appendId(out, form);
    for (const Bytes& c : chunks) {
        out.insert(out.end(), c.begin(), c.end());
    }
    const auto size = static_cast<std::uint32_t>(out.size() - 8);
    for (int i = 0; i < 4; ++i) {
        out[4 + i] = static_cast<std::uint8_t>(size >> (8 * i));
    }
    return out;
}

// A format chunk body: audio format, channels, 44100 Hz, bits; `extra`
// bytes of extension after the 16 standard ones.
Bytes fmt(std::uint16_t format, std::uint16_t channels, std::uint16_t bits, std::size_t extra = 0)
{
    Bytes body;
    body.push_back(static_cast<std::uint8_t>(format));
    body.push_back(static_cast<std::uint8_t>(format >> 8));
    body.push_back(static_cast<std::uint8_t>(channels));
    body.push_back(0);
    append32(body, 44100);
    append32(body, 44100u * channels * bits / 8);
    body.push_back(static_cast<std::uint8_t>(channels * bits / 8));
    body.push_back(0);
    body.push_back(static_cast<std::uint8_t>(bits));
    body.push_back(0);
    body.resize(body.size() + extra, 0);
    return body;
}

enum class Kind { Runtime, OutOfRange };

struct Rejection {
    const char* what;
    Bytes image;
    Kind kind;
    const char* message;
};

std::string errorOf(const Bytes& image, Kind& kind)
{
    try {
        decodeWav(image.data(), image.size());
    } catch (const std::out_of_range& e) {
        kind = Kind::OutOfRange;
        return e.what();
    } catch (const std::runtime_error& e) {
        kind = Kind::Runtime;
        return e.what();
    }
    return "(decoded)";
}

TEST(WavDecoder, RejectsEachMalformedImageWithItsMessage)
{
    const Bytes pcm = chunk("fmt ", fmt(1, 2, 16));
    const Bytes data = chunk("data", Bytes(8, 0));
    Bytes valid = riff({pcm, data});

    Bytes badMagic = valid;
    badMagic[0] = 'X';
    Bytes sizeTooLarge = valid;
    sizeTooLarge[4] = static_cast<std::uint8_t>(valid.size() - 8 + 1);
    Bytes chunkTooLong = valid;
    chunkTooLong[valid.size() - 12] = 9;  // the data chunk's length: one byte past the end
    Bytes twoStray = valid;
    twoStray.insert(twoStray.end(), {0, 0});
    Bytes eightStray = valid;
    eightStray.insert(eightStray.end(), {'j', 'u', 'n', 'k', 1, 0, 0, 0});
    // A pad byte after an odd-length chunk shifts the next header by one.
    Bytes padded = riff({chunk("odd ", {1, 2, 3}), Bytes{0}, pcm, data});

    const Rejection cases[] = {
        {"11 bytes", Bytes(valid.begin(), valid.begin() + 11), Kind::OutOfRange, "Buffer overflow"},
        {"3 bytes", Bytes{'R', 'I', 'F'}, Kind::OutOfRange, "Buffer overflow"},
        {"bad magic", badMagic, Kind::Runtime, "Invalid RIFF magic"},
        {"RIFF size one too large", sizeTooLarge, Kind::OutOfRange, "Invalid RIFF size"},
        {"chunk past the end", chunkTooLong, Kind::OutOfRange, "Invalid chunk size"},
        {"two stray bytes", twoStray, Kind::OutOfRange, "Buffer overflow"},
        {"eight stray bytes", eightStray, Kind::OutOfRange, "Invalid chunk size"},
        {"pad byte", padded, Kind::OutOfRange, "Invalid chunk size"},
        {"not WAVE", riff({pcm, data}, "AVI "), Kind::Runtime, "Invalid WAVE type"},
        {"no chunks", riff({}), Kind::Runtime, "Missing fmt chunk"},
        {"no fmt", riff({data}), Kind::Runtime, "Missing fmt chunk"},
        {"no data", riff({pcm}), Kind::Runtime, "Missing data chunk"},
        {"fmt of 15 bytes", riff({chunk("fmt ", Bytes(15, 1)), data}), Kind::OutOfRange,
         "invalid vector subscript"},
        {"float", riff({chunk("fmt ", fmt(3, 2, 32)), data}), Kind::Runtime, "Unsupported format"},
        {"6 channels", riff({chunk("fmt ", fmt(1, 6, 16)), data}), Kind::Runtime, "Unsupported channel count"},
        {"0 channels", riff({chunk("fmt ", fmt(1, 0, 16)), data}), Kind::Runtime, "Unsupported channel count"},
        {"24-bit", riff({chunk("fmt ", fmt(1, 2, 24)), data}), Kind::Runtime, "Unsupported sample size"},
        // Format is checked before channels, channels before bits.
        {"float, 6 channels, 24-bit", riff({chunk("fmt ", fmt(3, 6, 24)), data}), Kind::Runtime,
         "Unsupported format"},
    };
    for (const Rejection& c : cases) {
        Kind kind{};
        EXPECT_EQ(errorOf(c.image, kind), c.message) << c.what;
        EXPECT_EQ(kind, c.kind) << c.what;
    }
}

TEST(RiffParser, WalksChunksBoundedByTheImage)
{
    Bytes header{'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V', 'E'};
    EXPECT_TRUE(parseRiff(header.data(), header.size()).chunks.empty());

    // A RIFF size smaller than the image does not limit the walk.
    Bytes image = riff({chunk("abcd", {1, 2, 3}), chunk("efgh", {})});
    image[4] = 4;
    const RiffFile file = parseRiff(image.data(), image.size());
    EXPECT_EQ(file.formType, fourCC("WAVE"));
    ASSERT_EQ(file.chunks.size(), 2u);
    EXPECT_EQ(file.chunks[0].id, fourCC("abcd"));
    EXPECT_EQ(file.chunks[0].body, (Bytes{1, 2, 3}));
    EXPECT_TRUE(file.chunks[1].body.empty());

    // Eight stray bytes with a zero length read as one more, empty chunk.
    image.insert(image.end(), {'z', 'e', 'r', 'o', 0, 0, 0, 0});
    EXPECT_EQ(parseRiff(image.data(), image.size()).chunks.size(), 3u);
}

TEST(WavDecoder, DecodesEveryAcceptedLayout)
{
    // An 18-byte format chunk and a "fact" chunk, as in the built-in images.
    Bytes stereo16 = riff({chunk("fmt ", fmt(1, 2, 16, 2)), chunk("fact", {0x5C, 0x11, 0, 0}),
                           chunk("data", Bytes(17776, 0))});
    WavSample sample = decodeWav(stereo16.data(), stereo16.size());
    EXPECT_EQ(sample.sampleRate, 44100u);
    EXPECT_EQ(sample.buffer.format, SampleFormat::S16);
    EXPECT_EQ(sample.buffer.layout, ChannelLayout::Stereo);
    EXPECT_EQ(sample.buffer.frameCount(), 4444u);
    EXPECT_EQ(sample.buffer.data, sample.storage.data());

    Bytes mono8 = riff({chunk("fmt ", fmt(1, 1, 8)), chunk("data", {0, 255, 7})});
    sample = decodeWav(mono8.data(), mono8.size());
    EXPECT_EQ(sample.buffer.format, SampleFormat::U8);
    EXPECT_EQ(sample.buffer.layout, ChannelLayout::Mono);
    EXPECT_EQ(sample.buffer.readFrame(1).left, 1.0f);

    Bytes stereo32 = riff({chunk("data", {1, 2, 3, 4, 5, 6, 7}), chunk("fmt ", fmt(1, 2, 32))});
    sample = decodeWav(stereo32.data(), stereo32.size());
    EXPECT_EQ(sample.buffer.format, SampleFormat::S32);
    EXPECT_EQ(sample.buffer.frameCount(), 0u);  // shorter than one frame

    // The first chunk of each kind is the one used.
    Bytes twice = riff({chunk("fmt ", fmt(1, 1, 16)), chunk("data", {1, 0}), chunk("fmt ", fmt(1, 2, 8)),
                        chunk("data", {})});
    sample = decodeWav(twice.data(), twice.size());
    EXPECT_EQ(sample.buffer.format, SampleFormat::S16);
    EXPECT_EQ(sample.storage, (Bytes{1, 0}));

    Bytes empty = riff({chunk("fmt ", fmt(1, 1, 16)), chunk("data", {})});
    EXPECT_EQ(decodeWav(empty.data(), empty.size()).buffer.frameCount(), 0u);
}

}  // namespace
