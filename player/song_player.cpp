#include "song_player.h"

#include "float_bits.h"
#include "pitch_table.h"
#include "sample_bank.h"
#include "voice_mixer.h"

#include <algorithm>
#include <cmath>

MusicClock SongPlayer::startClock() const
{
    return MusicClock::start(static_cast<double>(tempoByte_), static_cast<double>(sampleRate));
}

void SongPlayer::restart()
{
    finished = false;
    finishedAt = 0;
    clock = startClock();
    loopClock = clock;
    loopClockFrame = 0.0;
    lastBeatQuarter = -1.0;
    resumedAt = 0;
    momentTick_ = UINT64_MAX;
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
                advanceForecast(voice.gate, dt, sounded, forecasts_[v]);
            }
        }
        if (!ticked) {
            advanceForecast(waitTimer, dt, span, forecasts_[kVoiceCount]);
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
    map = {};
    tempoByte_ = 120;
    events.clear();
    for (std::size_t v = 0; v < kVoiceCount; ++v) {
        voices[v].sample = bankSample(v);
        voices[v].table = makeSampleTable(voices[v].sample.buffer);
    }
    restart();
}

void SongPlayer::loadFrom(const SongPlayer& other)
{
    reset();
    events = other.events;
    map = other.map;
    tempoByte_ = other.tempoByte_;
    rowDuration = other.rowDuration;
    sampleRate = other.sampleRate;
    looping = other.looping;
    loopLimit = other.loopLimit;
    muted = other.muted;
    fade = other.fade;
    clock = startClock();
    loopClock = clock;
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
    tempoByte_ = tempo;

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
    map = SongMap::read(events);
    clock = startClock();
    loopClock = clock;
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
            if (event.voice == kMapVoice && !map.empty()) {
                takeMapRecord(position - 1, dt);
            }
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
            // The music as the loop point's events are taken: a jump back
            // takes it up again.
            loopClock = clock;
            loopClockFrame = static_cast<double>(frame + 1 + waitTimer.stepsLeft(dt));
            return;
        case Command::LoopEnd:
            waitTimer.set(rows * rowDuration);
            if (looping && loopPasses < loopLimit) {
                position = loopStart;
                ++loopPasses;
                const std::uint64_t back = frame + 1 + waitTimer.stepsLeft(dt);
                clock = loopClock;
                clock.shift(static_cast<double>(back) - loopClockFrame);
                // The loop point's own beat is told again as it comes round.
                lastBeatQuarter = clock.quarterAt(static_cast<double>(back)) - 0.5 * clock.quartersPerBeat();
                resumedAt = back;
                if (stopAtLoopEnd) {
                    stopAt = std::min(stopAt, back);  // a jump takes over from here: no pass
                } else if (events_ != nullptr) {
                    events_->add(back, MusicEventKind::Loop, static_cast<unsigned>(loopPasses), placeAt(back));
                }
            } else {
                finished = true;
            }
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
        if (events_ != nullptr) {
            events_->add(frame, MusicEventKind::End, 0, placeAt(frame));
        }
        if (stopAtLoopEnd) {
            stopAt = std::min(stopAt, frame + 1);
        }
    }
}

void SongPlayer::takeMapRecord(std::uint64_t event, float dt)
{
    const MapRecord* record = map.at(event);
    if (record == nullptr) {
        return;
    }
    const double rate = static_cast<double>(sampleRate);
    const double at = momentTick_ == frame ? momentFrame_ : static_cast<double>(frame);
    switch (record->kind) {
    case MapKind::Moment: {
        const auto offset = static_cast<std::int16_t>(static_cast<std::uint16_t>(record->value));
        momentTick_ = frame;
        momentFrame_ = static_cast<double>(frame) + static_cast<double>(offset) * rate / 48000.0;
        break;
    }
    case MapKind::BeatsPerMinute:
        clock.setTempo(at, rate * 60.0 / static_cast<double>(record->value));
        break;
    case MapKind::QuarterMicroseconds:
        clock.setTempo(at, rate * static_cast<double>(record->value) / 1e6);
        break;
    case MapKind::Meter:
        clock.setMeter(at, record->value, record->second);
        break;
    case MapKind::Cue:
        if (events_ != nullptr) {
            events_->add(frame, MusicEventKind::Cue, record->value, placeAt(frame));
        }
        break;
    case MapKind::CueName:
        break;
    }
    (void)dt;
}

