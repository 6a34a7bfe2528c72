#pragma once

#include "wav_sample.h"

#include <cstddef>
#include <cstdint>

// Decodes a complete RIFF/WAVE image of 8-, 16- or 32-bit integer PCM, mono
// or stereo, into a sample that owns a copy of its data. Raises
// std::runtime_error or std::out_of_range with a fixed message for anything
// else; nothing is returned partially built.
WavSample decodeWav(const std::uint8_t* bytes, std::size_t length);
