#include "song_player.h"

#include "pitch_table.h"
#include "sample_bank.h"
#include "voice_mixer.h"

#include <algorithm>

void SongPlayer::restart()
{
    finished = false;
    finishedAt = 0;
    loopPasses = 0;
    frame = 0;
    position = 0;
    loopStart = 0;
    waitTimer.set(0.0f);
    for (Voice& voice : voices) {
        WavSample sample = std::move(voice.sample);
        SampleTable table = std::move(voice.table);
        voice = Voice{};
        voice.sample = std::move(sample);
        voice.table = std::move(table);
    }
}

void SongPlayer::skip(std::uint64_t frames)
{
    const float dt = 1.0f / sampleRate;
    const float step = kBaseRate / sampleRate;
    // Nothing the sequencer does depends on the playhead of a sustained
    // voice (it wraps, so it stays below the sample's end and a release
    // cannot stop it) or of a released one (its gate is shut, so the frame
    // its pass ends in changes nothing but the voice itself), and a new note
    // sets it afresh. Such a voice's frames are owed, a stretch for each
    // pitch its note takes, until the seek ends, and dropped at its next
    // note: most notes of a busy song are replaced before they would be
    // paid, however often their pitch changed.
    struct Stretch {
        float pitch;              // the ratio the frames were owed at
        std::uint64_t sustained;  // frames owed while the gate was open
        std::uint64_t released;   // frames owed after it closed, which come after
    };
    constexpr std::size_t kKeptStretches = 32;  // more pitches than this under one note are paid as they come
    std::array<std::array<Stretch, kKeptStretches>, kVoiceCount> kept;
    std::array<std::size_t, kVoiceCount> keptCount{};
    std::array<std::uint64_t, kVoiceCount> keptFrames{};  // of each voice's owed frames, those of its kept stretches
    std::array<std::uint64_t, kVoiceCount> held{};        // of the rest, the sustained ones (they come first)
    const auto payStretch = [&](Voice& voice, const Stretch& stretch) {
        const bool sustain = voice.sustain;
        const float increment = step * stretch.pitch;
        for (const bool sustained : {true, false}) {
            voice.sustain = sustained;
            std::uint64_t left = sustained ? stretch.sustained : stretch.released;
            while (left > 0 && voice.active) {
                const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(left, SIZE_MAX));
                advanceVoice(voice, increment, count);
                left -= count;
            }
        }
        voice.sustain = sustain;
    };
    const auto payKept = [&](std::size_t v) {
        for (std::size_t i = 0; i < keptCount[v]; ++i) {
            payStretch(voices[v], kept[v][i]);
        }
        voices[v].owed -= keptFrames[v];
        keptCount[v] = 0;
        keptFrames[v] = 0;
    };
    // The stretch owed at `pitch` since the last one ends here.
    const auto endStretch = [&](std::size_t v, float pitch) {
        if (keptCount[v] == kKeptStretches) {
            payKept(v);
        }
        const std::uint64_t owed = voices[v].owed - keptFrames[v];
        kept[v][keptCount[v]++] = Stretch{pitch, held[v], owed - held[v]};
        keptFrames[v] += owed;
        held[v] = 0;
    };
    const auto payAll = [&](std::size_t v) {
        endStretch(v, voices[v].pitch);
        payKept(v);
    };
    while (frames > 0) {
        // The same spans as render's, only not cut at a mixing buffer.
        std::size_t span = quietFrames(dt, static_cast<std::size_t>(std::min<std::uint64_t>(frames, SIZE_MAX)));
        const bool ticked = span == 0;
        if (ticked) {
            std::array<float, kVoiceCount> pitches{};
            for (std::size_t v = 0; v < kVoiceCount; ++v) {
                pitches[v] = voices[v].pitch;
            }
            tickFrame(dt);
            for (std::size_t v = 0; v < kVoiceCount; ++v) {
                if (voices[v].owed == 0) {
                    // A new note, or nothing owed: nothing is kept.
                    keptCount[v] = 0;
                    keptFrames[v] = 0;
                    held[v] = 0;
                } else if (voices[v].pitch != pitches[v]) {
                    endStretch(v, pitches[v]);
                }
            }
            span = 1;
        }
        for (std::size_t v = 0; v < kVoiceCount; ++v) {
            Voice& voice = voices[v];
            std::size_t sounded = 0;
            if (voice.active && (voice.sustain || !voice.gate.running())) {
                voice.owed += span;
                held[v] += voice.sustain ? span : 0;
                sounded = span;  // counted only by a running gate, a sustained voice's
            } else if (voice.active) {
                sounded = advanceVoice(voice, step * voice.pitch, span);
            }
            if (!ticked) {
                voice.gate.advance(dt, sounded);
            }
        }
        if (!ticked) {
            waitTimer.advance(dt, span);
        }
        frames -= span;
        frame += span;
        if (sequencerDone()) {
            // No pitch changes any more: what is owed is paid now, so that
            // released notes end, and once every voice is silent the rest of
            // the seek is silence, at no cost.
            for (std::size_t v = 0; v < kVoiceCount; ++v) {
                if (voices[v].owed > 0) {
                    payAll(v);
                }
            }
            if (std::none_of(voices.begin(), voices.end(), [](const Voice& voice) { return voice.active; })) {
                frame += frames;  // silence to the end
                break;
            }
        }
    }
    for (std::size_t v = 0; v < kVoiceCount; ++v) {
        if (voices[v].owed > 0) {
            payAll(v);
        }
    }
}

