// libsqn's music for games as a game uses it: the beats, bars, loop passes
// and cues of songs mml2sqn compiles, a jump at the next bar, an effect
// over the music, gain and fades.

#include "process_test.h"

#include <sqn/sqn.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace {

struct PlayerCloser {
    void operator()(sqn_player* player) const { sqn_player_close(player); }
};
using Player = std::unique_ptr<sqn_player, PlayerCloser>;

class GameMusic : public ProcessTest {
protected:
    // The song mml2sqn makes of `text`.
    Bytes compiled(const std::string& text)
    {
        writeFile("song.mml", Bytes(text.begin(), text.end()));
        const Result r = runArgs({MML2SQN_BINARY, path("song.mml"), path("song.sqn")});
        EXPECT_EQ(r.status, 0) << r.err;
        return readFile(path("song.sqn"));
    }

    static Player open(const Bytes& song, bool looping = true)
    {
        Player player(sqn_player_open(song.data(), song.size(), 48000));
        EXPECT_NE(player, nullptr);
        sqn_player_set_looping(player.get(), looping ? 1 : 0);
        return player;
    }

    // Renders `frames` in blocks of `block`, keeping the events polled.
    static std::vector<float> render(sqn_player* player, std::uint64_t frames, std::vector<sqn_event>* events = nullptr,
                                     std::size_t block = 1024)
    {
        std::vector<float> out(2 * frames);
        for (std::uint64_t at = 0; at < frames; at += block) {
            const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(block, frames - at));
            sqn_player_render_f32(player, out.data() + 2 * at, count);
            sqn_event polled[64];
            for (std::size_t got; (got = sqn_player_poll_events(player, polled, 64)) > 0;) {
                if (events != nullptr) {
                    events->insert(events->end(), polled, polled + got);
                }
            }
        }
        return out;
    }

    static std::vector<sqn_event> ofKind(const std::vector<sqn_event>& events, int kind)
    {
        std::vector<sqn_event> chosen;
        std::copy_if(events.begin(), events.end(), std::back_inserter(chosen),
                     [kind](const sqn_event& e) { return e.kind == kind; });
        return chosen;
    }
};

// Beats and bars land within a millisecond of the song's beats, through a
// tempo change in the loop and three passes round it, each pass told as
// the song goes back to its loop point.
TEST_F(GameMusic, BeatsAndBarsKeepTheSongsTimeThroughTempoChangesAndPasses)
{
    // Two bars at 120 (an intro), then the loop: a bar at 120, a bar at 150.
    const Bytes song = compiled("A t120 o4 l4 [c e g e]2 L [c g]2 t150 [e g]2\nE l8 [c]16 L [c]16\n");
    const Player player = open(song);
    EXPECT_EQ(sqn_player_loop_frame(player.get()), 2u * 4 * 24000);
    const double intro = 8 * 24000.0;
    const double pass = 4 * 24000.0 + 4 * 19200.0;  // frames, exactly
    std::vector<sqn_event> events;
    render(player.get(), static_cast<std::uint64_t>(intro + 3 * pass + 4000), &events);
    // The beats the song has, in frames.
    std::vector<double> beats;
    for (int i = 0; i < 8; ++i) {
        beats.push_back(i * 24000.0);
    }
    for (int p = 0; p < 3; ++p) {
        const double start = intro + p * pass;
        for (int i = 0; i < 4; ++i) {
            beats.push_back(start + i * 24000.0);
        }
        for (int i = 0; i < 4; ++i) {
            beats.push_back(start + 96000.0 + i * 19200.0);
        }
    }
    const std::vector<sqn_event> told = ofKind(events, SQN_EVENT_BEAT);
    ASSERT_GE(told.size(), beats.size());
    for (std::size_t i = 0; i < beats.size(); ++i) {
        EXPECT_NEAR(static_cast<double>(told[i].frame), beats[i], 48.0) << "beat " << i;
        EXPECT_EQ(told[i].value, i % 4 + 1) << "beat " << i;
    }
    const std::vector<sqn_event> bars = ofKind(events, SQN_EVENT_BAR);
    ASSERT_GE(bars.size(), 8u);
    const unsigned expectedBars[] = {1, 2, 3, 4, 3, 4, 3, 4};  // back to bar 3 each pass
    for (std::size_t i = 0; i < std::size(expectedBars); ++i) {
        EXPECT_EQ(bars[i].value, expectedBars[i]) << "bar " << i;
        EXPECT_EQ(bars[i].frame, told[4 * i].frame) << "bar " << i;
    }
    const std::vector<sqn_event> loops = ofKind(events, SQN_EVENT_LOOP);
    ASSERT_EQ(loops.size(), 3u);
    for (std::size_t p = 0; p < loops.size(); ++p) {
        EXPECT_EQ(loops[p].value, p + 1);
        EXPECT_NEAR(static_cast<double>(loops[p].frame), intro + static_cast<double>(p + 1) * pass, 48.0);
    }
    // The time at the next frame: in the last pass, at 150 beats a minute.
    sqn_time time{};
    ASSERT_EQ(sqn_player_time(player.get(), &time), 0);
    EXPECT_EQ(time.frame, static_cast<std::uint64_t>(intro + 3 * pass + 4000));
    EXPECT_EQ(time.pass, 3u);
    EXPECT_EQ(time.bar, 3u);
    EXPECT_EQ(time.beat, 1u);
    EXPECT_NEAR(time.beat_phase, 4000.0 / 24000.0, 0.01);
    EXPECT_DOUBLE_EQ(time.bpm, 120.0);
    EXPECT_EQ(time.beats_per_bar, 4u);
}

