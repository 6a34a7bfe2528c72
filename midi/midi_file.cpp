#include "midi_file.h"

#include "byte_cursor.h"
#include "riff_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace {

[[noreturn]] void fail(const std::string& reason)
{
    throw std::runtime_error(reason);
}

std::string hexByte(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

constexpr const char* kTruncatedEvent = "the track ends inside an event";

// One track's events, read through a cursor over its chunk body. Sysex and
// meta events cancel running status, as the format has it.
class TrackReader {
public:
    TrackReader(const std::uint8_t* body, std::size_t length, std::size_t fileOffset, std::size_t number)
        : cursor_{body, length, kTruncatedEvent}, fileOffset_(fileOffset), number_(number)
    {
    }

    MidiTrack read()
    {
        MidiTrack track;
        try {
            while (at_ < cursor_.length && !ended_) {
                event(track);
            }
        } catch (const std::out_of_range&) {
            failHere(kTruncatedEvent);
        }
        track.endTick = tick_;
        return track;
    }

private:
    [[noreturn]] void failHere(const std::string& reason) const
    {
        fail("track " + std::to_string(number_) + ", byte " + std::to_string(fileOffset_ + eventStart_) + ": " +
             reason);
    }

    std::uint32_t variableLength()
    {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            const std::uint8_t byte = cursor_.u8(at_++);
            value = (value << 7) | (byte & 0x7Fu);
            if ((byte & 0x80u) == 0) {
                return value;
            }
        }
        failHere("a variable-length number longer than 4 bytes");
    }

    std::uint8_t dataByte()
    {
        const std::uint8_t byte = cursor_.u8(at_++);
        if (byte & 0x80u) {
            failHere("the status byte " + hexByte(byte) + " where a data byte 0 … 127 belongs");
        }
        return byte;
    }

    // The body of a sysex or meta event, which must lie within the track.
    std::size_t body()
    {
        const std::uint32_t length = variableLength();
        if (length > cursor_.length - at_) {
            failHere("an event of " + std::to_string(length) + " bytes runs past the track's end");
        }
        const std::size_t start = at_;
        at_ += length;
        return start;
    }

    void event(MidiTrack& track)
    {
        eventStart_ = at_;
        tick_ += variableLength();
        std::uint8_t status = cursor_.u8(at_);
        if (status & 0x80u) {
            ++at_;
        } else if (running_ != 0) {
            status = running_;
        } else {
            failHere("a data byte with no status byte before it");
        }

        if (status < 0xF0) {
            running_ = status;
            const auto channel = static_cast<std::uint8_t>(status & 0x0Fu);
            const std::uint8_t type = status & 0xF0u;
            const std::uint8_t a = dataByte();
            const std::uint8_t b = type == 0xC0 || type == 0xD0 ? 0 : dataByte();
            if (type == 0x90 && b > 0) {
                track.events.push_back({tick_, MidiEventKind::NoteOn, channel, a, b, 0});
            } else if (type == 0x80 || type == 0x90) {
                track.events.push_back({tick_, MidiEventKind::NoteOff, channel, a, 0, 0});
            } else if (type == 0xB0) {
                track.events.push_back({tick_, MidiEventKind::Controller, channel, a, b, 0});
            }
            return;
        }
        running_ = 0;
        if (status == 0xF0 || status == 0xF7) {
            body();
            return;
        }
        if (status != 0xFF) {
            failHere("the status byte " + hexByte(status) + ", which has no place in a file");
        }
        const std::uint8_t type = cursor_.u8(at_++);
        const std::size_t start = body();
        const std::size_t size = at_ - start;
        if (type == 0x51 && size >= 3) {
            const std::uint32_t tempo = (static_cast<std::uint32_t>(cursor_.u8(start)) << 16) |
                                        (static_cast<std::uint32_t>(cursor_.u8(start + 1)) << 8) |
                                        cursor_.u8(start + 2);
            if (tempo > 0) {  // a tempo of 0 would stop time: ignored
                track.events.push_back({tick_, MidiEventKind::Tempo, 0, 0, 0, tempo});
            }
        } else if (type == 0x58 && size >= 2) {
            const std::uint8_t beats = cursor_.u8(start);
            const std::uint8_t unit = cursor_.u8(start + 1);
            if (beats > 0 && unit <= 6) {
                track.events.push_back({tick_, MidiEventKind::TimeSignature, 0, beats, unit, 0});
            }
        } else if (type == 0x06) {
            MidiMarker marker{tick_, {}};
            for (std::size_t i = 0; i < std::min(size, kMaxMarkerBytes); ++i) {
                marker.text += static_cast<char>(cursor_.u8(start + i));
            }
            track.markers.push_back(std::move(marker));
        } else if (type == 0x2F) {
            ended_ = true;  // bytes after the end of track are not events
        }
    }

    ByteCursor cursor_;
    std::size_t fileOffset_;   // of the track's first byte
    std::size_t number_;       // from 1
    std::size_t at_ = 0;
    std::size_t eventStart_ = 0;
    std::uint64_t tick_ = 0;
    std::uint8_t running_ = 0;  // running status, 0 for none
    bool ended_ = false;
};

}  // namespace

