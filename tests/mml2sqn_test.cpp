// mml2sqn run as a composer runs it: the song it writes listed by sqndis
// with every note on its row, its text form, its errors, and sqnplay
// playing the MML itself.

#include "memory_read.h"
#include "mml_compiler.h"
#include "process_test.h"
#include "song_player.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

const std::string kCommands = "expected a command (c d e f g a b n r o < > l t v V q k @v @a @p @i [ | ] { } L $ ! & ^ ~)";

class Mml2sqn : public ProcessTest {
protected:
    void writeText(const std::string& name, const std::string& text) const
    {
        writeFile(name, Bytes(text.begin(), text.end()));
    }
};

// Every note a listing by sqndis holds, with the frame sqndis gives it:
// (frame, voice, note name), restarts of held notes (as the text form
// mml2sqn writes names them) left out.
std::vector<std::tuple<long, int, std::string>> notesHeard(const std::string& listing, const std::string& form)
{
    std::vector<std::string> comments;  // of each event in the text form
    std::istringstream formLines(form);
    std::string line;
    while (std::getline(formLines, line)) {
        if (!line.empty() && line[0] != '#' && line.rfind("tempo ", 0) != 0) {
            const std::size_t hash = line.find('#');
            comments.push_back(hash == std::string::npos ? "" : line.substr(hash));
        }
    }
    std::vector<std::tuple<long, int, std::string>> notes;
    std::istringstream lines(listing);
    std::size_t event = 0;
    std::string pitch[6] = {"G5", "G5", "G5", "G5", "G5", "G5"};
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string command;
        std::string param;
        int voice = 0;
        if (command = ""; words >> command && command == "map") {
            ++event;  // a statement of the map, in the listing as in the text form
            continue;
        }
        if (!(words >> voice >> param) || command.empty() || command[0] == '#' || command == "tempo") {
            continue;
        }
        const std::string comment = event < comments.size() ? comments[event] : "";
        ++event;
        if (command == "pitch") {
            pitch[voice] = param;
        } else if (command == "note" && comment.find("held on") == std::string::npos) {
            const std::size_t frame = line.find("# frame ");
            notes.emplace_back(std::stol(line.substr(frame + 8)), voice, pitch[voice]);
        }
    }
    return notes;
}

