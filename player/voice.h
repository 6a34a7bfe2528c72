#pragma once

#include "countdown.h"
#include "sample_table.h"
#include "wav_sample.h"

#include <cstddef>
#include <cstdint>

inline constexpr std::size_t kVoiceCount = 6;

// One of the six voices: its sample and where it is playing it. Voices never
// see events; the sequencer sets these fields and the mixer reads them.
struct Voice {
    WavSample sample;       // the voice's own copy of its built-in sound
    SampleTable table;      // the sound as floats, for the vector mixer
    float pitch = 1.0f;     // playback-rate ratio, 0.0992128 … 10.079343
    float volume = 1.0f;    // gain, 0 … 1.9921875
    float playhead = 0.0f;  // frames into sample, 0 … frame count
    std::uint64_t owed = 0; // frames a seek has yet to move the playhead by; a new note drops them
    Countdown gate;         // seconds of the current note still to run
    bool active = false;    // sounding
    bool sustain = false;   // wraps to the start instead of stopping (gate open, voices 0–3)

    // What each tick does once the gate has run out: the voice stops
    // cycling and plays on to the end of its current pass.
    void release()
    {
        gate.set(0.0f);
        sustain = false;
        if (playhead >= static_cast<float>(sample.buffer.frameCount())) {
            active = false;
        }
    }

    // Released already, so that further ticks repeat release() without
    // changing anything.
    bool settled() const
    {
        return !sustain && gate.seconds == 0.0f && !gate.widened &&
               playhead < static_cast<float>(sample.buffer.frameCount());
    }
};
