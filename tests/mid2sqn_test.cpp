// mid2sqn run as a user runs it: a MIDI file in, the song and its text
// out, every note that was taken found in sqndis's listing on its row with
// its pitch; and its messages for bad input and options.

#include "midi_writer.h"
#include "note_names.h"
#include "process_test.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <tuple>

namespace {

class Mid2sqn : public ProcessTest {};

// (row, voice, pitch index) of every NoteOn in a listing, the rows summed
// from its waits and the pitches from its pitch lines (note names).
std::set<std::tuple<int, int, int>> notesInListing(const std::string& listing)
{
    std::set<std::tuple<int, int, int>> notes;
    std::istringstream lines(listing);
    std::string line;
    int row = 0;
    int pitch[6] = {40, 40, 40, 40, 40, 40};
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string command;
        std::string param;
        int voice = 0;
        if (!(words >> command >> voice >> param) || command[0] == '#' || voice > 5) {
            continue;
        }
        if (command == "wait") {
            row += std::stoi(param);
        } else if (command == "pitch") {
            pitch[voice] = *noteIndex(param);
        } else if (command == "note") {
            notes.insert({row, voice, pitch[voice]});
        }
    }
    return notes;
}

TEST_F(Mid2sqn, NotesTakenAreListedOnTheirRowsWithTheirPitches)
{
    // 120 bpm, eighths (2 rows at 4 rows a beat): a melody over a bass in
    // another track, a kick and a snare, and a tempo change to 60 bpm.
    MidiTrackWriter conductor;
    conductor.marker(0, "Verse 1").tempo(0, 500000).marker(240 * 8, "?").tempo(0, 1000000).end();
    MidiTrackWriter melody;
    MidiTrackWriter bass;
    MidiTrackWriter drums;
    std::set<std::tuple<int, int>> melodic;  // row, pitch index
    const int tune[] = {67, 69, 71, 72, 74, 72, 71, 69, 67, 65, 64, 62, 60, 62, 64, 67};
    for (int i = 0; i < 16; ++i) {
        melody.on(0, 0, tune[i], 100).off(240, 0, tune[i]);
        // Eight eighths at 120 bpm (0.25 s each), then eight at 60 (0.5 s).
        const int row = i < 8 ? 2 * i : 16 + 4 * (i - 8);
        melodic.insert({row, tune[i] - 39});
    }
    for (int i = 0; i < 4; ++i) {
        // Halves: 1 s at 120 bpm (8 rows), 2 s at 60 (16 rows).
        const int note = i % 2 == 0 ? 43 : 48;
        bass.on(0, 1, note, 90).off(960, 1, note);
        melodic.insert({i < 2 ? 8 * i : 16 + 16 * (i - 2), note - 39});
    }
    drums.on(0, 9, 36, 120).off(480, 9, 36).on(0, 9, 38, 100).off(480, 9, 38).end();
    melody.end();
    bass.end();
    writeFile("tune.mid", midiFile(1, 480, {conductor, melody, bass, drums}));

    // The grid and the volumes as given, for rows to count in.
    Result r = runProgram(MID2SQN_BINARY,
                          "--tempo 120 --rows-per-beat 4 --gain 0 " + path("tune.mid") + " " + path("tune.sqn"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    const std::string summary = r.err;
    EXPECT_EQ(summary.rfind(std::string(MID2SQN_BINARY) + ": " + path("tune.mid") +
                                ": 22 notes taken, 0 dropped or cut for lack of voices, 0 moved by octaves; "
                                "1 cue from markers (1 left out: no letter or digit, or past 255 names); "
                                "120 beats a minute, 4 rows a beat: starts off by ",
                            0),
              0u)
        << summary;
    EXPECT_NE(summary.find("; volumes +0.0 dB, peak -"), std::string::npos) << summary;

    r = runProgram(SQNDIS_BINARY, path("tune.sqn"));
    ASSERT_EQ(r.status, 0);
    // The length it gives is the rendered length sqndis finds: 6 s of music.
    const std::string seconds = r.out.substr(r.out.rfind("frames, ") + 8, 5);
    EXPECT_EQ(seconds.substr(0, 2), "6.");
    EXPECT_NE(summary.find("0:0" + seconds), std::string::npos) << summary << r.out;
    std::set<std::tuple<int, int>> listedMelodic;
    std::set<std::tuple<int, int>> listedDrums;
    for (const auto& [row, voice, pitch] : notesInListing(r.out)) {
        if (voice < 4) {
            listedMelodic.insert({row, pitch});
        } else {
            listedDrums.insert({row, voice});
        }
    }
    EXPECT_EQ(listedMelodic, melodic);
    EXPECT_EQ(listedDrums, (std::set<std::tuple<int, int>>{{0, 5}, {4, 4}}));
    EXPECT_NE(r.out.find("loop-end 0 0"), std::string::npos);

    // The text form says where each group is and where each note came
    // from, and assembles to the same song.
    r = runProgram(MID2SQN_BINARY,
                   "--tempo 120 --rows-per-beat 4 --gain 0 " + path("tune.mid") + " " + path("tune.txt"));
    ASSERT_EQ(r.status, 0);
    const Bytes text = readFile(path("tune.txt"));
    const std::string listing(text.begin(), text.end());
    EXPECT_NE(listing.find("\n# bar 1, beat 1\n"), std::string::npos) << listing;
    EXPECT_NE(listing.find("\n# bar 2, beat 3\n"), std::string::npos) << listing;
    EXPECT_NE(listing.find("# channel 2\n"), std::string::npos) << listing;
    EXPECT_NE(listing.find("# channel 10, drum 36\n"), std::string::npos) << listing;
    EXPECT_NE(listing.find("\nmap cue-name 0 Verse-1 "), std::string::npos) << listing;
    EXPECT_NE(listing.find("\nmap cue 0               # cue Verse-1: the marker \"Verse 1\"\n"), std::string::npos)
        << listing;
    ASSERT_EQ(runProgram(SQNASM_BINARY, path("tune.txt") + " " + path("again.sqn")).status, 0);
    EXPECT_EQ(readFile(path("again.sqn")), readFile(path("tune.sqn")));

    // And to standard output, for a pipe.
    r = runProgram(MID2SQN_BINARY, "--tempo 120 --rows-per-beat 4 --gain 0 - - <" + path("tune.mid"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(r.out.find('\n')), listing.substr(listing.find('\n')));
}

TEST_F(Mid2sqn, BadInputAndOptionsWriteNothing)
{
    const std::string out = path("out.sqn");
    writeFile("text.mid", {'h', 'e', 'l', 'l', 'o'});
    Result r = runProgram(MID2SQN_BINARY, path("text.mid") + " " + out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string(MID2SQN_BINARY) + ": " + path("text.mid") +
                         ": not a Standard MIDI File (it does not start with MThd)\n");
    EXPECT_FALSE(fs::exists(out));

    MidiTrackWriter track;
    track.on(0, 0, 60).off(480, 0, 60).end();
    Bytes truncated = midiFile(0, 480, {track});
    truncated.resize(truncated.size() - 6);
    truncated[21] = static_cast<std::uint8_t>(truncated.size() - 22);
    writeFile("cut.mid", truncated);
    r = runProgram(MID2SQN_BINARY, path("cut.mid") + " " + out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string(MID2SQN_BINARY) + ": " + path("cut.mid") +
                         ": track 1, byte 26: the track ends inside an event\n");
    EXPECT_FALSE(fs::exists(out));

    r = runProgram(MID2SQN_BINARY, path("missing.mid") + " " + out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string(MID2SQN_BINARY) + ": cannot read " + path("missing.mid") +
                         ": No such file or directory\n");

    // Format 2: the first of its songs, with a warning.
    MidiTrackWriter second;
    second.on(0, 0, 72).off(480, 0, 72).end();
    writeFile("two.mid", midiFile(2, 480, {track, second}));
    r = runProgram(MID2SQN_BINARY, path("two.mid") + " " + out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1),
              std::string(MID2SQN_BINARY) + ": " + path("two.mid") +
                  ": format 2 holds 2 separate songs; only the first is taken\n");

    for (const char* option : {"--rows-per-beat 0", "--tempo 300", "--channels 3-1", "--drums 17",
                                      "--transpose x"}) {
        r = runProgram(MID2SQN_BINARY, std::string(option) + " " + path("two.mid") + " " + path("o.sqn"));
        EXPECT_EQ(r.status, 1) << option;
        EXPECT_NE(r.err.find(std::string("usage: ") + MID2SQN_BINARY), std::string::npos) << option;
        EXPECT_FALSE(fs::exists(path("o.sqn")));
    }
    r = runProgram(MID2SQN_BINARY, "--version");
    EXPECT_EQ(r.out, "mid2sqn 1.3.0\n");
}

// Options at their edges, given as users give them, and the command-line
// conventions: the last of a repeated option wins, a flag takes no value,
// an option at the end without its value is a wrong command line.
TEST_F(Mid2sqn, OptionsAtTheirEdges)
{
    MidiTrackWriter track;
    track.on(0, 0, 60).off(480, 0, 60).on(0, 9, 38).on(0, 10, 38).off(480, 10, 38).end();
    writeFile("in.mid", midiFile(0, 480, {track}));
    const std::string in = path("in.mid");
    const std::string out = path("out.sqn");
    const std::string program = MID2SQN_BINARY;

    Result r = runProgram(program, "--rows-per-beat 1 --tempo 100 --tempo 150 " + in + " " + out);
    EXPECT_EQ(r.status, 0) << r.err;
    Bytes song = readFile(out);
    ASSERT_GE(song.size(), 2u);
    EXPECT_EQ(song[0], 150);
    EXPECT_EQ(song[1], 1);

    // Nothing on the chosen channels, or a channel losing more than a
    // quarter of its notes: a warning, and the song all the same.
    r = runProgram(program, "--channels 5 " + in + " " + out);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find(": warning: the chosen channels hold no notes: the song is silent\n"), std::string::npos)
        << r.err;
    MidiTrackWriter crowd;
    for (int key = 60; key < 66; ++key) {
        crowd.on(0, 2, key);
    }
    crowd.off(480, 2, 60).end();
    writeFile("crowd.mid", midiFile(0, 480, {crowd}));
    r = runProgram(program, path("crowd.mid") + " " + out);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find(" dropped or cut for lack of voices (channel 3: 2)"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(": warning: channel 3 lost 2 of its 6 notes for lack of voices"), std::string::npos) << r.err;

    // --drums 10 is MIDI channel 10 (numbered from 1): its note is a hit,
    // channel 11's plays as a note.
    r = runProgram(program, "--drums 10 " + in + " -");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("note 4 0"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("# channel 10, drum 38"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("# channel 11\n"), std::string::npos) << r.out;

    // A one-track format 2 file is one song: no warning.
    writeFile("one.mid", midiFile(2, 480, {track}));
    r = runProgram(program, path("one.mid") + " " + out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.find("separate songs"), std::string::npos) << r.err;

    const std::string usage = "usage: " + program + " [options] <input.mid> <output>\n";
    fs::remove(out);
    r = runArgs({program, in, out, "--tempo"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, usage);
    EXPECT_FALSE(fs::exists(out));
    r = runArgs({program, "--help=yes", in, out});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, usage);
    r = runArgs({SQNPLAY_BINARY, "--once=yes", "--backend", "null", in});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string("usage: ") + SQNPLAY_BINARY + " [options] <song>\n");
}

// MML to edit: a name ending in .mml (or --mml) writes MML that mml2sqn
// compiles; the heading says where it came from; a grid MML has no length
// for is refused, and without --rows-per-beat the finer grid is one it has.
TEST_F(Mid2sqn, MmlToEditForANameEndingInMml)
{
    MidiTrackWriter conductor;
    conductor.tempo(0, 500000).timeSignature(0, 3, 2).marker(0, "Intro").end();
    MidiTrackWriter melody;
    for (int i = 0; i < 12; ++i) {
        melody.on(0, 0, 60 + i % 7).off(i % 3 == 2 ? 160 : 480, 0, 60 + i % 7);  // a triplet eighth now and then
        if (i % 3 == 2) {
            melody.event(320, {0x80, 0, 0});
        }
    }
    melody.end();
    const Bytes file = midiFile(1, 480, {conductor, melody});
    writeFile("tune.mid", file);
    const Result r = runArgs({MID2SQN_BINARY, path("tune.mid"), path("tune.mml")});
    ASSERT_EQ(r.status, 0) << r.err;
    const Bytes written = readFile(path("tune.mml"));
    const std::string mml(written.begin(), written.end());
    EXPECT_EQ(mml.rfind("; mid2sqn ", 0), 0u) << mml;
    EXPECT_NE(mml.find("\n#meter 3\nT t120 !Intro\nA "), std::string::npos) << mml;
    const Result compiled = runArgs({MML2SQN_BINARY, path("tune.mml"), path("tune.sqn")});
    EXPECT_EQ(compiled.status, 0) << compiled.err << mml;
    // The same to standard output with --mml.
    const Result out = runArgs({MID2SQN_BINARY, "--mml", path("tune.mid"), "-"});
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(out.out.substr(out.out.find('\n')), mml.substr(mml.find('\n')));
    // A grid MML writes no length for.
    const Result bad = runArgs({MID2SQN_BINARY, "--rows-per-beat", "5", path("tune.mid"), path("bad.mml")});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("--rows-per-beat"), std::string::npos) << bad.err;
    EXPECT_FALSE(fs::exists(path("bad.mml")));
}

}  // namespace
