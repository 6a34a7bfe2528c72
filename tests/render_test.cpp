// The renderer against a plain frame-by-frame reference: identical output
// bytes and identical player state, for songs that exercise every voice,
// pitch, volume, gate and wait, in any block size.

#include "loop_timing.h"
#include "pitch_table.h"
#include "reference_render.h"
#include "voice_mixer.h"
#include "song_bytes.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

// A dense random song: every voice, pitches across the table, volumes up to
// the top, gates from 0 rows, waits from 0 rows, loop marks, odd events.
Bytes randomSong(std::mt19937& random, int events)
{
    Bytes song{static_cast<std::uint8_t>(60 + random() % 196), static_cast<std::uint8_t>(1 + random() % 16)};
    for (int i = 0; i < events; ++i) {
        const auto voice = static_cast<std::uint8_t>(random() % 13 == 0 ? 6 + random() % 250 : random() % 6);
        std::uint8_t command = static_cast<std::uint8_t>(1 + random() % 6);
        if (random() % 40 == 0) {
            command = static_cast<std::uint8_t>(random() % 256);
        }
        std::uint8_t param = static_cast<std::uint8_t>(random() % 256);
        if (command == 1 || command == 5 || command == 6) {
            param = static_cast<std::uint8_t>(random() % 5);  // keep songs short
        } else if (command == 2) {
            param = static_cast<std::uint8_t>(random() % 8);
        }
        if (command == 6 && random() % 4 != 0) {
            command = 2;  // few end marks
        }
        song.insert(song.end(), {voice, command, param});
    }
    return song;
}

void expectSameState(const SongPlayer& a, const SongPlayer& b)
{
    EXPECT_EQ(a.position, b.position);
    EXPECT_EQ(a.loopPasses, b.loopPasses);
    EXPECT_EQ(a.finished, b.finished);
    EXPECT_EQ(a.waitTimer.seconds, b.waitTimer.seconds);
    for (std::size_t v = 0; v < kVoiceCount; ++v) {
        EXPECT_EQ(a.voices[v].active, b.voices[v].active) << v;
        EXPECT_EQ(a.voices[v].sustain, b.voices[v].sustain) << v;
        EXPECT_EQ(a.voices[v].playhead, b.voices[v].playhead) << v;
        EXPECT_EQ(a.voices[v].gate.seconds, b.voices[v].gate.seconds) << v;
        EXPECT_EQ(a.voices[v].pitch, b.voices[v].pitch) << v;
        EXPECT_EQ(a.voices[v].volume, b.voices[v].volume) << v;
    }
}

// Whether the next `frames` frames the two players render, as 16-bit
// stereo, are the same.
bool sameNextFrames(SongPlayer& a, SongPlayer& b, std::size_t frames)
{
    Bytes fromA(4 * frames);
    Bytes fromB(4 * frames);
    SampleBuffer bufferA{SampleFormat::S16, ChannelLayout::Stereo, fromA.data(), fromA.size()};
    SampleBuffer bufferB{SampleFormat::S16, ChannelLayout::Stereo, fromB.data(), fromB.size()};
    a.render(bufferA);
    b.render(bufferB);
    return fromA == fromB;
}

// Renders a song to the end in blocks of `blockFrames` with `render`, and
// returns the output bytes.
template <typename Render>
Bytes renderAll(SongPlayer& player, std::size_t blockFrames, SampleFormat format, ChannelLayout layout,
                Render render)
{
    const std::size_t frameBytes = bytesPerSample(format) * channelCount(layout);
    Bytes out;
    Bytes block(blockFrames * frameBytes);
    SampleBuffer buffer{format, layout, block.data(), block.size()};
    for (int blocks = 0; !player.finished && blocks < 4000; ++blocks) {
        render(player, buffer);
        out.insert(out.end(), block.begin(), block.end());
    }
    return out;
}

