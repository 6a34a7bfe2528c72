#pragma once

#include "output_format.h"
#include "song_player.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

// Plays songs into an audio device's buffers: fill() runs on the device's
// thread and never allocates, locks, does I/O or waits. The main thread
// hands over a new song, a pause or the end through atomics only, and frees
// the players fill() has let go of.
//
// Frames come out of 512-frame blocks, the blocks sqn2wav writes: with
// looping off the last one is the block in which the song ended, played
// whole, and then silence.
class Playback {
public:
    struct Status {
        std::uint64_t frames = 0;    // song frames played since the song started, pauses not counted
        std::uint64_t pass = 0;      // times the song jumped back to its loop point
        std::uint64_t position = 0;  // index of the next event
        std::uint64_t events = 0;    // events in the song
        bool ended = false;          // looping off: the song's last block has been played
    };

    // `captureFrames`: how many of the song's frames to keep a copy of, for
    // checking what was played (0: none).
    explicit Playback(bool looping, std::size_t captureFrames = 0);
    ~Playback();
    Playback(const Playback&) = delete;
    Playback& operator=(const Playback&) = delete;

    // Main thread. The song starts from its beginning with the next buffer
    // the device asks for. A song handed over before the last one was taken
    // replaces it.
    void play(std::unique_ptr<SongPlayer> song);
    void setPaused(bool paused) { paused_.store(paused); }
    bool paused() const { return paused_.load(); }
    // A muted voice plays on unheard, keeping its time, from the next block
    // on (for every song played from now on too).
    void setMuted(std::size_t voice, bool muted) { muted_[voice].store(muted); }
    bool muted(std::size_t voice) const { return muted_[voice].load(); }
    // Frees the players fill() no longer uses.
    void collect();
    Status status() const;
    // The frames captured so far (interleaved stereo): a prefix that only
    // grows, safe to read while the device plays on.
    std::span<const std::int16_t> captured() const;

    // Device thread: exactly `frames` interleaved 16-bit stereo frames.
    void fill(std::int16_t* out, std::size_t frames);

private:
    void takeNewSong();
    void publishStatus();

    const bool looping_;
    SongPlayer* current_ = nullptr;               // owned; the device thread's
    std::atomic<SongPlayer*> pending_{nullptr};   // owned; handed over, not yet taken
    std::atomic<SongPlayer*> retired_{nullptr};   // owned; let go of, not yet freed
    std::atomic<bool> paused_{false};
    std::array<std::atomic<bool>, kVoiceCount> muted_{};

    // The device thread's block, of which `blockAt_` frames were played.
    std::array<std::int16_t, 2 * kBlockFrames> block_{};
    std::size_t blockAt_ = kBlockFrames;
    bool lastBlock_ = false;  // looping off: the block in which the song ended
    bool ended_ = false;
    std::uint64_t frames_ = 0;

    std::atomic<std::uint64_t> statusFrames_{0};
    std::atomic<std::uint64_t> statusPass_{0};
    std::atomic<std::uint64_t> statusPosition_{0};
    std::atomic<std::uint64_t> statusEvents_{0};
    std::atomic<bool> statusEnded_{false};

    std::vector<std::int16_t> capture_;
    std::atomic<std::size_t> captured_{0};  // values in capture_ written
};
