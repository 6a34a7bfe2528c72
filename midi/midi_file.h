#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A Standard MIDI File as far as the import reads it: the tracks' note,
// controller, tempo and time-signature events and their markers, at their
// absolute ticks. Every other channel message, sysex and meta event is read
// and skipped.

// The largest MIDI file read: real ones are kilobytes to a few megabytes.
inline constexpr std::uint64_t kMaxMidiFileBytes = 16u << 20;

enum class MidiEventKind : std::uint8_t {
    NoteOn,         // a: note, b: velocity 1 … 127
    NoteOff,        // a: note (a note-on of velocity 0 included)
    Controller,     // a: controller number, b: value
    Tempo,          // tempo: microseconds a quarter note
    TimeSignature,  // a: beats a bar, b: the beat as a power of two (2: a quarter note)
};

struct MidiEvent {
    std::uint64_t tick = 0;      // from the start of the track
    MidiEventKind kind = MidiEventKind::NoteOn;
    std::uint8_t channel = 0;    // 0 … 15, channel messages only
    std::uint8_t a = 0;
    std::uint8_t b = 0;
    std::uint32_t tempo = 0;     // microseconds a quarter note, 1 … 2^24 − 1
};

// A marker meta event: a name for a place in the music ("Verse", "Loop").
struct MidiMarker {
    std::uint64_t tick = 0;
    std::string text;  // its bytes as the file has them, the first kMaxMarkerBytes
};

inline constexpr std::size_t kMaxMarkerBytes = 255;

struct MidiTrack {
    std::vector<MidiEvent> events;  // in file order, so in tick order
    std::vector<MidiMarker> markers;  // likewise
    std::uint64_t endTick = 0;      // the tick of the track's last event
};

struct MidiFile {
    int format = 0;                       // 0, 1 or 2
    std::uint16_t ticksPerQuarter = 0;    // musical division; 0 with an SMPTE one
    double smpteTicksPerSecond = 0.0;     // SMPTE division: frames a second × ticks a frame
    std::uint16_t declaredTracks = 0;     // what the header says
    std::vector<MidiTrack> tracks;        // only the first for format 2
};

// The events of one kind from every track, in time order (file order among
// events at one tick), as tempo and time signatures are kept.
std::vector<const MidiEvent*> eventsInTimeOrder(const MidiFile& file, MidiEventKind kind);

// Reads a whole file image (also a RIFF "RMID" file holding one). Raises
// std::runtime_error saying, for the user, why the file cannot be read ("not
// a Standard MIDI File", "track 2: the track ends inside an event").
// Nothing is allocated beyond what the events found justify.
MidiFile readMidiFile(const std::uint8_t* bytes, std::size_t length);
