#pragma once

#include <cstdint>

// The renderer's fixed output: 16-bit stereo at 48000 Hz, in blocks of 512
// frames; the file always holds whole blocks.
inline constexpr std::uint32_t kOutputRate = 48000;  // Hz
inline constexpr std::uint32_t kBlockFrames = 512;   // frames per block
inline constexpr std::uint32_t kOutputChannels = 2;
inline constexpr std::uint32_t kOutputFrameBytes = 4;  // two 16-bit samples
// Largest data size a WAV header can describe: the RIFF size field
// (36 + data bytes) must fit in 32 bits.
inline constexpr std::uint64_t kMaxDataBytes = 0xFFFFFFFFull - 36;
