// MML as a composer writes it: every note on the row its place in the bar
// gives, with the pitch, gate and volume written, on every channel; the
// grid chosen from the lengths; the loop; and each mistake at its line and
// column.

#include "mml_compiler.h"
#include "output_format.h"
#include "song_bytes.h"
#include "song_notes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

SongNotes listing(const Bytes& song)
{
    return songNotes(song);
}

MmlResult compile(const std::string& text)
{
    MmlResult result = compileMml(text);
    EXPECT_TRUE(result.errors.empty()) << (result.errors.empty() ? "" : result.errors[0].message) << "\n" << text;
    return result;
}

TEST(Mml, NotesFallOnTheirRowsWithTheirPitchesAndGates)
{
    // 16ths are the shortest: 4 rows a beat. o4c is C4, index 21.
    const MmlResult result = compile("A t150 o4 l8 c d16 e16 f4. > c+ r c- <b-2&8 q4 g4 q8 v12 a1\n");
    EXPECT_EQ(result.tempo, 150);
    EXPECT_EQ(result.rowsPerBeat, 4);
    ASSERT_GE(result.song.size(), 2u);
    EXPECT_EQ(result.song[0], 150);
    EXPECT_EQ(result.song[1], 4);
    const SongNotes song = listing(result.song);
    EXPECT_EQ(song.notes, (std::vector<Played>{
                              {0, 0, 21, 128, 2},    // c8
                              {2, 0, 23, 128, 1},    // d16
                              {3, 0, 25, 128, 1},    // e16
                              {4, 0, 26, 128, 6},    // f4.
                              {10, 0, 34, 128, 2},   // > c+ (C#5)
                              {14, 0, 32, 128, 2},   // c- after a rest: B4
                              {16, 0, 31, 128, 10},  // < b-2&8: B flat 4, a half tied to an eighth
                              {26, 0, 28, 128, 2},   // q4 g4: half of 4 rows
                              {30, 0, 30, 102, 16},  // v12 a1
                          }));
    EXPECT_EQ(song.endRow, 46u);
    EXPECT_EQ(song.loopRow, 0u);
}

TEST(Mml, RepeatsPhrasesTripletsAndChannels)
{
    // Triplet eighths and 16ths together: 12 rows a beat. A phrase, nested
    // repeats, two channels from one line, and lines that join up.
    const MmlResult result = compile(
        "; a comment\n"
        "$up = c12 d12 e12  ; one beat\n"
        "AB o5 [$up [g16]2 r8]2\n"
        "A c4\n"
        "B o3 c4\n");
    EXPECT_EQ(result.rowsPerBeat, 12);
    const SongNotes song = listing(result.song);
    std::vector<Played> expected;
    for (int pass = 0; pass < 2; ++pass) {
        const std::int64_t at = 24 * pass;
        for (int voice = 0; voice < 2; ++voice) {
            expected.push_back({at, voice, 33, 128, 4});
        }
        for (int voice = 0; voice < 2; ++voice) {
            expected.push_back({at + 4, voice, 35, 128, 4});
        }
        for (int voice = 0; voice < 2; ++voice) {
            expected.push_back({at + 8, voice, 37, 128, 4});
        }
        for (int voice = 0; voice < 2; ++voice) {
            expected.push_back({at + 12, voice, 40, 128, 3});
        }
        for (int voice = 0; voice < 2; ++voice) {
            expected.push_back({at + 15, voice, 40, 128, 3});
        }
    }
    expected.push_back({48, 0, 33, 128, 12});
    expected.push_back({48, 1, 9, 128, 12});
    EXPECT_EQ(song.notes, expected);
    EXPECT_EQ(song.endRow, 60u);
}

