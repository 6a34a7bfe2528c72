#pragma once

// A tiny Standard MIDI File writer, so that tests state their MIDI input
// event by event instead of carrying opaque files.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

struct MidiTrackWriter {
    std::vector<std::uint8_t> bytes;

    // An event after `delta` ticks: its status and data bytes as given
    // (leave out the status for running status).
    MidiTrackWriter& event(std::uint32_t delta, std::initializer_list<std::uint8_t> data)
    {
        variableLength(delta);
        bytes.insert(bytes.end(), data);
        return *this;
    }
    MidiTrackWriter& on(std::uint32_t delta, int channel, int note, int velocity = 100)
    {
        return event(delta, {static_cast<std::uint8_t>(0x90 | channel), static_cast<std::uint8_t>(note),
                             static_cast<std::uint8_t>(velocity)});
    }
    MidiTrackWriter& off(std::uint32_t delta, int channel, int note)
    {
        return event(delta, {static_cast<std::uint8_t>(0x80 | channel), static_cast<std::uint8_t>(note), 0});
    }
    MidiTrackWriter& tempo(std::uint32_t delta, std::uint32_t microsecondsPerQuarter)
    {
        return event(delta, {0xFF, 0x51, 0x03, static_cast<std::uint8_t>(microsecondsPerQuarter >> 16),
                             static_cast<std::uint8_t>(microsecondsPerQuarter >> 8),
                             static_cast<std::uint8_t>(microsecondsPerQuarter)});
    }
    // beats/2^power: 3, 2 is 3/4.
    MidiTrackWriter& timeSignature(std::uint32_t delta, std::uint8_t beats, std::uint8_t power)
    {
        return event(delta, {0xFF, 0x58, 0x04, beats, power, 24, 8});
    }
    MidiTrackWriter& marker(std::uint32_t delta, const std::string& text)
    {
        event(delta, {0xFF, 0x06});
        variableLength(static_cast<std::uint32_t>(text.size()));
        bytes.insert(bytes.end(), text.begin(), text.end());
        return *this;
    }
    MidiTrackWriter& end(std::uint32_t delta = 0) { return event(delta, {0xFF, 0x2F, 0x00}); }

    void variableLength(std::uint32_t value)
    {
        std::uint8_t groups[5];
        int count = 0;
        do {
            groups[count++] = value & 0x7F;
            value >>= 7;
        } while (value > 0);
        while (count-- > 0) {
            bytes.push_back(static_cast<std::uint8_t>(groups[count] | (count > 0 ? 0x80 : 0)));
        }
    }
};

inline void appendChunk(std::vector<std::uint8_t>& file, const char* id, const std::vector<std::uint8_t>& body)
{
    file.insert(file.end(), id, id + 4);
    const auto size = static_cast<std::uint32_t>(body.size());
    file.insert(file.end(), {static_cast<std::uint8_t>(size >> 24), static_cast<std::uint8_t>(size >> 16),
                             static_cast<std::uint8_t>(size >> 8), static_cast<std::uint8_t>(size)});
    file.insert(file.end(), body.begin(), body.end());
}

// A whole file: the header chunk and one MTrk chunk a track.
inline std::vector<std::uint8_t> midiFile(int format, std::uint16_t division,
                                          const std::vector<MidiTrackWriter>& tracks)
{
    std::vector<std::uint8_t> file;
    const auto count = static_cast<std::uint16_t>(tracks.size());
    appendChunk(file, "MThd",
                {0, static_cast<std::uint8_t>(format), static_cast<std::uint8_t>(count >> 8),
                 static_cast<std::uint8_t>(count), static_cast<std::uint8_t>(division >> 8),
                 static_cast<std::uint8_t>(division)});
    for (const MidiTrackWriter& track : tracks) {
        appendChunk(file, "MTrk", track.bytes);
    }
    return file;
}
