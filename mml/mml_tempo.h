#pragma once

#include "mml_errors.h"
#include "mml_parser.h"

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

// When each beat of a song falls, through its tempo changes: a `t` in any
// channel (or on the T line) sets the tempo of every channel from its beat
// on.
class MmlTempoMap {
public:
    // From the channels' changes; two different tempi at one beat are an
    // error at the later one. Channels that failed to read are left out,
    // their beats being unsure.
    // The T line's changes count as a channel's.
    MmlTempoMap(const std::array<MmlChannel, kMmlChannels>& channels, const MmlChannel& tempoTrack, MmlErrors& errors);

    // Seconds from the song's start to `units`.
    double seconds(std::uint64_t units) const;
    double seconds(double units) const;

    // Beats a minute at the song's start.
    int first() const { return segments_.front().beatsPerMinute; }

    // Every change after the start: (units, beats a minute), in order.
    std::vector<std::pair<std::uint64_t, int>> changes() const
    {
        std::vector<std::pair<std::uint64_t, int>> list;
        for (std::size_t i = 1; i < segments_.size(); ++i) {
            list.emplace_back(segments_[i].start, segments_[i].beatsPerMinute);
        }
        return list;
    }

private:
    struct Segment {
        std::uint64_t start;  // units
        int beatsPerMinute;
        double seconds;       // at `start`
    };
    std::vector<Segment> segments_;  // by start, the first at 0
};