MusicPlace SongPlayer::placeAt(std::uint64_t at) const
{
    const MusicClock::Place place = clock.placeAt(static_cast<double>(at));
    return {place.bar, place.beat, clock.beatsPerBar, place.phase, clock.beatsPerMinute(static_cast<double>(sampleRate)),
            loopPasses};
}

std::uint64_t SongPlayer::nextBeatFrame(bool bar) const
{
    const auto now = static_cast<double>(frame);
    std::int64_t index = clock.placeAt(now).index;
    if (std::round(clock.exactBeatFrame(index)) < now) {
        ++index;
    }
    if (bar) {
        const auto perBar = static_cast<std::int64_t>(clock.beatsPerBar);
        const std::int64_t into = ((index % perBar) + perBar) % perBar;
        if (into != 0) {
            index += perBar - into;
        }
    }
    const double at = std::round(clock.exactBeatFrame(index));
    // Where doubles no longer count frames, the next frame will do.
    return at > now && at < 1.8e19 ? static_cast<std::uint64_t>(at) : frame;
}

void SongPlayer::tellBeats(std::uint64_t span)
{
    // Past 2^53 frames doubles no longer tell frames apart: no beat is told.
    constexpr double kFarthest = 9007199254740992.0;
    const auto from = static_cast<double>(frame);
    double to = from + static_cast<double>(span);
    if (finished) {
        // The notes ring on after the song's end; its beats do not.
        to = std::min(to, static_cast<double>(finishedAt) + 1.0);
    }
    if (to >= kFarthest) {
        return;
    }
    // Where the music went on from a loop point, a seek or a jump a little
    // after a beat (a song's events lie a hair off its beats), that beat is
    // told there, late, rather than not at all: passes and jumps keep
    // their bar lines.
    const double late = static_cast<double>(sampleRate) * kLateBeatSeconds;
    std::int64_t index = clock.placeAt(from).index;
    if (clock.exactBeatFrame(index) < from - 0.5 - late) {
        ++index;
    }
    // A span holds at most a beat a frame, and one more.
    for (std::uint64_t looked = 0; looked <= span + 2; ++looked, ++index) {
        double at = std::round(clock.exactBeatFrame(index));
        if (at < from) {
            if (at < from - late || at < static_cast<double>(resumedAt) - late) {
                continue;
            }
            at = std::max(from, static_cast<double>(resumedAt));
        }
        if (at >= to) {
            return;
        }
        // A beat told of already (a tempo change placed a hair earlier
        // moves it on) is not told again.
        const double quarter = clock.beatQuarter(index);
        if (quarter <= lastBeatQuarter + 1e-6) {
            continue;
        }
        lastBeatQuarter = quarter;
        const MusicClock::Place beat = clock.placeOfBeat(index);
        MusicPlace place = placeAt(static_cast<std::uint64_t>(at));
        place.bar = beat.bar;
        place.beat = beat.beat;
        place.beatPhase = 0.0;
        if (beat.beat == 1) {
            events_->add(static_cast<std::uint64_t>(at), MusicEventKind::Bar, static_cast<unsigned>(place.bar), place);
        }
        events_->add(static_cast<std::uint64_t>(at), MusicEventKind::Beat, beat.beat, place);
    }
}

std::uint64_t SongPlayer::skipWait(float dt, std::uint64_t limit)
{
    // The wait's own steps, at most `limit`: it stops where it runs out.
    const std::uint64_t frames = advanceCountdown(waitTimer, dt, limit);
    if (frames == 0) {
        return 0;
    }
    for (Voice& voice : voices) {
        if (voice.active && advanceCountdown(voice.gate, dt, frames) < frames) {
            // The gate ran out within the skipped frames: the release that
            // the next tick would make, which later ticks only repeat.
            voice.release();
        }
    }
    return frames;
}

std::uint64_t SongPlayer::advanceCountdown(Countdown& countdown, float dt, std::uint64_t limit)
{
    if (countdown.widened || !(countdown.seconds > 0.0f)) {
        return countdown.advance(dt, limit);
    }
    RunOut& memo = runOutFrom(countdown.seconds);
    if (memo.from == countdown.seconds && memo.dt == dt && memo.frames <= limit) {
        countdown = memo.end;
        return memo.frames;
    }
    const float from = countdown.seconds;
    const std::uint64_t frames = countdown.advance(dt, limit);
    if (!countdown.running()) {
        memo = {from, dt, frames, countdown};
    }
    return frames;
}

