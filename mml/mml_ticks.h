#pragma once

#include "mml_parser.h"
#include "mml_source.h"
#include "mml_tempo.h"

#include <array>
#include <cstddef>
#include <cstdint>

// The steps that volume envelopes (and their releases), arpeggios, pitch
// envelopes, legato and slides take inside notes, in the
// order of their frames (steps at one frame in voice order), each made only
// when the planner reaches it: a song of millions of steps holds a few at a
// time.

struct MmlTick {
    double target = 0.0;   // the frame it falls in
    std::size_t voice = 0;
    int volume = -1;       // new SetVolume steps, or -1
    int pitch = -1;        // new table index, or -1
    std::size_t line = 0;  // the note's MML line
};

// SetVolume's steps for a channel at `level` (a fraction of unity) and an
// envelope value 0 … 15.
int mmlVolumeSteps(double level, int envelopeValue);

// The table index a note starts at: its pitch with its arpeggio's and
// pitch envelope's first offsets.
int mmlStartPitch(const MmlNote& note, const MmlSource& source);

class MmlTicks {
public:
    MmlTicks(const std::array<MmlChannel, kMmlChannels>& channels, const MmlSource& source, const MmlTempoMap& tempo);

    bool empty() const;
    const MmlTick& front() const;  // only while not empty
    void pop();

    // The frame of the next step of `voice` that changes its pitch, if one
    // falls before `until`; otherwise `until` or more.
    double nextPitch(std::size_t voice, double until) const;

private:
    // One voice's notes, stepped through tick by tick.
    struct Stream {
        const std::vector<MmlNote>* notes = nullptr;
        const std::vector<MmlBend>* bends = nullptr;  // the channel's
        std::size_t next = 0;             // the note after the one being stepped through
        const MmlNote* note = nullptr;    // the one being stepped through
        const MmlEnvelope* volume = nullptr;
        const MmlEnvelope* arpeggio = nullptr;
        const MmlEnvelope* pitchEnvelope = nullptr;
        std::uint64_t tick = 0;           // the next tick of `note`, from 1
        std::uint64_t releaseTick = 0;    // the next tick of its release, from 1 (0: the release's start)
        std::uint32_t bend = 0;           // the next of its bends, from 0
        double released = 0.0;            // units: where its release starts (its gate share's end)
        double until = 0.0;               // units: where its steps stop
        int volumeNow = -1;               // what the last step (or the strike) set
        int pitchNow = -1;
        bool pending = false;             // `step` is the next step
        MmlTick step;
    };

    // The values of `stream`'s note at `units` (the pitch: through its
    // bends taken so far), where the last tick taken is `tick`.
    int volumeAt(const Stream& stream, double units, std::uint64_t tick) const;
    int pitchAt(const Stream& stream, std::uint64_t tick) const;

    // Makes `stream.step` the stream's next step, if it has one.
    void advance(Stream& stream, std::size_t voice) const;
    double frameOf(double units) const;

    const MmlSource& source_;
    const MmlTempoMap& tempo_;
    double unitsPerTick_;
    std::array<Stream, kMmlChannels> streams_;
};
