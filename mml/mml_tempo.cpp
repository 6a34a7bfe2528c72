#include "mml_tempo.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>

namespace {

std::string beatText(std::uint64_t units)
{
    char text[48];
    std::snprintf(text, sizeof text, "%g", 1.0 + static_cast<double>(units) / kUnitsPerBeat);
    return text;
}

}  // namespace

MmlTempoMap::MmlTempoMap(const std::array<MmlChannel, kMmlChannels>& channels, const MmlChannel& tempoTrack,
                         MmlErrors& errors)
{
    std::map<std::uint64_t, MmlTempoChange> changes;
    std::vector<const MmlChannel*> all{&tempoTrack};
    for (const MmlChannel& channel : channels) {
        all.push_back(&channel);
    }
    for (const MmlChannel* channel : all) {
        if (channel->failed) {
            continue;
        }
        for (const MmlTempoChange& change : channel->tempos) {
            const auto [at, fresh] = changes.emplace(change.start, change);
            if (!fresh && at->second.beatsPerMinute != change.beatsPerMinute) {
                errors.add(change.place.line, change.place.column,
                           "expected one tempo at beat " + beatText(change.start) + " (t" +
                               std::to_string(at->second.beatsPerMinute) + " at line " +
                               std::to_string(at->second.place.line) + "), found t" +
                               std::to_string(change.beatsPerMinute));
            }
        }
    }
    segments_.push_back({0, kDefaultTempo, 0.0});
    for (const auto& [start, change] : changes) {
        Segment& last = segments_.back();
        if (start == last.start) {
            last.beatsPerMinute = change.beatsPerMinute;
            continue;
        }
        if (change.beatsPerMinute == last.beatsPerMinute) {
            continue;
        }
        segments_.push_back({start, change.beatsPerMinute, seconds(start)});
    }
}

double MmlTempoMap::seconds(std::uint64_t units) const
{
    return seconds(static_cast<double>(units));
}

double MmlTempoMap::seconds(double units) const
{
    auto segment = std::upper_bound(segments_.begin(), segments_.end(), units,
                                    [](double value, const Segment& s) { return value < static_cast<double>(s.start); });
    --segment;
    return segment->seconds +
           (units - static_cast<double>(segment->start)) / kUnitsPerBeat * 60.0 / segment->beatsPerMinute;
}
