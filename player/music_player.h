#pragma once

#include "cue_states.h"
#include "loop_timing.h"
#include "music_events.h"
#include "sample_buffer.h"
#include "song_player.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

// A song played for a game: voices muted or heard, a gain and fades over
// the mix, a jump to a cue at the next beat, bar or loop end, sound effects
// (songs of their own) over it on voices the music gives up meanwhile, and
// the beats, bars, loops, cues and end it passes, told as events. Its
// frames are one clock from open: seeks set it, jumps do not. One thread at
// a time; rendering never allocates, locks or does I/O (what a render lets
// go of, a finished effect, waits in `retired` for the caller to free).
class MusicPlayer {
public:
    static constexpr std::size_t kMaxEffects = 8;     // sounding at once
    static constexpr std::size_t kKeptEvents = 1024;  // waiting to be polled (a render's, as a rule); older ones are dropped

    enum class JumpAt { Now, Beat, Bar, LoopEnd };

    // A sound effect or jingle, loaded (on the calling thread) to be played.
    struct Effect {
        SongPlayer song;                       // at the music's rate, looping off
        std::array<bool, kVoiceCount> voices{};  // the voices it takes from the music
        std::uint64_t length = 0;              // frames it plays: sqn2wav's, whole blocks to the one it ends in
        std::uint64_t played = 0;
        int id = 0;
    };

    // The song `bytes` at `rate`; false where it does not load.
    bool open(const std::uint8_t* bytes, std::size_t size, float rate);

    // An effect for this player, or nothing where its bytes are no song.
    std::unique_ptr<Effect> loadEffect(const std::uint8_t* bytes, std::size_t size, unsigned voices) const;

    void setLooping(bool looping);
    void setMuted(std::size_t voice, bool muted);
    void setGain(float gain);
    void fade(float to, std::uint64_t frames);
    // False for a cue the song does not have (or never reaches).
    bool jump(std::size_t cue, JumpAt at);
    // Where a seek to `frame` puts the music, looping or not (worked out
    // from the song alone: another thread may do it while this one
    // renders), and taking that up.
    PlayState seekState(std::uint64_t frame, bool looping) const;
    void applySeek(std::uint64_t frame, const PlayState& state);
    // The same in a player of this song set aside for seeking (made once by
    // seekPlayer), which it leaves where the seek goes: no allocation.
    SongPlayer seekPlayer() const;
    void seekIn(SongPlayer& player, std::uint64_t frame, bool looping) const;
    // Plays `effect` from the next frame on; false where kMaxEffects sound.
    bool playEffect(std::unique_ptr<Effect> effect);

    // Renders `buffer` whole (S16 or F32, stereo) or planar floats.
    void render(SampleBuffer& buffer);
    void renderPlanar(float* left, float* right, std::size_t frames);

    // Up to `max` of the events passed since the last poll, oldest first;
    // how many.
    std::size_t pollEvents(MusicEvent* out, std::size_t max);

    struct Time {
        std::uint64_t frame;  // the next frame to render, on the player's clock
        std::uint64_t pass;
        std::uint64_t bar;
        std::uint32_t beat;
        double beatPhase;
        double beatsPerMinute;
        std::uint32_t beatsPerBar;
    };
    Time time() const;

    const SongPlayer& music() const { return music_; }
    // Of the song, and so answered for any thread:
    float sampleRate() const { return song_.sampleRate; }
    int cueIndex(std::string_view name) const { return song_.map.cueIndex(name); }
    bool reaches(std::size_t cue) const { return cue < cues_.size() && cues_[cue].has_value(); }
    bool finished() const { return music_.finished; }
    std::uint64_t frame() const { return music_.frame + offset_; }
    std::uint64_t loopPasses() const { return music_.loopPasses; }
    // The intro's length: the frame the loop point is first reached in;
    // UINT64_MAX for a song without a loop.
    std::uint64_t loopFrame() const { return timing_.looped ? timing_.loopFrame : UINT64_MAX; }
    std::uint64_t length() const { return length_; }
    const std::vector<std::string>& cueNames() const { return song_.map.cueNames; }

    // An effect a render has let go of (finished, or with no room to
    // play), for the caller to free; null where there is none.
    std::unique_ptr<Effect> takeRetired();

private:
    // Renders up to `frames` (at most kMaxMixFrames) into the scratch,
    // effects and gain and all, stopping where a jump or an effect ends;
    // how many.
    std::size_t renderChunk(std::size_t frames);
    void takeJump();
    float gainAt(std::uint64_t index) const;
    // Keeps `effect` for takeRetired, telling its end.
    void retire(std::unique_ptr<Effect> effect);
    // Keeps `event` for polling.
    void keep(const MusicEvent& event);

    SongPlayer song_;   // the song as loaded, only read once open: seeks and effects start from it
    SongPlayer music_;  // the song playing
    LoopTiming timing_;
    std::vector<std::optional<CueState>> cues_;
    std::uint64_t length_ = 0;    // frames played with looping off, up to the one it ends in
    std::uint64_t offset_ = 0;    // the clock's frame less the music's
    std::array<bool, kVoiceCount> muted_{};
    float gain_ = 1.0f;
    struct Fade {
        float from = 1.0f;
        float to = 1.0f;
        std::uint64_t frames = 0;
        std::uint64_t done = 0;
    } fade_;
    struct Jump {
        bool pending = false;
        std::size_t cue = 0;
        JumpAt at = JumpAt::Now;
    } jump_;
    std::array<std::unique_ptr<Effect>, kMaxEffects> effects_;
    std::array<std::unique_ptr<Effect>, 2 * kMaxEffects> retired_;
    MusicEvents passed_;                            // one chunk's
    std::array<MusicEvent, kKeptEvents> kept_{};    // a ring, for polling
    std::size_t keptFirst_ = 0;
    std::size_t keptCount_ = 0;
    std::array<float, kMaxMixFrames> left_{};
    std::array<float, kMaxMixFrames> right_{};
    std::array<float, kMaxMixFrames> effectLeft_{};
    std::array<float, kMaxMixFrames> effectRight_{};
};
