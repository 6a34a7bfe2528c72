#pragma once

#include "countdown.h"
#include "fade.h"
#include "sample_buffer.h"
#include "song_event.h"
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

    // Resets, gives each voice its built-in sound and reads the song. False
    // when the two header bytes are missing or either is zero, or when the
    // song runs past kMaxSongBytes (no events are then kept).
    bool load(ReadFn read);

    // As load, from the song `other` holds (its events, row length, rate,
    // looping, loop limit, mutes and fade), without reading it again. `other` is only read, so it
    // may be rendering on another thread meanwhile.
    void loadFrom(const SongPlayer& other);

    void tick(float dt);

    // Overwrites every frame of `buffer`.
    void render(SampleBuffer& buffer);

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

    // The state before a song is read, each voice with its built-in sound.
    void reset();

    // Frames from now, up to `limit`, whose ticks would only count down the
    // wait and the gates: nothing the sequencer does changes what is mixed.
    std::size_t quietFrames(float dt, std::size_t limit) const;

    std::array<float, kMaxMixFrames> mixLeft_{};  // the span being mixed
    std::array<float, kMaxMixFrames> mixRight_{};
};