// #meter 3 gives bars of three beats; a song without a map counts its
// header's tempo, four beats a bar.
TEST_F(GameMusic, TheMeterSetsTheBarsAndASongWithoutAMapHasFourBeats)
{
    const Player waltz = open(compiled("#meter 3\nA t90 o4 [c e g]4\n"), false);
    std::vector<sqn_event> events;
    render(waltz.get(), 12 * 32000, &events);
    const std::vector<sqn_event> bars = ofKind(events, SQN_EVENT_BAR);
    ASSERT_EQ(bars.size(), 4u);
    for (std::size_t i = 0; i < bars.size(); ++i) {
        EXPECT_EQ(bars[i].value, i + 1);
        EXPECT_NEAR(static_cast<double>(bars[i].frame), static_cast<double>(i) * 96000.0, 48.0);
    }
    sqn_time time{};
    sqn_player_time(waltz.get(), &time);
    EXPECT_EQ(time.beats_per_bar, 3u);
    EXPECT_DOUBLE_EQ(time.bpm, 90.0);

    // tempo 100, 4 rows a beat: a beat is 0.6 s.
    const Bytes plain{100, 4, 0, 2, 16, 0, 1, 16, 0, 1, 16, 0, 6, 0};
    const Player player = open(plain, false);
    std::vector<sqn_event> beats;
    render(player.get(), 3 * 28800 + 10, &beats);
    const std::vector<sqn_event> told = ofKind(beats, SQN_EVENT_BEAT);
    ASSERT_EQ(told.size(), 4u);
    EXPECT_EQ(told[3].frame, 3u * 28800);
}

