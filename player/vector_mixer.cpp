// The vector path of the mixer, in Highway's portable vector operations:
// compiled once for each instruction set Highway targets on this
// architecture (SSE4, AVX2, AVX-512 on x86-64; NEON on 64-bit ARM), the best
// the processor runs chosen at start-up.
// Bit for bit the scalar mixer's sums, in the same order.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "vector_mixer.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep

#include <hwy/highway.h>

#if HWY_ARCH_X86
#include <cpuid.h>
#endif

#include "vector_mixer.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

HWY_BEFORE_NAMESPACE();
namespace sqn {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Eight lanes at most for the six voices side by side in the playhead
// chain; up to sixteen frames side by side when mixing (AVX-512), so that
// a voice's group of frames costs about as many instructions at any width.
using Floats = hn::CappedTag<float, 8>;
using MixFloats = hn::CappedTag<float, 16>;
using Ints = hn::RebindToSigned<MixFloats>;
using Bits = hn::RebindToUnsigned<MixFloats>;
constexpr std::size_t kChunk = 64;  // frames each round of the chain steps
constexpr std::size_t kBlock = 8;   // frames a mark of wraps covers
constexpr std::size_t kBlocks = kChunk / kBlock;
constexpr std::size_t kLanes = 8;   // voices 0 … 5 in lanes 0 … 5
constexpr std::size_t kMaxWindows = 4;
static_assert(kBlocks == 8 && kLanes == 8, "a chunk's marks are an eight by eight matrix of bits");

// What mixing one voice needs, fixed for the whole span.
struct Plan {
    const float* values[2];  // left and right: the same table for mono
    const float* steps[2];
    std::int64_t frames;     // in the sample, 1 … 2^22
    float volume;            // gain, 0 … 1.9921875
    std::size_t windows;     // lanes-wide windows a group of frames reads from, 1 … 4; 0: gathered
    bool stereo;             // two tables, left and right
};

// Playheads (0 … 2^22) truncated to whole frames. On x86 by the one
// instruction: Highway's ConvertTo adds a fix-up for values past 2^31,
// which a playhead never is.
template <class DI, class V>
HWY_INLINE hn::Vec<DI> truncate(DI di, V value)
{
#if HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL
    if constexpr (sizeof(value.raw) == 64) {
        return hn::Vec<DI>{_mm512_cvttps_epi32(value.raw)};
    } else if constexpr (sizeof(value.raw) == 32) {
        return hn::Vec<DI>{_mm256_cvttps_epi32(value.raw)};
    }
#elif HWY_TARGET == HWY_AVX2
    if constexpr (sizeof(value.raw) == 32) {
        return hn::Vec<DI>{_mm256_cvttps_epi32(value.raw)};
    }
#elif HWY_TARGET == HWY_SSE4 || HWY_TARGET == HWY_SSSE3
    if constexpr (sizeof(value.raw) == 16) {
        return hn::Vec<DI>{_mm_cvttps_epi32(value.raw)};
    }
#endif
    return hn::ConvertTo(di, value);
}

// One voice's value in one frame, exactly as the scalar mixer takes it,
// from the float tables.
inline float laneValue(const float* values, std::int64_t n, float playhead, float volume)
{
    const auto i0 = static_cast<std::int64_t>(playhead);
    const float frac = playhead - static_cast<float>(i0);
    auto i1 = static_cast<std::int64_t>(playhead + 1.0f);
    if (i1 >= n) {
        i1 %= n;
    }
    const float a = i0 < n ? values[i0] : 0.0f;
    const float b = values[i1];
    return volume * ((b - a) * frac + a);
}

// A table's entries at `lane` offsets from `base`, read from kWindows
// consecutive lanes-wide windows of the table, each taken by a lane
// permutation: contiguous loads instead of a gather.
template <std::size_t kWindows, class V, class I, class M>
HWY_INLINE V readWindows(const float* table, std::int32_t base, const I& lane, const M* beyond)
{
    const MixFloats d;
    V value = hn::TableLookupLanes(hn::LoadU(d, table + base), lane);
    for (std::size_t w = 1; w < kWindows; ++w) {
        value = hn::IfThenElse(beyond[w], hn::TableLookupLanes(hn::LoadU(d, table + base + w * hn::Lanes(d)), lane),
                               value);
    }
    return value;
}

// The values of one voice for one group of lanes-many frames whose
// playheads are `playhead`, left and right; windows of the tables read as
// kWindows windows, or gathered where kWindows is 0. False, with nothing
// worked out, where the group needs the scalar formula: a frame with its
// playhead a hair below a power of two (where playhead + 1 rounds up to the
// next index but one).
template <std::size_t kChannels, std::size_t kWindows, class V>
HWY_INLINE bool groupValues(const Plan& plan, const V playhead, V& left, V& right)
{
    const MixFloats d;
    const Ints di;
    const Bits du;
    const auto mantissa = hn::Set(du, 0x7fffffu);
    if (HWY_UNLIKELY(!hn::AllFalse(du, hn::Eq(hn::And(hn::BitCast(du, playhead), mantissa), mantissa)))) {
        return false;
    }
    const auto i0 = truncate(di, playhead);
    const V frac = hn::Sub(playhead, hn::ConvertTo(d, i0));
    V a[kChannels];
    V s[kChannels];
    if constexpr (kWindows > 0) {
        // Frames of a group without a wrap read nondecreasing indices from
        // the first lane's on.
        const std::int32_t base = hn::GetLane(i0);
        const auto offset = hn::Sub(i0, hn::Set(di, base));
        const auto lane =
            hn::IndicesFromVec(d, hn::And(offset, hn::Set(di, static_cast<std::int32_t>(hn::Lanes(d) - 1))));
        hn::Mask<MixFloats> beyond[kWindows];
        for (std::size_t w = 1; w < kWindows; ++w) {
            beyond[w] = hn::RebindMask(
                d, hn::Gt(offset, hn::Set(di, static_cast<std::int32_t>(w * hn::Lanes(d)) - 1)));
        }
        for (std::size_t c = 0; c < kChannels; ++c) {
            a[c] = readWindows<kWindows, V>(plan.values[c], base, lane, beyond);
            s[c] = readWindows<kWindows, V>(plan.steps[c], base, lane, beyond);
        }
    } else {
        for (std::size_t c = 0; c < kChannels; ++c) {
            a[c] = hn::GatherIndex(d, plan.values[c], i0);
            s[c] = hn::GatherIndex(d, plan.steps[c], i0);
        }
    }
    // As the scalar mixer: volume · ((b − a) · frac + a), b − a read ready-made.
    const V volume = hn::Set(d, plan.volume);
    left = hn::Mul(volume, hn::Add(hn::Mul(s[0], frac), a[0]));
    right = kChannels == 2 ? hn::Mul(volume, hn::Add(hn::Mul(s[kChannels - 1], frac), a[kChannels - 1])) : left;
    return true;
}

// Rows of eight lanes (one row a frame) into columns of frames, one a lane:
// eight rows at a time.
HWY_INLINE void transpose(const float (*rows)[kLanes], float (*columns)[kChunk], std::size_t blocks)
{
    const Floats d;
#if HWY_TARGET == HWY_AVX2 || HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL
    // Eight by eight in registers: pairs, then pairs of pairs, then halves.
    const hn::Repartition<double, Floats> dd;
    using V = hn::Vec<Floats>;
    const auto pairs = [&](const V& x, const V& y, bool upper) {
        const auto xd = hn::BitCast(dd, x);
        const auto yd = hn::BitCast(dd, y);
        return hn::BitCast(d, upper ? hn::InterleaveUpper(dd, xd, yd) : hn::InterleaveLower(dd, xd, yd));
    };
    for (std::size_t block = 0; block < blocks * kBlock; block += 8) {
        V r[8];
        for (std::size_t i = 0; i < 8; ++i) {
            r[i] = hn::Load(d, rows[block + i]);
        }
        V t[8];
        for (std::size_t i = 0; i < 4; ++i) {
            t[2 * i] = hn::InterleaveLower(d, r[2 * i], r[2 * i + 1]);
            t[2 * i + 1] = hn::InterleaveUpper(d, r[2 * i], r[2 * i + 1]);
        }
        const V u[8] = {pairs(t[0], t[2], false), pairs(t[0], t[2], true), pairs(t[1], t[3], false),
                        pairs(t[1], t[3], true),  pairs(t[4], t[6], false), pairs(t[4], t[6], true),
                        pairs(t[5], t[7], false), pairs(t[5], t[7], true)};
        // Lanes 6 and 7 hold no voice: their columns are not made.
        for (std::size_t i = 0; i < 4; ++i) {
            hn::Store(hn::ConcatLowerLower(d, u[i + 4], u[i]), d, columns[i] + block);
            if (i + 4 < kVoiceCount) {
                hn::Store(hn::ConcatUpperUpper(d, u[i + 4], u[i]), d, columns[i + 4] + block);
            }
        }
    }
#else
    (void)d;
    for (std::size_t i = 0; i < blocks * kBlock; ++i) {
        for (std::size_t v = 0; v < kLanes; ++v) {
            columns[v][i] = rows[i][v];
        }
    }
#endif
}

// The six playheads as lanes of a chain, so that one frame's move is one
// vector addition; wraps and ends are rare and leave it through a branch.
class Playheads {
public:
    using V = hn::Vec<Floats>;