TEST_F(Mml2sqn, TheSongHoldsTheNotesWritten)
{
    writeText("song.mml",
              "; two channels, a phrase, a repeat, a tie, a triplet and the loop\n"
              "$turn = d8 c8\n"
              "A t120 o5 l4 c [e $turn]2 L g&8 r8 a12 b12 > c12\n"
              "F o3 l2 c c r4 L c c\n");
    Result r = runProgram(MML2SQN_BINARY, path("song.mml") + " " + path("song.sqn"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, std::string(MML2SQN_BINARY) + ": " + path("song.mml") +
                         ": 120 beats a minute, rows of 1.961 ms; 0:04.501 long\n");

    // The text form, for a name ending in .txt in any case, with bars,
    // beats and the MML line of every note; it assembles to the same song.
    r = runProgram(MML2SQN_BINARY, path("song.mml") + " " + path("song.TXT"));
    EXPECT_EQ(r.status, 0);
    const Bytes text = readFile(path("song.TXT"));
    const std::string form(text.begin(), text.end());
    EXPECT_EQ(form.rfind("# mml2sqn 1.3.0 from " + path("song.mml") + ": 120 beats a minute", 0), 0u) << form;
    EXPECT_NE(form.find("# bar 2, beat 2\npitch 0 G5\nvolume 0 1.0\nnote 0 255              # A, line 3\n"),
              std::string::npos)
        << form;
    r = runProgram(SQNASM_BINARY, path("song.TXT") + " " + path("again.sqn"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(path("again.sqn")), readFile(path("song.sqn")));

    // Listed by sqndis, each note within a millisecond (48 frames) of its
    // beat at 120 beats a minute; the loop point at beat 5.
    r = runProgram(SQNDIS_BINARY, path("song.sqn"));
    ASSERT_EQ(r.status, 0);
    const std::vector<std::tuple<double, int, std::string>> expected = {
        {0, 0, "C5"}, {0, 5, "C3"}, {1, 0, "E5"}, {2, 0, "D5"}, {2, 5, "C3"}, {2.5, 0, "C5"}, {3, 0, "E5"},
        {4, 0, "D5"}, {4.5, 0, "C5"}, {5, 0, "G5"}, {5, 5, "C3"}, {7, 0, "A5"}, {7, 5, "C3"},
        {7 + 1.0 / 3, 0, "B5"}, {7 + 2.0 / 3, 0, "C6"}};
    const auto heard = notesHeard(r.out, form);
    ASSERT_EQ(heard.size(), expected.size()) << r.out;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const auto& [beat, voice, name] = expected[i];
        EXPECT_NEAR(static_cast<double>(std::get<0>(heard[i])), beat * 24000.0, 48.0) << i;
        EXPECT_EQ(std::get<1>(heard[i]), voice) << i;
        EXPECT_EQ(std::get<2>(heard[i]), name) << i;
    }
    EXPECT_NE(r.out.find("loop-start 0 "), std::string::npos);

    // Saved with a byte-order mark, as some editors do: the same song.
    const Bytes source = readFile(path("song.mml"));
    writeText("marked.mml", "\xEF\xBB\xBF" + std::string(source.begin(), source.end()));
    r = runProgram(MML2SQN_BINARY, path("marked.mml") + " " + path("marked.sqn"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(path("marked.sqn")), readFile(path("song.sqn")));
}

TEST_F(Mml2sqn, MistakesWriteNothing)
{
    writeFile("out.sqn", {'o', 'l', 'd'});
    writeText("bad.mml", "A o4 c x\nB o9 c\nG c\n");
    Result r = runProgram(MML2SQN_BINARY, path("bad.mml") + " " + path("out.sqn"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, path("bad.mml") + ":1:8: " + kCommands + ", found 'x'\n" + path("bad.mml") +
                         ":2:4: expected an octave 1 … 8, found '9'\n" + path("bad.mml") +
                         ":3:1: expected channel letters A … F (or T, the tempo line), a phrase ($name = …) or an envelope (@v1 = { … }), "
                         "found 'G'\n");
    EXPECT_EQ(readFile(path("out.sqn")), (Bytes{'o', 'l', 'd'}));
    r = runProgram(MML2SQN_BINARY, path("bad.mml") + " " + path("new.sqn"));
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(fs::exists(path("new.sqn")));
    r = runProgram(MML2SQN_BINARY, path("missing.mml") + " " + path("new.sqn"));
    EXPECT_EQ(r.err, std::string(MML2SQN_BINARY) + ": cannot read " + path("missing.mml") +
                         ": No such file or directory\n");
    r = runProgram(MML2SQN_BINARY, path("bad.mml") + " " + path("bad.mml"));
    EXPECT_EQ(r.err, std::string(MML2SQN_BINARY) + ": cannot write " + path("bad.mml") + ": it is the input\n");
    r = runProgram(MML2SQN_BINARY, "--version");
    EXPECT_EQ(r.out, "mml2sqn 1.3.0\n");
}

// Four megabytes of bad lines in two channels: the first hundred errors in
// the order of their lines, the rest counted, and little memory for it (the
// errors are not all kept).
TEST_F(Mml2sqn, AFileOfBadLinesIsToldInLittleMemory)
{
    std::string text;
    for (int line = 0; line < 100000; ++line) {
        text += line % 2 == 0 ? "A" : "B";
        text += " ? ? ? ? ? ? ? ? ? ? ? ? ? ? ? ? ? ? ? ?\n";
    }
    writeText("bad.mml", text);
    const Result r = runArgs({MML2SQN_BINARY, path("bad.mml"), path("out.sqn")}, [] {
        // Memory the sanitizers hold back after it is freed is not the
        // program's.
        ::setenv("ASAN_OPTIONS", "quarantine_size_mb=4", 1);
    });
    EXPECT_EQ(r.status, 1);
    // Twenty errors a line: the first hundred are lines 1 to 5, A's and B's.
    std::istringstream lines(r.err);
    std::string shown;
    for (int line = 1; line <= 5; ++line) {
        for (int column = 3; column <= 41; column += 2) {
            ASSERT_TRUE(std::getline(lines, shown));
            EXPECT_EQ(shown, path("bad.mml") + ":" + std::to_string(line) + ":" + std::to_string(column) +
                                 ": " + kCommands + ", found '?'");
        }
    }
    const std::string last = r.err.substr(r.err.rfind('\n', r.err.size() - 2) + 1);
    EXPECT_EQ(last.rfind(std::string(MML2SQN_BINARY) + ": ", 0), 0u) << last;
    EXPECT_NE(last.find(" more errors not shown\n"), std::string::npos) << last;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 101);
    EXPECT_LT(r.peakKilobytes, 96 * 1024);
    EXPECT_FALSE(fs::exists(path("out.sqn")));
}

// One mistake is one error where it stands, quoted so that a terminal
// shows it, at the column an editor counts in characters: no false error
// about another channel's loop point (its repeats are still timed), none
// where a channel uses an envelope whose definition has the mistake, and
// one, not one a byte, for a character outside ASCII.
TEST_F(Mml2sqn, OneErrorAMistakeAtItsColumnInCharacters)
{
    struct Case {
        std::string text;
        std::string errors;  // after the file's name, each line's
    };
    const Case cases[] = {
        {"A r1 r1 L c\nE [c4]4 r1 L c\nD x\n", ":3:3: " + kCommands + ", found 'x'\n"},
        {"A r1 L c\nE [c | l8 c c]3 L c\nD x\n", ":3:3: " + kCommands + ", found 'x'\n"},
        {"@v1 = { 15 16 }\nA @v1 c\nB @v1 c\n", ":1:12: expected a volume 0 … 15, found '16'\n"},
        {"@a2 = { 0 x }\nA @a2 c\n", ":1:11: expected a semitone offset -48 … +48, found 'x'\n"},
        {"A c é d x\n", ":1:5: " + kCommands + ", found 'é'\n:1:9: " + kCommands + ", found 'x'\n"},
        {"A «c» x\n", ":1:3: " + kCommands + ", found '«'\n:1:5: " + kCommands + ", found '»'\n:1:7: " + kCommands +
                          ", found 'x'\n"},
        {"A c \xff x\n", ":1:5: " + kCommands + ", found '\\xff'\n:1:7: " + kCommands + ", found 'x'\n"},
        {"Ä c\n", ":1:1: expected channel letters A … F (or T, the tempo line), a phrase ($name = …) or an envelope (@v1 = { … }), "
                  "found 'Ä'\n"},
        {"\xEF\xBB\xBF" "A 😀 o9\n", ":1:3: " + kCommands + ", found '😀'\n:1:6: expected an octave 1 … 8, found '9'\n"},
    };
    for (const Case& c : cases) {
        writeText("bad.mml", c.text);
        const Result r = runArgs({MML2SQN_BINARY, path("bad.mml"), path("out.sqn")});
        EXPECT_EQ(r.status, 1) << c.text;
        std::string expected;
        for (std::size_t at = 0; at < c.errors.size();) {
            const std::size_t end = c.errors.find('\n', at) + 1;
            expected += path("bad.mml") + c.errors.substr(at, end - at);
            at = end;
        }
        EXPECT_EQ(r.err, expected) << c.text;
    }
    // The text form's columns are characters too.
    writeText("bad.txt", "tempo 120 4\n# «é»\nnote 0 8 é\n");
    const Result r = runArgs({SQNASM_BINARY, path("bad.txt"), path("out.sqn")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, path("bad.txt") + ":3:10: expected the end of the line, found 'é'\n");
}

// Envelopes that step every tick over a day of notes make a song larger
// than a song file holds: that is told, at once and in little memory.
TEST_F(Mml2sqn, ASongTooLargeIsToldInLittleMemory)
{
    writeText("long.mml", "#tick 96\n@v1 = { | 15 0 }\nA @v1 l8 [[[c]255]255]5\n");  // 23 hours of eighths
    const Result r = runArgs({MML2SQN_BINARY, path("long.mml"), path("long.sqn")},
                             [] { ::setenv("ASAN_OPTIONS", "quarantine_size_mb=4", 1); });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, path("long.mml") + ":1:1: expected a song of at most 16777216 bytes, found more\n");
    EXPECT_LT(r.peakKilobytes, 400 * 1024);
    EXPECT_FALSE(fs::exists(path("long.sqn")));
}

// Past the restarts a song may have, every further held note is cut and
// told: the first hundred places, then how many more, as errors are.
TEST_F(Mml2sqn, WarningsAreBoundedAsErrorsAre)
{
    std::string text = "A t255 [[c1]100]100\n";  // 30,000 restarts
    for (int line = 0; line < 150; ++line) {
        text += "A c1\n";
    }
    writeText("held.mml", text);
    const Result r = runArgs({MML2SQN_BINARY, path("held.mml"), path("held.sqn")});
    EXPECT_EQ(r.status, 0) << r.err;
    std::istringstream lines(r.err);
    std::string line;
    std::vector<std::string> shown;
    while (std::getline(lines, line)) {
        shown.push_back(line);
    }
    ASSERT_EQ(shown.size(), 102u) << r.err.substr(0, 2000);
    const std::string cut = ": warning: held notes outlast their gates at most 30000 times a song: this note of 0.941 s "
                            "is cut short";
    EXPECT_EQ(shown[0], path("held.mml") + ":1:10" + cut);
    EXPECT_EQ(shown[1], path("held.mml") + ":2:3" + cut);
    EXPECT_EQ(shown[99], path("held.mml") + ":100:3" + cut);
    EXPECT_EQ(shown[100], std::string(MML2SQN_BINARY) + ": 51 more warnings not shown");
    EXPECT_TRUE(fs::exists(path("held.sqn")));
}

// sqnplay plays MML as it plays a song file: --once gives the compiled
// song's frames, as sqn2wav writes them.
TEST_F(Mml2sqn, SqnplayPlaysMml)
{
    const std::string text = "A t240 l16 o5 c e g > c\nE o6 [c r]2\n";
    writeText("song.MML", text);
    const Result r = runArgs({SQNPLAY_BINARY, "--once", "--backend", "null", "--capture", path("cap.raw"),
                              path("song.MML")});
    EXPECT_EQ(r.status, 0) << r.err;
    const MmlResult compiled = compileMml(text);
    SongPlayer player;
    player.sampleRate = 48000.0f;
    player.looping = false;
    ASSERT_TRUE(player.load(memoryRead(compiled.song.data(), compiled.song.size())));
    Bytes expected;
    Bytes block(2048);
    SampleBuffer buffer{SampleFormat::S16, ChannelLayout::Stereo, block.data(), block.size()};
    do {
        player.render(buffer);
        expected.insert(expected.end(), block.begin(), block.end());
    } while (!player.finished);
    const Bytes captured = readFile(path("cap.raw"));
    ASSERT_GE(captured.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), captured.begin()));
}

