// MML as a composer writes it and hears it: every note within a millisecond
// of its time through the tempo changes, however long the song; envelopes
// and arpeggios stepping inside notes; held notes that outlast a gate,
// struck again unheard; transpose, break-out repeats and ties; the same
// channel alone and in the mix; and each mistake at its line and column.

#include "heard_notes.h"
#include "mml_compiler.h"
#include "mml_spans.h"
#include "music_events.h"
#include "music_outline.h"
#include "output_format.h"
#include "pitch_table.h"
#include "song_bytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr double kMillisecond = 48.0;  // frames

MmlResult compile(const std::string& text)
{
    MmlResult result = compileMml(text, MmlOptions{true});
    EXPECT_TRUE(result.errors.empty()) << (result.errors.empty() ? "" : result.errors[0].message) << "\n" << text;
    return result;
}

// Frames at `bpm` from the start to `beats` in.
double beatFrames(double beats, double bpm)
{
    return framesAt(beats * 60.0 / bpm);
}

// The song's frames, rendered as sqn2wav renders them (left channel).
std::vector<std::int16_t> render(const MmlResult& result)
{
    SongPlayer player = driverPlayer();
    EXPECT_TRUE(loadSong(player, result.song));
    std::vector<std::int16_t> left;
    Bytes block(kBlockFrames * 4);
    SampleBuffer buffer{SampleFormat::S16, ChannelLayout::Stereo, block.data(), block.size()};
    do {
        player.render(buffer);
        for (std::size_t i = 0; i < block.size(); i += 4) {
            left.push_back(static_cast<std::int16_t>(block[i] | block[i + 1] << 8));
        }
    } while (!player.finished);
    return left;
}

TEST(Mml, NotesStartAndEndWithinAMillisecondOfTheirTimes)
{
    // Lengths, dots, a rest, accidentals, a tie, q and v; o4c is C4, index
    // 21. The 32nd at q1 sounds for its 6.25 ms, not as a click.
    const MmlResult result = compile("A t150 o4 l8 c d16 e16 f4. > c+ r c- <b-2&8 q4 g4 q8 v12 a1 q1 c32\n");
    EXPECT_EQ(result.beatsPerMinute, 150);
    ASSERT_GE(result.song.size(), 2u);
    EXPECT_EQ(result.song[0], 150);  // the music's tempo, in rows of 255 a beat
    EXPECT_EQ(result.song[1], 255);
    const HeardSong heard = hear(result);
    struct Expected {
        double beat;
        int pitch;
        int volume;
        double gateBeats;
    };
    const Expected expected[] = {
        {0.0, 21, 128, 0.5},    // c8
        {0.5, 23, 128, 0.25},   // d16
        {0.75, 25, 128, 0.25},  // e16
        {1.0, 26, 128, 1.5},    // f4.
        {2.5, 34, 128, 0.5},    // > c+ (C#5)
        {3.5, 32, 128, 0.5},    // c- after a rest: B4
        {4.0, 31, 128, 2.5},    // < b-2&8: B flat 4, a half tied to an eighth
        {6.5, 28, 128, 0.5},    // q4 g4: half of a beat
        {7.5, 30, 102, 4.0},    // v12 a1
        {11.5, 21, 102, 0.125 / 8},  // q1 c32
    };
    ASSERT_EQ(heard.notes.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const HeardNote& note = heard.notes[i];
        const Expected& e = expected[i];
        EXPECT_NEAR(static_cast<double>(note.frame), beatFrames(e.beat, 150), kMillisecond) << i;
        EXPECT_NEAR(static_cast<double>(note.release), beatFrames(e.beat + e.gateBeats, 150), kMillisecond) << i;
        EXPECT_EQ(note.pitch, e.pitch) << i;
        EXPECT_EQ(note.volume, e.volume) << i;
    }
    EXPECT_NEAR(static_cast<double>(heard.endFrame), beatFrames(11.625, 150) - 1.0, kMillisecond);
}

// A t anywhere sets the tempo of every channel from its beat on: the beats
// after it take their new length, in every channel, and the file keeps one
// row length.
TEST(Mml, ATempoChangeMovesEveryChannelFromItsBeat)
{
    const MmlResult result = compile(
        "A t120 o5 c4 c4 t60 c4 c4 t180 c4\n"
        "B o4 l8 [c]8 c8\n");
    const HeardSong heard = hear(result);
    // Beats 0–2 at 120 (0.5 s each), 2–4 at 60 (1 s), then 180.
    const auto at = [](double beat) {
        const double seconds = beat <= 2 ? beat * 0.5 : beat <= 4 ? 1.0 + (beat - 2) : 3.0 + (beat - 4) / 3.0;
        return framesAt(seconds);
    };
    std::vector<double> a;
    std::vector<double> b;
    for (const HeardNote& note : heard.notes) {
        (note.voice == 0 ? a : b).push_back(static_cast<double>(note.frame));
    }
    ASSERT_EQ(a.size(), 5u);
    ASSERT_EQ(b.size(), 9u);
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_NEAR(a[i], at(static_cast<double>(i)), kMillisecond) << "A " << i;
    }
    for (std::size_t i = 0; i < b.size(); ++i) {
        EXPECT_NEAR(b[i], at(0.5 * static_cast<double>(i)), kMillisecond) << "B " << i;
    }
    EXPECT_EQ(result.song[0], 120);
    // Two tempi at one beat are a mistake, told at the second.
    const MmlResult clash = compileMml("A t120 c4 t90 c4\nB t120 c4 t100 c4\n");
    ASSERT_EQ(clash.errors.size(), 1u);
    EXPECT_EQ(clash.errors[0].line, 2u);
    EXPECT_EQ(clash.errors[0].column, 11u);
    EXPECT_EQ(clash.errors[0].message, "expected one tempo at beat 2 (t90 at line 1), found t100");
}