    Playheads(const Voice* voices, float step, std::size_t frames) : voices_(voices)
    {
        for (std::size_t v = 0; v < kLanes; ++v) {
            ends_[v] = kNever;
        }
        for (std::size_t v = 0; v < kVoiceCount; ++v) {
            const Voice& voice = voices[v];
            if (voice.active) {
                sustains_[v] = voice.sustain ? 1.0f : 0.0f;
                playheads_[v] = voice.playhead;
                increments_[v] = step * voice.pitch;
                ends_[v] = static_cast<float>(voice.sample.buffer.frameCount());
                ended_[v] = frames;
            }
        }
        load();
    }

    float increment(std::size_t v) const { return increments_[v]; }

    // Whether lane `v` stopped in a frame before frame `frame`.
    bool endsWithin(std::size_t v, std::size_t frame) const { return stopped_[v] && ended_[v] <= frame; }

    // Frames lane `v` sounds in the span: all of them, or up to and
    // including the frame in which a one-shot ended.
    std::size_t ended(std::size_t v) const { return ended_[v]; }

    // Moves every lane `count` frames (at most kChunk) on from frame
    // `first`, each frame's playheads into row k of `rows`; bit v of
    // `marks[b]` is set where lane v wrapped or ended in the b-th block of
    // kBlock frames. A frame costs one addition and a predicted jump: a
    // branch-free wrap would lengthen the chain every frame waits on.
    void step(std::size_t first, std::size_t count, float (*rows)[kLanes], std::uint8_t* marks)
    {
        const Floats d;
        const std::size_t n = hn::Lanes(d);
        for (std::size_t block = 0; block * kBlock < count; ++block) {
            marks[block] = 0;
        }
        for (std::size_t k = 0; k < count; ++k) {
            bool reached = false;
            for (std::size_t c = 0; c < chains(); ++c) {
                chain_[c] = hn::Add(chain_[c], increment_[c]);
                hn::Store(chain_[c], d, rows[k] + c * n);
                reached = reached || !hn::AllFalse(d, hn::Ge(chain_[c], end_[c]));
            }
            if (HWY_LIKELY(!reached)) {
                continue;
            }
            float* row = rows[k];
            // Sustained voices wrap (p − n is exact: the increment is less
            // than the sample), in the registers the chain waits on.
            bool wrapsOnly = true;
            for (std::size_t c = 0; c < chains(); ++c) {
                wrapsOnly = wrapsOnly && hn::AllFalse(d, hn::AndNot(sustain_[c], hn::Ge(chain_[c], end_[c])));
            }
            if (HWY_LIKELY(wrapsOnly)) {
                for (std::size_t c = 0; c < chains(); ++c) {
                    const auto at = hn::Ge(chain_[c], end_[c]);
                    std::uint8_t bits[8] = {};
                    hn::StoreMaskBits(d, at, bits);
                    marks[k / kBlock] = static_cast<std::uint8_t>(marks[k / kBlock] | bits[0] << (c * n));
                    chain_[c] = hn::IfThenElse(at, hn::Sub(chain_[c], end_[c]), chain_[c]);
                    hn::Store(chain_[c], d, row + c * n);
                }
                continue;
            }
            for (std::size_t v = 0; v < kVoiceCount; ++v) {
                if (row[v] < ends_[v]) {
                    continue;
                }
                // Sustained voices wrap (p − n is exact: the increment is
                // less than the sample); one-shots stop after this frame,
                // their lanes frozen.
                marks[k / kBlock] = static_cast<std::uint8_t>(marks[k / kBlock] | 1u << v);
                if (voices_[v].sustain) {
                    row[v] -= ends_[v];
                } else {
                    ended_[v] = first + k + 1;
                    stopped_[v] = true;
                    increments_[v] = 0.0f;
                    ends_[v] = kNever;
                }
            }
            for (std::size_t v = 0; v < kLanes; ++v) {
                playheads_[v] = row[v];
            }
            load();
        }
    }