MidiFile readMidiFile(const std::uint8_t* bytes, std::size_t length)
{
    // A RIFF "RMID" file carries a Standard MIDI File in its data chunk.
    RiffFile riff;
    if (length >= 12 && std::memcmp(bytes, "RIFF", 4) == 0 && std::memcmp(bytes + 8, "RMID", 4) == 0) {
        try {
            riff = parseRiff(bytes, length);
        } catch (const std::exception&) {
            fail("not a Standard MIDI File: a damaged RIFF MIDI file");
        }
        for (const RiffChunk& chunk : riff.chunks) {
            if (chunk.id == fourCC("data")) {
                bytes = chunk.body.data();
                length = chunk.body.size();
                break;
            }
        }
    }

    if (length < 4 || std::memcmp(bytes, "MThd", 4) != 0) {
        fail("not a Standard MIDI File (it does not start with MThd)");
    }
    const ByteCursor cursor{bytes, length, "the file ends inside its header"};
    MidiFile file;
    std::uint32_t headerLength = 0;
    std::uint16_t division = 0;
    try {
        headerLength = cursor.u32be(4);
        file.format = cursor.u16be(8);
        file.declaredTracks = cursor.u16be(10);
        division = cursor.u16be(12);
    } catch (const std::out_of_range& error) {
        fail(error.what());
    }
    if (headerLength < 6) {
        fail("a header of " + std::to_string(headerLength) + " bytes, where 6 belong");
    }
    if (headerLength > length - 8) {
        fail("a header of " + std::to_string(headerLength) + " bytes runs past the end of the file");
    }
    if (file.format > 2) {
        fail("format " + std::to_string(file.format) + ": only formats 0, 1 and 2 exist");
    }
    if (file.declaredTracks == 0) {
        fail("the header names no tracks");
    }
    if (division & 0x8000u) {
        const int framesPerSecond = -static_cast<std::int8_t>(division >> 8);
        const unsigned ticksPerFrame = division & 0xFFu;
        if (framesPerSecond != 24 && framesPerSecond != 25 && framesPerSecond != 29 && framesPerSecond != 30) {
            fail("an SMPTE division of " + std::to_string(framesPerSecond) + " frames a second, not 24, 25, 29 or 30");
        }
        if (ticksPerFrame == 0) {
            fail("an SMPTE division of 0 ticks a frame");
        }
        // 29 stands for 30 drop-frame: 29.97 frames a second.
        file.smpteTicksPerSecond = (framesPerSecond == 29 ? 30000.0 / 1001.0 : framesPerSecond) * ticksPerFrame;
    } else if (division == 0) {
        fail("a division of 0 ticks a quarter note");
    } else {
        file.ticksPerQuarter = division;
    }

    // Chunks of other kinds are skipped, as the format asks; format 2's
    // tracks are separate songs, of which the first is read.
    const std::size_t wanted = file.format == 2 ? 1 : file.declaredTracks;
    std::size_t at = 8 + headerLength;
    while (file.tracks.size() < wanted) {
        if (length - at < 8) {
            fail("the header names " + std::to_string(file.declaredTracks) + " tracks, the file holds " +
                 std::to_string(file.tracks.size()));
        }
        const std::uint32_t chunkLength = cursor.u32be(at + 4);
        if (chunkLength > length - at - 8) {
            fail("the chunk at byte " + std::to_string(at) + " claims " + std::to_string(chunkLength) +
                 " bytes, but only " + std::to_string(length - at - 8) + " follow");
        }
        if (std::memcmp(bytes + at, "MTrk", 4) == 0) {
            const std::size_t number = file.tracks.size() + 1;
            file.tracks.push_back(TrackReader(bytes + at + 8, chunkLength, at + 8, number).read());
        }
        at += 8 + chunkLength;
    }
    return file;
}

std::vector<const MidiEvent*> eventsInTimeOrder(const MidiFile& file, MidiEventKind kind)
{
    std::vector<const MidiEvent*> events;
    for (const MidiTrack& track : file.tracks) {
        for (const MidiEvent& event : track.events) {
            if (event.kind == kind) {
                events.push_back(&event);
            }
        }
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const MidiEvent* a, const MidiEvent* b) { return a->tick < b->tick; });
    return events;
}