// Nearly four minutes of a busy song in four channels: 64ths, triplets,
// dotted notes, rests and tempo changes. Every note starts within a
// millisecond of its exact time, to the very end.
TEST(Mml, ALongBusySongKeepsTimeToTheEnd)
{
    std::mt19937 random(30);
    const char* lengths[] = {"64", "32", "16", "8", "4", "12", "24", "48", "6", "3", "16.", "8.", "2"};
    const double beatsOf[] = {1.0 / 16, 1.0 / 8, 0.25, 0.5, 1.0, 1.0 / 3, 1.0 / 6, 1.0 / 12, 2.0 / 3, 4.0 / 3,
                              0.375, 0.75, 2.0};
    std::string text;
    std::vector<std::vector<double>> starts(4);  // beats
    // Tempo changes every 64 beats, in channel A only, between 100 and 180;
    // A plays in quarters, so that each change falls on its beat.
    const double tempoAt[] = {150, 100, 180, 133, 160, 120, 175, 110};
    const auto seconds = [&](double beat) {
        double total = 0;
        for (int part = 0; part < 8; ++part) {
            const double from = 64.0 * part;
            if (beat <= from) {
                break;
            }
            total += (std::min(beat, from + 64.0) - from) * 60.0 / tempoAt[part];
        }
        return total;
    };
    for (int channel = 0; channel < 4; ++channel) {
        text += std::string(1, static_cast<char>('A' + channel)) + " o4";
        double beat = 0;
        while (beat < 512.0 - 2.0) {
            if (channel == 0 && static_cast<int>(beat) % 64 == 0) {
                text += " t" + std::to_string(static_cast<int>(tempoAt[static_cast<int>(beat) / 64]));
            }
            const std::size_t pick = channel == 0 ? 4 : random() % std::size(lengths);
            if (random() % 7 == 0) {
                text += std::string(" r") + lengths[pick];
            } else {
                text += std::string(" ") + "cdefgab"[random() % 7] + lengths[pick];
                starts[static_cast<std::size_t>(channel)].push_back(beat);
            }
            beat += beatsOf[pick];
        }
        text += "\n";
    }
    const MmlResult result = compile(text);
    const HeardSong heard = hear(result);
    std::vector<std::size_t> next(4, 0);
    double worst = 0;
    std::size_t count = 0;
    for (const HeardNote& note : heard.notes) {
        const auto v = static_cast<std::size_t>(note.voice);
        ASSERT_LT(next[v], starts[v].size());
        const double exact = framesAt(seconds(starts[v][next[v]++]));
        worst = std::max(worst, std::abs(static_cast<double>(note.frame) - exact));
        ++count;
    }
    for (std::size_t v = 0; v < 4; ++v) {
        EXPECT_EQ(next[v], starts[v].size()) << v;
    }
    EXPECT_GT(count, 2000u);
    EXPECT_GT(heard.endFrame, static_cast<std::uint64_t>(framesAt(180.0)));  // minutes long
    EXPECT_LE(worst, kMillisecond) << "the worst note is " << worst << " frames off";
}

// A channel compiled alone (the others commented out, as a composer solos
// a part) is on the same grid as in the mix: every note starts and ends
// within a row of where it does in the mix, both within a millisecond of
// their time.
TEST(Mml, AChannelAloneKeepsItsTimesInTheMix)
{
    const std::string melody = "A t140 l8 o5 v13 q6 c e g > c < b g e d c2 r4 [c16 d16 e8]4 c3 d3 e3 f1\n";
    const std::string mix = melody +
                            "B l8 o3 v13 [c c > c < c]4\n"
                            "C o4 l12 [c e g]8\n"
                            "E o6 l16 [c r c c]8\n"
                            "F o3 [c4 r8 c8]4\n";
    const HeardSong alone = hear(compile(melody));
    const HeardSong together = hear(compile(mix));
    std::vector<HeardNote> inMix;
    for (const HeardNote& note : together.notes) {
        if (note.voice == 0) {
            inMix.push_back(note);
        }
    }
    ASSERT_EQ(alone.notes.size(), inMix.size());
    const double row = framesAt(60.0 / (140.0 * 255.0));
    for (std::size_t i = 0; i < inMix.size(); ++i) {
        EXPECT_LE(std::abs(static_cast<double>(alone.notes[i].frame) - static_cast<double>(inMix[i].frame)), row) << i;
        EXPECT_LE(std::abs(static_cast<double>(alone.notes[i].release) - static_cast<double>(inMix[i].release)), row)
            << i;
    }
    // q6 eighths hold three quarters of an eighth, alone and in the mix.
    const double eighth = framesAt(60.0 / 140.0 / 2.0);
    EXPECT_NEAR(static_cast<double>(inMix[0].release - inMix[0].frame), 0.75 * eighth, kMillisecond);
    EXPECT_NEAR(static_cast<double>(alone.notes[0].release - alone.notes[0].frame), 0.75 * eighth, kMillisecond);
}

// @v1 steps the volume a tick at a time from the note's start (24 ticks a
// beat unless #tick says otherwise): 15 12 9, then round 6 4 from the |,
// each value e at channel volume v playing at e/15 × v/15 of unity. The
// steps are heard inside the one note, which is struck once.
TEST(Mml, AVolumeEnvelopeStepsInsideTheNote)
{
    const MmlResult result = compile("@v1 = { 15 12 9 | 6 4 }\nA t120 o5 v15 @v1 c2 @v0 c4\n");
    const HeardSong heard = hear(result);
    ASSERT_EQ(heard.notes.size(), 2u);
    const double tick = beatFrames(1.0 / 24, 120);
    const int levels[] = {15, 12, 9, 6, 4, 6, 4, 6};
    std::vector<HeardSong::Change> steps;
    for (const HeardSong::Change& change : heard.volumes) {
        if (change.frame > heard.notes[0].frame && change.frame < heard.notes[1].frame) {
            steps.push_back(change);
        }
    }
    EXPECT_EQ(heard.notes[0].volume, 128);
    // Two beats of ticks, the first set with the note: 47 steps.
    ASSERT_EQ(steps.size(), 47u);
    for (std::size_t j = 1; j < std::size(levels); ++j) {
        EXPECT_NEAR(static_cast<double>(steps[j - 1].frame), static_cast<double>(j) * tick, kMillisecond) << j;
        EXPECT_EQ(steps[j - 1].value, static_cast<int>(std::lround(128.0 * levels[j] / 15.0))) << j;
    }
    // Heard: the level of each tick's stretch follows the envelope, and the
    // note after it, without an envelope, is back at full volume.
    const std::vector<std::int16_t> left = render(result);
    const auto peak = [&](double from, double to) {
        int most = 0;
        for (auto f = static_cast<std::size_t>(from); f < static_cast<std::size_t>(to) && f < left.size(); ++f) {
            most = std::max(most, std::abs(static_cast<int>(left[f])));
        }
        return most;
    };
    const int full = peak(0, tick);
    EXPECT_NEAR(full, 4000 * 128 / 128, 200);
    for (std::size_t j = 1; j < std::size(levels); ++j) {
        EXPECT_NEAR(peak(j * tick + 60, (j + 1) * tick - 60), full * levels[j] / 15.0, 150.0) << j;
    }
    EXPECT_NEAR(peak(static_cast<double>(heard.notes[1].frame) + 100, static_cast<double>(heard.notes[1].frame) + 2000),
                full, 200);
    // #tick sets the steps a beat.
    const HeardSong fast = hear(compile("#tick 48\n@v1 = { 15 0 }\nA t120 @v1 c4\n"));
    ASSERT_FALSE(fast.volumes.empty());
    EXPECT_NEAR(static_cast<double>(fast.volumes.back().frame), beatFrames(1.0 / 48, 120), kMillisecond);
}

// @a1 = { | 0 4 7 } plays a chord on one voice: the note, a major third and
// a fifth above it, a tick each, round and round; without | it holds its
// last offset. Hits take arpeggios too.
TEST(Mml, AnArpeggioPlaysAChordATickAtATime)
{
    const MmlResult result = compile("@a1 = { | 0 4 7 }\n@a2 = { 12 0 }\nA t120 o4 @a1 c4 @a0 d4\nE @a2 o5 c4\n");
    const HeardSong heard = hear(result);
    const double tick = beatFrames(1.0 / 24, 120);
    std::vector<HeardSong::Change> a;
    std::vector<HeardSong::Change> e;
    for (const HeardSong::Change& change : heard.pitches) {
        (change.voice == 0 ? a : e).push_back(change);
    }
    // The note's own pitch first, then 24 ticks a beat: C4 E4 G4 C4 …, then D4.
    ASSERT_EQ(a.size(), 25u);
    for (std::size_t j = 0; j < 24; ++j) {
        const int chord[] = {0, 4, 7};
        EXPECT_EQ(a[j].value, 21 + chord[j % 3]) << j;
        EXPECT_NEAR(static_cast<double>(a[j].frame), static_cast<double>(j) * tick, kMillisecond) << j;
    }
    EXPECT_EQ(a[24].value, 23);
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].value, 33 + 12);
    EXPECT_EQ(e[1].value, 33);
    EXPECT_NEAR(static_cast<double>(e[1].frame), tick, kMillisecond);
    // An arpeggio that takes a note out of the table is a mistake at the note.
    const MmlResult high = compileMml("@a1 = { 0 12 }\nA o8 c4 @a1 b4\n");
    ASSERT_EQ(high.errors.size(), 1u);
    EXPECT_EQ(high.errors[0].column, 13u);
    EXPECT_EQ(high.errors[0].message, "expected a note D#2 … B8, found B9 (@a1's +12)");
}

