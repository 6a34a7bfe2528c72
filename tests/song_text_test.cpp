#include "note_names.h"
#include "song_bytes.h"
#include "song_text.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>

namespace {

TEST(NoteNames, MapTheTableFromDSharp2ToB8)
{
    const std::pair<int, const char*> names[] = {
        {0, "D#2"}, {1, "E2"}, {9, "C3"}, {21, "C4"}, {30, "A4"}, {33, "C5"}, {40, "G5"}, {41, "G#5"}, {80, "B8"},
    };
    for (const auto& [index, name] : names) {
        EXPECT_EQ(noteName(static_cast<std::uint8_t>(index)), name);
        EXPECT_EQ(noteIndex(name), index) << name;
    }
    EXPECT_EQ(noteIndex("Eb2"), 0);
    EXPECT_EQ(noteIndex("c5"), 33);
    EXPECT_EQ(noteIndex("Cb6"), 44);  // B5
    EXPECT_EQ(noteIndex("DB5"), noteIndex("Db5"));  // a flat in any case
    EXPECT_EQ(noteIndex("DB5"), 34);  // C#5
    for (const char* bad : {"D2", "C9", "H5", "C", "C#", "C55", "", "5", "G#x", "Bb"}) {
        EXPECT_FALSE(noteIndex(bad)) << bad;
    }
}

std::vector<std::uint8_t> assemble(const std::string& text)
{
    std::vector<TextError> errors;
    const auto bytes = assembleSong(text, errors);
    EXPECT_TRUE(bytes.has_value()) << (errors.empty() ? "" : errors[0].message);
    return bytes.value_or(std::vector<std::uint8_t>{});
}

TEST(Assembler, EveryStatement)
{
    const std::string text =
        "# a comment line\n"
        "tempo 120 4   # header\n"
        "\n"
        "pitch 0 G5\n"
        "volume 0 0.75\n"
        "volume 1 96\n"
        "note 0 4\n"
        "\twait 0 4\r\n"
        "loop-start 0 0\n"
        "pitch 3 Eb2\n"
        "pitch 2 200\n"
        "loop-end 0 2\n"
        "9 7 255  # any command and voice byte\n"
        "bytes 1 2\n";
    EXPECT_EQ(assemble(text), (Bytes{120, 4, 0, 4, 40, 0, 3, 96, 1, 3, 96, 0, 2, 4, 0, 1, 4, 0, 5, 0,
                                     3, 4, 0, 2, 4, 200, 0, 6, 2, 7, 9, 255, 1, 2}));
    EXPECT_EQ(assemble(""), Bytes{});
    EXPECT_EQ(assemble("# nothing\n\n"), Bytes{});
    EXPECT_EQ(assemble("bytes 7"), Bytes{7});
    EXPECT_EQ(assemble("tempo 0 0\nnote 0 1"), (Bytes{0, 0, 0, 2, 1}));
    // Fractions round to the nearest 1/128, up (0.504 is 64.512 steps) as
    // well as down (0.3 is 38.4).
    EXPECT_EQ(assemble("tempo 1 1\nvolume 0 1.9921875\nvolume 0 0.3\nvolume 0 1.0\nvolume 0 0.504"),
              (Bytes{1, 1, 0, 3, 255, 0, 3, 38, 0, 3, 128, 0, 3, 65}));
}

// The music's map: each record a statement of its own, its events the
// ones a player reads, and back again the same.
TEST(Assembler, MapStatements)
{
    const std::string text =
        "tempo 120 4\n"
        "map tempo 140\n"
        "map tempo-us 500000\n"
        "map meter 6 8\n"
        "map moment -12\n"
        "map cue 3\n"
        "map cue-name 3 boss-1\n"
        "note 0 1\n";
    const Bytes song = assemble(text);
    EXPECT_EQ(song, (Bytes{120, 4,                                                          //
                           0xF0, 1, 140,                                                    //
                           0xF0, 2, 0x07, 0xF1, 0xA1, 0x20,                                 //
                           0xF0, 3, 6, 0xF1, 8, 0,                                          //
                           0xF0, 4, 0xFF, 0xF1, 0xF4, 0,                                    //
                           0xF0, 5, 3,                                                      //
                           0xF0, 6, 3, 0xF1, 'b', 'o', 0xF1, 's', 's', 0xF1, '-', '1', 0xF1, 0, 0,  //
                           0, 2, 1}));
    const std::string listed = disassembleSong(song);
    for (const char* statement : {"map tempo 140 ", "map tempo-us 500000 ", "map meter 6 8 ", "map moment -12 ",
                                  "map cue 3 ", "map cue-name 3 boss-1 "}) {
        EXPECT_NE(listed.find(std::string("\n") + statement), std::string::npos) << statement << "\n" << listed;
    }
    EXPECT_EQ(assemble(listed), song);

    // Map events that read as no record (cut short, a note value of 3, a
    // name no game could ask for) are listed one by one, and come back.
    const Bytes odd{120, 4, 0xF0, 2, 7, 0, 2, 1, 0xF0, 3, 6, 0xF1, 3, 0, 0xF0, 6, 0, 0xF1, ' ', 0, 0xF0, 6, 1, 0, 2, 1};
    const std::string oddText = disassembleSong(odd);
    EXPECT_EQ(oddText.find("map tempo-us"), std::string::npos) << oddText;
    EXPECT_EQ(oddText.find("map meter"), std::string::npos) << oddText;
    EXPECT_EQ(oddText.find("map cue-name"), std::string::npos) << oddText;
    EXPECT_EQ(assemble(oddText), odd);
}

TEST(Assembler, ErrorsNameLineColumnAndWhatWasExpected)
{
    struct Case {
        std::string text;
        std::size_t line;
        std::size_t column;
        std::string message;
    };
    const Case cases[] = {
        {"note 0 1", 1, 1, "expected a tempo line before the first event, found 'note'"},
        {"tempo 120", 1, 10, "expected rows a beat, 0 … 255, found the end of the line"},
        {"tempo 120 4 5", 1, 13, "expected the end of the line, found '5'"},
        {"tempo 256 4", 1, 7, "expected a tempo in beats a minute, 0 … 255, found '256'"},
        {"tempo 1 1\ntempo 1 1", 2, 1, "expected one tempo line only, found 'tempo'"},
        {"tempo 1 1\n  play 0 1", 2, 3,
         "expected tempo, bytes, a command (wait, note, volume, pitch, loop-start, loop-end) or a command "
         "byte 0 … 255, found 'play'"},
        {"tempo 1 1\nnote x 1", 2, 6, "expected a voice 0 … 5 (or any byte 0 … 255), found 'x'"},
        {"tempo 1 1\nnote 0", 2, 7, "expected a gate length in rows, 0 … 255, found the end of the line"},
        {"tempo 1 1\npitch 0 C2", 2, 9, "expected a pitch: a note name D#2 … B8 or an index 0 … 255, found 'C2'"},
        {"tempo 1 1\nvolume 0 2.0", 2, 10,
         "expected a volume: a fraction of unity 0.0 … 1.9921875 or a step count 0 … 255, found '2.0'"},
        {"tempo 1 1\nvolume 0 .5", 2, 10,
         "expected a volume: a fraction of unity 0.0 … 1.9921875 or a step count 0 … 255, found '.5'"},
        {"tempo 1 1\nwait 0 -1", 2, 8, "expected rows to wait, 0 … 255, found '-1'"},
        {"tempo 1 1\nwait 0 1.5", 2, 8, "expected rows to wait, 0 … 255, found '1.5'"},
        {"tempo 1 1\n9 0 x", 2, 5, "expected a parameter byte 0 … 255, found 'x'"},
        {"tempo 1 1\nbytes 1 2 3", 2, 11, "expected the end of the line, found '3'"},
        {"bytes 1 2", 1, 9, "expected the end of the line, found '2'"},
        {"bytes 1\nwait 0 1", 2, 1, "expected nothing after the trailing bytes, found 'wait'"},
        // At most three digits: a fourth is no byte, even a leading zero.
        {"tempo 1 1\nwait 0 0255", 2, 8, "expected rows to wait, 0 … 255, found '0255'"},
        // A point needs a digit after it.
        {"tempo 1 1\nvolume 0 1.", 2, 10,
         "expected a volume: a fraction of unity 0.0 … 1.9921875 or a step count 0 … 255, found '1.'"},
        {"map tempo 120", 1, 1, "expected a tempo line before the first event, found 'map'"},
        {"tempo 1 1\nmap", 2, 4,
         "expected a map record (tempo, tempo-us, meter, moment, cue or cue-name), found the end of the line"},
        {"tempo 1 1\nmap bpm 120", 2, 5,
         "expected a map record (tempo, tempo-us, meter, moment, cue or cue-name), found 'bpm'"},
        {"tempo 1 1\nmap tempo 0", 2, 11, "expected beats a minute, 1 … 255, found '0'"},
        {"tempo 1 1\nmap tempo-us 16777216", 2, 14, "expected microseconds a quarter note, 1 … 16777215, found '16777216'"},
        {"tempo 1 1\nmap meter 3 6", 2, 13, "expected the note value of a beat, 1, 2, 4 … 128, found '6'"},
        {"tempo 1 1\nmap meter 3", 2, 12, "expected the note value of a beat, 1, 2, 4 … 128, found the end of the line"},
        {"tempo 1 1\nmap moment 32768", 2, 12, "expected frames at 48000 Hz, -32768 … 32767, found '32768'"},
        {"tempo 1 1\nmap cue 255", 2, 9, "expected a cue's index, 0 … 254, found '255'"},
        {"tempo 1 1\nmap cue-name 0", 2, 15, "expected the cue's name, found the end of the line"},
        {"tempo 1 1\nmap cue-name 0 the.end", 2, 16,
         "expected a cue name of letters, digits, _ and -, at most 64 bytes, found 'the.end'"},
        {"tempo 1 1\nmap cue 1 2", 2, 11, "expected the end of the line, found '2'"},
    };
    for (const Case& c : cases) {
        std::vector<TextError> errors;
        EXPECT_FALSE(assembleSong(c.text, errors)) << c.text;
        ASSERT_EQ(errors.size(), 1u) << c.text;
        EXPECT_EQ(errors[0].line, c.line) << c.text;
        EXPECT_EQ(errors[0].column, c.column) << c.text;
        EXPECT_EQ(errors[0].message, c.message);
    }

    std::vector<TextError> errors;
    EXPECT_FALSE(assembleSong("tempo 1 1\nnote 0 x\nwait 0 1\nnote 9 300\n", errors));
    ASSERT_EQ(errors.size(), 2u);  // every bad line, one error each
    EXPECT_EQ(errors[1].line, 4u);
}

TEST(Disassembler, CommentsTheWorkedExampleWithItsFrames)
{
    const std::string text = disassembleSong(kWorkedExample);
    EXPECT_EQ(text,
              "tempo 120 4             # a row is 0.125 s\n"
              "pitch 0 G5              # frame 0, 0.000000 s\n"
              "volume 0 1.0            # frame 0, 0.000000 s\n"
              "note 0 4                # frame 0, 0.000000 s\n"
              "wait 0 4                # frame 1, 0.000021 s\n"
              "note 4 0                # frame 24004, 0.500083 s\n"
              "loop-end 0 0            # frame 24005, 0.500104 s\n"
              "# ends in frame 24005, 0.500104 s; sqn2wav writes 47 blocks, 24064 frames, 0.501333 s\n");
}

TEST(Disassembler, MarksWhatTheRendererSkipsOrNeverReaches)
{
    // A 540 s wait takes no time to follow; events after the end mark are
    // taken until the block ends, and those past it never.
    Bytes song{1, 1, 0, 1, 9, 0, 6, 0, 7, 2, 1, 0, 9, 0, 0, 4, 255, 0, 4, 81, 0, 1, 1, 0, 2, 0, 5};
    const std::string text = disassembleSong(song);
    EXPECT_NE(text.find("wait 0 9                # frame 0, 0.000000 s\n"), std::string::npos) << text;
    EXPECT_NE(text.find("loop-end 0 0            # frame 25920002, 540.000042 s\n"), std::string::npos) << text;
    EXPECT_NE(text.find("note 7 1                # frame 25920003, 540.000063 s; no such voice: skipped\n"),
              std::string::npos) << text;
    EXPECT_NE(text.find("9 0 0                   # frame 25920003, 540.000063 s; no such command: does nothing\n"),
              std::string::npos) << text;
    // Every index past the table's last, 80 (B8), plays that last one.
    EXPECT_NE(text.find("pitch 0 255             # frame 25920004, 540.000083 s; plays B8\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("pitch 0 81              # frame 25920004, 540.000083 s; plays B8\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("note 0 0                # not reached: the output ends first\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("bytes 5                 # trailing bytes: no event\n"), std::string::npos) << text;

    EXPECT_EQ(disassembleSong({0, 4, 0, 2, 1}),
              "tempo 0 4               # a zero byte: sqn2wav fails to load this song\nnote 0 1\n");
    EXPECT_EQ(disassembleSong({}), "");
}

// Any byte file, read as text and assembled again, gives the same bytes.
TEST(RoundTrip, RandomByteFiles)
{
    std::mt19937 random(20261208);
    for (int trial = 0; trial < 3000; ++trial) {
        Bytes song(random() % 64);
        for (auto& byte : song) {
            // Mostly valid voices, commands and short waits, so that the
            // timeline is exercised as well as the odd bytes.
            byte = static_cast<std::uint8_t>(random() % 4 == 0 ? random() % 256 : random() % 8);
        }
        if (song.size() >= 2 && trial % 2 == 0) {
            song[0] = static_cast<std::uint8_t>(1 + random() % 255);
            song[1] = static_cast<std::uint8_t>(1 + random() % 255);
        }
        const std::string text = disassembleSong(song);
        std::vector<TextError> errors;
        const auto again = assembleSong(text, errors);
        ASSERT_TRUE(again.has_value()) << text << "\n" << (errors.empty() ? "" : errors[0].message);
        ASSERT_EQ(*again, song) << text;
    }
}

TEST(RoundTrip, ExampleSongs)
{
    for (const char* name : {"demo", "chords", "groove", "loops"}) {
        std::ifstream in(std::string(EXAMPLES_DIR) + "/" + name + ".txt");
        const std::string source((std::istreambuf_iterator<char>(in)), {});
        ASSERT_FALSE(source.empty()) << name;
        const Bytes song = assemble(source);
        const Bytes again = assemble(disassembleSong(song));
        EXPECT_EQ(again, song) << name;
    }
}

}  // namespace