TEST(Render, MatchesTheFrameByFrameReference)
{
    std::mt19937 random(424242);
    for (int trial = 0; trial < 40; ++trial) {
        const Bytes song = randomSong(random, 400);
        SongPlayer fast = driverPlayer();
        SongPlayer plain = driverPlayer();
        ASSERT_TRUE(loadSong(fast, song));
        ASSERT_TRUE(loadSong(plain, song));
        const std::size_t blockFrames = trial % 4 == 0 ? 1 + random() % 700 : 512;
        const Bytes expected = renderAll(plain, blockFrames, SampleFormat::S16, ChannelLayout::Stereo,
                                         [](SongPlayer& p, SampleBuffer& b) { referenceRender(p, b); });
        const Bytes actual = renderAll(fast, blockFrames, SampleFormat::S16, ChannelLayout::Stereo,
                                       [](SongPlayer& p, SampleBuffer& b) { p.render(b); });
        ASSERT_EQ(actual.size(), expected.size()) << "trial " << trial;
        ASSERT_TRUE(actual == expected) << "trial " << trial;
        expectSameState(fast, plain);
    }
}

// Rates where rows and gates are whole numbers of frames count them down to
// exactly 0.0 (65536 Hz), or where samples step by exactly one frame
// (44100 Hz): the released and the settled voices there.
TEST(Render, OtherRatesMatchTheReference)
{
    std::mt19937 random(65536);
    for (const float rate : {65536.0f, 44100.0f, 88200.0f}) {
        for (int trial = 0; trial < 8; ++trial) {
            Bytes song = randomSong(random, 300);
            song[0] = 120;
            song[1] = static_cast<std::uint8_t>(1 << (trial % 5));  // rows of 2^-k s
            SongPlayer fast = driverPlayer();
            SongPlayer plain = driverPlayer();
            fast.sampleRate = plain.sampleRate = rate;
            ASSERT_TRUE(loadSong(fast, song));
            ASSERT_TRUE(loadSong(plain, song));
            const Bytes expected = renderAll(plain, 512, SampleFormat::S16, ChannelLayout::Stereo,
                                             [](SongPlayer& p, SampleBuffer& b) { referenceRender(p, b); });
            const Bytes actual = renderAll(fast, 512, SampleFormat::S16, ChannelLayout::Stereo,
                                           [](SongPlayer& p, SampleBuffer& b) { p.render(b); });
            ASSERT_TRUE(actual == expected) << "rate " << rate << " trial " << trial;
            expectSameState(fast, plain);
        }
    }
}

// Below about 8 kHz one output frame can pass a whole 56-frame cycle at the
// top pitches: the playhead wraps as many cycles as it passed and stays in
// the sample, whichever mixer runs.
TEST(Render, LowRatesWrapEveryCycleTheyPass)
{
    std::mt19937 random(4000);
    for (const float rate : {1.0f, 7.0f, 441.0f, 1000.0f, 4000.0f, 7927.0f, 8100.0f}) {
        for (int trial = 0; trial < 4; ++trial) {
            Bytes song = randomSong(random, 300);
            song.insert(song.begin() + 2, {0, 4, 80, 1, 4, 80, 2, 4, 79, 3, 4, 78});  // the top pitches
            SongPlayer fast = driverPlayer();
            SongPlayer plain = driverPlayer();
            fast.sampleRate = plain.sampleRate = rate;
            ASSERT_TRUE(loadSong(fast, song));
            ASSERT_TRUE(loadSong(plain, song));
            const Bytes expected = renderAll(plain, 512, SampleFormat::S16, ChannelLayout::Stereo,
                                             [](SongPlayer& p, SampleBuffer& b) { referenceRender(p, b); });
            const Bytes actual = renderAll(fast, 512, SampleFormat::S16, ChannelLayout::Stereo,
                                           [](SongPlayer& p, SampleBuffer& b) {
                                               p.render(b);
                                               for (const Voice& voice : p.voices) {
                                                   if (voice.sustain) {
                                                       ASSERT_LT(voice.playhead, 56.0f);
                                                   }
                                               }
                                           });
            ASSERT_TRUE(actual == expected) << "rate " << rate << " trial " << trial;
            expectSameState(fast, plain);
        }
    }
}

