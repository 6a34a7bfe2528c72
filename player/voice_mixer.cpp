#include "float_bits.h"
#include "voice_mixer.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#if defined(SQN_VECTOR_MIXER)
#include "vector_mixer.h"
#endif

namespace {

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

// The same sums read from the voice's float table: a frame's value and the
// step to the next, one load each and no conversion, where the scalar
// formula would read the same two frames. A playhead a hair below a power
// of two (where playhead + 1 rounds up to the next index but one) and a
// one-shot's last frame (read past the end) take the formula itself.
template <bool kStereo>
std::size_t mixTableSpan(Voice& voice, float increment, std::size_t frames, float* left, float* right)
{
    const SampleTable& table = voice.table;
    const float* values[2] = {table.values[0].data(), table.values[kStereo ? 1 : 0].data()};
    const float* steps[2] = {table.steps[0].data(), table.steps[kStereo ? 1 : 0].data()};
    const auto n = static_cast<std::int64_t>(table.frames);
    const float end = static_cast<float>(n);
    const float volume = voice.volume;
    const bool sustain = voice.sustain;
    float playhead = voice.playhead;
    const auto valueAt = [&](std::size_t c, std::int64_t i0, float frac) {
        if (i0 < n && (bitsOf(playhead) & 0x7fffffu) != 0x7fffffu) [[likely]] {
            return volume * (steps[c][i0] * frac + values[c][i0]);
        }
        auto i1 = static_cast<std::int64_t>(playhead + 1.0f);
        if (i1 >= n) {
            i1 %= n;
        }
        const float a = i0 < n ? values[c][i0] : 0.0f;
        const float b = values[c][i1];
        return volume * ((b - a) * frac + a);
    };
    for (std::size_t k = 0; k < frames; ++k) {
        const bool last = stepPlayhead(playhead, increment, end, sustain);
        const auto i0 = static_cast<std::int64_t>(playhead);
        const float frac = playhead - static_cast<float>(i0);
        const float l = valueAt(0, i0, frac);
        left[k] += l;
        right[k] += kStereo ? valueAt(1, i0, frac) : l;
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
    std::uint64_t reach = below ? room : room - 1;
    // And every playhead below the end, where the end is in this binade.
    const std::uint32_t e = bitsOf(end);
    const int ee = static_cast<int>(e >> 23);
    if (ee == pe) {
        const std::uint64_t E = (e & 0x7fffffu) | 0x800000u;
        reach = std::min(reach, E > P ? E - P - 1 : 0);
    } else if (ee < pe) {
        return 0;
    }
    // One division, in 32 bits (both below 2^25): the hot spot of a seek.
    const std::uint64_t steps = static_cast<std::uint32_t>(reach) / static_cast<std::uint32_t>(D);
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
    // A sustained playhead is all there is to a voice that wraps: once it
    // comes back to a value it had just after an earlier wrap, the frames
    // between repeat for as long as the note holds, and whole rounds of
    // them are passed at once. The rounds are found as Brent's cycle search
    // finds them: `mark` is a playhead just after a wrap, compared with the
    // later ones, and moved on after `power` wraps, twice as many each time.
    float mark = -1.0f;
    std::size_t markedAt = 0;
    std::size_t power = 1;
    std::size_t sinceMark = 0;
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
        const float before = playhead;
        if (stepPlayhead(playhead, increment, end, voice.sustain)) {
            voice.playhead = playhead;
            voice.active = false;
            return k;
        }
        if (playhead < before) {  // wrapped
            ++sinceMark;
            if (playhead == mark) {
                const std::size_t round = k - markedAt;
                k += (frames - k) / round * round;
                mark = -1.0f;  // the rest is less than a round
            } else if (sinceMark == power) {
                mark = playhead;
                markedAt = k;
                power *= 2;
                sinceMark = 0;
            }
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
    if (voice.table.describes(voice.sample.buffer)) {
        return voice.table.values[1].empty() ? mixTableSpan<false>(voice, increment, frames, left, right)
                                             : mixTableSpan<true>(voice, increment, frames, left, right);
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

#if defined(SQN_VECTOR_MIXER)

std::size_t vectorKernels()
{
    return vectorKernelCount();
}

bool mixVoicesVector(std::array<Voice, kVoiceCount>& voices, float step, std::size_t frames, float* left, float* right,
                     std::array<std::size_t, kVoiceCount>& sounded, std::size_t kernel)
{
    if (frames == 0 || frames > kMaxMixFrames || kernel >= vectorKernelCount()) {
        return false;
    }
    // Every sounding voice needs its float table, and an increment short
    // enough against its sample that one subtraction wraps both the playhead
    // and the interpolation's next frame (at 48000 Hz a frame moves at most
    // 9.3 frames; at low output rates a frame can pass a whole cycle, which
    // only the scalar path wraps).
    bool any = false;
    for (const Voice& voice : voices) {
        if (!voice.active) {
            continue;
        }
        any = true;
        if (!voice.table.describes(voice.sample.buffer) ||
            !(step * voice.pitch + 1.0f < static_cast<float>(voice.table.frames))) {
            return false;
        }
    }
    if (!any) {
        sounded.fill(0);
        return true;
    }
    mixVoicesVectorKernelAt(kernel, voices.data(), step, frames, left, right, sounded.data());
    return true;
}

#else

std::size_t vectorKernels()
{
    return 0;
}

bool mixVoicesVector(std::array<Voice, kVoiceCount>&, float, std::size_t, float*, float*, std::array<std::size_t, kVoiceCount>&,
                     std::size_t)
{
    return false;
}

#endif

void mixVoices(std::array<Voice, kVoiceCount>& voices, const std::array<bool, kVoiceCount>& muted, float step,
               std::size_t frames, float* left, float* right, std::array<std::size_t, kVoiceCount>& sounded)
{
    // Muted voices move on their own and sit out the mix (as if silent)
    // while it runs.
    std::array<std::size_t, kVoiceCount> moved{};
    std::array<bool, kVoiceCount> stillActive{};
    bool anyMuted = false;
    for (std::size_t v = 0; v < voices.size(); ++v) {
        if (muted[v] && voices[v].active) {
            anyMuted = true;
            moved[v] = advanceVoice(voices[v], step * voices[v].pitch, frames);
            stillActive[v] = voices[v].active;
            voices[v].active = false;
        }
    }
    // Short spans (the frames in which events are taken) are not worth the
    // vector path's set-up.
    constexpr std::size_t kVectorFrames = 16;
    if (frames < kVectorFrames || !mixVoicesVector(voices, step, frames, left, right, sounded)) {
        for (std::size_t v = 0; v < voices.size(); ++v) {
            Voice& voice = voices[v];
            sounded[v] = voice.active ? mixVoice(voice, step * voice.pitch, frames, left, right) : 0;
        }
    }
    if (anyMuted) {
        for (std::size_t v = 0; v < voices.size(); ++v) {
            if (moved[v] > 0) {
                voices[v].active = stillActive[v];
                sounded[v] = moved[v];
            }
        }
    }
}

void writeMixS16Stereo(std::uint8_t* out, const float* left, const float* right, std::size_t frames)
{
#if defined(SQN_VECTOR_MIXER)
    std::size_t j = writeMixS16StereoKernel(out, left, right, frames);
#else
    std::size_t j = 0;
#endif
    for (; j < frames; ++j) {
        const auto l = static_cast<std::uint16_t>(SampleBuffer::s16From(left[j]));
        const auto r = static_cast<std::uint16_t>(SampleBuffer::s16From(right[j]));
        out[4 * j] = static_cast<std::uint8_t>(l);
        out[4 * j + 1] = static_cast<std::uint8_t>(l >> 8);
        out[4 * j + 2] = static_cast<std::uint8_t>(r);
        out[4 * j + 3] = static_cast<std::uint8_t>(r >> 8);
    }
}
