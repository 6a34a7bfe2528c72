#include "float_bits.h"
#include "voice_mixer.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

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

template <SampleFormat F, ChannelLayout L>
std::size_t mixSpan(Voice& voice, float increment, std::size_t frames, float* left, float* right)
{
    const SampleBuffer& sample = voice.sample.buffer;
    const std::uint8_t* data = sample.data;
    const auto n = static_cast<std::int64_t>(sample.frameCount());
    const float end = static_cast<float>(n);
    const float volume = voice.volume;
    const bool sustain = voice.sustain;
    float playhead = voice.playhead;

    for (std::size_t k = 0; k < frames; ++k) {
        // The playhead moves before it is read: a note's first frame reads
        // at one increment, not at 0.
        const bool last = stepPlayhead(playhead, increment, end, sustain);
        const auto i0 = static_cast<std::int64_t>(playhead);
        const float frac = playhead - static_cast<float>(i0);
        // Interpolation wraps to frame 0 after the last frame, for one-shots too.
        auto i1 = static_cast<std::int64_t>(playhead + 1.0f);
        if (i1 >= n) {
            i1 %= n;
        }
        // i0 passes the end only on a one-shot's last frame: silence.
        if constexpr (L == ChannelLayout::Mono) {
            const float a = i0 < n ? SampleBuffer::sampleAt<F>(data, i0) : 0.0f;
            const float b = SampleBuffer::sampleAt<F>(data, i1);
            const float value = volume * ((b - a) * frac + a);
            left[k] += value;
            right[k] += value;
        } else {
            const float aLeft = i0 < n ? SampleBuffer::sampleAt<F>(data, 2 * i0) : 0.0f;
            const float aRight = i0 < n ? SampleBuffer::sampleAt<F>(data, 2 * i0 + 1) : 0.0f;
            const float bLeft = SampleBuffer::sampleAt<F>(data, 2 * i1);
            const float bRight = SampleBuffer::sampleAt<F>(data, 2 * i1 + 1);
            left[k] += volume * ((bLeft - aLeft) * frac + aLeft);
            right[k] += volume * ((bRight - aRight) * frac + aRight);
        }
        if (last) {
            voice.playhead = playhead;
            voice.active = false;
            return k + 1;
        }
    }
    voice.playhead = playhead;
    return frames;
}

template <SampleFormat F>
std::size_t mixFormat(Voice& voice, float increment, std::size_t frames, float* left, float* right)
{
    return voice.sample.buffer.layout == ChannelLayout::Mono
               ? mixSpan<F, ChannelLayout::Mono>(voice, increment, frames, left, right)
               : mixSpan<F, ChannelLayout::Stereo>(voice, increment, frames, left, right);
}

}  // namespace