// Skipping frames leaves the player exactly as rendering them would, at
// any rate, looping or not, from any frame: what is rendered next is bit
// for bit the same.
TEST(Render, SkippingMatchesRenderingAndDropping)
{
    std::mt19937 random(1234);
    for (int trial = 0; trial < 48; ++trial) {
        const Bytes song = randomSong(random, 300);
        const float rate = trial % 3 == 0 ? 44100.0f : trial % 3 == 1 ? 48000.0f : 4000.0f + random() % 90000;
        const bool looping = trial % 2 == 0;
        SongPlayer played = driverPlayer();
        SongPlayer skipped = driverPlayer();
        played.sampleRate = skipped.sampleRate = rate;
        played.looping = skipped.looping = looping;
        ASSERT_TRUE(loadSong(played, song));
        ASSERT_TRUE(loadSong(skipped, song));
        const std::uint64_t skip = random() % 200000;
        Bytes dropped(skip * 4);
        SampleBuffer all{SampleFormat::S16, ChannelLayout::Stereo, dropped.data(), dropped.size()};
        played.render(all);
        if (trial % 4 == 0) {
            skipped.render(all);  // a player that has played already, started over
            skipped.restart();
        }
        skipped.skip(skip);
        expectSameState(skipped, played);
        ASSERT_TRUE(sameNextFrames(played, skipped, 3000)) << "trial " << trial << " rate " << rate << " skip " << skip;
    }
}

// Skipping the frames in which ticks only count down leaves the sequencer
// and the gates as those ticks do, however far each skip may go: whole
// waits, and waits cut short where a wait or gate of the same length ran
// out whole before (waits of 0 to 4 rows and gates of 0 to 7 repeat).
TEST(Render, SkippingWaitsLeavesWhatTicksLeave)
{
    std::mt19937 random(4242);
    for (int trial = 0; trial < 24; ++trial) {
        const Bytes song = randomSong(random, 400);
        SongPlayer skipped = driverPlayer();
        SongPlayer ticked = driverPlayer();
        skipped.sampleRate = ticked.sampleRate = trial % 2 == 0 ? 48000.0f : 11025.0f;
        ASSERT_TRUE(loadSong(skipped, song));
        ASSERT_TRUE(loadSong(ticked, song));
        float dt = 1.0f / skipped.sampleRate;
        for (int step = 0; step < 300 && !skipped.sequencerDone(); ++step) {
            if (step == 150) {
                // A player whose rate changes part way: a length remembered
                // at one frame length is not taken at another.
                skipped.sampleRate = ticked.sampleRate = trial % 2 == 0 ? 44100.0f : 48000.0f;
                dt = 1.0f / skipped.sampleRate;
            }
            skipped.tick(dt);
            ticked.tick(dt);
            const std::uint64_t limit = random() % 2 == 0 ? 1 + random() % 400 : UINT64_MAX;
            const std::uint64_t frames = skipped.skipWait(dt, limit);
            ASSERT_LE(frames, limit);
            for (std::uint64_t k = 0; k < frames; ++k) {
                ticked.tick(dt);
            }
            expectSameState(skipped, ticked);
            ASSERT_FALSE(::testing::Test::HasFailure()) << "trial " << trial << " step " << step;
        }
    }
}

// A seek defers a sustained or released voice's frames and drops them at
// its next note: a song of long notes, pitch changes while a note holds,
// while it plays out its release, and in the tick where its gate shuts;
// one-shots ending before and after their gates; a loop. Sought to every
// 250th frame: the state and what follows are the rendered ones.
TEST(Render, SeekingDefersHeldAndReleasedNotesExactly)
{
    const Bytes song{240, 4,                                  // rows of 3000 frames at 48000 Hz
                     0, 4, 20, 0, 2, 6,                       // voice 0: low, held six rows
                     1, 4, 45, 1, 2, 2,                       // voice 1: held two rows
                     4, 4, 10, 4, 2, 1,                       // a slow hit, longer than its gate
                     5, 4, 70, 5, 2, 8,                       // a fast hit, shorter than its gate
                     2, 2, 0,                                 // voice 2: released at once
                     0, 1, 2,                                 // wait 2
                     1, 4, 60, 0, 4, 30,                      // voice 1's gate shuts as its pitch changes; voice 0 held
                     0, 1, 3, 1, 4, 40, 0, 1, 2,              // voice 1 playing out, re-pitched
                     0, 4, 50, 3, 4, 5, 3, 2, 3,              // voice 0 released a row ago, re-pitched
                     0, 5, 1, 3, 4, 80, 0, 2, 1, 0, 6, 2};    // a loop: a held note replaced each pass
    for (const float rate : {48000.0f, 8000.0f}) {
        for (const bool looping : {true, false}) {
            SongPlayer played = driverPlayer();
            SongPlayer sought = driverPlayer();
            played.sampleRate = sought.sampleRate = rate;
            played.looping = sought.looping = looping;
            ASSERT_TRUE(loadSong(played, song));
            ASSERT_TRUE(loadSong(sought, song));
            for (std::uint64_t frame = 0; frame < 90000; frame += 250) {
                if (frame > 0) {
                    sought.restart();
                    sought.skip(frame);
                    expectSameState(sought, played);
                }
                ASSERT_TRUE(sameNextFrames(played, sought, 250))
                    << "rate " << rate << " looping " << looping << " frame " << frame;
            }
        }
    }
}