// Cues by name: their names and indices, an event as each is passed, and a
// jump at the next bar that plays on exactly as a seek to the cue does
// from that bar on.
TEST_F(GameMusic, AJumpAtTheBarIsASeekToTheCueFromThatBar)
{
    const Bytes song = compiled("A t140 o4 l8 !calm [c e g e]4 L !fight [> c < g a g]4 !boss [c c > c < c]4\n"
                                "D o3 !calm c1 c1 L !fight [g2 e2]2 !boss c1 c1\n"
                                "F l8 r1 r1 L [c r c c]4 !boss [c c]8\n");
    const Player player = open(song);
    EXPECT_STREQ(sqn_player_cue_name(player.get(), 0), "calm");
    EXPECT_STREQ(sqn_player_cue_name(player.get(), 1), "fight");
    EXPECT_STREQ(sqn_player_cue_name(player.get(), 2), "boss");
    EXPECT_EQ(sqn_player_cue_name(player.get(), 3), nullptr);
    EXPECT_EQ(sqn_player_cue_index(player.get(), "boss"), 2);
    EXPECT_EQ(sqn_player_cue_index(player.get(), "none"), -1);
    EXPECT_EQ(sqn_player_jump(player.get(), "none", SQN_AT_BAR), -1);
    EXPECT_EQ(sqn_player_jump(player.get(), "boss", 7), -1);

    // Where each cue is first passed.
    const Player scout = open(song);
    std::vector<sqn_event> events;
    render(scout.get(), 20 * 48000, &events);
    const std::vector<sqn_event> cues = ofKind(events, SQN_EVENT_CUE);
    ASSERT_GE(cues.size(), 3u);
    EXPECT_EQ(cues[0].value, 0u);
    EXPECT_EQ(cues[0].frame, 0u);
    EXPECT_EQ(cues[2].value, 2u);
    const std::uint64_t boss = cues[2].frame;

    // A jump asked for a little into the second bar is taken at the third.
    std::vector<sqn_event> played;
    const std::vector<float> before = render(player.get(), 110000, &played);
    ASSERT_EQ(sqn_player_jump(player.get(), "boss", SQN_AT_BAR), 0);
    const std::size_t told = played.size();
    const std::vector<float> after = render(player.get(), 120000, &played, 700);
    const auto bar = static_cast<std::uint64_t>(std::round(2 * 4 * 48000 * 60.0 / 140));
    // The cue is told as the jump is taken; then the song's bars from there.
    const auto cue = std::find_if(played.begin() + static_cast<std::ptrdiff_t>(told), played.end(),
                                  [](const sqn_event& e) { return e.kind == SQN_EVENT_CUE; });
    ASSERT_NE(cue, played.end());
    EXPECT_EQ(cue->value, 2u);
    EXPECT_EQ(cue->frame, bar);
    const auto next = std::find_if(cue, played.end(), [](const sqn_event& e) { return e.kind == SQN_EVENT_BAR; });
    ASSERT_NE(next, played.end());
    EXPECT_EQ(next->value, 5u);  // where the boss's part begins
    EXPECT_NEAR(static_cast<double>(next->frame), static_cast<double>(bar), 48.0);

    const Player sought = open(song);
    sqn_player_seek(sought.get(), boss);
    const std::vector<float> expected = render(sought.get(), 230000 - bar);
    ASSERT_GT(bar, before.size() / 2);
    const std::vector<float> jumped(after.begin() + 2 * static_cast<std::ptrdiff_t>(bar - before.size() / 2), after.end());
    ASSERT_EQ(jumped.size(), expected.size());
    EXPECT_TRUE(jumped == expected);
    // The player's frames went on counting through the jump.
    sqn_time time{};
    sqn_player_time(player.get(), &time);
    EXPECT_EQ(time.frame, 230000u);
}

