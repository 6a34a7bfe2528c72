#include "sample_buffer.h"

#if defined(__x86_64__)
#include <immintrin.h>

namespace {

// Eight frames at a time, exactly as s16From: limited to ±1.0 (a NaN
// becomes +1.0: min returns its second operand when unordered), scaled,
// truncated, left in the low half of each 32-bit frame.
__attribute__((target("avx2"))) std::uint64_t writeS16StereoAvx2(std::uint8_t* out, const float* left,
                                                                  const float* right, std::uint64_t count)
{
    const __m256 high = _mm256_set1_ps(1.0f);
    const __m256 low = _mm256_set1_ps(-1.0f);
    const __m256 scale = _mm256_set1_ps(32767.0f);
    const __m256i lowHalf = _mm256_set1_epi32(0xFFFF);
    std::uint64_t j = 0;
    for (; j + 8 <= count; j += 8) {
        const __m256 l = _mm256_max_ps(_mm256_min_ps(_mm256_loadu_ps(left + j), high), low);
        const __m256 r = _mm256_max_ps(_mm256_min_ps(_mm256_loadu_ps(right + j), high), low);
        const __m256i li = _mm256_cvttps_epi32(_mm256_mul_ps(l, scale));
        const __m256i ri = _mm256_cvttps_epi32(_mm256_mul_ps(r, scale));
        const __m256i frames = _mm256_or_si256(_mm256_and_si256(li, lowHalf), _mm256_slli_epi32(ri, 16));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * j), frames);
    }
    return j;
}

}  // namespace

std::uint64_t SampleBuffer::writeS16StereoVector(std::uint8_t* out, const float* left, const float* right,
                                                 std::uint64_t count)
{
    // Read from the processor model libgcc fills in at start-up: no
    // initialisation guard, so a real-time caller never waits on one.
    return __builtin_cpu_supports("avx2") ? writeS16StereoAvx2(out, left, right, count) : 0;
}

#else

std::uint64_t SampleBuffer::writeS16StereoVector(std::uint8_t*, const float*, const float*, std::uint64_t)
{
    return 0;
}

#endif