// A file of several songs: --list names them, the first is compiled
// unless --song names another, each as a file of the shared part and that
// song alone would be; a mistake in one song is no other's.
TEST_F(Mml2sqn, AFileOfSeveralSongsCompilesEachAlone)
{
    const std::string shared = "@v1 = { 15 12 9 }\n$hit = c8 c8\n";
    const std::string theme = "#title \"Theme\"\nA @v1 o4 c d e f\nE $hit $hit\n";
    const std::string jingle = "#meter 3\nA @v1 o5 l8 c e g > c4.\nF $hit\n";
    const std::string broken = "A c x\n";
    writeText("game.mml", shared + "#song theme\n" + theme + "#song jingle ; the win\n" + jingle +
                              "#song broken\n" + broken);
    const Result list = runArgs({MML2SQN_BINARY, "--list", path("game.mml")});
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.out, "theme\njingle\nbroken\n");

    // Alone, a song's settings stand at the top, before what is shared.
    writeText("theme.mml", "#title \"Theme\"\n" + shared + "A @v1 o4 c d e f\nE $hit $hit\n");
    writeText("jingle.mml", "#meter 3\n" + shared + "A @v1 o5 l8 c e g > c4.\nF $hit\n");
    ASSERT_EQ(runArgs({MML2SQN_BINARY, path("theme.mml"), path("theme.sqn")}).status, 0);
    ASSERT_EQ(runArgs({MML2SQN_BINARY, path("jingle.mml"), path("jingle.sqn")}).status, 0);
    const Result first = runArgs({MML2SQN_BINARY, path("game.mml"), path("first.sqn")});
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_NE(first.err.find("Theme"), std::string::npos);
    EXPECT_TRUE(readFile(path("first.sqn")) == readFile(path("theme.sqn")));
    ASSERT_EQ(runArgs({MML2SQN_BINARY, "--song", "jingle", path("game.mml"), path("win.sqn")}).status, 0);
    EXPECT_TRUE(readFile(path("win.sqn")) == readFile(path("jingle.sqn")));

    // The broken song's mistake, at its line in the file.
    const Result bad = runArgs({MML2SQN_BINARY, "--song=broken", path("game.mml"), path("bad.sqn")});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, path("game.mml") + ":12:5: " + kCommands + ", found 'x'\n");
    const Result unknown = runArgs({MML2SQN_BINARY, "--song", "boss", path("game.mml"), path("boss.sqn")});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.err, path("game.mml") + ":1:1: expected a song named boss, found the songs theme, jingle, broken\n");
    EXPECT_FALSE(fs::exists(path("boss.sqn")));

    // Names: given, well formed, once each; --list takes one file alone.
    writeText("names.mml", "#song a\nA c\n#song a\nA d\n#song b c\n");
    const Result names = runArgs({MML2SQN_BINARY, "--list", path("names.mml")});
    EXPECT_EQ(names.status, 1);
    EXPECT_EQ(names.err, path("names.mml") + ":3:7: expected each song named once, found a again\n" + path("names.mml") +
                             ":5:7: expected a song name of letters, digits, _ and -, at most 64 bytes, after #song, "
                             "found 'b c'\n");
    EXPECT_EQ(runArgs({MML2SQN_BINARY, "--list", path("names.mml"), path("x.sqn")}).status, 1);
    const Result one = runArgs({MML2SQN_BINARY, "--list", path("theme.mml")});
    EXPECT_EQ(one.status, 0);
    EXPECT_EQ(one.out, "");
}