// k moves the notes that follow by semitones, up or down, until the next k;
// [a | b]n plays a b n−1 times and then a; ^ ties as & does.
TEST(Mml, TransposeBreakOutRepeatsAndTies)
{
    const HeardSong moved = hear(compile("A o4 c4 k+2 c4 k-12 c4 k0 c4 k5 [c4]2\n"));
    std::vector<int> pitches;
    for (const HeardNote& note : moved.notes) {
        pitches.push_back(note.pitch);
    }
    EXPECT_EQ(pitches, (std::vector<int>{21, 23, 9, 21, 26, 26}));

    const HeardSong repeated = hear(compile("A o4 l8 [c d | e]3 f [g [a|b]2]2\n"));
    std::vector<int> order;
    for (const HeardNote& note : repeated.notes) {
        order.push_back(note.pitch);
    }
    // c d e c d e c d f, then (g a b a) twice.
    EXPECT_EQ(order, (std::vector<int>{21, 23, 25, 21, 23, 25, 21, 23, 26, 28, 30, 32, 30, 28, 30, 32, 30}));

    const HeardSong tied = hear(compile("A t120 o4 c4^8 c4&c8 c4&8 r4^8 c4\n"));
    ASSERT_EQ(tied.notes.size(), 4u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_NEAR(static_cast<double>(tied.notes[i].frame), beatFrames(1.5 * static_cast<double>(i), 120),
                    kMillisecond);
        EXPECT_NEAR(static_cast<double>(tied.notes[i].release), beatFrames(1.5 * static_cast<double>(i + 1), 120),
                    kMillisecond);
    }
    EXPECT_NEAR(static_cast<double>(tied.notes[3].frame), beatFrames(6.0, 120), kMillisecond);
}

// A note longer than one gate holds (255 rows) is struck again before each
// gate closes, where the restart is not heard: no step in the waveform
// beyond the note's own, and the last gate closes on time. Two bars of a
// held whole note at 60 beats a minute: eight seconds.
TEST(Mml, AHeldNoteOutlastsItsGatesUnheard)
{
    for (const char* text : {"A t60 o4 v15 c1&c1\n", "A t60 o6 v15 q7 e1\n", "C t60 o3 v15 g1\n"}) {
        const MmlResult result = compile(text);
        const HeardSong heard = hear(result);
        ASSERT_EQ(heard.notes.size(), 1u) << text;
        const HeardNote& note = heard.notes[0];
        EXPECT_GE(note.restarts, 7) << text;
        const double beats = std::string(text).find("c1&c1") != std::string::npos ? 8.0
                             : std::string(text).find("q7") != std::string::npos ? 3.5
                                                                                 : 4.0;
        EXPECT_NEAR(static_cast<double>(note.release), beatFrames(beats, 60), kMillisecond) << text;
        // The largest second difference over the whole note is the
        // waveform's own, the one its steady first cycles have.
        const std::vector<std::int16_t> left = render(result);
        const auto bend = [&](std::size_t from, std::size_t to) {
            int most = 0;
            for (std::size_t f = from + 1; f + 1 < to && f + 1 < left.size(); ++f) {
                most = std::max(most, std::abs(left[f + 1] - 2 * left[f] + left[f - 1]));
            }
            return most;
        };
        const int steady = bend(10, 4000);
        EXPECT_LE(bend(10, static_cast<std::size_t>(note.release) - 10), steady + 8) << text;
    }
}

// What a fiftieth of a frame of the voice's wave moves its sample at most,
// at unity volume: the most a restart may differ from the wave it continues.
int seamless(std::size_t voice)
{
    const WavSample sample = bankSample(voice);
    const std::uint64_t frames = sample.buffer.frameCount();
    float steepest = 0.0f;
    for (std::uint64_t i = 0; i < frames; ++i) {
        const float step = sample.buffer.readFrame((i + 1) % frames).left - sample.buffer.readFrame(i).left;
        steepest = std::max(steepest, std::abs(step));
    }
    return static_cast<int>(std::ceil(0.02f * steepest * 32767.0f)) + 1;
}

// Whatever the other channels play, with or without an arpeggio, a held
// note's restarts continue its wave: the sample each one plays is the one
// the wave would have played there (within what a fiftieth of a frame of
// the wave moves), and the last gate ends within a millisecond of the
// note's end.
TEST(Mml, EveryRestartContinuesTheWaveWhateverElsePlays)
{
    struct Case {
        const char* text;
        std::size_t voice;
        double beats;  // where the held note's gate ends
        double bpm;
    };
    const Case cases[] = {
        {"D o5 c1^1\nE o7 l8 [c]16\n", 3, 8, 120},                                 // beside a busy hit
        {"@a1 = { | 0 4 7 }\nA t60 @a1 o4 v15 c1&c1\n", 0, 8, 60},                 // under an arpeggio, alone
        {"@a1 = { | 0 3 7 12 }\nB t150 @a1 o3 c1&c1&c1\nF l16 [c]48\n", 1, 12, 150},
        {"@v1 = { | 15 9 }\nA o4 a1&a1&a1&a1&a1&a1&a1&a1\nE @v1 l16 [c]128\n", 0, 32, 120},  // a hit stepping every tick
        {"#tick 96\n@a1 = { | 0 7 }\nC t200 @a1 o5 g1&g1\nD t200 o6 l32 [c e]32\n", 2, 8, 200},
        {"D t60 o4 v15 b-1&b-1\n", 3, 8, 60},  // a pitch whose first read lands far from the sample's start
    };
    for (const Case& c : cases) {
        const MmlResult result = compile(c.text);
        const std::vector<int> misses = restartMisses(result, c.voice);
        EXPECT_GE(misses.size(), 3u) << c.text;
        for (std::size_t i = 0; i < misses.size(); ++i) {
            EXPECT_LE(misses[i], seamless(c.voice)) << c.text << " restart " << i;
        }
        const HeardSong heard = hear(result);
        for (const HeardNote& note : heard.notes) {
            if (note.voice == static_cast<int>(c.voice)) {
                EXPECT_NEAR(static_cast<double>(note.release),
                            beatFrames(c.beats, c.bpm) + static_cast<double>(c.voice), kMillisecond)
                    << c.text;
            }
        }
    }
    // Songs of held chords under arpeggios on every cycling voice, beside
    // busy hits whose envelopes step every tick, through tempo changes.
    std::mt19937 random(20261209);
    const char* const lengths[] = {"1", "2.", "1^4", "2^8", "1.", "2"};
    for (int song = 0; song < 6; ++song) {
        std::string text = "@a1 = { | 0 4 7 }\n@a2 = { 0 12 | 7 }\n@v1 = { | 15 11 7 }\n";
        for (const char channel : {'A', 'B', 'C', 'D'}) {
            text += channel;
            text += channel == 'A' ? " t" + std::to_string(90 + random() % 100) : std::string();
            text += " o" + std::to_string(3 + random() % 3) + (random() % 2 ? " @a1" : " @a2");
            for (int note = 0; note < 6; ++note) {
                text += std::string(" ") + "cdefgab"[random() % 7] + lengths[random() % std::size(lengths)];
                if (note == 3 && channel == 'A') {
                    text += " t" + std::to_string(90 + random() % 100);
                }
            }
            text += "\n";
        }
        text += "E @v1 l16 [c]96\nF l32 [c r]48\n";
        const MmlResult result = compile(text);
        for (std::size_t voice = 0; voice < 4; ++voice) {
            const std::vector<int> misses = restartMisses(result, voice);
            for (std::size_t i = 0; i < misses.size(); ++i) {
                EXPECT_LE(misses[i], seamless(voice)) << text << "voice " << voice << " restart " << i;
            }
        }
    }
}

