#pragma once

// The renderer written as plainly as possible, one tick and one mix per
// frame, for comparing the player's output against bit for bit.

#include "song_player.h"

#include <cmath>
#include <cstdint>

inline void referenceMix(SongPlayer& player, float step, float& left, float& right)
{
    for (Voice& voice : player.voices) {
        if (!voice.active) {
            continue;
        }
        const SampleBuffer& sample = voice.sample.buffer;
        const std::uint64_t n = sample.frameCount();
        if (n == 0) {
            continue;
        }
        voice.playhead += step * voice.pitch;
        if (voice.playhead >= static_cast<float>(n)) {
            if (voice.sustain) {
                voice.playhead -= static_cast<float>(n);
                if (voice.playhead >= static_cast<float>(n)) {
                    voice.playhead = std::fmod(voice.playhead, static_cast<float>(n));
                }
            } else {
                voice.active = false;
            }
        }
        const auto i0 = static_cast<std::uint64_t>(voice.playhead);
        const float frac = voice.playhead - static_cast<float>(i0);
        const StereoFrame a = sample.readFrame(i0);
        const StereoFrame b = sample.readFrame(static_cast<std::uint64_t>(voice.playhead + 1.0f) % n);
        left += voice.volume * ((b.left - a.left) * frac + a.left);
        right += voice.volume * ((b.right - a.right) * frac + a.right);
    }
}

inline void referenceRender(SongPlayer& player, SampleBuffer& buffer)
{
    const float dt = 1.0f / player.sampleRate;
    const float step = kBaseRate / player.sampleRate;
    for (std::uint64_t j = 0; j < buffer.frameCount(); ++j) {
        player.tick(dt);
        float left = 0.0f;
        float right = 0.0f;
        referenceMix(player, step, left, right);
        buffer.writeFrame(j, left, right);
    }
}
