#include "float_bits.h"
#include "countdown.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// A positive normal float as mantissa × 2^exponent, the mantissa of
// exactly 24 bits.
struct Split {
    std::uint64_t mantissa;
    int exponent;
};

constexpr int kFloatBits = 24;  // float mantissa, implicit bit included

Split split(float value)
{
    const std::uint32_t bits = bitsOf(value);
    const int biased = static_cast<int>(bits >> 23);
    return {(bits & 0x7FFFFFu) | 0x800000u, biased - 127 - (kFloatBits - 1)};
}

// mantissa × 2^exponent, for a mantissa of exactly 24 bits.
float join(Split value)
{
    const auto biased = static_cast<std::uint32_t>(value.exponent + 127 + (kFloatBits - 1));
    return floatOf((biased << 23) | (static_cast<std::uint32_t>(value.mantissa) & 0x7FFFFFu));
}

// Steps of a float countdown that stay inside the binade of `seconds` with
// the same rounded decrement, at most `limit`; 0 where a single step must
// decide.
std::uint64_t sameDecrementRun(float seconds, float dt, std::uint64_t limit, std::uint64_t& decrement)
{
    constexpr int kBits = kFloatBits;
    if (seconds < 0x1p-100f || dt < 0x1p-100f || !(seconds < 0x1p100f) || !(dt < 0x1p100f)) {
        return 0;
    }
    const Split x = split(seconds);
    const Split d = split(dt);
    const int shift = x.exponent - d.exponent;  // dt = D·2^-shift ulps of x
    std::uint64_t roundUp = 0;
    if (shift <= 0) {
        if (shift < -40) {
            return 0;
        }
        decrement = d.mantissa << -shift;  // a whole number of ulps: exact
        roundUp = decrement;
    } else {
        if (shift >= 40) {
            return 0;
        }
        const std::uint64_t half = std::uint64_t{1} << (shift - 1);
        const std::uint64_t below = d.mantissa & ((std::uint64_t{1} << shift) - 1);
        if (below == half) {
            return 0;  // a tie: rounding to even depends on each value
        }
        decrement = (d.mantissa + half) >> shift;
        roundUp = (d.mantissa + (std::uint64_t{1} << shift) - 1) >> shift;
    }
    if (decrement == 0) {
        return 0;
    }
    // Step i (from 1) subtracts from (m − (i−1)·decrement) ulps and must
    // stay at or above the binade's floor of 2^23 ulps before rounding.
    const std::uint64_t floor = std::uint64_t{1} << (kBits - 1);
    if (x.mantissa < floor + roundUp) {
        return 0;
    }
    // Below 2^24 ulps. Most runs asked for (a span's frames) fit easily,
    // which a product tells without the division.
    const std::uint64_t room = x.mantissa - floor - roundUp;
    if (limit <= (std::uint64_t{1} << 24) && (limit - 1) * decrement <= room) {
        return limit;
    }
    const std::uint64_t run =
        (decrement > room ? 0 : static_cast<std::uint32_t>(room) / static_cast<std::uint32_t>(decrement)) + 1;
    return std::min(run, limit);
}

}  // namespace

void Countdown::widen(float dt)
{
    widened = true;
    frames = UINT64_MAX;  // for a dt of 0 (or one too small to count): a wait that never ends
    if (!(dt > 0.0f) || !(seconds > 0.0f)) {
        frames = seconds > 0.0f ? UINT64_MAX : 0;
        return;
    }
    // seconds = S·2^s and dt = D·2^d, S and D whole: ceil(S·2^(s−d) / D),
    // by long division, one bit of the quotient a step.
    int s = 0;
    int d = 0;
    const auto whole = [](float value, int& exponent) {
        const double mantissa = std::frexp(static_cast<double>(value), &exponent);  // exact, in [0.5, 1)
        exponent -= kFloatBits;
        return static_cast<std::uint64_t>(std::ldexp(mantissa, kFloatBits));
    };
    std::uint64_t remainder = whole(seconds, s);
    std::uint64_t divisor = whole(dt, d);
    int shift = s - d;
    for (; shift < 0 && divisor <= (std::uint64_t{1} << 40); ++shift) {
        divisor <<= 1;
    }
    if (shift < 0) {
        frames = 1;  // less than one dt left, and more than nothing
        return;
    }
    std::uint64_t quotient = remainder / divisor;
    remainder %= divisor;
    for (; shift > 0; --shift) {
        if (quotient >> 62 != 0) {
            return;  // more frames than can be counted: never ends
        }
        quotient <<= 1;
        remainder <<= 1;
        if (remainder >= divisor) {
            remainder -= divisor;
            quotient |= 1;
        }
    }
    frames = quotient + (remainder != 0 ? 1 : 0);
}

std::uint64_t Countdown::advance(float dt, std::uint64_t limit)
{
    std::uint64_t taken = 0;
    while (taken < limit && running()) {
        if (widened) {
            const std::uint64_t steps = frames < limit - taken ? frames : limit - taken;
            frames -= steps;
            taken += steps;
            continue;
        }
        std::uint64_t decrement = 0;
        const std::uint64_t run = sameDecrementRun(seconds, dt, limit - taken, decrement);
        if (run >= 2) {
            const Split x = split(seconds);
            seconds = join({x.mantissa - run * decrement, x.exponent});
            taken += run;
            // A run stops at the limit or where the next step leaves its
            // binade: that step is a single one.
            if (taken == limit) {
                break;
            }
        }
        step(dt);
        ++taken;
    }
    return taken;
}