// The frames at which a song looping on goes back to its loop point, up
// to `frames` in: as a player looping for an hour plays it.
std::vector<std::uint64_t> passStarts(const MmlResult& result, std::uint64_t frames)
{
    SongPlayer player;
    player.sampleRate = static_cast<float>(kOutputRate);
    player.looping = true;
    EXPECT_TRUE(player.load(memoryRead(result.song.data(), result.song.size())));
    const float dt = 1.0f / static_cast<float>(kOutputRate);
    std::vector<std::uint64_t> starts;
    for (std::uint64_t frame = 0; frame < frames;) {
        const std::uint64_t passes = player.loopPasses;
        player.tick(dt);
        if (player.loopPasses != passes) {
            starts.push_back(frame + 1);  // LoopEnd jumps back; the loop point's events come in the next frame
        }
        ++frame;
        frame += player.skipWait(dt, frames - frame);
    }
    return starts;
}

// Each pass round the loop is its exact length to the frame, so passes do
// not drift from the beat: where that length is a whole number of frames
// (a beat of 150 or 160 beats a minute is), every pass of an hour starts
// within a millisecond of its time; where it is not (140), a pass is at
// most half a frame off, and the 21st still starts within a millisecond.
TEST(Mml, EveryPassStartsOnTime)
{
    struct Case {
        const char* text;
        double loopSeconds;  // where L stands
        double passSeconds;  // the loop's length
        std::uint64_t frames;
    };
    const Case cases[] = {
        {"A t150 o4 c4 L [e g]3 t160 c2 c4. r8\nE l8 r4 L [c]12\n", 0.4, 6 * 0.4 + 4 * 0.375, 3600 * 48000ull},
        {"@v1 = { | 15 9 }\nA t140 o4 @v1 c8 L [d e f g]4\nF l16 r8 L [c]64\n", 60.0 / 140 / 2, 60.0 / 140 * 16,
         21 * 48000 * 7ull},
    };
    for (const Case& c : cases) {
        const MmlResult result = compile(c.text);
        const std::vector<std::uint64_t> starts = passStarts(result, c.frames);
        ASSERT_GE(starts.size(), 21u) << c.text;
        const HeardSong heard = hear(result);
        EXPECT_NEAR(static_cast<double>(heard.loopFrame), framesAt(c.loopSeconds), 0.5) << c.text;
        for (std::size_t pass = 0; pass < starts.size(); ++pass) {
            const double exact = framesAt(c.loopSeconds + static_cast<double>(pass + 1) * c.passSeconds);
            ASSERT_NEAR(static_cast<double>(starts[pass]), exact, kMillisecond) << c.text << " pass " << pass + 2;
        }
    }
}

// Envelopes, arpeggios, transpose and repeats at their edges, as the
// song plays them.
TEST(Mml, EnvelopesTransposeAndRepeatsAtTheirEdges)
{
    const auto pitchesOf = [](const HeardSong& heard, int voice) {
        std::vector<int> values;
        for (const HeardSong::Change& change : heard.pitches) {
            if (change.voice == voice) {
                values.push_back(change.value);
            }
        }
        return values;
    };
    // A negative offset goes down: C5 (33), then C4 (21).
    EXPECT_EQ(pitchesOf(hear(compile("@a1 = { 0 -12 }\nA o5 @a1 c4\n")), 0), (std::vector<int>{33, 21}));
    // Up to B8 (80) an arpeggio may go; a semitone past it is a mistake at
    // the note.
    EXPECT_EQ(pitchesOf(hear(compile("@a1 = { 0 1 }\nA o8 @a1 a+4\n")), 0), (std::vector<int>{79, 80}));
    const MmlResult past = compileMml("@a1 = { 0 1 }\nA o8 @a1 b4\n");
    ASSERT_EQ(past.errors.size(), 1u);
    EXPECT_EQ(past.errors[0].line, 2u);
    EXPECT_EQ(past.errors[0].column, 10u);
    EXPECT_EQ(past.errors[0].message, "expected a note D#2 … B8, found C9 (@a1's +1)");
    // The ends of transpose's range: C4 up four octaves, C7 down four.
    EXPECT_EQ(pitchesOf(hear(compile("A k48 c\n")), 0), (std::vector<int>{69}));
    EXPECT_EQ(pitchesOf(hear(compile("A o7 k-48 c\n")), 0), (std::vector<int>{9}));
    // On a hit the volume envelope runs for the note's length, not its
    // gate's share: a half note (a second) at q2 steps on to its end.
    const HeardSong hit = hear(compile("@v1 = { | 15 7 }\nE q2 @v1 c2 r2\n"));
    std::uint64_t lastStep = 0;
    for (const HeardSong::Change& change : hit.volumes) {
        if (change.voice == 4) {
            lastStep = std::max(lastStep, change.frame);
        }
    }
    EXPECT_GT(static_cast<double>(lastStep), framesAt(0.95));
    EXPECT_LT(static_cast<double>(lastStep), framesAt(1.0));
    // A break-out repeat passes over brackets nested after its |, and a
    // | of a repeat nested there is that repeat's own.
    const auto played = [](const std::string& text) {
        std::vector<int> pitches;
        for (const HeardNote& note : hear(compile(text)).notes) {
            pitches.push_back(note.pitch);
        }
        return pitches;
    };
    EXPECT_EQ(played("A l8 [c | [d]2 e]3 f\n"), (std::vector<int>{21, 23, 23, 25, 21, 23, 23, 25, 21, 26}));
    EXPECT_EQ(played("A l8 [c | [d | e]2 f]3 g\n"),
              (std::vector<int>{21, 23, 25, 23, 26, 21, 23, 25, 23, 26, 21, 28}));
    // A phrase used twice with a mistake in it: the mistake, once.
    const MmlResult twice = compileMml("$p = c x\nA $p $p\n");
    EXPECT_EQ(twice.errorCount, 1u);
    ASSERT_EQ(twice.errors.size(), 1u);
    EXPECT_EQ(twice.errors[0].line, 1u);
    EXPECT_EQ(twice.errors[0].column, 8u);
}