// Held notes whose pitch changes every row (arpeggios and slides, more
// changes under one note than a seek keeps, some released while still
// changing), struck again on some voices before they end: sought to
// frames all over, the state and what follows are the rendered ones.
TEST(Render, SeekingHeldNotesThatChangePitchEveryRow)
{
    Bytes song{240, 20};  // rows of 600 frames at 48000 Hz
    std::mt19937 random(77);
    std::uint8_t root[4] = {20, 40, 60, 75};
    for (int row = 0; row < 400; ++row) {
        for (std::uint8_t v = 0; v < 4; ++v) {
            const int length = v == 0 ? 50 : v == 1 ? 12 : v == 2 ? 40 : 100;  // rows between strikes
            const int gate = v == 2 ? 30 : length;                          // voice 2 released for ten rows
            if (row % length == 0) {
                root[v] = static_cast<std::uint8_t>(10 + random() % 60);
                song.insert(song.end(), {v, 2, static_cast<std::uint8_t>(gate)});
            }
            const std::uint8_t offset = v % 2 == 0 ? std::uint8_t{0} : std::uint8_t((row % 3) * 4);  // arpeggio
            song.insert(song.end(), {v, 4, static_cast<std::uint8_t>(root[v] + offset + (v % 2 == 0 ? row % 12 : 0))});
        }
        if (row % 5 == 0) {
            song.insert(song.end(), {4, 4, static_cast<std::uint8_t>(random() % 88), 4, 2, 1});
        }
        song.insert(song.end(), {0, 1, 1});
    }
    song.insert(song.end(), {0, 6, 0});
    for (const float rate : {48000.0f, 44100.0f, 11025.0f}) {
        SongPlayer played = driverPlayer();
        played.sampleRate = rate;
        ASSERT_TRUE(loadSong(played, song));
        std::uint64_t at = 0;
        for (int seek = 0; seek < 12; ++seek) {
            const std::uint64_t to = at + 1000 + random() % 20000;
            Bytes dropped((to - at) * 4);
            SampleBuffer all{SampleFormat::S16, ChannelLayout::Stereo, dropped.data(), dropped.size()};
            played.render(all);
            at = to;
            SongPlayer sought = driverPlayer();
            sought.sampleRate = rate;
            ASSERT_TRUE(loadSong(sought, song));
            sought.skip(to);
            expectSameState(sought, played);
            ASSERT_TRUE(sameNextFrames(played, sought, 600)) << "rate " << rate << " frame " << to;
            at += 600;
        }
    }
}

TEST(Render, OtherOutputFormatsMatchTheReference)
{
    std::mt19937 random(99);
    const Bytes song = randomSong(random, 200);
    for (auto format : {SampleFormat::U8, SampleFormat::S16, SampleFormat::S32, SampleFormat::F32}) {
        for (auto layout : {ChannelLayout::Mono, ChannelLayout::Stereo}) {
            SongPlayer fast = driverPlayer();
            SongPlayer plain = driverPlayer();
            ASSERT_TRUE(loadSong(fast, song));
            ASSERT_TRUE(loadSong(plain, song));
            const Bytes expected = renderAll(plain, 300, format, layout,
                                             [](SongPlayer& p, SampleBuffer& b) { referenceRender(p, b); });
            const Bytes actual =
                renderAll(fast, 300, format, layout, [](SongPlayer& p, SampleBuffer& b) { p.render(b); });
            EXPECT_TRUE(actual == expected) << static_cast<int>(format) << "/" << static_cast<int>(layout);
        }
    }
}

