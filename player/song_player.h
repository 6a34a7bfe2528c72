#pragma once

#include "countdown.h"
#include "fade.h"
#include "float_bits.h"
#include "music_clock.h"
#include "music_events.h"
#include "sample_buffer.h"
#include "song_event.h"
#include "song_map.h"
#include "voice.h"
#include "voice_mixer.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

// Delivers exactly `size` bytes of the song file to `destination`, or
// returns false.
using ReadFn = std::function<bool(void* destination, std::uint32_t size)>;

inline constexpr std::size_t kSustainedVoices = 4;  // voices 0–3 cycle; 4 and 5 are one-shot
inline constexpr float kBaseRate = 44100.0f;        // Hz every sample is played as if recorded at
inline constexpr float kVolumeStep = 0.0078125f;    // 1/128: volume 128 is unity
// Bytes a song file may hold, header and trailing bytes included: over five
// million events, hours of the densest music. A longer file (or an endless
// stream) is not a song; reading stops there instead of growing without
// bound.
inline constexpr std::uint64_t kMaxSongBytes = 16u << 20;
// Seconds a beat may be told late, where the music goes on from a point
// just past it (a loop point, a seek, a cue): rather than not at all.
inline constexpr double kLateBeatSeconds = 0.025;

// Plays one song: `load` reads it, `tick` advances the sequencer by one
// output frame (gates, then due events), `render` fills a buffer as one
// tick and one mix per frame would.
struct SongPlayer {
    std::vector<SongEvent> events;            // in file order
    std::array<Voice, kVoiceCount> voices;
    float sampleRate = 44100.0f;              // output rate, Hz
    float rowDuration = 0.0f;                 // seconds per row
    Countdown waitTimer;                      // seconds before the next event is taken
    std::uint64_t position = 0;               // index of the next event to take
    std::uint64_t loopStart = 0;              // event index LoopEnd jumps back to
    bool looping = true;                      // false: LoopEnd ends the song
    std::uint64_t loopLimit = UINT64_MAX;     // looping: the times LoopEnd jumps back; the next one ends the song
    bool finished = false;                    // the song has ended; only load clears it
    std::uint64_t finishedAt = 0;             // the frame (counted as `frame`) it ended in, once finished by render or skip
    std::uint64_t loopPasses = 0;             // times LoopEnd jumped back since the load
    std::array<bool, kVoiceCount> muted{};    // voices that play on unheard: they keep their time
    Fade fade;                                // a fade to silence, by frame
    std::uint64_t frame = 0;                  // frames rendered or skipped since the load or restart

    // The music: the song's map records, and where it stands in bars and
    // beats (as of the frame about to be played).
    SongMap map;
    MusicClock clock;
    MusicClock loopClock;                     // the clock as the loop point is reached …
    double loopClockFrame = 0.0;              // … in this frame: a jump back takes it up again
    double lastBeatQuarter = -1.0;            // the last beat told of, in quarters from the start
    std::uint64_t resumedAt = 0;              // the frame the music last went on from a loop point, seek or jump
    // Where render stops, short of its buffer: at this frame (UINT64_MAX:
    // nowhere), and (where set) at the frame a LoopEnd goes back to the
    // loop point or ends the song.
    std::uint64_t stopAt = UINT64_MAX;
    bool stopAtLoopEnd = false;
    enum class StopAtMusic { None, Beat, Bar };
    StopAtMusic stopAtMusic = StopAtMusic::None;  // …, or at the next beat or bar

    // The frame the next beat (or bar) falls in, at or after `frame`.
    std::uint64_t nextBeatFrame(bool bar) const;
    // Where the music stands at frame `at`, by the clock as it is.
    MusicPlace placeAt(std::uint64_t at) const;

    // Resets, gives each voice its built-in sound and reads the song. False
    // when the two header bytes are missing or either is zero, or when the
    // song runs past kMaxSongBytes (no events are then kept).
    bool load(ReadFn read);

    // As load, from the song `other` holds (its events, row length, rate,
    // looping, loop limit, mutes and fade), without reading it again. `other` is only read, so it
    // may be rendering on another thread meanwhile.
    void loadFrom(const SongPlayer& other);

    void tick(float dt);

    // Overwrites the frames of `buffer` up to stopAt (all of them unless
    // one is set) and returns how many; beats, bars, the loop, cues and the
    // end passed go into `events` where given.
    std::uint64_t render(SampleBuffer& buffer, MusicEvents* events = nullptr);

