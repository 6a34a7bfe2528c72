#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

class WavWriter;
struct SongPlayer;

// Renders a long song on every core the process may run on. The caller
// renders from the start and writes in order; helper threads render later
// stretches, each from a seek (bit-exact, mixing nothing), writing their
// frames at their place in the output. One helper finds the song's length
// while the caller has begun and splits the song evenly; whoever runs out
// of work takes the second half of the largest stretch left, so that all
// finish together.
class RenderParts {
public:
    static constexpr std::uint64_t kMinPartFrames = 30 * 48000;  // less is not worth a thread or a seek
    static constexpr std::size_t kMaxThreads = 8;

    // The threads a song is rendered on here, the caller's included: one a
    // core the process may run on that other programs leave idle (at least
    // 1, at most kMaxThreads), or 1 where the output is not a regular file.
    static std::size_t threadsFor(const WavWriter& writer);

    // Starts up to threads − 1 helpers (as many as the system will start)
    // on the song `song` holds (the caller's player, which it may render
    // meanwhile; its looping off or limited, since the song is measured to
    // its end), in stretches of at least `minPartFrames` (tests pass less),
    // to the song's end or to `frames` where given. `song` and `writer` must
    // outlive this.
    RenderParts(const SongPlayer& song, const WavWriter& writer, std::size_t threads,
                std::uint64_t minPartFrames = kMinPartFrames, std::uint64_t frames = 0);
    // Stops the helpers (the output is being abandoned).
    ~RenderParts();
    RenderParts(const RenderParts&) = delete;
    RenderParts& operator=(const RenderParts&) = delete;

    // Asked by the caller before it renders `frames` more frames from frame
    // `rendered` on (a whole chunk, or up to the song's end): false where
    // its stretch ends, which may move while it renders but never below
    // what it has asked for.
    bool claim(std::uint64_t rendered, std::uint64_t frames);

    // Once the caller's stretch is done: helps the helpers with the
    // caller's `player` (at frame `rendered`, where the stretch ended),
    // waits for them, and says whether every frame after that stretch was
    // rendered and written.
    bool finish(SongPlayer& player, std::uint64_t rendered);

    // Frames placed after the caller's stretch, once finished.
    std::uint64_t placedFrames() const { return placed_; }

private:
    // What one thread renders: frames [next, end), `next` moving on a chunk
    // at a time as it is taken.
    struct Stretch {
        std::uint64_t next = 0;
        std::uint64_t end = 0;
    };

    // Starts helper `worker` (from 1, in order); false where the system
    // would not start one more thread.
    bool startHelper(std::size_t worker);
    void plan(SongPlayer& player);
    // Renders thread `worker`'s stretches, taking others' when its own is
    // done, with `player` (at frame `at`; one of its own, loaded when first
    // needed, where null); false when a write failed.
    bool work(std::size_t worker, SongPlayer* player, std::uint64_t at);
    // A new stretch for `worker`, taken from the largest one left; false
    // when none is worth it. Called with the lock held.
    bool steal(std::size_t worker);

    const SongPlayer& song_;
    const WavWriter& writer_;
    std::uint64_t minPartFrames_;
    std::uint64_t knownFrames_;       // the frames to render where given, else 0
    std::mutex mutex_;
    std::condition_variable planned_;
    bool started_ = false;            // every helper that could start has, and stretches_ is sized for them
    bool decided_ = false;            // the song's length is known and split
    bool abandoned_ = false;          // stop: the output is being abandoned
    bool failed_ = false;             // a helper could not render or write
    std::uint64_t frames_ = 0;        // the song's, whole blocks
    std::uint64_t placed_ = 0;        // frames after the caller's stretch
    std::vector<Stretch> stretches_;  // one a thread, the caller's first
    std::vector<std::thread> threads_;
};