// Voices whose samples are not the bank's: 8- and 32-bit, tiny and empty.
TEST(Render, AnySampleFormatMatchesTheReference)
{
    std::mt19937 random(7);
    const Bytes song = randomSong(random, 300);
    SongPlayer fast = driverPlayer();
    SongPlayer plain = driverPlayer();
    ASSERT_TRUE(loadSong(fast, song));
    ASSERT_TRUE(loadSong(plain, song));
    const struct {
        SampleFormat format;
        ChannelLayout layout;
        std::size_t bytes;
    } samples[] = {{SampleFormat::U8, ChannelLayout::Mono, 3},    {SampleFormat::S32, ChannelLayout::Stereo, 80},
                   {SampleFormat::F32, ChannelLayout::Mono, 40},  {SampleFormat::S16, ChannelLayout::Mono, 2},
                   {SampleFormat::S16, ChannelLayout::Stereo, 0}, {SampleFormat::U8, ChannelLayout::Stereo, 9}};
    for (SongPlayer* player : {&fast, &plain}) {
        for (std::size_t v = 0; v < kVoiceCount; ++v) {
            WavSample& sample = player->voices[v].sample;
            sample.storage.assign(samples[v].bytes, 0);
            for (std::size_t i = 0; i < samples[v].bytes; ++i) {
                sample.storage[i] = static_cast<std::uint8_t>(i * 37 + v);
            }
            if (samples[v].format == SampleFormat::F32) {
                for (std::size_t i = 0; i + 4 <= samples[v].bytes; i += 4) {
                    const float value = 0.1f * static_cast<float>(i) - 0.9f;
                    std::memcpy(&sample.storage[i], &value, 4);
                }
            }
            sample.buffer = {samples[v].format, samples[v].layout, sample.storage.data(), sample.storage.size()};
        }
    }
    const Bytes expected = renderAll(plain, 512, SampleFormat::S16, ChannelLayout::Stereo,
                                     [](SongPlayer& p, SampleBuffer& b) { referenceRender(p, b); });
    const Bytes actual = renderAll(fast, 512, SampleFormat::S16, ChannelLayout::Stereo,
                                   [](SongPlayer& p, SampleBuffer& b) { p.render(b); });
    EXPECT_TRUE(actual == expected);
    expectSameState(fast, plain);
}

}  // namespace

