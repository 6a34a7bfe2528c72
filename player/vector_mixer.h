#pragma once

// The vector mixer's kernels (vector_mixer.cpp): compiled for each
// instruction set of the architecture, the best this processor runs chosen
// at start-up.

#include "voice.h"

#include <cstddef>
#include <cstdint>

// writeMixS16Stereo's vector part: converts the frames it can in whole
// vectors and returns how many.
std::size_t writeMixS16StereoKernel(std::uint8_t* out, const float* left, const float* right, std::size_t frames);

// The instruction sets the kernels were compiled for that this processor
// runs, best first (the one chosen is the first); and the mixing kernel of
// any of them: mixes every active voice over `frames` frames (at most
// kMaxMixFrames) as mixVoices does. Every active voice must have a table
// describing its sample and an increment below its frame count less one;
// mixVoicesVector checks that before calling it.
std::size_t vectorKernelCount();
void mixVoicesVectorKernelAt(std::size_t which, Voice* voices, float step, std::size_t frames, float* left,
                             float* right, std::size_t* sounded);
