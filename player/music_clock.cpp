#include "music_clock.h"

#include <cmath>

namespace {

// Quarter positions come from sums of exact lengths taken in doubles: a
// beat or bar line a hair short of where it falls is taken as on it.
constexpr double kFuzz = 1e-7;

std::int64_t floorFuzzy(double x)
{
    return static_cast<std::int64_t>(std::floor(x + kFuzz));
}

}  // namespace

MusicClock MusicClock::start(double quarterBeatsPerMinute, double rate)
{
    MusicClock clock;
    clock.framesPerQuarter = rate * 60.0 / quarterBeatsPerMinute;
    return clock;
}

double MusicClock::quarterAt(double frame) const
{
    return anchorQuarter + (frame - anchorFrame) / framesPerQuarter;
}

double MusicClock::frameOfQuarter(double quarter) const
{
    return anchorFrame + (quarter - anchorQuarter) * framesPerQuarter;
}

double MusicClock::beatsPerMinute(double rate) const
{
    return rate * 60.0 / framesPerQuarter / quartersPerBeat();
}

void MusicClock::setTempo(double frame, double framesPerQuarterNow)
{
    anchorQuarter = quarterAt(frame);
    anchorFrame = frame;
    framesPerQuarter = framesPerQuarterNow;
}

void MusicClock::setMeter(double frame, std::uint32_t beats, std::uint32_t value)
{
    const Place here = placeAt(frame);
    const double quarter = quarterAt(frame);
    const double barQuarters = static_cast<double>(beatsPerBar) * quartersPerBeat();
    const double intoBar = quarter - meterQuarter - static_cast<double>(here.bar - meterBar) * barQuarters;
    // A bar begins here: after a bar cut short, the next one.
    meterBar = std::abs(intoBar) < kFuzz || quarter < meterQuarter ? here.bar : here.bar + 1;
    meterQuarter = quarter;
    beatsPerBar = beats;
    noteValue = value;
}

void MusicClock::shift(double frames)
{
    anchorFrame += frames;
}

MusicClock::Place MusicClock::placeAt(double frame) const
{
    const double beats = (quarterAt(frame) - meterQuarter) / quartersPerBeat();
    const std::int64_t index = floorFuzzy(beats);
    Place place = placeOfBeat(index);
    const double phase = beats - static_cast<double>(index);
    place.phase = phase < 0.0 ? 0.0 : phase >= 1.0 ? std::nextafter(1.0, 0.0) : phase;
    return place;
}

MusicClock::Place MusicClock::placeOfBeat(std::int64_t index) const
{
    const auto perBar = static_cast<std::int64_t>(beatsPerBar);
    const std::int64_t bars = index >= 0 ? index / perBar : -((-index + perBar - 1) / perBar);
    const std::int64_t beat = index - bars * perBar;
    const std::int64_t bar = static_cast<std::int64_t>(meterBar) + bars;
    return {bar >= 1 ? static_cast<std::uint64_t>(bar) : 1, static_cast<std::uint32_t>(beat + 1), 0.0, index};
}

double MusicClock::exactBeatFrame(std::int64_t index) const
{
    return frameOfQuarter(beatQuarter(index));
}