namespace {

void vectorMixerMatchesScalarMixer(std::size_t kernel, int trials);

// The vector mixer against the scalar one, voice by voice, from random
// states: wraps, one-shots ending inside the span, spans of any length;
// with every instruction set this processor runs (AVX-512, AVX2, SSE4 and
// Highway's portable baseline on x86-64).
TEST(Render, VectorMixerMatchesScalarMixer)
{
    if (vectorKernels() == 0) {
        GTEST_SKIP() << "no vector mixer in this build";
    }
    for (std::size_t kernel = 0; kernel < vectorKernels(); ++kernel) {
        SCOPED_TRACE("kernel " + std::to_string(kernel));
        vectorMixerMatchesScalarMixer(kernel, 1500);
    }
}

void vectorMixerMatchesScalarMixer(std::size_t kernel, int trials)
{
    std::mt19937 random(31337 + static_cast<unsigned>(kernel));
    SongPlayer bank = driverPlayer();
    ASSERT_TRUE(loadSong(bank, {120, 4}));
    int vectorRuns = 0;
    for (int trial = 0; trial < trials; ++trial) {
        std::array<Voice, 6> vectorVoices;
        std::array<Voice, 6> scalarVoices;
        for (std::size_t v = 0; v < 6; ++v) {
            for (auto* voices : {&vectorVoices, &scalarVoices}) {
                Voice& voice = (*voices)[v];
                const WavSample& source = bank.voices[v].sample;
                voice.sample.storage = source.storage;
                voice.sample.buffer = source.buffer;
                voice.sample.buffer.data = voice.sample.storage.data();
                // The built-in hits have equal channels, mixed as one; in
                // half the trials one hit's right channel is made different,
                // so that two channels are mixed too.
                if (v == 5 && trial % 2 == 0) {
                    ASSERT_EQ(voice.sample.buffer.format, SampleFormat::S16);
                    ASSERT_EQ(voice.sample.buffer.layout, ChannelLayout::Stereo);
                    for (std::size_t at = 2; at + 1 < voice.sample.storage.size(); at += 4) {
                        voice.sample.storage[at + 1] = static_cast<std::uint8_t>(voice.sample.storage[at + 1] / 2);
                    }
                }
                voice.table = makeSampleTable(voice.sample.buffer);
            }
            if (v >= 4) {
                EXPECT_EQ(vectorVoices[v].table.values[1].empty(), v == 4 || trial % 2 != 0);
            }
            std::mt19937 state(random());
            const float n = static_cast<float>(vectorVoices[v].sample.buffer.frameCount());
            for (auto* voices : {&vectorVoices, &scalarVoices}) {
                std::mt19937 same = state;
                Voice& voice = (*voices)[v];
                voice.active = same() % 5 != 0;
                voice.sustain = v < 4 && same() % 4 != 0;
                voice.pitch = kPitchRatios[same() % kPitchCount];
                voice.volume = static_cast<float>(same() % 256) * kVolumeStep;
                voice.playhead = same() % 3 == 0 ? n - static_cast<float>(same() % 40) * 0.37f
                                                 : static_cast<float>(same() % 1000) / 1000.0f * n;
                if (voice.playhead < 0.0f) {
                    voice.playhead = 0.0f;
                }
            }
        }
        const std::size_t frames = 1 + random() % kMaxMixFrames;
        // Channels that start equal, under mono voices alone (one trial in
        // four), stay equal; the others are mixed each on its own.
        std::vector<float> vectorLeft(kMaxMixFrames, 0.25f), vectorRight(kMaxMixFrames, trial % 4 == 1 ? 0.25f : -0.5f);
        std::vector<float> scalarLeft = vectorLeft, scalarRight = vectorRight;
        std::array<std::size_t, 6> vectorSounded{};
        const float step = kBaseRate / 48000.0f;
        ASSERT_TRUE(mixVoicesVector(vectorVoices, step, frames, vectorLeft.data(), vectorRight.data(), vectorSounded,
                                    kernel));
        ++vectorRuns;
        for (std::size_t v = 0; v < 6; ++v) {
            Voice& voice = scalarVoices[v];
            const std::size_t sounded =
                voice.active ? mixVoice(voice, step * voice.pitch, frames, scalarLeft.data(), scalarRight.data()) : 0;
            ASSERT_EQ(vectorSounded[v], sounded) << "trial " << trial << " voice " << v;
            ASSERT_EQ(vectorVoices[v].playhead, voice.playhead) << "trial " << trial << " voice " << v;
            ASSERT_EQ(vectorVoices[v].active, voice.active) << "trial " << trial << " voice " << v;
        }
        ASSERT_TRUE(vectorLeft == scalarLeft) << "trial " << trial;
        ASSERT_TRUE(vectorRight == scalarRight) << "trial " << trial;

        // Seeking moves the playheads as mixing does, over spans of any length.
        const std::size_t skipped = frames * (1 + trial % 40);
        std::vector<float> scratch(skipped);
        for (std::size_t v = 0; v < 6; ++v) {
            Voice& moved = vectorVoices[v];
            Voice& mixed = scalarVoices[v];
            if (!mixed.active) {
                continue;
            }
            const std::size_t alone = advanceVoice(moved, step * moved.pitch, skipped);
            ASSERT_EQ(alone, mixVoice(mixed, step * mixed.pitch, skipped, scratch.data(), scratch.data()))
                << "trial " << trial << " voice " << v;
            ASSERT_EQ(moved.playhead, mixed.playhead) << "trial " << trial << " voice " << v;
            ASSERT_EQ(moved.active, mixed.active) << "trial " << trial << " voice " << v;
        }
    }
    EXPECT_EQ(vectorRuns, trials);
}

// A note held at one pitch comes back to an earlier playhead after some
// wraps, and a seek passes whole rounds of them at once: the playhead is
// the one each frame's step gives, for pitches whose rounds are short
// enough to be passed many times here.
TEST(Render, ALongHeldNoteIsMovedAsEveryFrameMovesIt)
{
    SongPlayer bank = driverPlayer();
    ASSERT_TRUE(loadSong(bank, {120, 4}));
    struct Case {
        float rate;
        std::size_t pitch;
        std::size_t frames;
    };
    const Case cases[] = {{48000.0f, 63, 3000000}, {48000.0f, 8, 3000000}, {44100.0f, 40, 100000},
                          {44100.0f, 32, 2000000}, {11025.0f, 32, 1000000}, {11025.0f, 78, 1500000}};
    for (const Case& c : cases) {
        for (const float start : {0.0f, 17.25f, 55.999f}) {
            Voice voice;
            voice.sample.storage = bank.voices[0].sample.storage;
            voice.sample.buffer = bank.voices[0].sample.buffer;
            voice.sample.buffer.data = voice.sample.storage.data();
            voice.active = true;
            voice.sustain = true;
            voice.playhead = start;
            const float increment = kBaseRate / c.rate * kPitchRatios[c.pitch];
            float expected = start;
            for (std::size_t k = 0; k < c.frames; ++k) {
                stepPlayhead(expected, increment, 56.0f, true);
            }
            EXPECT_EQ(advanceVoice(voice, increment, c.frames), c.frames);
            EXPECT_EQ(voice.playhead, expected) << c.rate << " Hz, pitch " << c.pitch << ", from " << start;
        }
    }
}

// A one-shot whose playhead lands exactly on its sample's end (steps of
// half a frame, as at 88200 Hz) is mixed in that frame, reading silence,
// and then stops: in both mixers.
TEST(Render, OneShotLandingExactlyOnItsEndStopsThere)
{
    SongPlayer bank = driverPlayer();
    ASSERT_TRUE(loadSong(bank, {120, 4}));
    for (const bool vector : {false, true}) {
        std::array<Voice, 6> voices;
        Voice& voice = voices[5];
        voice.sample.storage = bank.voices[5].sample.storage;
        voice.sample.buffer = bank.voices[5].sample.buffer;
        voice.sample.buffer.data = voice.sample.storage.data();
        voice.table = makeSampleTable(voice.sample.buffer);
        const float end = static_cast<float>(voice.sample.buffer.frameCount());
        voice.active = true;
        voice.playhead = end - 2.0f;  // then end − 1.5, − 1, − 0.5 and the end itself
        std::vector<float> left(kMaxMixFrames, 0.0f), right(kMaxMixFrames, 0.0f);
        std::array<std::size_t, 6> sounded{};
        if (vector) {
            if (!mixVoicesVector(voices, 0.5f, 8, left.data(), right.data(), sounded)) {
                GTEST_SKIP() << "no vector path on this machine";
            }
        } else {
            sounded[5] = mixVoice(voice, 0.5f, 8, left.data(), right.data());
        }
        EXPECT_EQ(sounded[5], 4u) << (vector ? "vector" : "scalar");
        EXPECT_FALSE(voice.active);
        EXPECT_EQ(voice.playhead, end);
        EXPECT_NE(left[2], 0.0f);
        for (std::size_t k = 3; k < 8; ++k) {
            EXPECT_EQ(left[k], 0.0f) << (vector ? "vector" : "scalar") << " frame " << k;
        }
    }
}

// The first pass's lower bound, which lets a seek inside it skip working out
// the passes, never passes the frame the first LoopEnd is taken in, at any
// rate, and a seek there plays the same with the passes worked out or not.
TEST(Render, TheFirstPassLastsAtLeastItsBound)
{
    std::mt19937 random(91);
    for (int trial = 0; trial < 60; ++trial) {
        Bytes song = randomSong(random, 200 + trial * 5);
        song.insert(song.end(), {0, 6, 0});  // an end, at least
        for (const float rate : {48000.0f, 44100.0f, 8000.0f, 192000.0f, 768000.0f}) {
            SongPlayer player;
            player.sampleRate = rate;
            player.looping = true;
            ASSERT_TRUE(loadSong(player, song));
            const LoopTiming timing = loopTiming(player);
            ASSERT_FALSE(timing.ends.empty());
            const std::uint64_t bound = firstPassAtLeast(player);
            EXPECT_LE(bound, timing.ends[0]) << trial << " at " << rate;
            if (bound > 0) {
                SongPlayer near;
                SongPlayer far;
                near.loadFrom(player);
                far.loadFrom(player);
                seekSong(near, bound - 1, LoopTiming{});
                seekSong(far, bound - 1, timing);
                expectSameState(near, far);
            }
        }
    }
}

}  // namespace