    // The voices as the span leaves them, and the frames each sounded.
    void finish(Voice* voices, std::size_t* sounded)
    {
        const Floats d;
        for (std::size_t c = 0; c < chains(); ++c) {
            hn::Store(chain_[c], d, playheads_ + c * hn::Lanes(d));
        }
        for (std::size_t v = 0; v < kVoiceCount; ++v) {
            Voice& voice = voices[v];
            if (!voice.active) {
                sounded[v] = 0;
                continue;
            }
            voice.playhead = playheads_[v];
            voice.active = !stopped_[v];
            sounded[v] = ended_[v];
        }
    }

private:
    static constexpr float kNever = std::numeric_limits<float>::infinity();

    // Vectors the eight lanes take.
    static std::size_t chains() { return kLanes / hn::Lanes(Floats()); }

    void load()
    {
        const Floats d;
        for (std::size_t c = 0; c < chains(); ++c) {
            sustain_[c] = hn::Ne(hn::Load(d, sustains_ + c * hn::Lanes(d)), hn::Zero(d));
            chain_[c] = hn::Load(d, playheads_ + c * hn::Lanes(d));
            increment_[c] = hn::Load(d, increments_ + c * hn::Lanes(d));
            end_[c] = hn::Load(d, ends_ + c * hn::Lanes(d));
        }
    }

