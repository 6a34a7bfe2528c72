#include "song_map.h"

#include <algorithm>

namespace {

// Data bytes a record of `kind` holds; 0 for a cue name, which runs to its 0.
std::size_t dataBytes(MapKind kind)
{
    switch (kind) {
    case MapKind::BeatsPerMinute: return 1;
    case MapKind::QuarterMicroseconds: return 3;
    case MapKind::Meter: return 2;
    case MapKind::Moment: return 2;
    case MapKind::Cue: return 1;
    case MapKind::CueName: return 0;
    }
    return 1;
}

bool knownKind(std::uint8_t kind)
{
    return kind >= static_cast<std::uint8_t>(MapKind::BeatsPerMinute) &&
           kind <= static_cast<std::uint8_t>(MapKind::CueName);
}

}  // namespace

SongMap SongMap::read(const std::vector<SongEvent>& events)
{
    SongMap map;
    for (std::uint64_t i = 0; i < events.size(); ++i) {
        const SongEvent& first = events[i];
        if (first.voice != kMapVoice || !knownKind(first.command)) {
            continue;
        }
        const auto kind = static_cast<MapKind>(first.command);
        std::vector<std::uint8_t> data{static_cast<std::uint8_t>(first.param)};
        std::uint64_t next = i + 1;
        const std::size_t wanted = dataBytes(kind);
        const auto complete = [&] {
            return kind == MapKind::CueName ? (data.size() > 1 && data.back() == 0)
                                            : data.size() >= wanted;
        };
        while (!complete() && next < events.size() && events[next].voice == kMapMoreVoice &&
               data.size() <= kMaxCueNameBytes + 2) {
            data.push_back(events[next].command);
            data.push_back(static_cast<std::uint8_t>(events[next].param));
            ++next;
            if (kind == MapKind::CueName) {
                // The name ends at its first 0, wherever in the event.
                const auto zero = std::find(data.begin() + 1, data.end(), 0);
                if (zero != data.end()) {
                    data.erase(zero + 1, data.end());
                }
            }
        }
        if (!complete()) {
            continue;  // cut short: not a record
        }
        MapRecord record;
        record.event = i;
        record.end = next;
        record.kind = kind;
        switch (kind) {
        case MapKind::BeatsPerMinute:
            record.value = data[0];
            if (record.value == 0) {
                continue;
            }
            break;
        case MapKind::QuarterMicroseconds:
            record.value = static_cast<std::uint32_t>(data[0]) << 16 | static_cast<std::uint32_t>(data[1]) << 8 | data[2];
            if (record.value == 0) {
                continue;
            }
            break;
        case MapKind::Meter:
            record.value = data[0];
            record.second = data[1];
            if (record.value == 0 || record.second == 0 || (record.second & (record.second - 1)) != 0) {
                continue;  // a note value is a power of two
            }
            break;
        case MapKind::Moment:
            record.value = static_cast<std::uint32_t>(data[0]) << 8 | data[1];
            break;
        case MapKind::Cue:
            record.value = data[0];
            break;
        case MapKind::CueName: {
            record.value = data[0];
            const std::string_view name(reinterpret_cast<const char*>(data.data()) + 1, data.size() - 2);
            if (record.value >= kMaxCues || !validCueName(name)) {
                continue;  // a name a game could not ask for by name
            }
            if (map.cueNames.size() <= record.value) {
                map.cueNames.resize(record.value + 1);
            }
            map.cueNames[record.value] = name;
            break;
        }
        }
        map.records.push_back(record);
        i = next - 1;
    }
    return map;
}

const MapRecord* SongMap::at(std::uint64_t event) const
{
    const auto found = std::lower_bound(records.begin(), records.end(), event,
                                        [](const MapRecord& record, std::uint64_t index) { return record.event < index; });
    return found != records.end() && found->event == event ? &*found : nullptr;
}

int SongMap::cueIndex(std::string_view name) const
{
    for (std::size_t i = 0; i < cueNames.size(); ++i) {
        if (!cueNames[i].empty() && cueNames[i] == name) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

std::vector<SongEvent> mapRecordEvents(MapKind kind, const std::vector<std::uint8_t>& data)
{
    std::vector<SongEvent> events;
    events.push_back({kMapVoice, static_cast<std::uint8_t>(kind), static_cast<std::uint16_t>(data.empty() ? 0 : data[0])});
    for (std::size_t i = 1; i < data.size(); i += 2) {
        const std::uint8_t second = i + 1 < data.size() ? data[i + 1] : 0;
        events.push_back({kMapMoreVoice, data[i], second});
    }
    return events;
}

std::vector<std::uint8_t> cueNameData(std::uint8_t index, std::string_view name)
{
    std::vector<std::uint8_t> data;
    data.reserve(name.size() + 2);
    data.push_back(index);
    for (const char c : name) {
        data.push_back(static_cast<std::uint8_t>(c));
    }
    data.push_back(0);
    return data;
}

bool validCueName(std::string_view name)
{
    return !name.empty() && name.size() <= kMaxCueNameBytes &&
           std::all_of(name.begin(), name.end(), [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
           });
}