namespace {

// How many of the next frames, at most `limit`, a playhead can take as
// exact steps, and the step in `units` of its binade's spacing. In the
// binade [2^e, 2^(e+1)) a playhead is P spacings (2^23 <= P < 2^24), and
// `p + increment` rounds to P + D spacings, D the increment in spacings
// rounded, as long as the exact sum stays below 2^24 spacings and is no
// half-way case; so j such steps give exactly P + j·D. Never past the
// sample's end, so that wraps and ends are stepped one at a time. All in
// integers, from the floats' bits.
std::uint64_t exactSteps(float playhead, float increment, float end, std::uint64_t limit, std::uint32_t& mantissa,
                         int& exponent, std::uint64_t& units)
{
    const std::uint32_t p = bitsOf(playhead);
    const std::uint32_t i = bitsOf(increment);
    const int pe = static_cast<int>(p >> 23);
    const int ie = static_cast<int>(i >> 23);
    if (pe == 0 || pe == 255 || ie == 0 || ie >= pe) {
        return 0;  // zero, subnormal or not finite; or an increment that leaves the binade at once
    }
    const std::uint64_t P = (p & 0x7fffffu) | 0x800000u;
    const std::uint64_t I = (i & 0x7fffffu) | 0x800000u;
    const int shift = pe - ie;  // the increment is I / 2^shift spacings
    if (shift > 40) {
        return 0;
    }
    const std::uint64_t whole = I >> shift;
    const std::uint64_t rest = I & ((std::uint64_t{1} << shift) - 1);
    const std::uint64_t half = std::uint64_t{1} << (shift - 1);
    if (rest == half) {
        return 0;  // a tie: the rounding would depend on the playhead's last bit
    }
    const std::uint64_t D = whole + (rest > half ? 1 : 0);
    const bool below = rest > half;  // the rounded step is above the exact increment
    const std::uint64_t room = (std::uint64_t{1} << 24) - P;
    if (D == 0) {
        return 0;
    }
    // The n-th sum is P + n·D - (D - exact increment): below 2^24 spacings.
    std::uint64_t steps = below ? room / D : (room - 1) / D;
    // And every playhead below the end, where the end is in this binade.
    const std::uint32_t e = bitsOf(end);
    const int ee = static_cast<int>(e >> 23);
    if (ee == pe) {
        const std::uint64_t E = (e & 0x7fffffu) | 0x800000u;
        steps = std::min(steps, E > P ? (E - P - 1) / D : 0);
    } else if (ee < pe) {
        return 0;
    }
    mantissa = static_cast<std::uint32_t>(P);
    exponent = pe;
    units = D;
    return std::min(steps, limit);
}

}  // namespace

std::size_t advanceVoice(Voice& voice, float increment, std::size_t frames)
{
    const std::uint64_t n = voice.sample.buffer.frameCount();
    // A voice with an empty sample stays active but is never mixed.
    if (n == 0) {
        return frames;
    }
    const float end = static_cast<float>(n);
    float playhead = voice.playhead;
    std::size_t k = 0;
    // Below a few increments, binades are a step or two long: not worth a look.
    const float runsFrom = 4.0f * increment;
    while (k < frames) {
        if (playhead >= runsFrom) {
            std::uint32_t mantissa = 0;
            int exponent = 0;
            std::uint64_t units = 0;
            const std::uint64_t run = exactSteps(playhead, increment, end, frames - k, mantissa, exponent, units);
            if (run > 0) {
                const std::uint64_t moved = mantissa + run * units;  // at most 2^24: this binade or its top
                playhead = moved >> 24 != 0 ? floatOf(static_cast<std::uint32_t>(exponent + 1) << 23)
                                            : floatOf(static_cast<std::uint32_t>(exponent) << 23 |
                                                      (static_cast<std::uint32_t>(moved) & 0x7fffffu));
                k += run;
                // The run ends where the next step leaves the binade or
                // reaches the end: that one is taken singly, below.
                if (k == frames) {
                    break;
                }
            }
        }
        // One frame, as mixSpan takes it.
        ++k;
        if (stepPlayhead(playhead, increment, end, voice.sustain)) {
            voice.playhead = playhead;
            voice.active = false;
            return k;
        }
    }
    voice.playhead = playhead;
    return frames;
}

std::size_t mixVoice(Voice& voice, float increment, std::size_t frames, float* left, float* right)
{
    // A voice with an empty sample stays active but is never mixed.
    if (voice.sample.buffer.frameCount() == 0) {
        return frames;
    }
    switch (voice.sample.buffer.format) {
    case SampleFormat::U8:
        return mixFormat<SampleFormat::U8>(voice, increment, frames, left, right);
    case SampleFormat::S16:
        return mixFormat<SampleFormat::S16>(voice, increment, frames, left, right);
    case SampleFormat::S32:
        return mixFormat<SampleFormat::S32>(voice, increment, frames, left, right);
    case SampleFormat::F32:
        return mixFormat<SampleFormat::F32>(voice, increment, frames, left, right);
    }
    return frames;
}

#if defined(__x86_64__)

