#include "playback.h"

#include "sample_buffer.h"

#include <algorithm>
#include <cstring>

Playback::Playback(bool looping, std::size_t captureFrames) : looping_(looping), capture_(2 * captureFrames) {}

Playback::~Playback()
{
    delete current_;
    delete pending_.load();
    delete retired_.load();
}

void Playback::play(std::unique_ptr<SongPlayer> song)
{
    song->looping = looping_;
    delete pending_.exchange(song.release());
}

void Playback::collect()
{
    delete retired_.exchange(nullptr);
}

Playback::Status Playback::status() const
{
    Status status;
    status.frames = statusFrames_.load(std::memory_order_relaxed);
    status.pass = statusPass_.load(std::memory_order_relaxed);
    status.position = statusPosition_.load(std::memory_order_relaxed);
    status.events = statusEvents_.load(std::memory_order_relaxed);
    status.ended = statusEnded_.load();
    return status;
}

std::span<const std::int16_t> Playback::captured() const
{
    return {capture_.data(), captured_.load(std::memory_order_acquire)};
}

// A new song is taken only once the main thread has freed the last player
// let go of, so that the one slot for it is always free.
void Playback::takeNewSong()
{
    if (retired_.load() != nullptr || pending_.load() == nullptr) {
        return;
    }
    SongPlayer* next = pending_.exchange(nullptr);
    retired_.store(current_);
    current_ = next;
    blockAt_ = kBlockFrames;
    lastBlock_ = false;
    ended_ = false;
    frames_ = 0;
}

void Playback::fill(std::int16_t* out, std::size_t frames)
{
    takeNewSong();
    std::size_t done = 0;
    while (done < frames && current_ != nullptr && !ended_ && !paused_.load(std::memory_order_relaxed)) {
        if (blockAt_ == kBlockFrames) {
            if (lastBlock_) {
                ended_ = true;
                break;
            }
            SampleBuffer block{SampleFormat::S16, ChannelLayout::Stereo, reinterpret_cast<std::uint8_t*>(block_.data()),
                               sizeof block_};
            for (std::size_t v = 0; v < kVoiceCount; ++v) {
                current_->muted[v] = muted_[v].load(std::memory_order_relaxed);
            }
            current_->render(block);
            lastBlock_ = current_->finished && !looping_;
            blockAt_ = 0;
        }
        const std::size_t count = std::min(frames - done, kBlockFrames - blockAt_);
        std::int16_t* const into = out + 2 * done;
        std::memcpy(into, block_.data() + 2 * blockAt_, count * 2 * sizeof(std::int16_t));
        // The capture copies what the device was handed, so that it hears
        // what a listener hears.
        const std::size_t at = captured_.load(std::memory_order_relaxed);
        const std::size_t kept = std::min(2 * count, capture_.size() - at);
        if (kept > 0) {
            std::memcpy(capture_.data() + at, into, kept * sizeof(std::int16_t));
            captured_.store(at + kept, std::memory_order_release);
        }
        blockAt_ += count;
        done += count;
        frames_ += count;
    }
    if (lastBlock_ && blockAt_ == kBlockFrames) {
        ended_ = true;
    }
    std::fill(out + 2 * done, out + 2 * frames, std::int16_t{0});
    publishStatus();
}

void Playback::publishStatus()
{
    if (current_ == nullptr) {
        return;
    }
    statusFrames_.store(frames_, std::memory_order_relaxed);
    statusPass_.store(current_->loopPasses, std::memory_order_relaxed);
    statusPosition_.store(current_->position, std::memory_order_relaxed);
    statusEvents_.store(current_->events.size(), std::memory_order_relaxed);
    statusEnded_.store(ended_);
}
