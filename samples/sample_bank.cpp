#include "sample_bank.h"

#include "bank_images.h"
#include "wav_decoder.h"

#include <array>

namespace {

// Voices 0 and 1 share the triangle but decode it separately.
const std::array<const BankImage*, 6> kVoiceImages{
    &kCycle1Image, &kCycle1Image, &kCycle2Image, &kCycle3Image, &kHit1Image, &kHit2Image,
};

}  // namespace

WavSample bankSample(std::size_t voice)
{
    if (voice >= kVoiceImages.size()) {
        return {};
    }
    const BankImage& image = *kVoiceImages[voice];
    return decodeWav(image.bytes, image.length);
}
