#pragma once

#include <cstdint>

// Seconds still to run, counted down by one output frame at a time in single
// precision. Once a value is so large that subtracting a frame no longer
// changes it (512 s and up at 48 kHz, 256 s at 96 kHz), the rest of that
// countdown is the exact number of frames it still holds (its value over a
// frame, rounded up) until it is next set, so that every wait ends after its
// real length instead of never, at any rate. Below that size it is plain
// `x -= dt`, which is what the output's timing is defined by.
struct Countdown {
    float seconds = 0.0f;      // seconds still to run; at or below 0 once run out (not kept once widened)
    std::uint64_t frames = 0;  // frames still to run once single precision stalled
    bool widened = false;      // true while `frames` is the one counting

    void set(float value)
    {
        seconds = value;
        widened = false;
    }

    bool running() const { return widened ? frames > 0 : seconds > 0.0f; }

    // Called only while running().
    void step(float dt)
    {
        if (!widened) {
            const float next = seconds - dt;
            if (next != seconds) {
                seconds = next;
                return;
            }
            widen(dt);
        }
        --frames;
    }

    // Takes up to `limit` steps while running, leaving exactly the state that
    // as many calls of step() would, and returns the steps taken. Runs of
    // steps that subtract the same rounded amount are taken in one go, so a
    // wait of any length costs a few dozen operations.
    std::uint64_t advance(float dt, std::uint64_t limit);

    // Steps until running() turns false, counting no further than `limit`.
    std::uint64_t stepsLeft(float dt, std::uint64_t limit = UINT64_MAX) const
    {
        if (widened) {
            return frames < limit ? frames : limit;
        }
        if (runsAtLeast(dt, limit)) {
            return limit;
        }
        Countdown copy = *this;
        return copy.advance(dt, limit);
    }

    // True where the countdown certainly runs `limit` more steps, told
    // without stepping; false where only stepping can tell.
    bool runsAtLeast(float dt, std::uint64_t limit) const
    {
        if (widened) {
            return frames >= limit;
        }
        // While single precision still moves, a step takes off dt rounded
        // to the value's spacing: at most dt plus half a spacing, and half a
        // spacing is at most seconds·2^-24. A value this far above `limit`
        // such steps (with a margin for this estimate's own rounding) runs
        // for at least `limit` more.
        return limit <= (1u << 24) && seconds > 1.001f * static_cast<float>(limit) * (dt + seconds * 0x1p-24f);
    }

private:
    // Switches to counting frames: the exact number of dt that `seconds`
    // holds, rounded up (every step takes off one dt exactly from here on).
    void widen(float dt);
};