namespace {

constexpr int kLanes = 8;  // voices 0 … 5 in lanes 0 … 5

// Whether the vector path can mix these voices: 16-bit samples short
// enough for 32-bit indices, and long enough against the increment that one
// subtraction wraps both the playhead and the interpolation index (at
// 48000 Hz a frame moves at most 9.3 frames; at low output rates a frame
// can pass a whole cycle, which only the scalar path wraps).
bool vectorFits(const std::array<Voice, kVoiceCount>& voices, float step)
{
    for (const Voice& voice : voices) {
        if (!voice.active) {
            continue;
        }
        const SampleBuffer& sample = voice.sample.buffer;
        const std::uint64_t n = sample.frameCount();
        if (sample.format != SampleFormat::S16 || n < 16 || n > (1u << 22) ||
            !(step * voice.pitch + 1.0f < static_cast<float>(n))) {
            return false;
        }
    }
    return true;
}

// 16-bit samples at `index` (in samples) of `data`, as floats, where `mask`
// is set; 0.0 elsewhere. Each is gathered as the 32-bit word ending with it
// and shifted down, so nothing before or after the samples is read; sample 0
// has no word before it and is taken from `first`.
__attribute__((target("avx2"))) __m256 gatherS16(const std::uint8_t* data, __m256i index, __m256i mask,
                                                  __m256i first)
{
    const __m256i zero = _mm256_setzero_si256();
    const __m256i atFirst = _mm256_cmpeq_epi32(index, zero);
    const __m256i gatherMask = _mm256_andnot_si256(atFirst, mask);
    // Byte offset 2·index − 2: the word whose high half is the sample.
    const __m256i offsets = _mm256_sub_epi32(_mm256_add_epi32(index, index), _mm256_set1_epi32(2));
    const __m256i words =
        _mm256_mask_i32gather_epi32(zero, reinterpret_cast<const int*>(data), offsets, gatherMask, 1);
    __m256i values = _mm256_srai_epi32(words, 16);
    values = _mm256_blendv_epi8(values, first, _mm256_and_si256(atFirst, mask));
    return _mm256_mul_ps(_mm256_cvtepi32_ps(values), _mm256_set1_ps(SampleBuffer::kS16Scale));
}

// Rows of eight lanes (one row a frame) into one contiguous column a lane,
// eight frames at a time.
__attribute__((target("avx2"))) void transpose(const float (*rows)[kLanes], std::size_t frames,
                                                float (*columns)[kMaxMixFrames])
{
    for (std::size_t k = 0; k < frames; k += kLanes) {
        __m256 r[kLanes];
        for (int i = 0; i < kLanes; ++i) {
            r[i] = _mm256_load_ps(rows[k + i]);
        }
        const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]);
        const __m256 t1 = _mm256_unpackhi_ps(r[0], r[1]);
        const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]);
        const __m256 t3 = _mm256_unpackhi_ps(r[2], r[3]);
        const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]);
        const __m256 t5 = _mm256_unpackhi_ps(r[4], r[5]);
        const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]);
        const __m256 t7 = _mm256_unpackhi_ps(r[6], r[7]);
        const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44);
        const __m256 u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
        const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44);
        const __m256 u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
        const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44);
        const __m256 u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
        const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44);
        const __m256 u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
        const __m256 lanes[kVoiceCount] = {
            _mm256_permute2f128_ps(u0, u4, 0x20), _mm256_permute2f128_ps(u1, u5, 0x20),
            _mm256_permute2f128_ps(u2, u6, 0x20), _mm256_permute2f128_ps(u3, u7, 0x20),
            _mm256_permute2f128_ps(u0, u4, 0x31), _mm256_permute2f128_ps(u1, u5, 0x31),
        };
        for (std::size_t v = 0; v < kVoiceCount; ++v) {
            _mm256_storeu_ps(&columns[v][k], lanes[v]);
        }
    }
}

