#pragma once

#include "voice.h"

#include <cstddef>
#include <cstdint>

// The vector mixer's kernel, for the instruction set this processor has
// best: mixes every active voice over `frames` frames (at most
// kMaxMixFrames) as mixVoices does. Every active voice must have a table
// describing its sample and an increment below its frame count less one;
// mixVoicesVector checks that before calling it.
void mixVoicesVectorKernel(Voice* voices, float step, std::size_t frames, float* left, float* right,
                           std::size_t* sounded);

// The playheads alone over `frames` frames (any number), as
// mixVoicesVectorKernel moves them: for seeking. Every active voice must
// have a sample of more frames than its increment plus one.
void advanceVoicesVectorKernel(Voice* voices, float step, std::size_t frames, std::size_t* sounded);

// writeMixS16Stereo's vector part: converts the frames it can in whole
// vectors and returns how many.
std::size_t writeMixS16StereoKernel(std::uint8_t* out, const float* left, const float* right, std::size_t frames);