void SongPlayer::reset()
{
    finished = false;
    finishedAt = 0;
    loopPasses = 0;
    frame = 0;
    position = 0;
    loopStart = 0;
    waitTimer.set(0.0f);
    events.clear();

    for (std::size_t v = 0; v < kVoiceCount; ++v) {
        voices[v] = Voice{};
        voices[v].sample = bankSample(v);
        voices[v].table = makeSampleTable(voices[v].sample.buffer);
    }
}

void SongPlayer::loadFrom(const SongPlayer& other)
{
    reset();
    events = other.events;
    rowDuration = other.rowDuration;
    sampleRate = other.sampleRate;
    looping = other.looping;
    loopLimit = other.loopLimit;
    muted = other.muted;
    fade = other.fade;
}

bool SongPlayer::load(ReadFn read)
{
    reset();

    std::uint8_t tempo = 0;
    std::uint8_t rowsPerBeat = 0;
    if (!read(&tempo, 1) || !read(&rowsPerBeat, 1) || tempo == 0 || rowsPerBeat == 0) {
        return false;
    }
    rowDuration = 60.0f / (static_cast<float>(rowsPerBeat) * static_cast<float>(tempo));

    constexpr std::uint64_t kMaxEvents = (kMaxSongBytes - 2) / 3;
    for (;;) {
        std::uint8_t record[3];
        if (!read(&record[0], 1) || !read(&record[1], 1) || !read(&record[2], 1)) {
            break;  // one or two trailing bytes are not an event
        }
        if (events.size() == kMaxEvents) {
            events = {};
            return false;
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
            voice.release();
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
            voice.owed = 0;
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
            if (looping && loopPasses < loopLimit) {
                position = loopStart;
                ++loopPasses;
            } else {
                finished = true;
            }
            waitTimer.set(rows * rowDuration);
            return;
        }
        return;  // any other command byte is consumed and ends the tick
    }
}

void SongPlayer::tickFrame(float dt)
{
    const bool was = finished;
    tick(dt);
    if (finished && !was) {
        finishedAt = frame;
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
            voice.release();
        }
    }
    return frames;
}

bool SongPlayer::sequencerDone() const
{
    return finished && position >= events.size() && !waitTimer.running();
}

std::size_t SongPlayer::quietFrames(float dt, std::size_t limit) const
{
    std::size_t frames = limit;
    if (waitTimer.running()) {
        frames = static_cast<std::size_t>(waitTimer.stepsLeft(dt, limit));
    } else if (!sequencerDone()) {
        return 0;
    }
    for (const Voice& voice : voices) {
        if (!voice.active) {
            continue;
        }
        if (voice.gate.running()) {
            frames = static_cast<std::size_t>(voice.gate.stepsLeft(dt, frames));
            continue;
        }
        // The first release, or an empty sample's end, needs a real tick.
        if (!voice.settled()) {
            return 0;
        }
    }
    return frames;
}

// Renders in spans: between frames where the sequencer acts, its ticks only
// count down, so those countdowns are taken in one go and the voices are
// mixed one after another over the whole span. Every value is computed by
// the same single-precision operations, in the same order, as one tick and
// one mix per frame.
void SongPlayer::render(SampleBuffer& buffer)
{
    const float dt = 1.0f / sampleRate;
    const float step = kBaseRate / sampleRate;
    const std::uint64_t frames = buffer.frameCount();
    std::uint64_t done = 0;
    while (done < frames) {
        const auto limit = static_cast<std::size_t>(std::min<std::uint64_t>(frames - done, kMaxMixFrames));
        std::size_t span = quietFrames(dt, limit);
        const bool ticked = span == 0;
        if (ticked) {
            tickFrame(dt);
            span = 1;
        }
        std::fill_n(mixLeft_.begin(), span, 0.0f);
        std::fill_n(mixRight_.begin(), span, 0.0f);
        std::array<std::size_t, kVoiceCount> sounded{};
        mixVoices(voices, muted, step, span, mixLeft_.data(), mixRight_.data(), sounded);
        if (fade.active() && frame + span > fade.start) {
            for (std::size_t i = 0; i < span; ++i) {
                const float gain = fade.gainAt(frame + i);
                mixLeft_[i] *= gain;
                mixRight_[i] *= gain;
            }
        }
        if (!ticked) {
            // Ticks count a gate down only while its voice is sounding.
            for (std::size_t v = 0; v < kVoiceCount; ++v) {
                voices[v].gate.advance(dt, sounded[v]);
            }
            waitTimer.advance(dt, span);
        }
        if (buffer.format == SampleFormat::S16 && buffer.layout == ChannelLayout::Stereo) {
            writeMixS16Stereo(buffer.data + 4 * done, mixLeft_.data(), mixRight_.data(), span);
        } else {
            buffer.writeFrames(done, mixLeft_.data(), mixRight_.data(), span);
        }
        done += span;
        frame += span;
    }
}