    const Voice* voices_;
    HWY_ALIGN float playheads_[kLanes] = {};   // frames into each sample
    HWY_ALIGN float increments_[kLanes] = {};  // frames a frame; 0 once stopped
    HWY_ALIGN float ends_[kLanes];             // frame counts; infinity for lanes without a voice
    std::size_t ended_[kLanes] = {};
    bool stopped_[kLanes] = {};
    HWY_ALIGN float sustains_[kLanes] = {};   // 1 where a lane wraps rather than stops
    hn::Mask<Floats> sustain_[kLanes];
    V chain_[kLanes];
    V increment_[kLanes];
    V end_[kLanes];
};

// The first `lanes` frames of a group by the scalar formula, frame by
// frame: a one-shot's last frame, or a playhead a hair below a power of two.
// Right is left's copy, and not written, where `right` is null.
template <std::size_t kChannels>
HWY_NOINLINE void addFrames(const Plan plan, const float* playheads, std::size_t lanes, float* left, float* right)
{
    for (std::size_t j = 0; j < lanes; ++j) {
        const float value = laneValue(plan.values[0], plan.frames, playheads[j], plan.volume);
        left[j] += value;
        if (right != nullptr) {
            right[j] += kChannels == 2 ? laneValue(plan.values[1], plan.frames, playheads[j], plan.volume) : value;
        }
    }
}

// One voice over one chunk of frames whose playheads are `column`, added
// to what `left` and `right` hold (left alone where kRight is false), a
// group of lanes-many frames at a time: read through kWindows windows of
// its tables where a group's frames neither wrap nor end (0: gathered),
// gathered where they wrap, and frame by frame in a one-shot's last group
// (its last frame reads past the end).
template <std::size_t kChannels, std::size_t kWindows, bool kRight>
void mixChunk(const Plan& voicePlan, const float* column, std::size_t frames, bool ends, unsigned marks, float* left,
              float* right)
{
    const MixFloats d;
    using V = hn::Vec<MixFloats>;
    const std::size_t n = hn::Lanes(d);
    // A copy the stores into the mix cannot touch, kept in registers.
    const Plan plan = voicePlan;
    // The marks of the blocks a group covers.
    const unsigned group = (1u << ((n + kBlock - 1) / kBlock)) - 1u;
    // Whole groups first; then the last group, where it is partial or
    // holds a one-shot's last frame.
    const std::size_t whole = ends ? (frames - 1) / n * n : frames / n * n;
    std::size_t g = 0;
    for (; g < whole; g += n) {
        const V playhead = hn::Load(d, column + g);
        V valueLeft;
        V valueRight;
        const bool wrapped = (marks >> (g / kBlock) & group) != 0;
        const bool worked = wrapped ? groupValues<kChannels, 0>(plan, playhead, valueLeft, valueRight)
                                    : groupValues<kChannels, kWindows>(plan, playhead, valueLeft, valueRight);
        if (HWY_UNLIKELY(!worked)) {
            addFrames<kChannels>(plan, column + g, n, left + g, kRight ? right + g : nullptr);
            continue;
        }
        hn::StoreU(hn::Add(hn::LoadU(d, left + g), valueLeft), d, left + g);
        if constexpr (kRight) {
            hn::StoreU(hn::Add(hn::LoadU(d, right + g), valueRight), d, right + g);
        }
    }
    if (g < frames) {
        const std::size_t lanes = frames - g;
        const auto within = hn::FirstN(d, lanes);
        const V playhead = hn::Load(d, column + g);
        V valueLeft;
        V valueRight;
        if (ends || !groupValues<kChannels, 0>(plan, playhead, valueLeft, valueRight)) {
            addFrames<kChannels>(plan, column + g, lanes, left + g, kRight ? right + g : nullptr);
            return;
        }
        hn::BlendedStore(hn::Add(hn::MaskedLoad(within, d, left + g), valueLeft), within, d, left + g);
        if constexpr (kRight) {
            hn::BlendedStore(hn::Add(hn::MaskedLoad(within, d, right + g), valueRight), within, d, right + g);
        }
    }
}

template <std::size_t kChannels, bool kRight>
void mixChunkOf(const Plan& plan, const float* column, std::size_t frames, bool ends, unsigned marks, float* left,
                float* right)
{
    switch (plan.windows) {
    case 1:
        return mixChunk<kChannels, 1, kRight>(plan, column, frames, ends, marks, left, right);
    case 2:
        return mixChunk<kChannels, 2, kRight>(plan, column, frames, ends, marks, left, right);
    case 3:
        return mixChunk<kChannels, 3, kRight>(plan, column, frames, ends, marks, left, right);
    case 4:
        return mixChunk<kChannels, 4, kRight>(plan, column, frames, ends, marks, left, right);
    default:
        return mixChunk<kChannels, 0, kRight>(plan, column, frames, ends, marks, left, right);
    }
}

void MixVoices(Voice* voices, float step, std::size_t frames, float* left, float* right, std::size_t* sounded)
{
    const MixFloats d;
    const std::size_t n = hn::Lanes(d);
    Playheads playheads(voices, step, frames);
    Plan plans[kLanes] = {};
    for (std::size_t v = 0; v < kVoiceCount; ++v) {
        const Voice& voice = voices[v];
        if (!voice.active) {
            continue;
        }
        Plan& plan = plans[v];
        plan.stereo = !voice.table.values[1].empty();
        for (std::size_t c = 0; c < 2; ++c) {
            plan.values[c] = voice.table.values[plan.stereo ? c : 0].data();
            plan.steps[c] = voice.table.steps[plan.stereo ? c : 0].data();
        }
        plan.frames = static_cast<std::int64_t>(voice.table.frames);
        plan.volume = voice.volume;
        // A group's indices span at most (lanes − 1) steps and one more for
        // the truncation; a little over, for the steps' rounding.
        const std::size_t span =
            static_cast<std::size_t>(static_cast<float>(n - 1) * playheads.increment(v) * 1.001f) + 2;
        const std::size_t windows = (span + n - 1) / n;
        plan.windows = windows <= kMaxWindows && windows * n <= SampleTable::kPadding ? windows : 0;
    }

    // Where every voice is mono and the two channels start equal, they stay
    // equal: right is left's copy, made a chunk at a time.
    bool monoOut = std::memcmp(left, right, frames * sizeof(float)) == 0;
    for (std::size_t v = 0; v < kVoiceCount; ++v) {
        monoOut = monoOut && !(voices[v].active && plans[v].stereo);
    }

    HWY_ALIGN float rows[kChunk][kLanes];
    HWY_ALIGN float columns[kLanes][kChunk];
    for (std::size_t first = 0; first < frames; first += kChunk) {
        const std::size_t count = std::min(kChunk, frames - first);
        std::uint8_t marks[kBlocks] = {};
        playheads.step(first, count, rows, marks);
        // Rows past the span up to the end of its last group read as frame
        // 0, so that no lane of a group reads outside the tables.
        const std::size_t blocks = ((count + n - 1) / n * n + kBlock - 1) / kBlock;
        for (std::size_t k = count; k < blocks * kBlock; ++k) {
            for (std::size_t v = 0; v < kLanes; ++v) {
                rows[k][v] = 0.0f;
            }
        }
        transpose(rows, columns, blocks);
        // The marks as a byte a voice (bit b: wrapped or ended in block b):
        // an eight by eight matrix of bits, transposed.
        std::uint64_t byVoice = 0;
        for (std::size_t b = 0; b < kBlocks; ++b) {
            byVoice |= std::uint64_t{marks[b]} << (8 * b);
        }
        std::uint64_t t = (byVoice ^ (byVoice >> 7)) & 0x00AA00AA00AA00AAull;
        byVoice ^= t ^ (t << 7);
        t = (byVoice ^ (byVoice >> 14)) & 0x0000CCCC0000CCCCull;
        byVoice ^= t ^ (t << 14);
        t = (byVoice ^ (byVoice >> 28)) & 0x00000000F0F0F0F0ull;
        byVoice ^= t ^ (t << 28);

        // Voice after voice, in index order, each over the frames it sounds.
        for (std::size_t v = 0; v < kVoiceCount; ++v) {
            if (playheads.ended(v) <= first) {
                continue;
            }
            const std::size_t sounding = std::min(count, playheads.ended(v) - first);
            const bool ends = playheads.endsWithin(v, first + count);
            const unsigned voiceMarks = static_cast<unsigned>(byVoice >> (8 * v)) & 0xffu;
            if (plans[v].stereo) {
                mixChunkOf<2, true>(plans[v], columns[v], sounding, ends, voiceMarks, left + first, right + first);
            } else if (monoOut) {
                mixChunkOf<1, false>(plans[v], columns[v], sounding, ends, voiceMarks, left + first, nullptr);
            } else {
                mixChunkOf<1, true>(plans[v], columns[v], sounding, ends, voiceMarks, left + first, right + first);
            }
        }
        if (monoOut) {
            std::copy_n(left + first, count, right + first);
        }
    }
    playheads.finish(voices, sounded);
}

// Whole vectors of frames as 16-bit stereo, as SampleBuffer::s16From takes
// each value: the limits by comparisons, so that a NaN comes out as +1.0 on
// every instruction set.
std::size_t WriteS16Stereo(std::uint8_t* out, const float* left, const float* right, std::size_t frames)
{
    if constexpr (std::endian::native != std::endian::little) {
        return 0;  // the frames are stored as 32-bit words, low half first
    }
    const MixFloats d;
    const Ints di;
    const std::size_t n = hn::Lanes(d);
    const auto high = hn::Set(d, 1.0f);
    const auto low = hn::Set(d, -1.0f);
    const auto scale = hn::Set(d, 32767.0f);
    const auto lowHalf = hn::Set(di, 0xffff);
    const auto toS16 = [&](hn::Vec<MixFloats> x) {
        const auto below = hn::IfThenElse(hn::Lt(x, high), x, high);
        return hn::ConvertTo(di, hn::Mul(hn::IfThenElse(hn::Lt(low, below), below, low), scale));
    };
    std::size_t j = 0;
    for (; j + n <= frames; j += n) {
        const auto l = toS16(hn::LoadU(d, left + j));
        const auto r = toS16(hn::LoadU(d, right + j));
        const auto words = hn::Or(hn::And(l, lowHalf), hn::ShiftLeft<16>(r));
        hn::StoreU(words, di, reinterpret_cast<std::int32_t*>(out + 4 * j));
    }
    return j;
}

// NOLINTNEXTLINE(google-readability-namespace-comments)
}  // namespace HWY_NAMESPACE
}  // namespace sqn
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace {

struct Kernels {
    decltype(&sqn::HWY_STATIC_DISPATCH(MixVoices)) mix;
    decltype(&sqn::HWY_STATIC_DISPATCH(WriteS16Stereo)) write;
};

#if HWY_ARCH_X86
// Whether the processor (and the system, for the wider registers) has
// every feature Highway compiles the target for.
bool hasF16c()
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    return __get_cpuid(1, &a, &b, &c, &d) != 0 && (c & bit_F16C) != 0;
}

