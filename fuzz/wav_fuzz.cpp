// Arbitrary bytes through the RIFF/WAVE reader. Its own two error kinds are
// expected; any other exception, a crash, a read out of bounds or undefined
// behaviour is a finding. A decoded sample is read whole.

#include "wav_decoder.h"

#include <cstdint>
#include <stdexcept>

// Keeps the reads from being optimised away.
volatile float gSink = 0.0f;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    try {
        const WavSample sample = decodeWav(data, size);
        const std::uint64_t frames = sample.buffer.frameCount();
        float sum = 0.0f;
        for (std::uint64_t i = 0; i <= frames; ++i) {
            const StereoFrame frame = sample.buffer.readFrame(i);
            sum += frame.left - frame.right;
        }
        gSink = sum;
    } catch (const std::out_of_range&) {
    } catch (const std::runtime_error&) {
    }
    return 0;
}
