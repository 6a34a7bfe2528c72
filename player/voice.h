#pragma once

#include "countdown.h"
#include "wav_sample.h"

// One of the six voices: its sample and where it is playing it. Voices never
// see events; the sequencer sets these fields and the mixer reads them.
struct Voice {
    WavSample sample;       // the voice's own copy of its built-in sound
    float pitch = 1.0f;     // playback-rate ratio, 0.0992128 … 10.079343
    float volume = 1.0f;    // gain, 0 … 1.9921875
    float playhead = 0.0f;  // frames into sample, 0 … frame count
    Countdown gate;         // seconds of the current note still to run
    bool active = false;    // sounding
    bool sustain = false;   // wraps to the start instead of stopping (gate open, voices 0–3)
};