bool hasSse4()
{
    return __builtin_cpu_supports("sse4.2") && __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("aes");
}

bool hasAvx2()
{
    return hasSse4() && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
           __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("fma") && hasF16c();
}

bool hasAvx3()
{
    return hasAvx2() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
           __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw");
}
#endif

// The best kernels this processor runs. Chosen here rather than through
// Highway's own run-time library, whose start-up measures a timer for
// several milliseconds in every program that loads it.
// Every set of kernels this processor runs, best first: the choice, and
// the others for tests.
struct Choice {
    std::array<Kernels, 4> kernels;
    std::size_t count = 0;

    void add(const Kernels& k) { kernels[count++] = k; }
};

Choice choose()
{
    Choice choice;
#if HWY_ARCH_X86
#if HWY_TARGETS & HWY_AVX3
    if (hasAvx3()) {
        choice.add({&sqn::N_AVX3::MixVoices, &sqn::N_AVX3::WriteS16Stereo});
    }
#endif
#if HWY_TARGETS & HWY_AVX2
    if (hasAvx2()) {
        choice.add({&sqn::N_AVX2::MixVoices, &sqn::N_AVX2::WriteS16Stereo});
    }
#endif
#if HWY_TARGETS & HWY_SSE4
    if (hasSse4()) {
        choice.add({&sqn::N_SSE4::MixVoices, &sqn::N_SSE4::WriteS16Stereo});
    }
#endif
#endif
    choice.add({&sqn::HWY_STATIC_DISPATCH(MixVoices), &sqn::HWY_STATIC_DISPATCH(WriteS16Stereo)});
    return choice;
}

// Chosen while the program starts, so that a real-time caller never waits
// on a first-use guard.
const Choice kChoice = choose();
const Kernels& kKernels = kChoice.kernels[0];

}  // namespace

std::size_t vectorKernelCount()
{
    return kChoice.count;
}

void mixVoicesVectorKernelAt(std::size_t which, Voice* voices, float step, std::size_t frames, float* left,
                             float* right, std::size_t* sounded)
{
    kChoice.kernels[which].mix(voices, step, frames, left, right, sounded);
}

std::size_t writeMixS16StereoKernel(std::uint8_t* out, const float* left, const float* right, std::size_t frames)
{
    return kKernels.write(out, left, right, frames);
}
#endif
