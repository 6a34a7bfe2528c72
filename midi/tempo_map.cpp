#include "tempo_map.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kDefaultTempo = 500000.0;  // microseconds a quarter note: 120 beats a minute

}  // namespace

TempoMap::TempoMap(const MidiFile& file)
{
    if (file.ticksPerQuarter == 0) {
        segments_.push_back({0, 0.0, 1.0 / file.smpteTicksPerSecond});
        return;
    }
    const std::vector<const MidiEvent*> tempos = eventsInTimeOrder(file, MidiEventKind::Tempo);
    const double quarter = static_cast<double>(file.ticksPerQuarter);
    ticksPerQuarter_ = quarter;
    segments_.push_back({0, 0.0, kDefaultTempo / 1e6 / quarter});
    for (const MidiEvent* tempo : tempos) {
        if (!first_) {
            first_ = 60e6 / tempo->tempo;
        }
        const Segment& last = segments_.back();
        const double at = last.seconds + static_cast<double>(tempo->tick - last.tick) * last.secondsPerTick;
        const Segment next{tempo->tick, at, tempo->tempo / 1e6 / quarter};
        if (tempo->tick == last.tick) {
            segments_.back() = next;  // of two at one tick, the later holds
        } else {
            segments_.push_back(next);
        }
    }
}

double TempoMap::seconds(std::uint64_t tick) const
{
    auto after = std::upper_bound(segments_.begin(), segments_.end(), tick,
                                  [](std::uint64_t t, const Segment& segment) { return t < segment.tick; });
    const Segment& segment = *(after - 1);
    return segment.seconds + static_cast<double>(tick - segment.tick) * segment.secondsPerTick;
}

std::optional<double> TempoMap::beatsPerMinuteAt(std::uint64_t tick) const
{
    if (ticksPerQuarter_ == 0.0) {
        return std::nullopt;
    }
    auto after = std::upper_bound(segments_.begin(), segments_.end(), tick,
                                  [](std::uint64_t t, const Segment& segment) { return t < segment.tick; });
    return 60.0 / ((after - 1)->secondsPerTick * ticksPerQuarter_);
}

std::uint64_t TempoMap::tickAt(double seconds) const
{
    auto after = std::upper_bound(segments_.begin(), segments_.end(), seconds,
                                  [](double s, const Segment& segment) { return s < segment.seconds; });
    const Segment& segment = *(after == segments_.begin() ? after : after - 1);
    const double ticks = std::max(0.0, (seconds - segment.seconds) / segment.secondsPerTick);
    return segment.tick + static_cast<std::uint64_t>(std::llround(ticks));
}
