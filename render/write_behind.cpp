#include "write_behind.h"

#include "output_file.h"
#include "wav_writer.h"

#include <system_error>

WriteBehind::WriteBehind(WavWriter& writer) : writer_(writer)
{
    for (auto& chunk : chunks_) {
        chunk.resize(kChunkFrames * kOutputFrameBytes);
    }
    // Signals that end the run are taken on the caller's thread, but for
    // the SIGPIPE this thread's own writes raise.
    const CleanupSignalsHeld held(CleanupSignalsHeld::Pipe::raised);
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        // No thread to be had (a process or task limit): each chunk is
        // written as it is handed over, the same bytes a little later.
    }
}

WriteBehind::~WriteBehind()
{
    if (!thread_.joinable()) {
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

bool WriteBehind::submit(std::size_t frames)
{
    if (!thread_.joinable()) {
        failed_ = failed_ || !writer_.write(chunks_[next_].data(), frames);
        return !failed_;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    frames_[next_] = frames;
    ++queued_;
    changed_.notify_all();
    // The next chunk is free once fewer than all of them wait.
    changed_.wait(lock, [this] { return queued_ < kChunks || failed_; });
    next_ = (next_ + 1) % kChunks;
    return !failed_;
}

bool WriteBehind::finish()
{
    if (!thread_.joinable()) {
        return !failed_;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return queued_ == 0 || failed_; });
    return !failed_;
}

void WriteBehind::run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return queued_ > 0 || closing_; });
        // Closing before finish() means the output is being abandoned.
        if (closing_ || failed_) {
            return;
        }
        const std::size_t index = oldest_;
        lock.unlock();
        const bool written = writer_.write(chunks_[index].data(), frames_[index]);
        lock.lock();
        oldest_ = (oldest_ + 1) % kChunks;
        --queued_;
        failed_ = failed_ || !written;
        changed_.notify_all();
    }
}
