#include "bar_beat.h"

#include <algorithm>
#include <cstdio>

BarBeatMap::BarBeatMap(const MidiFile& file)
{
    if (file.ticksPerQuarter == 0) {
        return;
    }
    const std::uint64_t quarter = file.ticksPerQuarter;
    const std::vector<const MidiEvent*> signatures = eventsInTimeOrder(file, MidiEventKind::TimeSignature);
    segments_.push_back({0, 1, quarter, 4});
    for (const MidiEvent* signature : signatures) {
        const Segment& last = segments_.back();
        // The beat is a whole note over 2^b: 4 quarters × 2^-b. Beats too
        // short for the division are a tick long.
        const std::uint64_t beat = std::max<std::uint64_t>(1, 4 * quarter >> signature->b);
        const std::uint64_t barTicks = last.ticksPerBeat * last.beatsPerBar;
        const std::uint64_t bars = (signature->tick - last.tick + barTicks - 1) / barTicks;
        const Segment next{signature->tick, last.bar + bars, beat, signature->a};
        if (signature->tick == last.tick) {
            segments_.back() = {last.tick, last.bar, beat, signature->a};
        } else {
            segments_.push_back(next);
        }
    }
}

std::string BarBeatMap::label(std::uint64_t tick, double seconds) const
{
    char text[96];
    if (segments_.empty()) {
        std::snprintf(text, sizeof text, "at %.3f s", seconds);
        return text;
    }
    auto after = std::upper_bound(segments_.begin(), segments_.end(), tick,
                                  [](std::uint64_t t, const Segment& segment) { return t < segment.tick; });
    const Segment& segment = *(after - 1);
    const std::uint64_t into = tick - segment.tick;
    const std::uint64_t barTicks = segment.ticksPerBeat * segment.beatsPerBar;
    const std::uint64_t bar = segment.bar + into / barTicks;
    const double beat = 1.0 + static_cast<double>(into % barTicks) / static_cast<double>(segment.ticksPerBeat);
    std::snprintf(text, sizeof text, "bar %llu, beat %.4g", static_cast<unsigned long long>(bar), beat);
    return text;
}