    // The same into planar floats, the unclamped mix: `frames` at most
    // kMaxMixFrames at a time is not needed, any count is taken.
    std::uint64_t renderMix(float* left, float* right, std::uint64_t frames, MusicEvents* events = nullptr);

    // Back to the state just after load, without decoding the sounds again.
    void restart();

    // Advances by `frames` output frames exactly as rendering them would
    // (sequencer, gates and playheads, bit for bit), without reading or
    // mixing a sample: quiet stretches are taken in one go, a held or
    // released note's playhead is moved only where its pitch changes or the
    // seek ends (not at all when another note comes first), and playheads
    // step many frames at once where their sums are exact.
    void skip(std::uint64_t frames);

    // Takes, in one go and without mixing, up to `limit` of the frames in
    // which tick would do nothing but count down the wait and the gates;
    // returns how many. Leaves the sequencer and the gates exactly as that
    // many ticks would.
    std::uint64_t skipWait(float dt, std::uint64_t limit);

    // The song has ended and no event is left to take: every further tick
    // only counts down the voices' gates.
    bool sequencerDone() const;

private:
    // tick(), noting the frame in which the song ends.
    void tickFrame(float dt);

    // The spans of a render of up to `frames` frames, each handed to
    // `out(done, left, right, span)`; how many frames were rendered.
    template <class Output>
    std::uint64_t renderSpans(std::uint64_t frames, Output&& out);

    // A map record taken by the sequencer, at `event`.
    void takeMapRecord(std::uint64_t event, float dt);
    // The beats and bars in [frame, frame + span).
    void tellBeats(std::uint64_t span);
    // The clock a song starts with: its header's tempo, four quarters a bar.
    MusicClock startClock() const;

    MusicEvents* events_ = nullptr;  // during a render: where its events go
    std::uint64_t momentTick_ = UINT64_MAX;  // the frame a moment record was taken in …
    double momentFrame_ = 0.0;               // … and where the records after it stand
    std::uint8_t tempoByte_ = 120;           // the header's tempo

    // The state before a song is read, each voice with its built-in sound.
    void reset();

    // Frames from now, up to `limit`, whose ticks would only count down the
    // wait and the gates: nothing the sequencer does changes what is mixed.
    // What it steps to find a countdown's end is kept in forecasts_.
    std::size_t quietFrames(float dt, std::size_t limit);

    std::array<float, kMaxMixFrames> mixLeft_{};  // the span being mixed
    std::array<float, kMaxMixFrames> mixRight_{};

    // Countdowns skipWait ran out whole, by the value each started from: from
    // the same value at the same frame length a countdown takes the same
    // steps to the same state, and a song's waits and gates are a few
    // lengths over and over.
    struct RunOut {
        float from = -1.0f;        // seconds it started at; never a countdown's value while unused
        float dt = 0.0f;           // seconds a frame
        std::uint64_t frames = 0;  // steps it took to run out
        Countdown end;             // and what they left
    };
    std::array<RunOut, 16> runOuts_{};

    // The one place in runOuts_ for a countdown starting at `seconds`.
    RunOut& runOutFrom(float seconds)
    {
        const std::uint32_t bits = bitsOf(seconds);
        return runOuts_[(bits ^ bits >> 7 ^ bits >> 15) % runOuts_.size()];
    }

    // countdown.advance(dt, limit), taken from runOuts_ where it is there.
    std::uint64_t advanceCountdown(Countdown& countdown, float dt, std::uint64_t limit);

    // A countdown near its end, stepped by quietFrames to find the span: the
    // state it reached, which the span's own advance takes instead of
    // stepping again when it moves the countdown as far.
    struct Forecast {
        std::uint64_t steps = 0;  // steps taken; 0: nothing kept
        Countdown end;            // what they left
    };
    std::array<Forecast, kVoiceCount + 1> forecasts_{};  // the gates of voices 0 … 5, then the wait

    // countdown.stepsLeft(dt, limit), keeping in `forecast` what it stepped.
    std::uint64_t forecastSteps(const Countdown& countdown, float dt, std::uint64_t limit, Forecast& forecast);
    // countdown.advance(dt, steps), from `forecast` where it holds that move.
    static void advanceForecast(Countdown& countdown, float dt, std::uint64_t steps, const Forecast& forecast);
};
