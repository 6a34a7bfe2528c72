#pragma once

#include "song_event.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

// The musical time a song carries beside its notes: its tempo changes, its
// meter and its cues, as map records in the event list. A record is events
// for voices the renderer skips (in the tick that reaches them, at no cost
// in time), so a song plays the same frames with or without them: its
// first event is (kMapVoice, kind, first data byte), and each further
// event (kMapMoreVoice, byte, byte) carries two more data bytes.
//
//   kind 1  tempo: beats a minute, one byte (a quarter note a beat)
//   kind 2  tempo: microseconds a quarter note, three bytes, high first
//   kind 3  meter: beats a bar, and the note value of a beat (4: a quarter)
//   kind 4  moment: where the records after it in the same tick stand,
//           in frames at 48000 Hz from the frame they are taken in, as a
//           signed 16-bit number, high byte first
//   kind 5  cue: its index
//   kind 6  cue name: its index, the name's bytes, and a 0 (these stand at
//           the song's start)
//
// A record that does not read as one of these is passed over like any
// event of those voices. A song without a tempo record has the header's
// tempo; without a meter, four quarter notes a bar.

inline constexpr std::uint8_t kMapVoice = 0xF0;
inline constexpr std::uint8_t kMapMoreVoice = 0xF1;
inline constexpr std::size_t kMaxCues = 255;       // indices 0 … 254
inline constexpr std::size_t kMaxCueNameBytes = 64;

enum class MapKind : std::uint8_t {
    BeatsPerMinute = 1,
    QuarterMicroseconds = 2,
    Meter = 3,
    Moment = 4,
    Cue = 5,
    CueName = 6,
};

struct MapRecord {
    std::uint64_t event = 0;  // the index of its first event
    std::uint64_t end = 0;    // the index after its last
    MapKind kind = MapKind::Cue;
    std::uint32_t value = 0;  // beats a minute; microseconds; beats a bar; the moment's offset (−32768 … 32767 as read); the cue's index
    std::uint32_t second = 0; // Meter: the beat's note value
};

struct SongMap {
    std::vector<MapRecord> records;     // in event order
    std::vector<std::string> cueNames;  // by index; empty where a cue has none

    // The records of `events`.
    static SongMap read(const std::vector<SongEvent>& events);

    // The record whose first event is `event`, or null.
    const MapRecord* at(std::uint64_t event) const;

    // The index of the cue named `name`, or -1.
    int cueIndex(std::string_view name) const;

    bool empty() const { return records.empty(); }
};

// A record's events, for the writers of songs.
std::vector<SongEvent> mapRecordEvents(MapKind kind, const std::vector<std::uint8_t>& data);

// A cue name record's data: its index, its name and the 0 after it.
std::vector<std::uint8_t> cueNameData(std::uint8_t index, std::string_view name);

// Whether a cue may be named so: letters, digits, _ and -, one at least.
bool validCueName(std::string_view name);
