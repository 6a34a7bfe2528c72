#include "mml_ticks.h"

#include "output_format.h"

#include <algorithm>
#include <cmath>
#include <limits>

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
        streams_[voice].bends = &channels[voice].bends;
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

int mmlStartPitch(const MmlNote& note, const MmlSource& source)
{
    return note.pitch + (note.arpeggio ? source.arpeggios.at(note.arpeggio).at(0) : 0) +
           (note.pitchEnvelope ? source.pitchEnvelopes.at(note.pitchEnvelope).at(0) : 0);
}

int MmlTicks::volumeAt(const Stream& stream, double units, std::uint64_t tick) const
{
    if (!stream.volume) {
        return -1;
    }
    if (!stream.volume->release.empty() && units >= stream.released) {
        const auto into = static_cast<std::uint64_t>((units - stream.released) / unitsPerTick_ + 1e-9);
        return stream.volume->releaseAt(into);
    }
    return stream.volume->at(tick);
}

int MmlTicks::pitchAt(const Stream& stream, std::uint64_t tick) const
{
    const MmlNote& note = *stream.note;
    const int base = stream.bend > 0 ? (*stream.bends)[note.firstBend + stream.bend - 1].pitch : note.pitch;
    return base + (stream.arpeggio ? stream.arpeggio->at(tick) : 0) +
           (stream.pitchEnvelope ? stream.pitchEnvelope->at(tick) : 0);
}

// What a note's envelopes, release and bends do: its envelopes tick by
// tick from its start, its release tick by tick from its gate share's end,
// its bends where they fall, all to its gate's end on a cycling voice (its
// share and its release), to its length's (or its release's) on a hit. A
// step is made only where a value changes, and a note's steps end once
// nothing can change any more.
void MmlTicks::advance(Stream& stream, std::size_t voice) const
{
    stream.pending = false;
    constexpr double kNone = std::numeric_limits<double>::infinity();
    for (;;) {
        if (stream.note == nullptr) {
            const std::vector<MmlNote>& notes = *stream.notes;
            while (stream.next < notes.size() && notes[stream.next].volumeEnvelope == 0 &&
                   notes[stream.next].arpeggio == 0 && notes[stream.next].pitchEnvelope == 0 &&
                   notes[stream.next].bendCount == 0) {
                ++stream.next;
            }
            if (stream.next >= notes.size()) {
                return;
            }
            const MmlNote& note = notes[stream.next++];
            stream.note = &note;
            stream.volume = note.volumeEnvelope ? &source_.volumeEnvelopes.at(note.volumeEnvelope) : nullptr;
            stream.arpeggio = note.arpeggio ? &source_.arpeggios.at(note.arpeggio) : nullptr;
            stream.pitchEnvelope = note.pitchEnvelope ? &source_.pitchEnvelopes.at(note.pitchEnvelope) : nullptr;
            stream.tick = 1;
            stream.releaseTick = 0;
            stream.bend = 0;
            stream.released = note.shareEnd();
            const double gateEnd = stream.released + static_cast<double>(note.releaseUnits);
            stream.until = voice < kHitVoices ? gateEnd
                                              : std::max(static_cast<double>(note.start + note.length), gateEnd);
            stream.volumeNow = stream.volume ? stream.volume->at(0) : -1;
            stream.pitchNow = mmlStartPitch(note, source_);
        }
        const MmlNote& note = *stream.note;
        const MmlEnvelope* volume = stream.volume;
        const bool releasing = volume && !volume->release.empty() && note.releaseUnits > 0;
        // The next time anything may change: a tick of an envelope still
        // moving, a tick of the release, a bend.
        const double tickAt = static_cast<double>(note.start) + static_cast<double>(stream.tick) * unitsPerTick_;
        const bool volumeMoves = volume && !volume->heldFrom(stream.tick - 1) && (!releasing || tickAt < stream.released);
        const bool ticking = volumeMoves || (stream.arpeggio && !stream.arpeggio->heldFrom(stream.tick - 1)) ||
                             (stream.pitchEnvelope && !stream.pitchEnvelope->heldFrom(stream.tick - 1));
        const double releaseAt = releasing && stream.releaseTick < volume->release.size()
                                     ? stream.released + static_cast<double>(stream.releaseTick) * unitsPerTick_
                                     : kNone;
        const double bendAt = stream.bend < note.bendCount
                                  ? static_cast<double>(note.start + (*stream.bends)[note.firstBend + stream.bend].at)
                                  : kNone;
        const double at = std::min({ticking ? tickAt : kNone, releaseAt, bendAt});
        if (at == kNone || at >= stream.until) {
            stream.note = nullptr;
            continue;
        }
        if (ticking && tickAt <= at) {
            ++stream.tick;
        }
        if (releaseAt <= at) {
            ++stream.releaseTick;
        }
        while (stream.bend < note.bendCount &&
               static_cast<double>(note.start + (*stream.bends)[note.firstBend + stream.bend].at) <= at) {
            ++stream.bend;
        }
        // The tick the note is in at `at`.
        const auto tick = static_cast<std::uint64_t>((at - static_cast<double>(note.start)) / unitsPerTick_ + 1e-9);
        const int volumeValue = volumeAt(stream, at, tick);
        const int pitchValue = pitchAt(stream, tick);
        const bool volumeChanged = volumeValue != stream.volumeNow;
        const bool pitchChanged = pitchValue != stream.pitchNow;
        stream.volumeNow = volumeValue;
        stream.pitchNow = pitchValue;
        if (volumeChanged || pitchChanged) {
            stream.step = {frameOf(at), voice, volumeChanged ? mmlVolumeSteps(note.level, volumeValue) : -1,
                           pitchChanged ? pitchValue : -1, note.place.line};
            stream.pending = true;
            return;
        }
    }
}