// At rows of the composer's choosing (#rows), a note longer than a gate can
// hold there is cut and told at its line and column; the song is written.
TEST(Mml, AtRowsOfTheComposersChoiceACutNoteIsTold)
{
    const MmlResult result = compile("#rows 4\nA t120 c1 c1&c1&c1&c1&c1&c1&c1&c1&c1&c1&c1&c1&c1&c1&c1&c1\n");
    EXPECT_EQ(result.song[0], 120);
    EXPECT_EQ(result.song[1], 4);
    ASSERT_EQ(result.warnings.size(), 1u);
    EXPECT_EQ(result.warnings[0].line, 2u);
    EXPECT_EQ(result.warnings[0].column, 11u);
    EXPECT_EQ(result.warnings[0].message,
              "expected a note a gate of 255 rows can hold (31.686 s at #rows 4), found one of 32.000 s: cut there");
    const HeardSong heard = hear(result);
    ASSERT_EQ(heard.notes.size(), 2u);
    EXPECT_NEAR(static_cast<double>(heard.notes[1].frame), beatFrames(4, 120), 6000.0 / 2);  // on the nearest row

    // A gate shorter than half a row still gets one (125 ms): a short
    // note there, not a click.
    const HeardSong shortGate = hear(compile("#rows 4\nA t120 q1 c32 r4 c\n"));
    ASSERT_EQ(shortGate.notes.size(), 2u);
    EXPECT_NEAR(static_cast<double>(shortGate.notes[0].release - shortGate.notes[0].frame), 6000.0, kMillisecond);
}

// The settings at the top: the title and the composer go into the text form.
TEST(Mml, TitleAndComposerGoIntoTheTextForm)
{
    const MmlResult result = compile("#title \"Ninth Moon\"\n#composer \"A. N. Other\"\nA c\n");
    EXPECT_EQ(result.title, "Ninth Moon");
    EXPECT_EQ(result.composer, "A. N. Other");
    const std::string text = mmlTextForm(result.text);
    EXPECT_EQ(text.rfind("# title: Ninth Moon\n# composer: A. N. Other\ntempo 120 255", 0), 0u) << text;
}

