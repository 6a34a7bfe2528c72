#include "mml_ticks.h"

#include "output_format.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int kUnityVolume = 128;
constexpr std::size_t kHitVoices = 4;  // voices 4 and 5 play one-shots

}  // namespace

int mmlVolumeSteps(double level, int envelopeValue)
{
    const double steps = kUnityVolume * level * envelopeValue / 15.0;
    return static_cast<int>(std::clamp(std::lround(steps), 0L, 255L));
}

MmlTicks::MmlTicks(const std::array<MmlChannel, kMmlChannels>& channels, const MmlSource& source,
                   const MmlTempoMap& tempo)
    : source_(source), tempo_(tempo), unitsPerTick_(static_cast<double>(kUnitsPerBeat) / source.ticksPerBeat)
{
    for (std::size_t voice = 0; voice < kMmlChannels; ++voice) {
        streams_[voice].notes = &channels[voice].notes;
        advance(streams_[voice], voice);
    }
}

double MmlTicks::frameOf(double units) const
{
    return tempo_.seconds(units) * static_cast<double>(kOutputRate);
}

bool MmlTicks::empty() const
{
    return std::none_of(streams_.begin(), streams_.end(), [](const Stream& s) { return s.pending; });
}

const MmlTick& MmlTicks::front() const
{
    const Stream* first = nullptr;
    for (const Stream& stream : streams_) {
        if (stream.pending && (first == nullptr || stream.step.target < first->step.target)) {
            first = &stream;
        }
    }
    return first->step;
}

void MmlTicks::pop()
{
    const MmlTick& step = front();
    advance(streams_[step.voice], step.voice);
}

double MmlTicks::nextPitch(std::size_t voice, double until) const
{
    Stream stream = streams_[voice];
    while (stream.pending && stream.step.target < until) {
        if (stream.step.pitch >= 0) {
            return stream.step.target;
        }
        advance(stream, voice);
    }
    return until;
}

// What a note's envelopes do tick by tick: to its gate's end on a cycling
// voice, to its length's on a hit. A step is made only where a value
// changes, and a note's steps end once every value is held for good.
void MmlTicks::advance(Stream& stream, std::size_t voice) const
{
    stream.pending = false;
    for (;;) {
        if (stream.note == nullptr) {
            const std::vector<MmlNote>& notes = *stream.notes;
            while (stream.next < notes.size() && notes[stream.next].volumeEnvelope == 0 &&
                   notes[stream.next].arpeggio == 0) {
                ++stream.next;
            }
            if (stream.next >= notes.size()) {
                return;
            }
            const MmlNote& note = notes[stream.next++];
            stream.note = &note;
            stream.volume = note.volumeEnvelope ? &source_.volumeEnvelopes.at(note.volumeEnvelope) : nullptr;
            stream.arpeggio = note.arpeggio ? &source_.arpeggios.at(note.arpeggio) : nullptr;
            stream.tick = 1;
            stream.until = static_cast<double>(note.start) +
                           static_cast<double>(note.length) * (voice < kHitVoices ? note.gateEighths / 8.0 : 1.0);
        }
        const MmlNote& note = *stream.note;
        const std::uint64_t tick = stream.tick++;
        const double at = static_cast<double>(note.start) + static_cast<double>(tick) * unitsPerTick_;
        if (at >= stream.until) {
            stream.note = nullptr;
            continue;
        }
        int volumeNow = -1;
        int pitchNow = -1;
        if (stream.volume && stream.volume->at(tick) != stream.volume->at(tick - 1)) {
            volumeNow = mmlVolumeSteps(note.level, stream.volume->at(tick));
        }
        if (stream.arpeggio && stream.arpeggio->at(tick) != stream.arpeggio->at(tick - 1)) {
            pitchNow = note.pitch + stream.arpeggio->at(tick);
        }
        // A value held for good changes nothing more.
        if ((!stream.volume || (!stream.volume->loop && tick >= stream.volume->values.size())) &&
            (!stream.arpeggio || (!stream.arpeggio->loop && tick >= stream.arpeggio->values.size()))) {
            stream.note = nullptr;
        }
        if (volumeNow >= 0 || pitchNow >= 0) {
            stream.step = {frameOf(at), voice, volumeNow, pitchNow, note.place.line};
            stream.pending = true;
            return;
        }
    }
}
