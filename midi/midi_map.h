#pragma once

#include "midi_file.h"
#include "song_map.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A MIDI file's musical time as the song's map records: its tempo at the
// start and every change (microseconds a quarter note, exactly as the file
// has them), its time signatures, and its markers as cues. Files timed in
// SMPTE frames have no tempo or bars: only their markers are kept.
struct MidiMapItem {
    std::uint64_t tick = 0;
    MapKind kind = MapKind::Cue;  // QuarterMicroseconds, Meter or Cue
    std::vector<std::uint8_t> data;
    std::string marker;           // Cue: the marker's text as the file has it
};

struct MidiMap {
    std::vector<std::string> cueNames;  // by index, in the order first met
    std::vector<MidiMapItem> start;     // the tempo and meter at tick 0
    std::vector<MidiMapItem> changes;   // every later change and every cue, by tick
    std::size_t markersDropped = 0;     // with no letter or digit, or past kMaxCues names
};

MidiMap midiMap(const MidiFile& file);

// A marker's text as a cue name: letters, digits and _ kept, each run of
// anything else (spaces, punctuation, bytes not ASCII) one -, none at
// either end, cut to kMaxCueNameBytes: "Verse 1" is Verse-1, "Boss --
// fight!" Boss-fight. Empty where nothing is left.
std::string cueNameOf(std::string_view marker);