// Where the music goes on from a place a few frames past a bar line (a
// cue, a seek, the loop point: notes fall a hair off the exact beat), that
// bar is told there, once, rather than lost.
TEST_F(GameMusic, ABarJustBehindAJumpSeekOrLoopIsToldWhereTheMusicGoesOn)
{
    // 130 beats a minute, 24 rows a beat: rows and beats fall between frames.
    const Bytes song = compiled("A t130 o4 l4 !one [c e g e]2 L !two [c g c g]2 !three [e g e g]2\n");
    const Player scout = open(song);
    std::vector<sqn_event> events;
    render(scout.get(), 6 * 4 * 22154, &events);
    const std::vector<sqn_event> cues = ofKind(events, SQN_EVENT_CUE);
    ASSERT_GE(cues.size(), 3u);
    const std::uint64_t three = cues[2].frame;
    const std::vector<sqn_event> bars = ofKind(events, SQN_EVENT_BAR);
    // Bars 1 … 6, then back to bar 3 with the pass, at the loop's frame.
    ASSERT_GE(bars.size(), 7u);
    for (unsigned i = 0; i < 6; ++i) {
        EXPECT_EQ(bars[i].value, i + 1);
    }
    EXPECT_EQ(bars[6].value, 3u);
    EXPECT_EQ(bars[6].frame, ofKind(events, SQN_EVENT_LOOP).at(0).frame);

    // A seek to the cue, then a jump to it now: bar 5 is told first, at the
    // frame the music goes on from, whether or not the cue lies exactly on it.
    const Player sought = open(song);
    sqn_player_seek(sought.get(), three + 20);
    std::vector<sqn_event> after;
    render(sought.get(), 4000, &after);
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after[0].kind, SQN_EVENT_BAR);
    EXPECT_EQ(after[0].value, 5u);
    EXPECT_EQ(after[0].frame, three + 20);
    EXPECT_EQ(ofKind(after, SQN_EVENT_BAR).size(), 1u);

    const Player jumped = open(song);
    render(jumped.get(), 10000);
    ASSERT_EQ(sqn_player_jump(jumped.get(), "three", SQN_AT_NOW), 0);
    std::vector<sqn_event> told;
    render(jumped.get(), 4000, &told);
    const std::vector<sqn_event> jumpBars = ofKind(told, SQN_EVENT_BAR);
    ASSERT_EQ(jumpBars.size(), 1u);
    EXPECT_EQ(jumpBars[0].value, 5u);
    EXPECT_EQ(jumpBars[0].frame, 10000u);

    // Two seconds past the bar is not "just behind": nothing is told late.
    const Player far = open(song);
    sqn_player_seek(far.get(), three + 96000);
    std::vector<sqn_event> later;
    render(far.get(), 100, &later);
    EXPECT_TRUE(later.empty());
}

// An effect over the music: the music with the effect's voices muted for
// its length, plus the effect alone, sample for sample.
TEST_F(GameMusic, AnEffectIsTheMusicWithItsVoicesMutedPlusTheEffect)
{
    const Bytes music = compiled("A t120 o4 l8 [c e g e]8\nB o3 l4 [c g]8\nE l8 [c r]16\n");
    const Bytes effect = compiled("A t240 o6 l16 c e g > c\nB o5 l16 g > c e g\nE l16 c c\n");
    const std::uint64_t start = 30000;
    const Player game = open(music, false);
    render(game.get(), start);
    const unsigned voices = 0b010011;  // A, B and E of the music give way
    const int id = sqn_player_play_effect(game.get(), effect.data(), effect.size(), voices);
    EXPECT_GE(id, 0);
    EXPECT_EQ(sqn_player_play_effect(game.get(), effect.data(), effect.size(), 0), -1);
    const unsigned char notASong[] = {0, 0};  // tempo 0
    EXPECT_EQ(sqn_player_play_effect(game.get(), notASong, sizeof notASong, 1), -1);
    std::vector<sqn_event> events;
    const std::vector<float> heard = render(game.get(), 96000, &events, 333);

    // The effect's length: sqn2wav's, whole blocks.
    const Player alone = open(effect, false);
    const std::uint64_t length = (sqn_player_length(alone.get()) + 511) / 512 * 512;
    const Player muted = open(music, false);
    render(muted.get(), start);
    for (unsigned v = 0; v < 6; ++v) {
        sqn_player_set_muted(muted.get(), v, (voices >> v) & 1u);
        sqn_player_set_muted(alone.get(), v, !((voices >> v) & 1u));
    }
    std::vector<float> expected = render(muted.get(), length);
    for (unsigned v = 0; v < 6; ++v) {
        sqn_player_set_muted(muted.get(), v, 0);
    }
    const std::vector<float> rest = render(muted.get(), 96000 - length);
    const std::vector<float> sound = render(alone.get(), length);
    for (std::size_t i = 0; i < sound.size(); ++i) {
        expected[i] += sound[i];
    }
    expected.insert(expected.end(), rest.begin(), rest.end());
    EXPECT_TRUE(heard == expected);
    // Its end is told, with its id, as the music's voices come back.
    const std::vector<sqn_event> ended = ofKind(events, SQN_EVENT_EFFECT_END);
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].value, static_cast<unsigned>(id));
    EXPECT_EQ(ended[0].frame, start + length);
}

