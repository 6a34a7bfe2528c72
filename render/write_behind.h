#pragma once

#include "output_format.h"

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

class WavWriter;

// Writes rendered frames on a thread of its own, so that rendering the next
// chunk overlaps the kernel's copy of the last one. The renderer fills
// chunk() and hands it over with submit(); chunks are written in order.
// After a failed write nothing more is written and submit() and finish()
// say so.
class WriteBehind {
public:
    static constexpr std::size_t kChunkFrames = 64 * kBlockFrames;  // frames a chunk holds

    explicit WriteBehind(WavWriter& writer);
    ~WriteBehind();
    WriteBehind(const WriteBehind&) = delete;
    WriteBehind& operator=(const WriteBehind&) = delete;

    // The chunk to fill next: kChunkFrames interleaved 16-bit frames.
    std::uint8_t* chunk() { return chunks_[next_].data(); }

    // Queues the chunk from chunk() with its first `frames` frames to be
    // written; waits while every other chunk is still queued. False once a
    // write has failed.
    bool submit(std::size_t frames);

    // Waits for every queued chunk; whether all of them were written.
    bool finish();

private:
    static constexpr std::size_t kChunks = 3;

    void run();

    WavWriter& writer_;
    std::array<std::vector<std::uint8_t>, kChunks> chunks_;
    std::array<std::size_t, kChunks> frames_{};  // frames queued in each chunk
    std::size_t next_ = 0;                        // the chunk the renderer fills
    std::size_t queued_ = 0;                      // chunks waiting, from the oldest
    std::size_t oldest_ = 0;                      // the chunk the writer writes next
    bool failed_ = false;
    bool closing_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread thread_;
};