TEST(Mml, EachMistakeAtItsLineAndColumn)
{
    struct Case {
        std::string text;
        std::size_t line;
        std::size_t column;
        std::string message;
    };
    const std::string commands = "expected a command (c d e f g a b n r o < > l t v V q k @v @a @p @i [ | ] { } L $ ! & ^ ~)";
    const Case cases[] = {
        {"cdef", 1, 1,
         "expected channel letters A … F (or T, the tempo line), a phrase ($name = …) or an envelope (@v1 = { … }), found 'c'"},
        {"Acdef", 1, 2, "expected a space after the channel letters, found 'c'"},
        {"A o4 c x", 1, 8, commands + ", found 'x'"},
        {"  A o4 c x", 1, 10, commands + ", found 'x'"},
        {"\xEF\xBB\xBF\tA o4 c x", 1, 9, commands + ", found 'x'"},  // a byte-order mark is no column
        {"A c\n  B c v", 2, 8, "expected a volume 0 … 15, or a step +n or -n, found the end of the channel"},  // just past the end
        {"A c4 l", 1, 7, "expected a length 1, 2, 3, 4, 6, 8, 12, 16, 24, 32, 48 or 64, found the end of the channel"},
        {"A o9 c", 1, 4, "expected an octave 1 … 8, found '9'"},
        {"A o1 c", 1, 6, "expected a note D#2 … B8, found C1"},
        {"A o8 b+", 1, 6, "expected a note D#2 … B8, found C9"},
        {"A c5", 1, 4, "expected a length 1, 2, 3, 4, 6, 8, 12, 16, 24, 32, 48 or 64, found '5'"},
        {"A c 8", 1, 5, commands + ", found '8'"},
        {"A v16 c", 1, 4, "expected a volume 0 … 15, or a step +n or -n, found '16'"},
        {"A q0 c", 1, 4, "expected a gate of 1 … 8 eighths of the length, found '0'"},
        {"A [c d", 1, 3, "expected ] to close this [, found the end of the channel"},
        {"A c d]", 1, 6, "expected a command, found ']' with no [ before it"},
        {"A c4^d4", 1, 6, "expected the same note after ^ (& or ~ goes on to another), found another"},
        {"A c4~r", 1, 5, "expected a note to slide to after ~, found 'r'"},
        {"A o8 b4&b+4", 1, 9, "expected a note D#2 … B8, found C9"},
        {"A l8 c4&v8c4", 1, 8, "expected the same note or a length after &, found 'v'"},
        {"A c4^ 8", 1, 5, "expected the same note or a length after ^, found a space"},
        {"A c4&", 1, 5, "expected the same note or a length after &, found the end of the channel"},
        {"A r4&c4", 1, 5, "expected a rest or a length after &, found 'c'"},
        {"A [L c]", 1, 4, "expected the loop point L outside [ … ], found it inside"},
        {"A $riff c", 1, 3, "expected a phrase defined with $riff = …, found none of that name"},
        {"$a = c $a\nA $a", 1, 8, "expected a phrase that does not use itself, found $a inside $a"},
        {"$a c", 1, 4, "expected = and the phrase after $a, found 'c'"},
        {"$a = c $b\n$b = d $a\nA $a", 2, 8, "expected a phrase that does not use itself, found $a inside $b"},
        {"A c L d\nB c d L e", 2, 7,
         "expected L at the same time in every channel (as at line 1), found it 2 beats in, not 1 beat"},
        {"A c64.......", 1, 12, "expected at most 6 dots, found more"},
        // Bar checks, tuplets, note numbers, relative volume, the T line.
        {"A c | d", 1, 5, "expected | at a bar line (4 beats a bar), found the channel at bar 1, beat 2"},
        {"#meter 3\nA c2. | c8 {c c c c c}4 |", 2, 25,
         "expected | at a bar line (3 beats a bar), found the channel at bar 2, beat 2 and 1/2"},
        {"A c1 {c e g c", 1, 6, "expected } to close this {, found the end of the channel"},
        {"A {}4 c", 1, 3, "expected notes or rests inside { … }, found none"},
        {"A {c [e]2 g | c}4", 1, 13, "expected a note or rest inside { … }, found '|'"},
        {"A c } d", 1, 5, "expected a command, found '}' with no { before it"},
        {"A n38 c", 1, 4, "expected a note number 39 … 119 (D#2 … B8), found '38'"},
        {"A n60,5", 1, 7, "expected a length 1, 2, 3, 4, 6, 8, 12, 16, 24, 32, 48 or 64, found '5'"},
        {"A n60, c", 1, 8, "expected a length 1, 2, 3, 4, 6, 8, 12, 16, 24, 32, 48 or 64 after ',', found a space"},
        {"A v+ c", 1, 6, "expected a volume step after +, 0 … 255, found a space"},
        {"T t90 r1 c\nA c", 1, 10, "expected t, r, l, [ … ], $ or !cue on the T line (tempo changes, cues and the rests between them), found 'c'"},
        {"T t90 L r1\nA c", 1, 7, "expected t, r, l, [ … ], $ or !cue on the T line (tempo changes, cues and the rests between them), found 'L'"},
        {"T t90 r1 t100\nA t120 r1 c", 2, 3, "expected one tempo at beat 1 (t90 at line 1), found t120"},
        {"A c /* d\ne", 1, 5, "expected */ to close this /*, found the end of the file"},
        {"A [c | d | e]", 1, 10, "expected one | in a repeat, found a second"},
        {"A [c | d]1", 1, 10, "expected a repeat count of 2 or more around |, found '1'"},
        {"A k+49 c", 1, 4, "expected a transpose in semitones, -48 … +48, found '49'"},
        {"A k c", 1, 5, "expected a transpose in semitones, -48 … +48, found a space"},
        // Envelopes: undefined, badly defined, unclosed.
        {"A @v3 c", 1, 3, "expected an envelope defined with @v3 = { … }, found none of that number"},
        {"A @x1 c", 1, 3,
         "expected @v (a volume envelope), @a (an arpeggio), @p (a pitch envelope) or @i (an instrument) and its number, "
         "found 'x'"},
        // Releases, pitch envelopes and instruments.
        {"@v1 = { 15 / 8 / 0 }\nA c", 1, 16, "expected one / in an envelope, found a second"},
        {"@v1 = { 15 / }\nA c", 1, 12, "expected a value after /, found }"},
        {"@v1 = { 15 / 8 | 0 }\nA c", 1, 16, "expected | before the release's /, found it after"},
        {"@a1 = { 0 / 4 }\nA c", 1, 11, "expected a release / in a volume envelope only, found it in an arpeggio"},
        {"@p1 = { 0 -49 }\nA c", 1, 11, "expected a semitone offset -48 … +48, found '-49'"},
        {"@p1 = { 0 -20 }\n@a1 = { 0 -20 }\nA o2 @a1 @p1 g", 3, 14,
         "expected a note D#2 … B8, found D#-1 (@a1 and @p1: -40)"},
        {"A @p2 c", 1, 3, "expected an envelope defined with @p2 = { … }, found none of that number"},
        {"A @i2 c", 1, 3, "expected an instrument defined with @i2 = { … }, found none of that number"},
        {"@i1 = { @v1 c }\n@v1 = { 15 }\nA @i1 c", 1, 13, "expected @v, @a, @p, q, k, v or V in an instrument, found 'c'"},
        {"@i1 = { q9 }\nA @i1 c", 1, 10, "expected a gate of 1 … 8 eighths of the length, found '9'"},
        {"@i1 = { @i1 }\nA @i1 c", 1, 9, "expected @v, @a or @p in an instrument, found @i"},
        {"@i1 = { q4\nA c", 1, 7, "expected } to close this {, found the end of the line"},
        {"@i1 = { q4 }\n@i1 = { q5 }\nA c", 2, 1, "expected each instrument defined once, found @i1 again"},
        {"@v1 = { 15 16 }\nA c", 1, 12, "expected a volume 0 … 15, found '16'"},
        {"@a1 = { 0 +49 }\nA c", 1, 11, "expected a semitone offset -48 … +48, found '+49'"},
        {"@v1 = { 15 12\nA c", 1, 7, "expected } to close this {, found the end of the line"},
        {"@v1 = { }\nA c", 1, 7, "expected at least one value inside { }, found none"},
        {"@v1 = { 15 | }\nA c", 1, 14, "expected a value after |, found }"},
        {"@v1 = { 15 } x\nA c", 1, 14, "expected the end of the line after }, found 'x'"},
        {"@v1 = 15\nA c", 1, 7, "expected { and the envelope's values, found '1'"},
        {"@v0 = { 1 }\nA c", 1, 3, "expected an envelope number 1 … 255 after @v, found '0'"},
        {"@v1 = { 1 }\n@v1 = { 2 }\nA c", 2, 1, "expected each envelope defined once, found @v1 again"},
        {"@v1 = { 15:0 }\nA c", 1, 12, "expected a step's ticks after :, 1 … 255, found '0'"},
        {"@a1 = { 0 :4 }\nA c", 1, 11, "expected a semitone offset -48 … +48 before :, found nothing"},
        {"@v1 = { 15:255 14:255 13:255 12:255 11:255 10:255 9:255 8:255 7:255 6:255 5:255 4:255 3:255 2:255 1:255 "
         "0:255 1:255 }\nA c",
         1, 111, "expected an envelope of at most 4096 ticks, found more"},
        // The settings at the top.
        {"A c\n#tick 12", 2, 1, "expected #tick at the top (or a song's), before the first channel, phrase or envelope"},
        {"#tick 0\nA c", 1, 7, "expected envelope steps a beat, 1 … 96, found '0'"},
        {"#rows 256\nA c", 1, 7, "expected rows a beat, 1 … 255, found '256'"},
        {"#tick 12\n#tick 12\nA c", 2, 1, "expected #tick once, found it again"},
        {"#title Song\nA c", 1, 8, "expected the title in double quotes, found 'Song'"},
        {"#tempo 120\nA c", 1, 1, "expected a setting #tick, #rows, #meter, #title, #composer or #song, found '#tempo'"},
        {"#meter 0\nA c", 1, 8, "expected beats a bar, 1 … 255, found '0'"},
        // Cues: a name after each !, and at most 255 of them in a song.
        {"A c ! d", 1, 5, "expected a cue name of letters, digits, _ and -, at most 64 bytes, after !, found a space"},
        {"A c !" + std::string(65, 'x'), 1, 5,
         "expected a cue name of letters, digits, _ and -, at most 64 bytes, after !, found a longer one"},
        {"A !x.y c", 1, 5, commands + ", found '.'"},
        {[] {
             std::string text = "A";
             for (int i = 0; i < 128; ++i) {
                 text += " !a" + std::to_string(i) + " c";
             }
             text += "\nB";
             for (int i = 0; i < 128; ++i) {
                 text += " !b" + std::to_string(i) + " !a1 c";
             }
             return text;
         }(),
         2, 1417, "expected at most 255 cue names, found another, 'b127'"},
    };
    for (const Case& c : cases) {
        const MmlResult result = compileMml(c.text);
        ASSERT_FALSE(result.errors.empty()) << c.text;
        EXPECT_TRUE(result.song.empty()) << c.text;
        EXPECT_EQ(result.errors[0].line, c.line) << c.text;
        EXPECT_EQ(result.errors[0].column, c.column) << c.text;
        EXPECT_EQ(result.errors[0].message, c.message) << c.text;
    }
    // Every mistake, once each, though a repeat reads its body twice.
    const MmlResult many = compileMml("A [c x]4 o9\nB y\n");
    ASSERT_EQ(many.errors.size(), 3u);
    EXPECT_EQ(many.errors[1].column, 11u);
    EXPECT_EQ(many.errors[2].line, 2u);
    // Repeats that would make more notes than a song holds stop there.
    const MmlResult huge = compileMml("A [[[[c]255]255]255]255\n");
    ASSERT_EQ(huge.errors.size(), 1u);
    EXPECT_EQ(huge.errors[0].message, "expected at most 1000000 notes and rests, repeats counted, found more");
    // Repeats of what holds no note stop too: these read for hours before.
    for (const char* endless : {"A [[[[[[[[o4]255]255]255]255]255]255]255]255\n", "A [[[[[[[[]255]255]255]255]255]255]255]255\n",
                                "$e = \nA [[[[[[[[  $e  ]255]255]255]255]255]255]255]255\n"}) {
        const MmlResult result = compileMml(endless);
        ASSERT_EQ(result.errors.size(), 1u) << endless;
        EXPECT_EQ(result.errors[0].message, "expected at most 4000000 characters read, repeats counted, found more");
    }
    // A mistake inside such repeats is told, without reading them again.
    const MmlResult wrong = compileMml("A [[[[[[[[c9]255]255]255]255]255]255]255]255\n");
    ASSERT_EQ(wrong.errors.size(), 1u);
    EXPECT_EQ(wrong.errors[0].column, 12u);
}