// 16-bit samples at `count` index vectors (in samples), as floats, read
// from one window of kWindow samples starting at the first lane's first
// index: a few contiguous loads and lane permutes in place of gathers.
// False, with nothing read, when any index falls outside the window or the
// window passes the end of the `total` samples.
template <int kWindow>
__attribute__((target("avx2"))) bool windowS16(const std::uint8_t* data, std::int32_t total, const __m256i* index,
                                                int count, __m256* out)
{
    const std::int32_t first = _mm256_cvtsi256_si32(index[0]);
    if (first < 0 || first > total - kWindow) {
        return false;
    }
    const __m256i base = _mm256_set1_epi32(first);
    const __m256i highest = _mm256_set1_epi32(kWindow - 1);
    const __m256i zero = _mm256_setzero_si256();
    __m256i offsets[4];
    __m256i outside = zero;
    for (int i = 0; i < count; ++i) {
        offsets[i] = _mm256_sub_epi32(index[i], base);
        outside = _mm256_or_si256(outside, _mm256_or_si256(_mm256_cmpgt_epi32(offsets[i], highest),
                                                           _mm256_cmpgt_epi32(zero, offsets[i])));
    }
    if (!_mm256_testz_si256(outside, outside)) {
        return false;
    }
    constexpr int kParts = kWindow / 8;
    __m256i parts[kParts];
    for (int j = 0; j < kParts; ++j) {
        parts[j] = _mm256_cvtepi16_epi32(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 2 * (first + 8 * j))));
    }
    const __m256 scale = _mm256_set1_ps(SampleBuffer::kS16Scale);
    const __m256i seven = _mm256_set1_epi32(7);
    for (int i = 0; i < count; ++i) {
        const __m256i lane = _mm256_and_si256(offsets[i], seven);
        __m256i value = _mm256_permutevar8x32_epi32(parts[0], lane);
        for (int j = 1; j < kParts; ++j) {
            const __m256i inPart = _mm256_cmpgt_epi32(offsets[i], _mm256_set1_epi32(8 * j - 1));
            value = _mm256_blendv_epi8(value, _mm256_permutevar8x32_epi32(parts[j], lane), inPart);
        }
        out[i] = _mm256_mul_ps(_mm256_cvtepi32_ps(value), scale);
    }
    return true;
}

// Samples at `count` index vectors through a window of 16 samples where
// `narrow`, else of 32, or gathered where the window does not hold them.
__attribute__((target("avx2"))) void readS16(const std::uint8_t* data, std::int32_t total, const __m256i* index,
                                              const __m256i* mask, const __m256i* first, int count, bool whole,
                                              bool narrow, __m256* out)
{
    if (whole && (narrow ? windowS16<16>(data, total, index, count, out)
                         : windowS16<32>(data, total, index, count, out))) {
        return;
    }
    for (int i = 0; i < count; ++i) {
        out[i] = gatherS16(data, index[i], mask[i], first[i]);
    }
}

