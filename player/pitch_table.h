#pragma once

#include <array>
#include <cstddef>

// Playback-rate ratios one equal-tempered semitone apart, built as a chain
// of single-precision products and quotients from 1.059463 so that every
// entry is reproduced bit for bit (entry 52 is 1.9999983, not 2).
inline constexpr std::size_t kPitchCount = 81;
inline constexpr std::size_t kUnityPitch = 40;  // ratio exactly 1.0, the default

constexpr std::array<float, kPitchCount> makePitchRatios()
{
    constexpr float kSemitone = 1.059463f;
    std::array<float, kPitchCount> ratios{};
    ratios[kUnityPitch] = 1.0f;
    for (std::size_t n = kUnityPitch + 1; n < kPitchCount; ++n) {
        ratios[n] = ratios[n - 1] * kSemitone;
    }
    for (std::size_t n = kUnityPitch; n-- > 0;) {
        ratios[n] = ratios[n + 1] / kSemitone;
    }
    return ratios;
}

inline constexpr std::array<float, kPitchCount> kPitchRatios = makePitchRatios();
