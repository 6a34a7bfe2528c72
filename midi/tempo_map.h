#pragma once

#include "midi_file.h"

#include <cstdint>
#include <optional>
#include <vector>

// The time in seconds of every tick of a file, following all the tempo
// changes before it (from any track, as format 1 files keep them in the
// first); 120 beats a minute until the first. With an SMPTE division every
// tick lasts the same and tempo events do not count.
class TempoMap {
public:
    explicit TempoMap(const MidiFile& file);

    double seconds(std::uint64_t tick) const;

    // The tick nearest to a time in seconds.
    std::uint64_t tickAt(double seconds) const;

    // The first tempo the file sets, in beats a minute.
    std::optional<double> firstBeatsPerMinute() const { return first_; }

    // The tempo in force at a tick, in beats a minute; nothing with an
    // SMPTE division, which has none.
    std::optional<double> beatsPerMinuteAt(std::uint64_t tick) const;

private:
    struct Segment {
        std::uint64_t tick;     // where this tempo starts
        double seconds;         // the time there
        double secondsPerTick;
    };
    std::vector<Segment> segments_;  // by tick
    std::optional<double> first_;
    double ticksPerQuarter_ = 0.0;   // 0 with an SMPTE division
};