// Gain: half the float mix at 0.5, and 1 as it was; a fade falls evenly,
// frame by frame, and stays where it ends.
TEST_F(GameMusic, GainHalvesTheMixAndAFadeFallsEvenlyToItsEnd)
{
    const Bytes song = compiled("A t120 o4 l8 [c e g e]8\nE l4 [c]8\n");
    const Player whole = open(song, false);
    const Player half = open(song, false);
    ASSERT_EQ(sqn_player_set_gain(half.get(), 0.5f), 0);
    EXPECT_EQ(sqn_player_set_gain(half.get(), NAN), -1);
    const std::vector<float> a = render(whole.get(), 60000);
    const std::vector<float> b = render(half.get(), 60000);
    for (std::size_t i = 0; i < a.size(); ++i) {
        ASSERT_EQ(b[i], a[i] * 0.5f) << i;
    }
    const Player faded = open(song, false);
    ASSERT_EQ(sqn_player_fade(faded.get(), 0.0f, 48000), 0);
    const std::vector<float> c = render(faded.get(), 60000);
    double last = 2.0;
    for (std::size_t i = 0; i < 2 * 48000; i += 2) {
        if (std::abs(a[i]) > 0.01f) {
            const double gain = c[i] / a[i];
            EXPECT_LE(gain, last + 1e-6) << i;
            last = gain;
        }
    }
    EXPECT_LT(last, 0.01);
    for (std::size_t i = 2 * 48000; i < c.size(); ++i) {
        ASSERT_EQ(c[i], 0.0f) << i;
    }
    // The same calls give the same samples.
    const Player again = open(song, false);
    sqn_player_fade(again.get(), 0.0f, 48000);
    EXPECT_TRUE(render(again.get(), 60000, nullptr, 777) == c);
}

// The map and the cues change nothing that is heard: every example's WAV is
// the same with them and without.
TEST_F(GameMusic, TheMapChangesNothingHeard)
{
    for (const char* name : {"tune.mml", "arcade.mml", "chase.mml"}) {
        const std::string source = std::string(EXAMPLES_DIR) + "/" + name;
        ASSERT_EQ(runArgs({MML2SQN_BINARY, source, path("with.sqn")}).status, 0);
        const Bytes with = readFile(path("with.sqn"));
        Bytes without(with.begin(), with.begin() + 2);
        for (std::size_t i = 2; i + 3 <= with.size(); i += 3) {
            if (with[i] != 0xF0 && with[i] != 0xF1) {
                without.insert(without.end(), with.begin() + static_cast<std::ptrdiff_t>(i),
                               with.begin() + static_cast<std::ptrdiff_t>(i + 3));
            }
        }
        ASSERT_LT(without.size(), with.size()) << name;
        writeFile("without.sqn", without);
        ASSERT_EQ(runArgs({SQN2WAV_BINARY, path("with.sqn"), path("with.wav")}).status, 0);
        ASSERT_EQ(runArgs({SQN2WAV_BINARY, path("without.sqn"), path("without.wav")}).status, 0);
        EXPECT_TRUE(readFile(path("with.wav")) == readFile(path("without.wav"))) << name;
    }
}

}  // namespace
