#pragma once

#include "midi_file.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Turns a MIDI file's notes into a song for the six voices.
//
// The grid: the song's tempo is the one that governs the most note time
// (not the file's first, often a placeholder), and its rows a beat the
// fewest of 4, 6, 8, 12, 16, … that put the notes' starts within a few
// milliseconds of rows (median), unless the options set either.
//
// Time: each note starts and ends on the row nearest to its time in
// seconds (the file's tempo map followed), rows being 60 / (tempo ×
// rowsPerBeat) seconds. The waits are written so that the player takes
// each group of notes at the frame nearest to its time, the frames its
// events take and its countdowns' rounding counted, so that no error
// grows with the song's length.
//
// Melodic notes go to voices 0–3, at most four at once. Where more sound
// at once, the highest and the lowest (melody and bass) are always kept,
// then the notes already sounding, then the new ones from the top down;
// a new note that is not kept is dropped, a sounding one is cut short by
// the note that takes its voice. A new note takes the free voice whose last
// note was nearest in pitch, so that lines stay on one voice.
//
// Drums (the drum channel), by the General MIDI kit (drum_map.h): kicks
// and low toms on voice 5, the thump, every other drum on voice 4, the
// noise burst, each at its own pitch; one hit a voice a row, the loudest
// (of equally loud ones, the first in the file).
//
// Pitch: table index = MIDI note + transpose − 39, moved by whole octaves
// into 0 … 80. Volume: velocity × channel volume (CC 7, 100 until set) ×
// expression (CC 11, 127 until set), 128 steps for velocity 127 at full
// volume, then scaled so that the rendered song peaks at −1 dBFS at most
// (or by a gain the options set). SetPitch and SetVolume are written only
// when they change, and for every voice's first note (the song comes back
// to its start with whatever its end left). The song ends with LoopEnd
// once the last note has sounded.
//
// The song carries the file's musical time as its map (midi_map.h): the
// tempo and time signature at the start, every change where it falls (one
// well away from any note in a wait of its own), and the markers as cues,
// each taken with the first notes at or after it, so that a jump to it
// plays them.

struct ImportOptions {
    std::optional<int> rowsPerBeat;  // 1 … 255, instead of the grid that fits
    std::optional<int> tempo;     // 1 … 255: the header's tempo, instead of the governing one
    std::optional<double> gainDb;  // volumes scaled by this many dB (0: as mapped), instead of for headroom
    int transpose = 0;            // semitones, for melodic notes
    std::uint16_t channels = 0xFFFF;  // bit n set: MIDI channel n + 1 is taken
    int drumChannel = 9;          // 0 … 15: MIDI channel 10
};

// One line of the song's text form.
struct ImportedLine {
    std::string statement;  // empty for a comment alone
    std::string comment;
};

struct ImportResult {
    std::vector<std::uint8_t> song;   // the song file
    std::vector<ImportedLine> text;   // the same song in the text form, with bars, beats and channels
    std::size_t notesTaken = 0;
    std::size_t notesDroppedOrCut = 0;  // for lack of voices
    std::size_t notesMoved = 0;         // by octaves into the pitch table
    std::size_t notesShortened = 0;     // held longer than a gate of 255 rows
    std::size_t cues = 0;               // named from the file's markers
    std::size_t markersDropped = 0;     // naming nothing a cue can be named, or past 255 names
    std::array<std::size_t, 16> notesByChannel{};    // notes of each MIDI channel taken or not
    std::array<std::size_t, 16> droppedByChannel{};  // of those, dropped or cut for lack of voices
    int tempo = 120;                    // the header's
    int rowsPerBeat = 4;                // the header's
    double medianErrorSeconds = 0.0;    // of the notes' starts from their MIDI times, as the player takes them
    double largestErrorSeconds = 0.0;
    double gain = 1.0;                  // the volumes' scale
    double peak = 0.0;                  // of the rendered song, full scale 1.0
    // Of each NoteOn written, in order: where its note starts and is
    // released in the file, in quarter notes from its start (for writing
    // the song as MML on its beats); none for a file timed in SMPTE frames.
    std::vector<std::pair<double, double>> noteBeats;
};

// The lines as the text form, comments lined up as sqndis lines them up.
std::string textForm(const std::vector<ImportedLine>& lines);

// Raises std::runtime_error for a file whose music lasts longer than 24 hours.
ImportResult importMidi(const MidiFile& file, const ImportOptions& options);
