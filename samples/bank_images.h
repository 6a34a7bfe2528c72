#pragma once

#include <cstddef>
#include <cstdint>

// A complete RIFF/WAVE file image built into the program.
struct BankImage {
    const std::uint8_t* bytes;
    std::size_t length;  // bytes
};

// The five built-in sounds, embedded at build time from samples/bank/*.wav.
extern const BankImage kCycle1Image;  // triangle, 56 frames mono
extern const BankImage kCycle2Image;  // 56 frames mono
extern const BankImage kCycle3Image;  // 56 frames mono
extern const BankImage kHit1Image;    // noise burst, 4444 frames stereo
extern const BankImage kHit2Image;    // thump, 1445 frames stereo
