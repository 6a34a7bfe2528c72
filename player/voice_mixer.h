#pragma once

#include "voice.h"

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>

// Adds sounding voices into consecutive output frames. Each voice's playhead
// advances by its increment every frame, wraps (sustained) or ends (one-shot)
// at the end of its sample, and its sample is read and interpolated with the
// stored format chosen once for the whole run. `left` and `right` hold what
// is already mixed; voices are added in index order, so every frame's sum
// is the same as adding them one frame at a time.

// One frame's move of a playhead, as every mixer takes it: true when a
// one-shot has passed its end (that frame is still heard).
inline bool stepPlayhead(float& playhead, float increment, float end, bool sustain)
{
    playhead += increment;
    if (playhead < end) {
        return false;
    }
    if (!sustain) {
        return true;
    }
    playhead -= end;
    // At a low output rate one frame can pass several cycles; the
    // remainder is exact, as the one subtraction is.
    if (playhead >= end) {
        playhead = std::fmod(playhead, end);
    }
    return false;
}

// One voice over `frames` frames. Returns the frames in which it was
// sounding when the frame began: `frames`, or fewer when a one-shot pass
// ends (that last frame is still mixed).
std::size_t mixVoice(Voice& voice, float increment, std::size_t frames, float* left, float* right);

// Moves one voice's playhead as mixVoice would over `frames` frames, bit
// for bit, without reading its sample; returns what mixVoice would. Runs
// of frames in which every sum is exact are taken in one step.
std::size_t advanceVoice(Voice& voice, float increment, std::size_t frames);

// All six voices over `frames` frames (at most kMaxMixFrames), writing each
// voice's count as mixVoice returns it into `sounded` (0 for a voice that is
// not sounding). Uses the vector path where the processor and the voices'
// samples allow it; the results are bit-identical either way. A `muted`
// voice is moved as advanceVoice moves it and adds nothing.
inline constexpr std::size_t kMaxMixFrames = 512;
void mixVoices(std::array<Voice, kVoiceCount>& voices, const std::array<bool, kVoiceCount>& muted, float step,
               std::size_t frames, float* left, float* right, std::array<std::size_t, kVoiceCount>& sounded);

// The vector path alone, for testing it against mixVoice: with the
// kernels chosen for this processor, or with the `kernel`-th of those it
// runs (0 … vectorKernels() − 1). False (and nothing mixed) where it does
// not apply.
bool mixVoicesVector(std::array<Voice, kVoiceCount>& voices, float step, std::size_t frames, float* left, float* right,
                     std::array<std::size_t, kVoiceCount>& sounded, std::size_t kernel = 0);

// How many instruction sets the vector mixer can use on this processor; 0
// where it is not built.
std::size_t vectorKernels();

// Mixed frames as interleaved 16-bit stereo, as SampleBuffer::writeFrames
// writes them (limited to ±1.0, a NaN as +1.0, scaled by 32767, truncated),
// in vector code where the vector mixer is built.
void writeMixS16Stereo(std::uint8_t* out, const float* left, const float* right, std::size_t frames);
