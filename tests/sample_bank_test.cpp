// The built-in sounds: the committed WAV files against their stated figures,
// and what every load gives the six voices.

#include "bank_figures.h"
#include "song_bytes.h"
#include "song_player.h"
#include "test_bytes.h"
#include "wav_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

Bytes readBankFile(const std::string& name)
{
    return readFile(std::string(BANK_DIR) + "/" + name);
}

std::string idAt(const Bytes& b, std::size_t at)
{
    return std::string(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at) + 4);
}

struct Layout {
    const char* file;
    std::size_t length;
    std::uint32_t formatBytes;
    std::uint32_t channels;
    std::uint32_t frames;
};

// The values of one image, read from its file; fails the test if the two
// channels of a stereo frame differ.
Samples values(const Bytes& wav, const Layout& layout)
{
    const std::size_t data = layout.length - layout.frames * 2 * layout.channels;
    Samples out;
    for (std::uint32_t f = 0; f < layout.frames; ++f) {
        const std::size_t at = data + f * 2 * layout.channels;
        const auto left = static_cast<std::int16_t>(u16At(wav, at));
        if (layout.channels == 2) {
            EXPECT_EQ(left, static_cast<std::int16_t>(u16At(wav, at + 2))) << layout.file << " frame " << f;
        }
        out.push_back(left);
    }
    return out;
}

const Layout kLayouts[] = {
    {"cycle1.wav", 156, 16, 1, 56},  {"cycle2.wav", 170, 18, 1, 56},    {"cycle3.wav", 170, 18, 1, 56},
    {"hit1.wav", 17834, 18, 2, 4444}, {"hit2.wav", 5838, 18, 2, 1445},
};

TEST(BankFiles, HeadersAreLaidOutAsListed)
{
    for (const Layout& l : kLayouts) {
        SCOPED_TRACE(l.file);
        const Bytes wav = readBankFile(l.file);
        ASSERT_EQ(wav.size(), l.length);
        EXPECT_EQ(idAt(wav, 0), "RIFF");
        EXPECT_EQ(u32At(wav, 4), l.length - 8);
        EXPECT_EQ(idAt(wav, 8), "WAVE");
        EXPECT_EQ(idAt(wav, 12), "fmt ");
        EXPECT_EQ(u32At(wav, 16), l.formatBytes);
        EXPECT_EQ(u16At(wav, 20), 1);
        EXPECT_EQ(u16At(wav, 22), l.channels);
        EXPECT_EQ(u32At(wav, 24), 44100u);
        EXPECT_EQ(u32At(wav, 28), 44100u * 2 * l.channels);
        EXPECT_EQ(u16At(wav, 32), 2 * l.channels);
        EXPECT_EQ(u16At(wav, 34), 16);
        std::size_t at = 36;
        if (l.formatBytes == 18) {
            EXPECT_EQ(u16At(wav, 36), 0);  // empty extension
            EXPECT_EQ(idAt(wav, 38), "fact");
            EXPECT_EQ(u32At(wav, 42), 4u);
            EXPECT_EQ(u32At(wav, 46), l.frames);
            at = 50;
        }
        EXPECT_EQ(idAt(wav, at), "data");
        EXPECT_EQ(u32At(wav, at + 4), l.frames * 2 * l.channels);
        EXPECT_EQ(at + 8 + l.frames * 2 * l.channels, l.length);
    }
}

TEST(BankFiles, CyclesHoldExactlyTheListedValues)
{
    EXPECT_EQ(values(readBankFile("cycle1.wav"), kLayouts[0]), kCycle1);
    EXPECT_EQ(values(readBankFile("cycle2.wav"), kLayouts[1]), kCycle2);
    EXPECT_EQ(values(readBankFile("cycle3.wav"), kLayouts[2]), kCycle3);
}

double rms(const Samples& s, std::size_t from, std::size_t to)
{
    double sum = 0.0;
    for (std::size_t i = from; i < to; ++i) {
        sum += static_cast<double>(s[i]) * s[i];
    }
    return std::sqrt(sum / static_cast<double>(to - from));
}

Samples slice(const Samples& s, std::size_t from, std::size_t to)
{
    return Samples(s.begin() + static_cast<std::ptrdiff_t>(from), s.begin() + static_cast<std::ptrdiff_t>(to));
}

std::size_t indexOf(const Samples& s, int value)
{
    return static_cast<std::size_t>(std::find(s.begin(), s.end(), value) - s.begin());
}

TEST(BankFiles, NoiseHitMatchesItsFigures)
{
    const Samples hit = values(readBankFile("hit1.wav"), kLayouts[3]);
    ASSERT_EQ(hit.size(), 4444u);
    EXPECT_EQ(slice(hit, 0, 16), kHit1Head);
    EXPECT_EQ(slice(hit, 4436, 4444), kHit1Tail);
    EXPECT_EQ(*std::max_element(hit.begin(), hit.end()), 2731);
    EXPECT_EQ(*std::min_element(hit.begin(), hit.end()), -2820);
    EXPECT_LT(indexOf(hit, 2731), 51u);
    EXPECT_LT(indexOf(hit, -2820), 51u);
    EXPECT_NEAR(rms(hit, 0, 256), 1225.0, 1225.0 * 0.03);
    EXPECT_NEAR(rms(hit, 4444 - 256, 4444), 83.0, 83.0 * 0.05);
    EXPECT_NEAR(rms(hit, 4444 - 92, 4444), 75.0, 75.0 * 0.05);
    // Broadband throughout: about 70 sign changes in every 256 frames, and
    // the level falls from window to window.
    double previous = 1e9;
    int total = 0;
    int windows = 0;
    for (std::size_t at = 0; at + 256 <= hit.size(); at += 256, ++windows) {
        int changes = 0;
        for (std::size_t i = at + 1; i < at + 256; ++i) {
            changes += (hit[i - 1] < 0) != (hit[i] < 0) && hit[i - 1] != 0 && hit[i] != 0;
        }
        EXPECT_GT(changes, 45) << "window at " << at;
        EXPECT_LT(changes, 100) << "window at " << at;
        total += changes;
        const double level = rms(hit, at, at + 256);
        EXPECT_LT(level, previous * 1.15) << "window at " << at;
        previous = level;
    }
    EXPECT_NEAR(static_cast<double>(total) / windows, 70.0, 7.0);
}

