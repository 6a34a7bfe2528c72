#include "midi_map.h"

#include <algorithm>

namespace {

constexpr std::uint32_t kDefaultQuarterMicroseconds = 500000;  // 120 beats a minute until a file says

// What a name keeps as it is; every run of anything else (a - included)
// becomes one -.
bool keptByte(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

std::vector<std::uint8_t> tempoData(std::uint32_t microseconds)
{
    return {static_cast<std::uint8_t>(microseconds >> 16), static_cast<std::uint8_t>(microseconds >> 8),
            static_cast<std::uint8_t>(microseconds)};
}

std::vector<std::uint8_t> meterData(const MidiEvent& signature)
{
    return {signature.a, static_cast<std::uint8_t>(1u << signature.b)};
}

}  // namespace

std::string cueNameOf(std::string_view marker)
{
    std::string name;
    bool gap = false;
    for (const char c : marker) {
        if (!keptByte(c)) {
            gap = !name.empty();
            continue;
        }
        if (gap) {
            name += '-';
            gap = false;
        }
        name += c;
    }
    name.resize(std::min(name.size(), kMaxCueNameBytes));
    while (!name.empty() && name.back() == '-') {
        name.pop_back();
    }
    return name;
}

MidiMap midiMap(const MidiFile& file)
{
    MidiMap map;
    if (file.ticksPerQuarter != 0) {
        // Of several at one tick, the last in time order holds, as the
        // tempo map takes them.
        std::uint32_t tempo = kDefaultQuarterMicroseconds;
        std::vector<MidiMapItem> tempos;
        for (const MidiEvent* event : eventsInTimeOrder(file, MidiEventKind::Tempo)) {
            if (event->tick == 0) {
                tempo = event->tempo;
            } else if (!tempos.empty() && tempos.back().tick == event->tick) {
                tempos.back().data = tempoData(event->tempo);
            } else {
                tempos.push_back({event->tick, MapKind::QuarterMicroseconds, tempoData(event->tempo), {}});
            }
        }
        std::vector<std::uint8_t> meter{4, 4};
        std::vector<MidiMapItem> meters;
        for (const MidiEvent* event : eventsInTimeOrder(file, MidiEventKind::TimeSignature)) {
            if (event->tick == 0) {
                meter = meterData(*event);
            } else if (!meters.empty() && meters.back().tick == event->tick) {
                meters.back().data = meterData(*event);
            } else {
                meters.push_back({event->tick, MapKind::Meter, meterData(*event), {}});
            }
        }
        map.start.push_back({0, MapKind::QuarterMicroseconds, tempoData(tempo), {}});
        map.start.push_back({0, MapKind::Meter, meter, {}});
        map.changes = std::move(tempos);
        map.changes.insert(map.changes.end(), meters.begin(), meters.end());
    }
    std::vector<const MidiMarker*> markers;
    for (const MidiTrack& track : file.tracks) {
        for (const MidiMarker& marker : track.markers) {
            markers.push_back(&marker);
        }
    }
    std::stable_sort(markers.begin(), markers.end(),
                     [](const MidiMarker* a, const MidiMarker* b) { return a->tick < b->tick; });
    for (const MidiMarker* marker : markers) {
        const std::string name = cueNameOf(marker->text);
        auto found = std::find(map.cueNames.begin(), map.cueNames.end(), name);
        if (name.empty() || (found == map.cueNames.end() && map.cueNames.size() == kMaxCues)) {
            ++map.markersDropped;
            continue;
        }
        if (found == map.cueNames.end()) {
            map.cueNames.push_back(name);
            found = map.cueNames.end() - 1;
        }
        const auto index = static_cast<std::uint8_t>(found - map.cueNames.begin());
        map.changes.push_back({marker->tick, MapKind::Cue, {index}, marker->text});
    }
    // Tempo, then meter, then cues at one tick: the time first.
    std::stable_sort(map.changes.begin(), map.changes.end(),
                     [](const MidiMapItem& a, const MidiMapItem& b) { return a.tick < b.tick; });
    return map;
}
