#include "song_player.h"

#include "pitch_table.h"
#include "sample_bank.h"

#include <algorithm>

bool SongPlayer::load(ReadFn read)
{
    finished = false;
    position = 0;
    loopStart = 0;
    waitTimer.set(0.0f);
    events.clear();

    for (std::size_t v = 0; v < kVoiceCount; ++v) {
        voices[v] = Voice{};
        voices[v].sample = bankSample(v);
    }

    std::uint8_t tempo = 0;
    std::uint8_t rowsPerBeat = 0;
    if (!read(&tempo, 1) || !read(&rowsPerBeat, 1) || tempo == 0 || rowsPerBeat == 0) {
        return false;
    }
    rowDuration = 60.0f / (static_cast<float>(rowsPerBeat) * static_cast<float>(tempo));

    for (;;) {
        std::uint8_t record[3];
        if (!read(&record[0], 1) || !read(&record[1], 1) || !read(&record[2], 1)) {
            break;  // one or two trailing bytes are not an event
        }
        events.push_back({record[0], record[1], record[2]});
    }
    return true;
}

void SongPlayer::tick(float dt)
{
    for (Voice& voice : voices) {
        if (!voice.active) {
            continue;
        }
        if (voice.gate.running()) {
            voice.gate.step(dt);
        } else {
            voice.gate.set(0.0f);
            voice.sustain = false;
            if (voice.playhead >= static_cast<float>(voice.sample.buffer.frameCount())) {
                voice.active = false;
            }
        }
    }

    // The wait is set, not added: an overshoot below zero is dropped, and
    // the next event is taken one frame after the countdown ran out.
    if (waitTimer.running()) {
        waitTimer.step(dt);
        return;
    }

    for (;;) {
        if (position >= events.size()) {
            finished = true;
            return;
        }
        const SongEvent event = events[position];
        ++position;
        if (event.voice >= kVoiceCount) {
            continue;
        }
        Voice& voice = voices[event.voice];
        const float rows = static_cast<float>(event.param);

        switch (static_cast<Command>(event.command)) {
        case Command::Wait:
            waitTimer.set(rows * rowDuration);
            return;
        case Command::NoteOn:
            voice.active = true;
            voice.playhead = 0.0f;
            voice.gate.set(rows * rowDuration);
            if (event.voice < kSustainedVoices) {
                voice.sustain = true;
            }
            return;
        case Command::SetVolume:
            voice.volume = rows * kVolumeStep;
            continue;
        case Command::SetPitch:
            voice.pitch = kPitchRatios[std::min<std::size_t>(event.param, kPitchCount - 1)];
            continue;
        case Command::LoopStart:
            loopStart = position;
            waitTimer.set(rows * rowDuration);
            return;
        case Command::LoopEnd:
            if (looping) {
                position = loopStart;
            } else {
                finished = true;
            }
            waitTimer.set(rows * rowDuration);
            return;
        }
        return;  // any other command byte is consumed and ends the tick
    }
}

std::uint64_t SongPlayer::skipWait(float dt, std::uint64_t limit)
{
    const std::uint64_t frames = std::min(waitTimer.stepsLeft(dt), limit);
    if (frames == 0) {
        return 0;
    }
    waitTimer.advance(dt, frames);
    for (Voice& voice : voices) {
        if (voice.active && voice.gate.advance(dt, frames) < frames) {
            // The gate ran out within the skipped frames: the release that
            // the next tick would make, which later ticks only repeat.
            voice.gate.set(0.0f);
            voice.sustain = false;
            if (voice.playhead >= static_cast<float>(voice.sample.buffer.frameCount())) {
                voice.active = false;
            }
        }
    }
    return frames;
}

void SongPlayer::render(SampleBuffer& buffer)
{
    const float dt = 1.0f / sampleRate;
    const float step = kBaseRate / sampleRate;
    const std::uint64_t frames = buffer.frameCount();
    for (std::uint64_t j = 0; j < frames; ++j) {
        tick(dt);
        float left = 0.0f;
        float right = 0.0f;
        mix(step, left, right);
        buffer.writeFrame(j, left, right);
    }
}

// Adds every sounding voice into one frame, in voice order; the sum is not
// scaled, only the output conversion limits it.
void SongPlayer::mix(float step, float& left, float& right)
{
    for (Voice& voice : voices) {
        if (!voice.active) {
            continue;
        }
        const SampleBuffer& sample = voice.sample.buffer;
        const std::uint64_t n = sample.frameCount();
        if (n == 0) {
            continue;
        }
        // The playhead moves before it is read: a note's first frame reads
        // at step × pitch, not at 0.
        voice.playhead += step * voice.pitch;
        const float end = static_cast<float>(n);
        if (voice.playhead >= end) {
            if (voice.sustain) {
                voice.playhead -= end;
            } else {
                voice.active = false;  // this last frame is still mixed, reading silence for `a`
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
