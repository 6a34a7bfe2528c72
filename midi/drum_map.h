#pragma once

#include <cstdint>

// Where each General MIDI percussion note plays: on the low thump (voice 5)
// or the noise burst (voice 4), at a pitch that keeps the kit's sounds
// apart: kicks and low toms low on the thump; snares and claps around the
// noise burst's own pitch, toms above them, and hi-hats and cymbals bright.
struct DrumSound {
    std::uint8_t voice;  // 4 or 5
    int pitch;           // table index 0 … 80
};

DrumSound drumSound(int key);

// How long a hit sounds at a pitch, in seconds.
double hitSeconds(const DrumSound& sound);