// Pass 2 for one voice: interpolates `count` frames from its column of
// playheads and adds them into left and right.
__attribute__((target("avx2"))) void interpolateVoice(const Voice& voice, float increment, const float* playheads,
                                                       std::size_t count, float* left, float* right)
{
    const SampleBuffer& sample = voice.sample.buffer;
    const std::uint8_t* data = sample.data;
    const auto n = static_cast<std::int32_t>(sample.frameCount());
    const bool stereo = sample.layout == ChannelLayout::Stereo;
    // Eight frames read from the first frame's i0 to at most 7 increments
    // and two frames further: the samples that must fit in the window.
    const bool narrow = (7.0f * increment + 2.0f) * (stereo ? 2.0f : 1.0f) <= 16.0f;
    const __m256i frames = _mm256_set1_epi32(n);
    const __m256i lastFrame = _mm256_set1_epi32(n - 1);
    const __m256 volume = _mm256_set1_ps(voice.volume);
    const __m256i firstLeft = _mm256_set1_epi32(static_cast<std::int16_t>(data[0] | (data[1] << 8)));
    const __m256i firstRight =
        stereo ? _mm256_set1_epi32(static_cast<std::int16_t>(data[2] | (data[3] << 8))) : firstLeft;

    for (std::size_t k = 0; k < count; k += kLanes) {
        const __m256i within =
            _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(count - k)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
        const __m256 playhead = _mm256_loadu_ps(playheads + k);
        const __m256i i0 = _mm256_cvttps_epi32(playhead);
        const __m256 frac = _mm256_sub_ps(playhead, _mm256_cvtepi32_ps(i0));
        __m256i i1 = _mm256_cvttps_epi32(_mm256_add_ps(playhead, _mm256_set1_ps(1.0f)));
        i1 = _mm256_sub_epi32(i1, _mm256_and_si256(_mm256_cmpgt_epi32(i1, lastFrame), frames));
        // i0 passes the end only on a one-shot's last frame: silence.
        const __m256i valid = _mm256_and_si256(_mm256_cmpgt_epi32(frames, i0), within);

        // The 16-bit values at i0 (a) and i1 (b), left then right.
        const bool whole = count - k >= kLanes;
        __m256 valueLeft;
        __m256 valueRight;
        if (stereo) {
            const __m256i one = _mm256_set1_epi32(1);
            const __m256i a0 = _mm256_add_epi32(i0, i0);
            const __m256i b0 = _mm256_add_epi32(i1, i1);
            const __m256i index[4] = {a0, _mm256_add_epi32(a0, one), b0, _mm256_add_epi32(b0, one)};
            const __m256i mask[4] = {valid, valid, within, within};
            const __m256i first[4] = {firstLeft, firstRight, firstLeft, firstRight};
            __m256 v[4];
            readS16(data, 2 * n, index, mask, first, 4, whole, narrow, v);
            valueLeft = _mm256_mul_ps(volume, _mm256_add_ps(_mm256_mul_ps(_mm256_sub_ps(v[2], v[0]), frac), v[0]));
            valueRight = _mm256_mul_ps(volume, _mm256_add_ps(_mm256_mul_ps(_mm256_sub_ps(v[3], v[1]), frac), v[1]));
        } else {
            const __m256i index[2] = {i0, i1};
            const __m256i mask[2] = {valid, within};
            const __m256i first[2] = {firstLeft, firstLeft};
            __m256 v[2];
            readS16(data, n, index, mask, first, 2, whole, narrow, v);
            valueLeft = _mm256_mul_ps(volume, _mm256_add_ps(_mm256_mul_ps(_mm256_sub_ps(v[1], v[0]), frac), v[0]));
            valueRight = valueLeft;
        }
        // Frames past `count` add exactly nothing.
        const __m256 keep = _mm256_castsi256_ps(within);
        _mm256_storeu_ps(left + k, _mm256_add_ps(_mm256_loadu_ps(left + k), _mm256_and_ps(valueLeft, keep)));
        _mm256_storeu_ps(right + k, _mm256_add_ps(_mm256_loadu_ps(right + k), _mm256_and_ps(valueRight, keep)));
    }
}

