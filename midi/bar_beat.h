#pragma once

#include "midi_file.h"

#include <cstdint>
#include <string>
#include <vector>

// Bars and beats of a file's ticks, by its time signatures (4/4 until the
// first): "bar 3, beat 2.5". A change of signature starts a new bar. Files
// timed in SMPTE frames have no bars; their labels are times in seconds.
class BarBeatMap {
public:
    explicit BarBeatMap(const MidiFile& file);

    // `seconds` is used for files with no bars.
    std::string label(std::uint64_t tick, double seconds) const;

private:
    struct Segment {
        std::uint64_t tick;        // where this signature starts, on a bar line
        std::uint64_t bar;         // the bar starting there, from 1
        std::uint64_t ticksPerBeat;
        std::uint64_t beatsPerBar;
    };
    std::vector<Segment> segments_;
};