// One typo is one error: the channels after it, which mark their loop point
// where they should, get none, and a typo inside a phrase is told once.
TEST(Mml, AMistakeBringsNoFalseErrorsOnCorrectLines)
{
    const MmlResult result = compileMml(
        "A t140 l8 o5 c d e f L g a b > c\n"
        "B l8 o3 c c c c L c c c c\n"
        "C l8 o4 c cx c c L c c c c\n"
        "D l8 o4 c c c c L c c c c\n"
        "E l8 c c c c L c c c c\n"
        "F l8 c c c c L c c c c\n");
    ASSERT_EQ(result.errorCount, 1u);
    EXPECT_EQ(result.errors[0].line, 3u);
    EXPECT_EQ(result.errors[0].column, 12u);
}

std::string example(const char* name)
{
    std::ifstream in(std::string(EXAMPLES_DIR) + "/" + name);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

int peakOf(const MmlResult& result)
{
    int peak = 0;
    for (const std::int16_t value : render(result)) {
        peak = std::max(peak, std::abs(static_cast<int>(value)));
    }
    return peak;
}

// The shipped examples: under 60 lines, every voice used, looping, loud and
// not clipping.
TEST(Mml, TheExamplesAreSongsThatDoNotClip)
{
    for (const char* name : {"tune.mml", "arcade.mml", "chase.mml"}) {
        const std::string text = example(name);
        EXPECT_LE(std::count(text.begin(), text.end(), '\n'), 60) << name;
        const MmlResult result = compile(text);
        const HeardSong heard = hear(result);
        bool used[6] = {};
        for (const HeardNote& note : heard.notes) {
            used[note.voice] = true;
        }
        for (int voice = 0; voice < 6; ++voice) {
            EXPECT_TRUE(used[voice]) << name << " voice " << voice;
        }
        EXPECT_GT(heard.loopFrame, 0u) << name;
        const int peak = peakOf(result);
        EXPECT_LT(peak, 32767) << name;
        EXPECT_GT(peak, 8000) << name;  // and not whispered
    }
}

// The instruments example shapes every voice: the volume changes inside
// notes on all six, and a chord is arpeggiated on one voice.
TEST(Mml, TheInstrumentsExampleShapesEveryVoice)
{
    const MmlResult result = compile(example("arcade.mml"));
    EXPECT_EQ(result.title, "Arcade");
    const HeardSong heard = hear(result);
    bool shaped[6] = {};  // the volume changes while a note sounds
    for (const HeardNote& note : heard.notes) {
        for (const HeardSong::Change& change : heard.volumes) {
            if (change.voice == note.voice && change.frame > note.frame && change.frame < note.frame + 4800) {
                shaped[note.voice] = true;
            }
        }
    }
    for (int voice = 0; voice < 6; ++voice) {
        EXPECT_TRUE(shaped[voice]) << voice;
    }
    bool arpeggio = false;
    for (const HeardSong::Change& change : heard.pitches) {
        arpeggio = arpeggio || std::any_of(heard.notes.begin(), heard.notes.end(), [&](const HeardNote& note) {
                       return note.voice == change.voice && note.voice < 4 && change.frame > note.frame + 500 &&
                              change.frame < note.frame + 4800;
                   });
    }
    EXPECT_TRUE(arpeggio);
}

// The outline a page draws a song's bar lines and cues from is what a
// player of the song tells, beat for beat: through a meter change, tempo
// changes between frames and cues in several channels.
TEST(Mml, TheSongsOutlineIsWhatItsPlayerTells)
{
    const MmlResult result = compile("#meter 3\nA t130 o4 l4 !a [c e g]2 t97 !b [c g c]3 t151 [e g e]2 !c c2.\n"
                                     "B o3 l2. r r !b c c c r r !c r\n");
    SongPlayer player;
    player.sampleRate = static_cast<float>(kOutputRate);
    player.looping = false;
    ASSERT_TRUE(player.load(memoryRead(result.song.data(), result.song.size())));
    const MusicOutline outline = musicOutline(player);

    std::vector<MusicOutline::Beat> beats;
    std::vector<MusicOutline::Cue> cues;
    std::vector<float> left(4096);
    std::vector<float> right(4096);
    MusicEvents events;
    while (!player.finished) {
        events.count = 0;
        player.renderMix(left.data(), right.data(), left.size(), &events);
        for (std::size_t i = 0; i < events.count; ++i) {
            const MusicEvent& e = events.items[i];
            if (e.kind == MusicEventKind::Beat) {
                beats.push_back({e.frame, e.place.bar, e.value});
            } else if (e.kind == MusicEventKind::Cue) {
                cues.push_back({e.frame, e.value});
            }
        }
    }
    ASSERT_EQ(outline.beats.size(), beats.size());
    EXPECT_EQ(beats.size(), 2u * 3 + 3 * 3 + 2 * 3 + 3);  // none after the end, as the last notes ring on
    for (std::size_t i = 0; i < beats.size(); ++i) {
        EXPECT_EQ(outline.beats[i].frame, beats[i].frame) << i;
        EXPECT_EQ(outline.beats[i].bar, beats[i].bar) << i;
        EXPECT_EQ(outline.beats[i].beat, beats[i].beat) << i;
    }
    EXPECT_EQ(beats.back().bar, 8u);
    ASSERT_EQ(outline.cues.size(), cues.size());
    EXPECT_EQ(cues.size(), 3u);  // b and c named in two channels at one place each: once
    for (std::size_t i = 0; i < cues.size(); ++i) {
        EXPECT_EQ(outline.cues[i].frame, cues[i].frame) << i;
        EXPECT_EQ(outline.cues[i].index, cues[i].index) << i;
    }
}

// The shorthands are the songs they stand for, byte for byte: envelope
// steps with lengths, note numbers, relative volume, the T line and block
// comments.
TEST(Mml, ShorthandsMakeTheSongsTheyStandFor)
{
    const std::pair<const char*, const char*> same[] = {
        {"@v1 = { 15:3 12 | 8:2 4 }\n@a1 = { 0:2 -12:2 }\nA @v1 @a1 o4 c2\n",
         "@v1 = { 15 15 15 12 | 8 8 4 }\n@a1 = { 0 0 -12 -12 }\nA @v1 @a1 o4 c2\n"},
        {"A o2 n60 n72,8. n39,16 n119\n", "A o4 c > c8. < < < d+16 > > > > > > b\n"},
        {"A v10 c v+2 c v-20 c v+99 c V100 c V+16 c V-200 c\n", "A v10 c v12 c v0 c v15 c V100 c V116 c V0 c\n"},
        {"T t100 r1 t140 l2 r r t90\nA o4 l4 [c e g e]4\n", "A t100 o4 l4 c e g e t140 c e g e t90 [c e g e]2\n"},
        {"/* an intro\n   of two lines */ A o4 c /* d */ e ; f /* g\nB c /* x\n*/\nB e\n", "A o4 c e\nB c e\n"},
        {"A c4 c8 c8 c2 | {c c c}2 {c c}4 r4 |\n", "A c4 c8 c8 c2 {c c c}2 {c c}4 r4\n"},
        {"@v1 = { 15 9 }\n@a1 = { 0 7 }\n@i1 = { @v1 @a1 q4 k-12 }\nA @i1 c q8 d @i1 e\n",
         "@v1 = { 15 9 }\n@a1 = { 0 7 }\nA @v1 @a1 q4 k-12 c q8 d @v1 @a1 q4 k-12 e\n"},
    };
    for (const auto& [shorthand, spelled] : same) {
        EXPECT_EQ(compile(shorthand).song, compile(spelled).song) << shorthand;
    }
}

// A tuplet shares its length among its notes in proportion to their own,
// any count: every note within a millisecond of its exact time.
TEST(Mml, TupletsShareTheirLength)
{
    const HeardSong heard = hear(compile("A t120 o4 l4 {c e g}4 {c d e f g}2 {c8 e g4}4 c\n"));
    std::vector<double> expected;
    for (int i = 0; i < 3; ++i) {
        expected.push_back(i * 24000.0 / 3);
    }
    for (int i = 0; i < 5; ++i) {
        expected.push_back(24000.0 + i * 48000.0 / 5);
    }
    expected.push_back(72000.0);
    expected.push_back(72000.0 + 4800.0);   // c8 e g4: a fifth, two fifths, two fifths
    expected.push_back(72000.0 + 14400.0);
    expected.push_back(96000.0);
    ASSERT_EQ(heard.notes.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_NEAR(static_cast<double>(heard.notes[i].frame), expected[i], kMillisecond) << i;
    }
}

// Legato, slides, pitch envelopes and releases change a sounding note where
// they fall: legato and slides without striking it again, releases after
// its gate share, the gate held open for them.
TEST(Mml, LegatoSlidesPitchEnvelopesAndReleasesStepWhereTheyFall)
{
    // t240: an eighth is 6000 frames, a tick 500.
    const auto values = [](const std::vector<HeardSong::Change>& changes) {
        std::vector<int> list;
        for (const HeardSong::Change& change : changes) {
            list.push_back(change.value);
        }
        return list;
    };
    const auto expectFrames = [](const std::vector<HeardSong::Change>& changes, const std::vector<double>& frames) {
        ASSERT_EQ(changes.size(), frames.size());
        for (std::size_t i = 0; i < frames.size(); ++i) {
            EXPECT_NEAR(static_cast<double>(changes[i].frame), frames[i], kMillisecond) << i;
        }
    };
    // C4 is index 21, E4 25, G4 28.
    const HeardSong legato = hear(compile("A t240 o4 c8&e8 g8\n"));
    ASSERT_EQ(legato.notes.size(), 2u);
    EXPECT_NEAR(static_cast<double>(legato.notes[0].release), 12000.0, kMillisecond);
    EXPECT_NEAR(static_cast<double>(legato.notes[1].frame), 12000.0, kMillisecond);
    EXPECT_EQ(values(legato.pitches), (std::vector<int>{21, 25, 28}));
    expectFrames(legato.pitches, {0, 6000, 12000});

    const HeardSong slide = hear(compile("A t240 o4 c8~e8\n"));
    ASSERT_EQ(slide.notes.size(), 1u);
    EXPECT_EQ(values(slide.pitches), (std::vector<int>{21, 22, 23, 24, 25}));
    expectFrames(slide.pitches, {0, 6000, 6500, 7000, 7500});

    const HeardSong bent = hear(compile("@a1 = { 0 12 }\n@p1 = { 0 -1 -2 }\nA t240 o4 @a1 @p1 c8\n"));
    EXPECT_EQ(values(bent.pitches), (std::vector<int>{21, 32, 31}));
    expectFrames(bent.pitches, {0, 500, 1000});

    // A quarter at q2: its share ends at 3000, then 8 4 0 a tick each.
    const HeardSong released = hear(compile("@v1 = { 15 | 12 / 8 4 0 }\nA t240 o4 q2 @v1 c4 r4\n"));
    ASSERT_EQ(released.notes.size(), 1u);
    EXPECT_EQ(values(released.volumes), (std::vector<int>{128, 102, 68, 34, 0}));
    expectFrames(released.volumes, {0, 500, 3000, 3500, 4000});
    EXPECT_NEAR(static_cast<double>(released.notes[0].release), 4500.0, kMillisecond);
    // No room before the next note: the release is skipped.
    const HeardSong cut = hear(compile("@v1 = { 15 / 8 4 0 }\nA t240 o4 @v1 c4 c4\n"));
    ASSERT_EQ(cut.notes.size(), 2u);
    EXPECT_NEAR(static_cast<double>(cut.notes[0].release), 12000.0, kMillisecond);
    EXPECT_EQ(values(cut.volumes), (std::vector<int>{128}));
}

// What the piano roll edits: each note and rest where it is written, once
// a use, with the octave and transpose it is read in, columns in
// characters.
TEST(Mml, SpansAreTheNotesAndRestsWhereTheyAreWritten)
{
    const auto row = [](const MmlSpan& span) {
        return std::vector<long long>{static_cast<long long>(span.start), static_cast<long long>(span.length),
                                      span.pitch, static_cast<long long>(span.place.line),
                                      static_cast<long long>(span.place.column), span.octave, span.transpose};
    };
    const MmlSpans spans = mmlSpans("#title \"Été\"\n$p = c d\nA o4 l8 c r4 >d4.^16 k2 e\nB/*é*/ [$p]2 r\n");
    EXPECT_FALSE(spans.failed);
    ASSERT_EQ(spans.channels[0].size(), 4u);
    EXPECT_EQ(row(spans.channels[0][0]), (std::vector<long long>{0, 1536, 21, 3, 9, 4, 0}));
    EXPECT_EQ(row(spans.channels[0][1]), (std::vector<long long>{1536, 3072, -1, 3, 11, 4, 0}));
    EXPECT_EQ(row(spans.channels[0][2]), (std::vector<long long>{4608, 5376, 35, 3, 15, 5, 0}));
    EXPECT_EQ(row(spans.channels[0][3]), (std::vector<long long>{9984, 1536, 39, 3, 25, 5, 2}));
    // A phrase played twice: two spans at each of its notes, on its line.
    ASSERT_EQ(spans.channels[1].size(), 5u);
    EXPECT_EQ(row(spans.channels[1][2]), (std::vector<long long>{6144, 3072, 21, 2, 6, 4, 0}));
    EXPECT_EQ(spans.channels[1][0].place.column, spans.channels[1][2].place.column);
    EXPECT_EQ(row(spans.channels[1][4]), (std::vector<long long>{12288, 3072, -1, 4, 14, 4, 0}));
    // A later song of several: its own lines.
    const MmlSpans second = mmlSpans("#song one\nA c\n#song two\nA r d\n", "two");
    ASSERT_EQ(second.channels[0].size(), 2u);
    EXPECT_EQ(row(second.channels[0][1]), (std::vector<long long>{3072, 3072, 23, 4, 5, 4, 0}));
    EXPECT_TRUE(mmlSpans("A c x\n").failed);
}

}  // namespace
