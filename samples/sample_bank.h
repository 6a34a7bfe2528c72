#pragma once

#include "wav_sample.h"

#include <cstddef>

// The built-in sound of each of the six voices, decoded afresh on every call
// so that each voice owns its own copy.
WavSample bankSample(std::size_t voice);