bool SongPlayer::sequencerDone() const
{
    return finished && position >= events.size() && !waitTimer.running();
}

std::uint64_t SongPlayer::forecastSteps(const Countdown& countdown, float dt, std::uint64_t limit,
                                        Forecast& forecast)
{
    if (countdown.runsAtLeast(dt, limit)) {
        return limit;
    }
    if (countdown.widened) {
        return countdown.stepsLeft(dt, limit);
    }
    const RunOut& memo = runOutFrom(countdown.seconds);
    if (memo.from == countdown.seconds && memo.dt == dt && memo.frames >= limit) {
        return limit;
    }
    Countdown copy = countdown;
    const std::uint64_t steps = advanceCountdown(copy, dt, limit);
    forecast = {steps, copy};
    return steps;
}

void SongPlayer::advanceForecast(Countdown& countdown, float dt, std::uint64_t steps, const Forecast& forecast)
{
    if (steps != 0 && steps == forecast.steps) {
        countdown = forecast.end;
    } else {
        countdown.advance(dt, steps);
    }
}

std::size_t SongPlayer::quietFrames(float dt, std::size_t limit)
{
    forecasts_.fill({});
    std::size_t frames = limit;
    if (waitTimer.running()) {
        frames = static_cast<std::size_t>(forecastSteps(waitTimer, dt, limit, forecasts_[kVoiceCount]));
    } else if (!sequencerDone()) {
        return 0;
    }
    for (std::size_t v = 0; v < kVoiceCount; ++v) {
        const Voice& voice = voices[v];
        if (!voice.active) {
            continue;
        }
        if (voice.gate.running()) {
            frames = static_cast<std::size_t>(forecastSteps(voice.gate, dt, frames, forecasts_[v]));
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
template <class Output>
std::uint64_t SongPlayer::renderSpans(std::uint64_t frames, Output&& out)
{
    const float dt = 1.0f / sampleRate;
    const float step = kBaseRate / sampleRate;
    std::uint64_t done = 0;
    const bool stops = stopAt != UINT64_MAX || stopAtLoopEnd || stopAtMusic != StopAtMusic::None;
    while (done < frames) {
        if (stopAtMusic != StopAtMusic::None) {
            stopAt = nextBeatFrame(stopAtMusic == StopAtMusic::Bar);
        }
        if (stops && frame >= stopAt) {
            break;
        }
        const std::uint64_t room = stops ? stopAt - frame : UINT64_MAX;
        const auto limit = static_cast<std::size_t>(std::min<std::uint64_t>({frames - done, kMaxMixFrames, room}));
        std::size_t span = quietFrames(dt, limit);
        const bool ticked = span == 0;
        if (ticked) {
            tickFrame(dt);
            span = 1;
        }
        if (events_ != nullptr) {
            tellBeats(span);
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
                advanceForecast(voices[v].gate, dt, sounded[v], forecasts_[v]);
            }
            advanceForecast(waitTimer, dt, span, forecasts_[kVoiceCount]);
        }
        out(done, mixLeft_.data(), mixRight_.data(), span);
        done += span;
        frame += span;
    }
    return done;
}

std::uint64_t SongPlayer::render(SampleBuffer& buffer, MusicEvents* events)
{
    events_ = events;
    const std::uint64_t done =
        renderSpans(buffer.frameCount(), [&buffer](std::uint64_t at, const float* left, const float* right, std::size_t span) {
            if (buffer.format == SampleFormat::S16 && buffer.layout == ChannelLayout::Stereo) {
                writeMixS16Stereo(buffer.data + 4 * at, left, right, span);
            } else {
                buffer.writeFrames(at, left, right, span);
            }
        });
    events_ = nullptr;
    return done;
}

std::uint64_t SongPlayer::renderMix(float* left, float* right, std::uint64_t frames, MusicEvents* events)
{
    events_ = events;
    const std::uint64_t done =
        renderSpans(frames, [left, right](std::uint64_t at, const float* l, const float* r, std::size_t span) {
            std::copy_n(l, span, left + at);
            std::copy_n(r, span, right + at);
        });
    events_ = nullptr;
    return done;
}
