#pragma once

#include "mml_errors.h"
#include "mml_parser.h"

#include <array>
#include <cstdint>
#include <vector>

// When each beat of a song falls, through its tempo changes: a `t` in any
// channel sets the tempo of every channel from its beat on.
class MmlTempoMap {
public:
    // From the channels' changes; two different tempi at one beat are an
    // error at the later one. Channels that failed to read are left out,
    // their beats being unsure.
    MmlTempoMap(const std::array<MmlChannel, kMmlChannels>& channels, MmlErrors& errors);

    // Seconds from the song's start to `units`.
    double seconds(std::uint64_t units) const;
    double seconds(double units) const;

    // Beats a minute at the song's start.
    int first() const { return segments_.front().beatsPerMinute; }

private:
    struct Segment {
        std::uint64_t start;  // units
        int beatsPerMinute;
        double seconds;       // at `start`
    };
    std::vector<Segment> segments_;  // by start, the first at 0
};