TEST(Mml, TheLoopAndChannelsOfDifferentLengths)
{
    // Hits play once whatever the length; the shorter channel waits for the
    // longer; the loop point is where L stands in both; the first note after
    // it sets its pitch and volume again, for the passes that come back to it.
    const MmlResult result = compile(
        "A o4 l4 v15 c L d e f g\n"
        "E o4 c L c\n");
    const SongNotes song = listing(result.song);
    EXPECT_EQ(song.notes, (std::vector<Played>{{0, 0, 21, 128, 4},
                                               {0, 4, 21, 128, 0},
                                               {4, 0, 23, 128, 4},
                                               {4, 4, 21, 128, 0},
                                               {8, 0, 25, 128, 4},
                                               {12, 0, 26, 128, 4},
                                               {16, 0, 28, 128, 4}}));
    EXPECT_EQ(song.loopRow, 4u);
    EXPECT_EQ(song.endRow, 20u);
    const std::string text = mmlTextForm(result.text);
    EXPECT_NE(text.find("loop-start 0 4          # L: the loop point is the next event\n"
                        "# bar 1, beat 2\n"
                        "pitch 0 D4\n"
                        "volume 0 1.0\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("pitch 4 C4\nvolume 4 1.0\nnote 4 0                # E, line 2\n"), std::string::npos) << text;
}

TEST(Mml, EachMistakeAtItsLineAndColumn)
{
    struct Case {
        std::string text;
        std::size_t line;
        std::size_t column;
        std::string message;
    };
    const Case cases[] = {
        {"cdef", 1, 1, "expected channel letters A … F or a phrase ($name = …), found 'c'"},
        {"Acdef", 1, 2, "expected a space after the channel letters, found 'c'"},
        {"A o4 c x", 1, 8, "expected a command (c d e f g a b r o < > l t v V q [ ] L $ &), found 'x'"},
        {"A o9 c", 1, 4, "expected an octave 1 … 8, found '9'"},
        {"A o1 c", 1, 6, "expected a note D#2 … B8, found C1"},
        {"A o8 b+", 1, 6, "expected a note D#2 … B8, found C9"},
        {"A c5", 1, 4, "expected a length 1, 2, 3, 4, 6, 8, 12, 16, 24, 32, 48 or 64, found '5'"},
        {"A c 8", 1, 5, "expected a command (c d e f g a b r o < > l t v V q [ ] L $ &), found '8'"},
        {"A t120 c\nB t140 c", 2, 3, "expected one tempo a song (t120 at line 1), found t140"},
        {"A v16 c", 1, 4, "expected a volume 0 … 15, found '16'"},
        {"A q0 c", 1, 4, "expected a gate of 1 … 8 eighths of the length, found '0'"},
        {"A [c d", 1, 3, "expected ] to close this [, found the end of the channel"},
        {"A c d]", 1, 6, "expected a command, found ']' with no [ before it"},
        {"A c4&d4", 1, 6, "expected the same note after &, found another"},
        {"A [L c]", 1, 4, "expected the loop point L outside [ … ], found it inside"},
        {"A $riff c", 1, 3, "expected a phrase defined with $riff = …, found none of that name"},
        {"$a = c $a\nA $a", 1, 8, "expected a phrase that does not use itself, found $a inside $a"},
        {"$a c", 1, 4, "expected = and the phrase after $a, found 'c'"},
        {"$a = c $b\n$b = d $a\nA $a", 2, 8, "expected a phrase that does not use itself, found $a inside $b"},
        {"A c L d\nB c d L e", 2, 7, "expected L at the same time in every channel (as at line 1), found it 2 beats in, not 1 beat"},
        {"A c3 c64...", 1, 7, "expected a length that 255 rows a beat can hold with the others, found one that needs 384 rows a beat"},
        {"A c64.......", 1, 12, "expected at most 6 dots, found more"},
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

// The shipped example: under 60 lines, every voice used, looping, and no
// frame at full scale.
TEST(Mml, TheExampleIsASongThatDoesNotClip)
{
    std::ifstream in(EXAMPLES_DIR "/tune.mml");
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_LE(std::count(text.begin(), text.end(), '\n'), 60);
    const MmlResult result = compile(text);
    const SongNotes song = listing(result.song);
    bool used[6] = {};
    for (const Played& note : song.notes) {
        used[note.voice] = true;
    }
    for (int voice = 0; voice < 6; ++voice) {
        EXPECT_TRUE(used[voice]) << voice;
    }
    EXPECT_GT(song.loopRow, 0u);
    SongPlayer player = driverPlayer();
    ASSERT_TRUE(loadSong(player, result.song));
    Bytes block(kBlockFrames * 4);
    SampleBuffer buffer{SampleFormat::S16, ChannelLayout::Stereo, block.data(), block.size()};
    int peak = 0;
    do {
        player.render(buffer);
        for (std::size_t i = 0; i < block.size(); i += 2) {
            peak = std::max(peak, std::abs(static_cast<std::int16_t>(block[i] | block[i + 1] << 8)));
        }
    } while (!player.finished);
    EXPECT_LT(peak, 32767);
    EXPECT_GT(peak, 8000);  // and not whispered
}

}  // namespace
