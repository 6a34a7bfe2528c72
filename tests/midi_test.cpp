// MIDI import: the reader on files written event by event, the tempo map,
// voices for chords and drums, pitches and volumes, and every malformed
// input's reason.

#include "midi_file.h"
#include "midi_import.h"
#include "midi_map.h"
#include "music_player.h"
#include "memory_read.h"
#include "midi_writer.h"
#include "song_player.h"
#include "timeline.h"
#include "song_notes.h"
#include "song_text.h"
#include "song_mml.h"
#include "mml_compiler.h"
#include "heard_notes.h"
#include "test_bytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::vector<Played> played(const Bytes& song)
{
    return songNotes(song).notes;
}

// The grid and the volumes as given: 4 rows a beat, velocities as mapped.
ImportOptions fixedGrid()
{
    ImportOptions options;
    options.rowsPerBeat = 4;
    options.gainDb = 0.0;
    return options;
}

ImportResult import(const Bytes& file, const ImportOptions& options = fixedGrid())
{
    return importMidi(readMidiFile(file.data(), file.size()), options);
}

std::string readError(const Bytes& file)
{
    try {
        readMidiFile(file.data(), file.size());
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "(no error)";
}

// Each note's time in seconds follows every tempo change before it: at 120
// beats a minute and 4 rows a beat a row is 1/8 s, so 2.0 s is row 16.
TEST(MidiImport, TempoMapPutsNotesOnTheRowOfTheirTime)
{
    MidiTrackWriter conductor;
    conductor.tempo(0, 500000).tempo(960, 1000000).end();  // 1 s of 120 bpm, then 60 bpm
    MidiTrackWriter notes;
    notes.on(1440, 0, 67).off(240, 0, 67).end();  // 2.0 s, held an eighth: 0.5 s at 60 bpm
    const ImportResult result = import(midiFile(1, 480, {conductor, notes}));
    // The note plays at 60: the song's tempo, a row 1/4 s.
    EXPECT_EQ(result.tempo, 60);
    // Velocity 100 at the channel volume a file starts with (100): 79 steps.
    EXPECT_EQ(played(result.song), (std::vector<Played>{{8, 0, 28, 79, 2}}));
    EXPECT_EQ(result.song.back(), 0);  // loop-end 0 0 closes the song...
    EXPECT_EQ(result.song[result.song.size() - 2], 6);

    // SMPTE: 25 frames of 40 ticks a second.
    MidiTrackWriter smpte;
    smpte.on(2000, 0, 67).off(250, 0, 67).end();
    const std::uint16_t division = static_cast<std::uint16_t>((0x100 - 25) << 8 | 40);
    ImportOptions at120 = fixedGrid();
    at120.tempo = 120;
    EXPECT_EQ(played(import(midiFile(0, division, {smpte}), at120).song), (std::vector<Played>{{16, 0, 28, 79, 2}}));

    // The first tempo, rounded, is the song's: 0.6 s a quarter is 100 bpm.
    MidiTrackWriter slow;
    slow.tempo(0, 600000).on(0, 0, 60).off(480, 0, 60).end();
    EXPECT_EQ(import(midiFile(0, 480, {slow})).tempo, 100);
    ImportOptions fixed = fixedGrid();
    fixed.tempo = 90;
    fixed.rowsPerBeat = 8;
    const ImportResult forced = import(midiFile(0, 480, {slow}), fixed);
    EXPECT_EQ(forced.song[0], 90);
    EXPECT_EQ(forced.song[1], 8);
}

TEST(MidiImport, RunningStatusReadsLikeFullEvents)
{
    MidiTrackWriter full;
    full.on(0, 0, 60).on(0, 0, 64).on(0, 0, 67).off(480, 0, 60).off(0, 0, 64).off(0, 0, 67).end();
    MidiTrackWriter running;
    running.on(0, 0, 60).event(0, {64, 100}).event(0, {67, 100});
    running.event(480, {0x90, 60, 0}).event(0, {64, 0}).event(0, {67, 0}).end();  // note-ons of velocity 0
    const std::vector<Played> expected = played(import(midiFile(0, 480, {full})).song);
    EXPECT_EQ(expected.size(), 3u);
    EXPECT_EQ(played(import(midiFile(0, 480, {running})).song), expected);
}

// Six notes at once: the top and the bottom always sound, then the notes
// already sounding, then the new ones from the top.
TEST(MidiImport, WideChordsKeepTheMelodyAndTheBass)
{
    MidiTrackWriter chord;  // a bass, sounding when a five-note chord comes
    chord.on(0, 0, 40).on(480, 0, 60).on(0, 0, 62).on(0, 0, 64).on(0, 0, 65).on(0, 0, 84);
    chord.off(480, 0, 40).off(0, 0, 60).off(0, 0, 62).off(0, 0, 64).off(0, 0, 65).off(0, 0, 84).end();
    const ImportResult result = import(midiFile(0, 480, {chord}));
    std::vector<int> pitches;
    for (const Played& note : played(result.song)) {
        if (note.row == 4) {
            pitches.push_back(note.pitch);
        }
    }
    std::sort(pitches.begin(), pitches.end());
    // The bass (40 − 39) sounds on; the top (84) and the chord's highest two
    // after it take the three other voices; 60 and 62 are dropped.
    EXPECT_EQ(pitches, (std::vector<int>{25, 26, 45}));
    EXPECT_EQ(result.notesTaken, 4u);
    EXPECT_EQ(result.notesDroppedOrCut, 2u);

    // A new lowest note takes the voice of a sounding inner one, cut short.
    MidiTrackWriter cut;
    cut.on(0, 0, 60).on(0, 0, 64).on(0, 0, 67).on(0, 0, 72).on(480, 0, 36);
    cut.off(480, 0, 60).off(0, 0, 64).off(0, 0, 67).off(0, 0, 72).off(0, 0, 36).end();
    const ImportResult cutResult = import(midiFile(0, 480, {cut}));
    EXPECT_EQ(cutResult.notesTaken, 5u);
    EXPECT_EQ(cutResult.notesDroppedOrCut, 1u);
    EXPECT_EQ(played(cutResult.song).back().pitch, 36 - 39 + 12);
}

TEST(MidiImport, DrumsGoToTheTwoHitVoices)
{
    MidiTrackWriter drums;
    drums.on(0, 9, 36, 127).on(0, 9, 38, 90).on(0, 9, 42, 60);  // kick, snare, hi-hat at once
    drums.on(480, 9, 41, 127).on(0, 9, 49, 127).end();           // low floor tom, crash
    const ImportResult result = import(midiFile(0, 480, {drums}));
    // The hi-hat, quieter than the snare on voice 4, is dropped. Each drum
    // has its pitch: the kick 36 and the floor tom 40 on the thump, the
    // snare 38 and the crash 52 on the noise burst.
    EXPECT_EQ(played(result.song), (std::vector<Played>{{0, 4, 38, 71, 0}, {0, 5, 36, 101, 0},
                                                        {4, 4, 52, 101, 0}, {4, 5, 40, 101, 0}}));
    EXPECT_EQ(result.notesDroppedOrCut, 1u);

    // Every drum of the kit the import guide lists, alone in a file, on the
    // voice and at the pitch its table gives.
    std::ifstream guide(DOCS_DIR "/importing-midi.md");
    std::string line;
    std::size_t listed = 0;
    const auto numbers = [](const std::string& text) {
        std::vector<int> found;
        const std::regex number("[0-9]+");
        for (auto at = std::sregex_iterator(text.begin(), text.end(), number); at != std::sregex_iterator(); ++at) {
            found.push_back(std::stoi(at->str()));
        }
        return found;
    };
    while (std::getline(guide, line)) {
        std::smatch row;
        if (!std::regex_match(line, row, std::regex(R"(\s*\| ([a-z].*[0-9]) \| ([45])[^|]* \| ([0-9, ]+) \|)"))) {
            continue;
        }
        const std::vector<int> keys = numbers(row[1]);
        const std::vector<int> pitches = numbers(row[3]);
        ASSERT_EQ(keys.size(), pitches.size()) << line;
        for (std::size_t i = 0; i < keys.size(); ++i) {
            MidiTrackWriter hit;
            hit.on(0, 9, static_cast<std::uint8_t>(keys[i]), 127).end();
            const std::vector<Played> notes = played(import(midiFile(0, 480, {hit})).song);
            ASSERT_EQ(notes.size(), 1u) << keys[i];
            EXPECT_EQ(notes[0].voice, std::stoi(row[2])) << "drum " << keys[i];
            EXPECT_EQ(notes[0].pitch, pitches[i]) << "drum " << keys[i];
            ++listed;
        }
    }
    EXPECT_EQ(listed, 26u);

    // --drums 1: channel 1 is the drum channel, channel 10 plays notes.
    ImportOptions options = fixedGrid();
    options.drumChannel = 0;
    MidiTrackWriter swapped;
    swapped.on(0, 0, 36).on(0, 9, 60).off(480, 9, 60).end();
    EXPECT_EQ(played(import(midiFile(0, 480, {swapped}), options).song),
              (std::vector<Played>{{0, 0, 21, 79, 4}, {0, 5, 36, 79, 0}}));
}

// Notes outside D#2 … B8 move by octaves into the table; velocity, channel
// volume and expression scale the volume, 128 at the top of all three.
TEST(MidiImport, PitchesAndVolumes)
{
    MidiTrackWriter track;
    track.event(0, {0xB0, 7, 127});
    track.on(0, 0, 20, 127).off(480, 0, 20);    // 8 octaves … index −19 → 5
    track.on(0, 0, 127, 64).off(480, 0, 127);   // index 88 → 76
    track.on(0, 0, 39, 127).off(480, 0, 39);    // index 0, in the table
    track.event(0, {0xB0, 11, 64}).on(0, 0, 119, 127).off(480, 0, 119).end();  // index 80
    const ImportResult result = import(midiFile(0, 480, {track}));
    const std::vector<Played> notes = played(result.song);
    ASSERT_EQ(notes.size(), 4u);
    EXPECT_EQ(notes[0].pitch, 5);
    EXPECT_EQ(notes[1].pitch, 76);
    EXPECT_EQ(notes[2].pitch, 0);
    EXPECT_EQ(notes[3].pitch, 80);
    EXPECT_EQ(result.notesMoved, 2u);
    EXPECT_EQ(notes[0].volume, 128);
    EXPECT_EQ(notes[1].volume, 65);   // 128 × 64/127
    EXPECT_EQ(notes[3].volume, 65);   // 128 × 64/127 through expression
    // SetVolume and SetPitch only where they change: unity is the voice's
    // own volume, so the first note needs none.
    // (after the map's records, for voices 0xF0 and 0xF1)
    std::size_t first = 2;
    while (result.song[first] >= 0xF0) {
        first += 3;
    }
    EXPECT_EQ(result.song[first + 1], 4);  // the first event sets the pitch

    ImportOptions up = fixedGrid();
    up.transpose = 12;
    EXPECT_EQ(played(import(midiFile(0, 480, {track}), up).song)[2].pitch, 12);
    ImportOptions onlyTwo = fixedGrid();
    onlyTwo.channels = 0b10;
    EXPECT_TRUE(played(import(midiFile(0, 480, {track}), onlyTwo).song).empty());
}

TEST(MidiReader, EveryMalformedInputHasItsReason)
{
    MidiTrackWriter good;
    good.on(0, 0, 60).off(480, 0, 60).end();
    const Bytes valid = midiFile(0, 480, {good});

    Bytes wrongFormat = valid;
    wrongFormat[9] = 3;
    Bytes noTracks = valid;
    noTracks[11] = 0;
    Bytes moreTracks = valid;
    moreTracks[11] = 2;
    Bytes zeroDivision = valid;
    zeroDivision[12] = zeroDivision[13] = 0;
    Bytes badSmpte = valid;
    badSmpte[12] = 0xE4;  // −28 frames a second
    Bytes pastEnd = valid;
    pastEnd[21] = 0x7F;  // the track claims far more than follows
    Bytes shortHeader = valid;
    shortHeader[7] = 4;
    Bytes hugeHeader = valid;
    hugeHeader[4] = 0x7F;
    MidiTrackWriter cutShort;
    cutShort.on(0, 0, 60).event(480, {0x80, 60});
    MidiTrackWriter longNumber;
    longNumber.bytes = {0x81, 0x81, 0x81, 0x81, 0x01, 0x90, 60, 100};  // a delta time of five bytes
    MidiTrackWriter orphan;
    orphan.event(0, {60, 100});
    MidiTrackWriter badData;
    badData.event(0, {0x90, 0x90, 100});
    MidiTrackWriter system;
    system.event(0, {0xF2, 0, 0});
    MidiTrackWriter longMeta;
    longMeta.event(0, {0xFF, 0x01, 0x40, 'a'});

    const std::pair<Bytes, std::string> cases[] = {
        {{}, "not a Standard MIDI File (it does not start with MThd)"},
        {{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'}, "not a Standard MIDI File (it does not start with MThd)"},
        {Bytes(valid.begin(), valid.begin() + 10), "the file ends inside its header"},
        {shortHeader, "a header of 4 bytes, where 6 belong"},
        {hugeHeader, "a header of 2130706438 bytes runs past the end of the file"},
        {wrongFormat, "format 3: only formats 0, 1 and 2 exist"},
        {noTracks, "the header names no tracks"},
        {zeroDivision, "a division of 0 ticks a quarter note"},
        {badSmpte, "an SMPTE division of 28 frames a second, not 24, 25, 29 or 30"},
        {moreTracks, "the header names 2 tracks, the file holds 1"},
        {pastEnd, "the chunk at byte 14 claims 127 bytes, but only 13 follow"},
        {midiFile(0, 480, {cutShort}), "track 1, byte 26: the track ends inside an event"},
        {midiFile(0, 480, {longNumber}), "track 1, byte 22: a variable-length number longer than 4 bytes"},
        {midiFile(0, 480, {orphan}), "track 1, byte 22: a data byte with no status byte before it"},
        {midiFile(0, 480, {badData}), "track 1, byte 22: the status byte 0x90 where a data byte 0 … 127 belongs"},
        {midiFile(0, 480, {system}), "track 1, byte 22: the status byte 0xF2, which has no place in a file"},
        {midiFile(0, 480, {longMeta}), "track 1, byte 22: an event of 64 bytes runs past the track's end"},
    };
    for (const auto& [file, reason] : cases) {
        EXPECT_EQ(readError(file), reason);
    }
    EXPECT_EQ(readError(valid), "(no error)");

    // A RIFF MIDI file holds the same file in its data chunk.
    Bytes riff{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'R', 'M', 'I', 'D', 'd', 'a', 't', 'a'};
    const auto size = static_cast<std::uint32_t>(valid.size());
    riff.insert(riff.end(), {static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(size >> 8), 0, 0});
    riff.insert(riff.end(), valid.begin(), valid.end());
    const auto riffSize = static_cast<std::uint32_t>(riff.size() - 8);
    riff[4] = static_cast<std::uint8_t>(riffSize);
    riff[5] = static_cast<std::uint8_t>(riffSize >> 8);
    EXPECT_EQ(readMidiFile(riff.data(), riff.size()).tracks.size(), 1u);
}

// The corners of the format that real files reach: the longest delta time,
// one-byte messages, running status after a meta event, format 2.
TEST(MidiReader, FineDetailsOfTheFormat)
{
    // A delta time of exactly four bytes, the longest there is.
    MidiTrackWriter longest;
    longest.bytes = {0xFF, 0xFF, 0xFF, 0x7F, 0x90, 60, 100};
    longest.end();
    MidiFile file = readMidiFile(midiFile(0, 480, {longest}).data(), midiFile(0, 480, {longest}).size());
    ASSERT_EQ(file.tracks[0].events.size(), 1u);
    EXPECT_EQ(file.tracks[0].events[0].tick, 0x0FFFFFFFu);

    // Channel pressure and program change carry one data byte: the note
    // after them is read where it is.
    MidiTrackWriter oneByte;
    oneByte.event(0, {0xD0, 0x40}).event(0, {0xC0, 5}).on(10, 0, 60).off(20, 0, 60).end();
    const Bytes oneByteFile = midiFile(0, 480, {oneByte});
    file = readMidiFile(oneByteFile.data(), oneByteFile.size());
    ASSERT_EQ(file.tracks[0].events.size(), 2u);
    EXPECT_EQ(file.tracks[0].events[0].tick, 10u);
    EXPECT_EQ(file.tracks[0].events[0].a, 60);
    EXPECT_EQ(file.tracks[0].events[1].tick, 30u);

    // A meta event ends running status: a data byte after one has no status.
    MidiTrackWriter afterMeta;
    afterMeta.on(0, 0, 60).event(0, {0xFF, 0x01, 0x01, 'x'}).event(0, {64, 100}).end();
    EXPECT_EQ(readError(midiFile(0, 480, {afterMeta})), "track 1, byte 31: a data byte with no status byte before it");

    // Format 2: only the first track, whatever the others hold.
    MidiTrackWriter first;
    first.on(0, 0, 60).off(480, 0, 60).end();
    MidiTrackWriter broken;
    broken.bytes = {0x00, 0x40};
    const Bytes formatTwo = midiFile(2, 480, {first, broken});
    file = readMidiFile(formatTwo.data(), formatTwo.size());
    EXPECT_EQ(file.declaredTracks, 2u);
    EXPECT_EQ(file.tracks.size(), 1u);
}

// Where the import puts notes in time and what it makes of the controllers
// and of notes struck again, each against the rows a listener hears.
TEST(MidiImport, TimesControllersAndRestrikes)
{
    // 120 ticks a row (480 a quarter, 4 rows a beat): tick 70 is 0.58 of a
    // row, nearer row 1; tick 50 is nearer row 0.
    MidiTrackWriter near;
    near.on(50, 0, 60).off(10, 0, 60).on(10, 0, 62).off(480, 0, 62).end();
    const std::vector<Played> times = played(import(midiFile(0, 480, {near})).song);
    ASSERT_EQ(times.size(), 2u);
    EXPECT_EQ(times[0].row, 0);
    EXPECT_EQ(times[1].row, 1);

    // Reset all controllers (121) brings expression back to full; channel
    // volume stays as it was set.
    MidiTrackWriter reset;
    reset.event(0, {0xB0, 7, 127}).event(0, {0xB0, 11, 32}).on(0, 0, 60, 127).off(480, 0, 60);
    reset.event(0, {0xB0, 121, 0}).on(0, 0, 60, 127).off(480, 0, 60).end();
    const std::vector<Played> volumes = played(import(midiFile(0, 480, {reset})).song);
    ASSERT_EQ(volumes.size(), 2u);
    EXPECT_EQ(volumes[0].volume, 32);
    EXPECT_EQ(volumes[1].volume, 128);

    // A key struck again before its release: the first note ends there.
    MidiTrackWriter again;
    again.on(0, 0, 60).on(480, 0, 60).off(480, 0, 60).end();
    EXPECT_EQ(played(import(midiFile(0, 480, {again})).song),
              (std::vector<Played>{{0, 0, 21, 79, 4}, {4, 0, 21, 79, 4}}));
}

TEST(MidiImport, DrumTiesAndTheLastHit)
{
    // Two equally loud drums on the noise voice in one row: the first in
    // the file is kept.
    MidiTrackWriter tie;
    tie.on(0, 9, 38, 100).on(0, 9, 42, 100).end();
    const ImportResult tied = import(midiFile(0, 480, {tie}));
    EXPECT_EQ(tied.notesDroppedOrCut, 1u);
    EXPECT_NE(textForm(tied.text).find("drum 38"), std::string::npos);
    EXPECT_EQ(textForm(tied.text).find("drum 42"), std::string::npos);

    // The song ends once the last hit has sounded: 0.101 s is 3.2 rows of
    // 1/32 s, so four rows pass before the end.
    MidiTrackWriter last;
    last.on(0, 9, 38, 100).end();
    ImportOptions fine = fixedGrid();
    fine.rowsPerBeat = 16;
    const Bytes song = import(midiFile(0, 480, {last}), fine).song;
    ASSERT_GE(song.size(), 8u);
    EXPECT_EQ((Bytes{song.end() - 6, song.end()}), (Bytes{0, 1, 4, 0, 6, 0}));
}

// A time signature that changes in the middle of a bar starts a new bar:
// the bar count rounds up.
TEST(MidiImport, BarsFollowTimeSignatures)
{
    MidiTrackWriter track;
    // 4/4 from the start; 3/4 a bar and a half in (tick 2880); a note there
    // and one a 3/4 bar later.
    track.event(0, {0xFF, 0x58, 0x04, 4, 2, 24, 8}).event(2880, {0xFF, 0x58, 0x04, 3, 2, 24, 8});
    track.on(0, 0, 60).off(480, 0, 60).on(960, 0, 62).off(480, 0, 62).end();
    const std::string text = textForm(import(midiFile(0, 480, {track})).text);
    EXPECT_NE(text.find("# bar 3, beat 1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("# bar 4, beat 1\n"), std::string::npos) << text;
}

// The frame at which the player takes each NoteOn of a song, in order.
std::vector<std::uint64_t> noteFrames(const Bytes& song)
{
    SongPlayer player;
    player.sampleRate = 48000.0f;
    player.looping = false;
    EXPECT_TRUE(player.load(memoryRead(song.data(), song.size())));
    std::vector<std::uint64_t> frames;
    computeTimeline(player, 512, [&](std::uint64_t event, std::uint64_t frame) {
        if (player.events[event].command == 2 && player.events[event].voice < 6) {
            frames.push_back(frame);
        }
    });
    return frames;
}

// The file's musical time travels with the song: its tempo changes and
// time signatures give the player's bars and beats, within a millisecond of
// the file's, and its markers are cues, taken with the notes at them. The
// map changes nothing heard, and the text form carries it exactly.
TEST(MidiImport, TheFilesTempoMapMeterAndMarkersTravelWithTheSong)
{
    // Two bars of 4/4 at 120, then 3/4 at 150; a marker at the start, one
    // at bar 3 and the same name again at bar 5, with one no cue can be
    // named for.
    MidiTrackWriter conductor;
    conductor.tempo(0, 500000).timeSignature(0, 4, 2).marker(0, "Intro");
    conductor.tempo(3840, 400000).timeSignature(0, 3, 2).marker(0, "Verse 1");
    conductor.marker(2880, "Verse 1").marker(0, "!!!").end(2880);
    MidiTrackWriter notes;
    for (int beat = 0; beat < 8 + 12; ++beat) {
        notes.on(0, 0, 60 + beat % 5).off(240, 0, 60 + beat % 5).event(240, {0x80, 0, 0});
    }
    notes.end();
    const ImportResult result = import(midiFile(1, 480, {conductor, notes}));
    EXPECT_EQ(result.cues, 2u);
    EXPECT_EQ(result.markersDropped, 1u);
    const std::string text = textForm(result.text);
    for (const char* line : {"\nmap cue-name 0 Intro ", "\nmap cue-name 1 Verse-1 ", "\nmap tempo-us 500000 ",
                             "\nmap meter 4 4 ", "\nmap tempo-us 400000 ", "\nmap meter 3 4 "}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
    }
    std::vector<TextError> errors;
    EXPECT_EQ(assembleSong(text, errors), result.song);

    // The bars and cues a player tells, in frames.
    MusicPlayer player;
    ASSERT_TRUE(player.open(result.song.data(), result.song.size(), 48000.0f));
    player.setLooping(false);
    EXPECT_EQ(player.cueNames(), (std::vector<std::string>{"Intro", "Verse-1"}));
    std::vector<float> left(4096);
    std::vector<float> right(4096);
    std::vector<MusicEvent> events;
    std::vector<float> heard;
    for (int block = 0; block < 110; ++block) {
        player.renderPlanar(left.data(), right.data(), left.size());
        heard.insert(heard.end(), left.begin(), left.end());
        MusicEvent polled[64];
        for (std::size_t got; (got = player.pollEvents(polled, 64)) > 0;) {
            events.insert(events.end(), polled, polled + got);
        }
    }
    const double barFrames[] = {0, 96000, 192000, 249600, 307200, 364800};
    std::vector<MusicEvent> bars;
    std::vector<MusicEvent> cues;
    std::size_t beats = 0;
    for (const MusicEvent& event : events) {
        bars.insert(bars.end(), event.kind == MusicEventKind::Bar ? 1 : 0, event);
        cues.insert(cues.end(), event.kind == MusicEventKind::Cue ? 1 : 0, event);
        beats += event.kind == MusicEventKind::Beat && event.frame < 422400 ? 1 : 0;
    }
    ASSERT_GE(bars.size(), std::size(barFrames));
    for (std::size_t i = 0; i < std::size(barFrames); ++i) {
        EXPECT_EQ(bars[i].value, i + 1);
        EXPECT_NEAR(static_cast<double>(bars[i].frame), barFrames[i], 48.0) << "bar " << i + 1;
    }
    EXPECT_EQ(beats, 8u + 12u);
    ASSERT_EQ(cues.size(), 3u);
    const double cueFrames[] = {0, 192000, 307200};
    for (std::size_t i = 0; i < cues.size(); ++i) {
        EXPECT_EQ(cues[i].value, i == 0 ? 0u : 1u);
        EXPECT_NEAR(static_cast<double>(cues[i].frame), cueFrames[i], 48.0 * 25) << "cue " << i;  // a row at most
    }

    // Without the map, the same samples.
    Bytes bare(result.song.begin(), result.song.begin() + 2);
    for (std::size_t i = 2; i + 3 <= result.song.size(); i += 3) {
        if (result.song[i] < 0xF0) {
            bare.insert(bare.end(), result.song.begin() + static_cast<std::ptrdiff_t>(i),
                        result.song.begin() + static_cast<std::ptrdiff_t>(i + 3));
        }
    }
    ASSERT_LT(bare.size(), result.song.size());
    MusicPlayer plain;
    ASSERT_TRUE(plain.open(bare.data(), bare.size(), 48000.0f));
    plain.setLooping(false);
    std::vector<float> unmapped;
    for (int block = 0; block < 110; ++block) {
        plain.renderPlanar(left.data(), right.data(), left.size());
        unmapped.insert(unmapped.end(), left.begin(), left.end());
    }
    EXPECT_TRUE(heard == unmapped);

    // A file timed in SMPTE frames has no bars: its markers alone, quoted
    // so that no line of the text form comes of them.
    MidiTrackWriter timed;
    timed.marker(0, "Start\nwait 0 9").on(0, 0, 60).off(1000, 0, 60).end();
    const ImportResult smpte = import(midiFile(0, 0xE728, {timed}));
    const std::string smpteText = textForm(smpte.text);
    EXPECT_EQ(smpteText.find("map tempo"), std::string::npos) << smpteText;
    EXPECT_NE(smpteText.find("\nmap cue-name 0 Start-wait-0-9 "), std::string::npos) << smpteText;
    EXPECT_NE(smpteText.find("the marker \"Start\\nwait 0 9\"\n"), std::string::npos) << smpteText;
    EXPECT_EQ(assembleSong(smpteText, errors), smpte.song);
}

// Markers become cue names a game can ask for.
TEST(MidiImport, MarkersAsCueNames)
{
    const std::pair<const char*, const char*> names[] = {
        {"Verse 1", "Verse-1"}, {"  Boss -- fight!  ", "Boss-fight"}, {"loop_start", "loop_start"},
        {"Caf\xC3\xA9 \xE2\x99\xAA", "Caf"}, {"!?", ""}, {"", ""},
    };
    for (const auto& [marker, name] : names) {
        EXPECT_EQ(cueNameOf(marker), name) << marker;
    }
    EXPECT_EQ(cueNameOf(std::string(40, 'a') + " " + std::string(40, 'b')), std::string(40, 'a') + "-" + std::string(23, 'b'));
    EXPECT_EQ(cueNameOf(std::string(64, 'a') + " b"), std::string(64, 'a'));
}

// A placeholder tempo at the start and the real one a beat later: the grid
// follows the real one, and the notes land on it.
TEST(MidiImport, TheGridFitsTheMusicNotItsFirstTempo)
{
    MidiTrackWriter track;
    track.tempo(0, 500000).tempo(480, 400000);  // 120, then 150 beats a minute
    track.on(0, 0, 60).off(120, 0, 60);
    for (int i = 0; i < 200; ++i) {
        track.on(0, 0, 60 + i % 12).off(120, 0, 60 + i % 12);  // 16ths at 150
    }
    track.end();
    const ImportResult result = import(midiFile(0, 480, {track}), ImportOptions{});
    // 16 rows a beat: 16ths on rows of 25 ms, short enough that making up
    // the player's own frames never moves a note by more than half of one.
    EXPECT_EQ(result.tempo, 150);
    EXPECT_EQ(result.rowsPerBeat, 16);
    EXPECT_LT(result.medianErrorSeconds, 0.008);
    EXPECT_LE(result.largestErrorSeconds, 0.0125 + 0.0001);

    // Triplets want a grid of 3s; swung eighths (2/3 + 1/3 of a beat) too.
    MidiTrackWriter triplets;
    for (int i = 0; i < 60; ++i) {
        triplets.on(0, 0, 60).off(160, 0, 60);
    }
    triplets.end();
    EXPECT_EQ(import(midiFile(0, 480, {triplets}), ImportOptions{}).rowsPerBeat, 24);

    // At 40 beats a minute the first grid of short enough rows, 64 a beat,
    // puts two triplets in three 7.8 ms off their rows: too far. 96 a beat
    // has a row for each.
    MidiTrackWriter slow;
    slow.tempo(0, 1500000);
    for (int i = 0; i < 60; ++i) {
        slow.on(0, 0, 60).off(160, 0, 60);
    }
    slow.end();
    const ImportResult slowTriplets = import(midiFile(0, 480, {slow}), ImportOptions{});
    EXPECT_EQ(slowTriplets.tempo, 40);
    EXPECT_EQ(slowTriplets.rowsPerBeat, 96);

    // A tempo a hair under 120 (500042 µs a beat) is 120, the nearest whole
    // tempo, not 119, whose rows would drift from the notes a bar on.
    MidiTrackWriter nearly;
    nearly.tempo(0, 500042);
    for (int i = 0; i < 64; ++i) {
        nearly.on(0, 0, 60).off(240, 0, 60);
    }
    nearly.end();
    const ImportResult nearlyResult = import(midiFile(0, 480, {nearly}), ImportOptions{});
    EXPECT_EQ(nearlyResult.tempo, 120);
    EXPECT_EQ(nearlyResult.rowsPerBeat, 24);
}

// However long the song, each note is taken at the frame nearest its time:
// the frames its events take and the countdowns' rounding are made up for,
// so the error at the end is no larger than at the start.
TEST(MidiImport, NoDriftOverTwentyFiveMinutes)
{
    // Eighths at 97 beats a minute for 25 minutes, a chord every beat.
    MidiTrackWriter track;
    track.tempo(0, 618557);
    const int beats = 25 * 97;
    for (int beat = 0; beat < beats; ++beat) {
        track.on(0, 0, 48).on(0, 0, 55).on(0, 0, 64).off(240, 0, 48).off(0, 0, 55).off(0, 0, 64);
        track.on(0, 0, 67).off(240, 0, 67);
    }
    track.end();
    const ImportResult result = import(midiFile(0, 480, {track}), ImportOptions{});
    const std::vector<std::uint64_t> frames = noteFrames(result.song);
    ASSERT_EQ(frames.size(), static_cast<std::size_t>(4 * beats));
    const double secondsPerBeat = 0.618557;
    double first = 0.0;
    double last = 0.0;
    double largest = 0.0;
    for (int beat = 0; beat < beats; ++beat) {
        // The chord's three notes are taken a frame apart; the first is on time.
        const double chord = std::abs(static_cast<double>(frames[4 * beat]) / 48000.0 - beat * secondsPerBeat);
        const double eighth =
            std::abs(static_cast<double>(frames[4 * beat + 3]) / 48000.0 - (beat + 0.5) * secondsPerBeat);
        largest = std::max({largest, chord, eighth});
        if (beat < 10) {
            first = std::max({first, chord, eighth});
        }
        if (beat >= beats - 10) {
            last = std::max({last, chord, eighth});
        }
    }
    // Rows of 1/32 beat (19.3 ms): every note within half a row (and a few
    // frames), at the end as at the start.
    EXPECT_EQ(result.rowsPerBeat, 32);
    const double halfRow = 0.5 * 60.0 / (97.0 * 32.0);
    EXPECT_LE(last, halfRow + 0.0002);
    EXPECT_LE(largest, halfRow + 0.0002);
    EXPECT_LE(result.largestErrorSeconds, halfRow + 0.0002);
    EXPECT_GT(first, 0.0);
}

// Loud notes on every voice: scaled to peak at −1 dBFS at most, unless the
// gain is set by hand.
TEST(MidiImport, HeadroomKeepsTheMixBelowFullScale)
{
    // One pitch on four channels, so that the four cycles' peaks line up,
    // and both drums, all at full velocity and volume.
    MidiTrackWriter track;
    for (int channel : {0, 1, 2, 3, 9}) {
        track.event(0, {static_cast<std::uint8_t>(0xB0 | channel), 7, 127});
    }
    for (int bar = 0; bar < 4; ++bar) {
        for (int channel : {0, 1, 2, 3}) {
            track.on(0, channel, 64, 127);
        }
        track.on(0, 9, 36, 127).on(0, 9, 38, 127);
        for (int channel : {0, 1, 2, 3}) {
            track.off(channel == 0 ? 1920 : 0, channel, 64);
        }
    }
    track.end();
    const Bytes file = midiFile(0, 480, {track});
    const ImportResult scaled = import(file, ImportOptions{});
    EXPECT_LE(scaled.peak, 0.8913);
    EXPECT_GT(scaled.peak, 0.80);
    EXPECT_LT(scaled.gain, 1.0);

    ImportOptions loud = fixedGrid();
    loud.gainDb = 6.0;
    EXPECT_GT(import(file, loud).peak, 1.0);  // by hand, it may clip
    const ImportResult asMapped = import(file, fixedGrid());
    EXPECT_EQ(asMapped.gain, 1.0);
    EXPECT_GT(asMapped.peak, 0.8913);

    // -6 dB is half the level: every volume halved, as is the peak.
    ImportOptions quieter = fixedGrid();
    quieter.gainDb = -6.0;
    const ImportResult halved = import(file, quieter);
    const std::vector<Played> full = played(asMapped.song);
    const std::vector<Played> half = played(halved.song);
    ASSERT_EQ(half.size(), full.size());
    for (std::size_t i = 0; i < full.size(); ++i) {
        EXPECT_EQ(full[i].volume, 128) << i;
        EXPECT_EQ(half[i].volume, 64) << i;
    }
    EXPECT_NEAR(halved.peak, asMapped.peak / 2, 0.01);
}

// The same loud bars three hours apart: the peak is measured on what
// sounds, and the hours of silence between (nine hours of frames to
// render) take no time. A file with its notes years apart would otherwise
// never finish importing.
TEST(MidiImport, HoursOfSilenceAreSkippedWhenMeasuringThePeak)
{
    constexpr std::uint32_t kThreeHours = 3u * 3600u * 960u;  // ticks at 480 a beat, 120 beats a minute
    MidiTrackWriter track;
    for (int channel : {0, 1, 2, 3, 9}) {
        track.event(0, {static_cast<std::uint8_t>(0xB0 | channel), 7, 127});
    }
    for (int bar = 0; bar < 4; ++bar) {
        for (int channel : {0, 1, 2, 3}) {
            track.on(channel == 0 && bar > 0 ? kThreeHours : 0, channel, 64, 127);
        }
        track.on(0, 9, 36, 127).on(0, 9, 38, 127);
        for (int channel : {0, 1, 2, 3}) {
            track.off(channel == 0 ? 1920 : 0, channel, 64);
        }
    }
    track.end();
    const ImportResult result = import(midiFile(0, 480, {track}), ImportOptions{});
    EXPECT_GT(renderedSeconds(result.song), 9.0 * 3600.0);
    EXPECT_LE(result.peak, 0.8913);
    EXPECT_GT(result.peak, 0.80);
}

// A song's NoteOns as its player takes them: (frame, voice, pitch, volume).
std::vector<std::array<std::uint64_t, 4>> strikes(const Bytes& song)
{
    SongPlayer player;
    player.sampleRate = 48000.0f;
    player.looping = false;
    EXPECT_TRUE(player.load(memoryRead(song.data(), song.size())));
    std::array<std::uint64_t, 6> pitch{};
    std::array<std::uint64_t, 6> volume{};
    const std::vector<SongEvent> events = player.events;
    std::vector<std::array<std::uint64_t, 4>> out;
    computeTimeline(player, 1, [&](std::uint64_t index, std::uint64_t frame) {
        const SongEvent& event = events[index];
        if (event.voice >= 6) {
            return;
        }
        if (event.command == static_cast<std::uint8_t>(Command::SetPitch)) {
            pitch[event.voice] = event.param;
        } else if (event.command == static_cast<std::uint8_t>(Command::SetVolume)) {
            volume[event.voice] = event.param;
        } else if (event.command == static_cast<std::uint8_t>(Command::NoteOn)) {
            out.push_back({frame, event.voice, pitch[event.voice], volume[event.voice]});
        }
    });
    return out;
}

// MIDI to MML: the MML written for an imported song compiles to the same
// notes on the same voices at the same frames, within a millisecond: a
// reel in 3/4 with its melody and bass, and a file of chords, drums, a
// tempo change and markers (the cues stand on the T line).
TEST(MidiImport, TheMmlWrittenCompilesToTheSameNotesAtTheSameFrames)
{
    MidiTrackWriter conductor;
    conductor.tempo(0, 500000).timeSignature(0, 4, 2).marker(0, "Intro");
    conductor.tempo(3840, 400000).marker(0, "Chorus").end(3840);
    MidiTrackWriter music;
    for (int beat = 0; beat < 16; ++beat) {
        const int root = 48 + (beat / 4) % 3 * 5;
        music.on(0, 0, root).on(0, 0, root + 4).on(0, 0, root + 7).on(0, 0, 72 + beat % 5, 90 + beat % 3 * 10);
        music.on(0, 9, 36).on(0, 9, beat % 2 ? 38 : 42);
        music.off(beat % 3 == 0 ? 240 : 360, 0, 72 + beat % 5).off(0, 9, 36).off(0, 9, beat % 2 ? 38 : 42);
        music.off(beat % 3 == 0 ? 240 : 120, 0, root).off(0, 0, root + 4).off(0, 0, root + 7);
    }
    music.end();
    std::ifstream reelFile(std::string(EXAMPLES_DIR) + "/reel.mid", std::ios::binary);
    const Bytes reel((std::istreambuf_iterator<char>(reelFile)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(reel.empty());
    for (const Bytes& midi : {midiFile(1, 480, {conductor, music}), reel}) {
        ImportOptions options;
        options.rowsPerBeat = 16;
        const ImportResult imported = import(midi, options);
        const std::optional<std::string> mml = mmlOfSong(imported.song, {"a heading"}, imported.noteBeats);
        ASSERT_TRUE(mml.has_value());
        const MmlResult compiled = compileMml(*mml, MmlOptions{true});
        ASSERT_TRUE(compiled.errors.empty()) << compiled.errors[0].message << "\n" << *mml;
        const std::vector<std::array<std::uint64_t, 4>> expected = strikes(imported.song);
        const HeardSong heard = hear(compiled);  // restarts of held notes are one note
        ASSERT_EQ(heard.notes.size(), expected.size()) << *mml;
        // In the order the voices strike, voice by voice.
        for (int voice = 0; voice < 6; ++voice) {
            std::vector<std::array<std::uint64_t, 4>> want;
            std::vector<HeardNote> got;
            std::copy_if(expected.begin(), expected.end(), std::back_inserter(want),
                         [voice](const auto& s) { return s[1] == static_cast<std::uint64_t>(voice); });
            std::copy_if(heard.notes.begin(), heard.notes.end(), std::back_inserter(got),
                         [voice](const HeardNote& n) { return n.voice == voice; });
            ASSERT_EQ(got.size(), want.size()) << "voice " << voice;
            for (std::size_t i = 0; i < want.size(); ++i) {
                // The MML's notes stand on the grid, within a millisecond;
                // the song file's, where the file has them, off the grid
                // by at most what the import reports.
                EXPECT_NEAR(static_cast<double>(got[i].frame), static_cast<double>(want[i][0]),
                            48.0 + 48000.0 * imported.largestErrorSeconds)
                    << "voice " << voice << " note " << i;
                EXPECT_EQ(got[i].pitch, static_cast<int>(want[i][2])) << "voice " << voice << " note " << i;
                EXPECT_EQ(got[i].volume, static_cast<int>(want[i][3])) << "voice " << voice << " note " << i;
            }
        }
        EXPECT_NE(mml->find(" |"), std::string::npos);
        EXPECT_NE(mml->find("\nT t"), std::string::npos);
        if (midi == reel) {
            // The reel's first bar comes back three times: a phrase.
            EXPECT_NE(mml->find("\n$p1 = "), std::string::npos) << *mml;
            EXPECT_NE(mml->find("\nA $p1 |"), std::string::npos) << *mml;
            continue;
        }
        // Bars the same, one after another: a repeat.
        EXPECT_NE(mml->find("\nF V79 o5 d+4 d+4 d+4 d+4 | [d+4 d+4 d+4 d+4]3 |\n"), std::string::npos) << *mml;
        EXPECT_NE(mml->find("T t120 !Intro r1^1 t150 !Chorus\n"), std::string::npos) << *mml;
        // The made file's kicks, a beat each, at 120 and then at 150 beats
        // a minute (the T line has both): each within a millisecond of its
        // beat, where the song file keeps the rows of one tempo.
        EXPECT_NE(mml->find("T t120 !Intro"), std::string::npos) << *mml;
        EXPECT_NE(mml->find(" t150 !Chorus"), std::string::npos) << *mml;
        std::vector<std::uint64_t> kicks;
        for (const HeardNote& note : heard.notes) {
            if (note.voice == 5) {
                kicks.push_back(note.frame);
            }
        }
        ASSERT_EQ(kicks.size(), 16u);
        for (std::size_t beat = 0; beat < kicks.size(); ++beat) {
            const double exact = beat < 8 ? beat * 24000.0 : 192000.0 + (beat - 8) * 19200.0;
            EXPECT_NEAR(static_cast<double>(kicks[beat]), exact, 48.0 + 5) << beat;  // voice 5: five frames after voice 0
        }
    }
}

}  // namespace