// #include reads another file in where it stands, relative to the file
// that includes it; its mistakes are told at its own lines, and files
// that include each other, a file missing or nesting too deep are refused.
TEST_F(Mml2sqn, IncludedFilesAreReadInWhereTheyStand)
{
    fs::create_directories(path("parts/deeper"));
    writeText("song.mml", "@v1 = { 15 9 }\n#include \"parts/drums.mml\" ; the drums\nA @v1 o4 c d e f\n");
    writeText("parts/drums.mml", "/* the hats */ #include \"deeper/hat.mml\"\nE $hat $hat\nF c4 c4\n");
    writeText("parts/deeper/hat.mml", "$hat = c8 c8\n");
    writeText("flat.mml", "@v1 = { 15 9 }\n$hat = c8 c8\nE $hat $hat\nF c4 c4\nA @v1 o4 c d e f\n");
    const Result r = runArgs({MML2SQN_BINARY, path("song.mml"), path("song.sqn")});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(runArgs({MML2SQN_BINARY, path("flat.mml"), path("flat.sqn")}).status, 0);
    EXPECT_TRUE(readFile(path("song.sqn")) == readFile(path("flat.sqn")));

    const std::string drums = path("parts/drums.mml");
    writeText("parts/deeper/hat.mml", "$hat = c8 x8\n");
    const Result mistake = runArgs({MML2SQN_BINARY, path("song.mml"), path("out.sqn")});
    EXPECT_EQ(mistake.status, 1);
    EXPECT_EQ(mistake.err, path("parts/deeper/hat.mml") + ":1:11: " + kCommands + ", found 'x'\n" +
                               path("parts/deeper/hat.mml") + ":1:12: " + kCommands + ", found '8'\n");
    writeText("parts/deeper/hat.mml", "#include \"../../song.mml\"\n");
    const Result cycle = runArgs({MML2SQN_BINARY, path("song.mml"), path("out.sqn")});
    EXPECT_EQ(cycle.status, 1);
    EXPECT_EQ(cycle.err.substr(0, cycle.err.find('\n')),
              path("parts/deeper/hat.mml") + ":1:10: expected a file that does not include itself, found "
                                             "\"../../song.mml\" inside " + path("parts/deeper/hat.mml"));
    writeText("missing.mml", "A c\n#include \"none.mml\"\n#include none.mml\n");
    const Result missing = runArgs({MML2SQN_BINARY, path("missing.mml"), path("out.sqn")});
    EXPECT_EQ(missing.err, path("missing.mml") + ":2:10: cannot include \"none.mml\": No such file or directory\n" +
                               path("missing.mml") +
                               ":3:10: expected a file name in double quotes after #include, found 'none.mml'\n");
    // Nine deep is one too many.
    for (int i = 0; i < 9; ++i) {
        writeText("n" + std::to_string(i) + ".mml", "#include \"n" + std::to_string(i + 1) + ".mml\"\n");
    }
    writeText("n9.mml", "A c\n");
    const Result deep = runArgs({MML2SQN_BINARY, path("n0.mml"), path("out.sqn")});
    EXPECT_EQ(deep.status, 1);
    EXPECT_EQ(deep.err, path("n8.mml") + ":1:1: expected files included at most 8 deep, found \"n9.mml\" deeper\n");
    EXPECT_FALSE(fs::exists(path("out.sqn")));
}

}  // namespace