__attribute__((target("avx2"))) void mixVoicesAvx2(std::array<Voice, kVoiceCount>& voices, float step, std::size_t frames,
                                                    float* left, float* right, std::array<std::size_t, kVoiceCount>& sounded)
{
    // Pass 1: every playhead as one lane, so the frame-to-frame chain is a
    // single vector addition; wraps and ends are rare and leave the chain
    // through a branch.
    alignas(32) float playheads[kMaxMixFrames][kLanes];
    alignas(32) float lanes[kLanes] = {};
    alignas(32) float increments[kLanes] = {};
    alignas(32) float ends[kLanes];
    alignas(32) float wraps[kLanes] = {};
    const float never = std::numeric_limits<float>::infinity();
    std::size_t ended[kLanes];  // frames each lane sounds in this span
    bool stoppedInSpan[kLanes] = {};
    for (int v = 0; v < kLanes; ++v) {
        ends[v] = never;
        ended[v] = frames;
    }
    for (std::size_t v = 0; v < kVoiceCount; ++v) {
        const Voice& voice = voices[v];
        if (!voice.active) {
            continue;
        }
        lanes[v] = voice.playhead;
        increments[v] = step * voice.pitch;
        ends[v] = static_cast<float>(voice.sample.buffer.frameCount());
        wraps[v] = voice.sustain ? ends[v] : 0.0f;
    }
    __m256 playhead = _mm256_load_ps(lanes);
    __m256 increment = _mm256_load_ps(increments);
    __m256 end = _mm256_load_ps(ends);
    __m256 wrap = _mm256_load_ps(wraps);
    for (std::size_t k = 0; k < frames; ++k) {
        playhead = _mm256_add_ps(playhead, increment);
        const __m256 past = _mm256_cmp_ps(playhead, end, _CMP_GE_OQ);
        if (_mm256_movemask_ps(past) != 0) {
            // Sustained voices wrap (p − n is exact); one-shots stop after
            // this frame, their lanes frozen.
            playhead = _mm256_sub_ps(playhead, _mm256_and_ps(past, wrap));
            const __m256 stopping = _mm256_andnot_ps(_mm256_cmp_ps(wrap, _mm256_setzero_ps(), _CMP_NEQ_OQ), past);
            const int stopped = _mm256_movemask_ps(stopping);
            if (stopped != 0) {
                _mm256_store_ps(playheads[k], playhead);
                for (int v = 0; v < kLanes; ++v) {
                    if (stopped & (1 << v)) {
                        ended[v] = k + 1;
                        stoppedInSpan[v] = true;
                    }
                }
                increment = _mm256_andnot_ps(stopping, increment);
                end = _mm256_blendv_ps(end, _mm256_set1_ps(never), stopping);
                continue;
            }
        }
        _mm256_store_ps(playheads[k], playhead);
    }
    // Rows past the span are read by the last group of pass 2 and masked.
    for (std::size_t k = frames; k % kLanes != 0; ++k) {
        _mm256_store_ps(playheads[k], _mm256_setzero_ps());
    }
    alignas(32) float columns[kVoiceCount][kMaxMixFrames];
    transpose(playheads, frames, columns);

    // Pass 2: voice after voice, in index order.
    for (std::size_t v = 0; v < kVoiceCount; ++v) {
        Voice& voice = voices[v];
        if (!voice.active) {
            sounded[v] = 0;
            continue;
        }
        const std::size_t count = ended[v];
        interpolateVoice(voice, increments[v], columns[v], count, left, right);
        voice.playhead = columns[v][count - 1];
        if (stoppedInSpan[v]) {
            voice.active = false;
        }
        sounded[v] = count;
    }
}

// Read from the processor model libgcc fills in at start-up: no
// initialisation guard, so a real-time caller never waits on one.
bool haveAvx2()
{
    return __builtin_cpu_supports("avx2") != 0;
}

}  // namespace

bool mixVoicesVector(std::array<Voice, kVoiceCount>& voices, float step, std::size_t frames, float* left, float* right,
                     std::array<std::size_t, kVoiceCount>& sounded)
{
    if (frames == 0 || frames > kMaxMixFrames || !haveAvx2() || !vectorFits(voices, step)) {
        return false;
    }
    if (std::none_of(voices.begin(), voices.end(), [](const Voice& voice) { return voice.active; })) {
        sounded.fill(0);
        return true;
    }
    mixVoicesAvx2(voices, step, frames, left, right, sounded);
    return true;
}

#else

bool mixVoicesVector(std::array<Voice, kVoiceCount>&, float, std::size_t, float*, float*, std::array<std::size_t, kVoiceCount>&)
{
    return false;
}

#endif

void mixVoices(std::array<Voice, kVoiceCount>& voices, float step, std::size_t frames, float* left, float* right,
               std::array<std::size_t, kVoiceCount>& sounded)
{
    // Short spans (the frames in which events are taken) are not worth the
    // vector path's set-up.
    constexpr std::size_t kVectorFrames = 16;
    if (frames >= kVectorFrames && mixVoicesVector(voices, step, frames, left, right, sounded)) {
        return;
    }
    for (std::size_t v = 0; v < voices.size(); ++v) {
        Voice& voice = voices[v];
        sounded[v] = voice.active ? mixVoice(voice, step * voice.pitch, frames, left, right) : 0;
    }
}