TEST(BankFiles, ThumpMatchesItsFigures)
{
    const Samples hit = values(readBankFile("hit2.wav"), kLayouts[4]);
    ASSERT_EQ(hit.size(), 1445u);
    EXPECT_EQ(slice(hit, 0, 16), kHit2Head);
    EXPECT_EQ(slice(hit, 1437, 1445), kHit2Tail);
    const auto peak = std::max_element(hit.begin(), hit.end());
    const auto trough = std::min_element(hit.begin(), hit.end());
    EXPECT_EQ(*peak, 10546);
    EXPECT_EQ(*trough, -8139);
    EXPECT_NEAR(static_cast<double>(peak - hit.begin()), 578.0, 5.0);
    EXPECT_NEAR(static_cast<double>(trough - hit.begin()), 872.0, 5.0);
    // Slow half-cycles that lengthen: the gaps between sign changes after
    // the onset grow.
    std::vector<std::size_t> crossings;
    bool negative = hit[99] < 0;
    for (std::size_t i = 100; i < hit.size(); ++i) {
        if (hit[i] != 0 && (hit[i] < 0) != negative) {
            negative = hit[i] < 0;
            crossings.push_back(i);
        }
    }
    ASSERT_GE(crossings.size(), 4u);
    for (std::size_t k = 2; k < crossings.size(); ++k) {
        EXPECT_GE(crossings[k] - crossings[k - 1], crossings[k - 1] - crossings[k - 2]);
    }
    EXPECT_LT(rms(hit, 1445 - 64, 1445), 0.05 * 10546);
}

TEST(Bank, EveryLoadGivesEachVoiceItsOwnSound)
{
    SongPlayer player = driverPlayer();
    EXPECT_FALSE(loadSong(player, {0, 4}));  // a bad song still fills the bank
    const struct {
        std::uint64_t frames;
        ChannelLayout layout;
    } expected[] = {{56, ChannelLayout::Mono}, {56, ChannelLayout::Mono},     {56, ChannelLayout::Mono},
                    {56, ChannelLayout::Mono}, {4444, ChannelLayout::Stereo}, {1445, ChannelLayout::Stereo}};
    for (std::size_t v = 0; v < kVoiceCount; ++v) {
        const SampleBuffer& buffer = player.voices[v].sample.buffer;
        EXPECT_EQ(buffer.frameCount(), expected[v].frames) << v;
        EXPECT_EQ(buffer.layout, expected[v].layout) << v;
        EXPECT_EQ(buffer.format, SampleFormat::S16) << v;
        EXPECT_EQ(player.voices[v].sample.sampleRate, 44100u) << v;
    }
    const StereoFrame peak = player.voices[0].sample.buffer.readFrame(14);
    EXPECT_EQ(peak.left, 0.12207404f);
    EXPECT_EQ(peak.right, 0.12207404f);
    EXPECT_NE(player.voices[0].sample.storage.data(), player.voices[1].sample.storage.data());

    // A second load decodes afresh: equal content in new storage.
    std::vector<Bytes> before;
    std::vector<const std::uint8_t*> addresses;
    for (const Voice& voice : player.voices) {
        before.push_back(voice.sample.storage);
        addresses.push_back(voice.sample.storage.data());
    }
    std::vector<WavSample> kept;  // holds the old storage so that it cannot be reused
    for (Voice& voice : player.voices) {
        kept.push_back(std::move(voice.sample));
    }
    ASSERT_TRUE(loadSong(player, {120, 4}));
    for (std::size_t v = 0; v < kVoiceCount; ++v) {
        EXPECT_EQ(player.voices[v].sample.storage, before[v]) << v;
        EXPECT_NE(player.voices[v].sample.storage.data(), addresses[v]) << v;
    }
}

// Frames in which a voice is mixed after a NoteOn at frame 0, counting that
// frame: the voice is mixed in every frame that starts with it active.
int framesMixed(std::uint8_t voice, std::uint8_t gate)
{
    SongPlayer player = driverPlayer();
    EXPECT_TRUE(loadSong(player, {120, 4, voice, 2, gate}));
    std::vector<std::uint8_t> frame(4);
    SampleBuffer output{SampleFormat::S16, ChannelLayout::Stereo, frame.data(), frame.size()};
    int frames = 0;
    do {
        player.render(output);
        ++frames;
    } while (player.voices[voice].active && frames < 100000);
    return frames;
}

TEST(Bank, OneShotsPlayTheirSampleOnce)
{
    EXPECT_EQ(framesMixed(4, 0), 4838);
    EXPECT_EQ(framesMixed(4, 200), 4838);  // a one-shot's gate has no audible effect
    EXPECT_EQ(framesMixed(5, 0), 1573);
    EXPECT_EQ(framesMixed(0, 0), 61);      // one pass of the 56-frame cycle
    const int held = framesMixed(0, 1);    // 1 row, 0.125 s, then the last pass ends
    EXPECT_GT(held, 6000);
    EXPECT_LT(held, 6000 + 62);
}

}  // namespace
