#include "render_parts.h"

#include "output_file.h"
#include "output_format.h"
#include "sample_buffer.h"
#include "song_player.h"
#include "timeline.h"
#include "wav_writer.h"
#include "write_behind.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace {

// Cores this process may run on (taskset and cpusets included).
std::size_t usableCores()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        return static_cast<std::size_t>(CPU_COUNT(&set));
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

// Threads the scheduler has running, from /proc/stat's procs_running;
// nothing where it does not say. At most kMaxStatBytes are read, without
// waiting: whatever stands there (an endless device, a pipe), the answer
// comes at once.
std::optional<std::size_t> runningThreads()
{
    // Far more than the file holds on any machine: a line a core, and the
    // interrupt counts.
    constexpr std::size_t kMaxStatBytes = 1u << 20;
    const int fd = ::open("/proc/stat", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string text(kMaxStatBytes, '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t read = ::read(fd, text.data() + got, text.size() - got);
        if (read <= 0) {
            break;
        }
        got += static_cast<std::size_t>(read);
    }
    ::close(fd);
    text.resize(got);
    constexpr std::string_view kKey = "\nprocs_running ";
    const std::size_t at = text.find(kKey);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    std::size_t running = 0;
    std::size_t digits = 0;
    for (std::size_t i = at + kKey.size(); i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 9; ++i) {
        running = running * 10 + static_cast<std::size_t>(text[i] - '0');
        ++digits;
    }
    if (digits == 0) {
        return std::nullopt;
    }
    return running;
}

// Cores other programs keep busy: the threads the scheduler has running
// beside this one, the fewest of three looks half a millisecond apart, so that
// a program that only wakes for a moment is not counted, while a batch's
// other jobs (GNU parallel, make -j) or a busy program are.
std::size_t busyCores()
{
    std::size_t fewest = SIZE_MAX;
    for (int look = 0; look < 3; ++look) {
        if (look > 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        const std::optional<std::size_t> running = runningThreads();
        if (!running) {
            return 0;  // not told: as if idle
        }
        fewest = std::min(fewest, *running > 0 ? *running - 1 : 0);
    }
    return fewest;
}

}  // namespace

std::size_t RenderParts::threadsFor(const WavWriter& writer)
{
    if (!writer.canPlace()) {
        return 1;
    }
    // A helper pays a seek to its stretch, which a core that other work
    // keeps busy does not pay back: only the idle ones get one.
    const std::size_t cores = usableCores();
    const std::size_t busy = busyCores();
    return std::clamp<std::size_t>(cores > busy ? cores - busy : 1, 1, kMaxThreads);
}

RenderParts::RenderParts(const SongPlayer& song, const WavWriter& writer, std::size_t threads,
                         std::uint64_t minPartFrames, std::uint64_t frames)
    : song_(song),
      writer_(writer),
      minPartFrames_(std::max<std::uint64_t>(minPartFrames, 1)),
      knownFrames_(frames),
      stretches_(std::max<std::size_t>(threads, 1))
{
    stretches_[0].end = UINT64_MAX;  // the caller takes all it asks for until the song is split
    {
        // Signals that end the run are taken on the caller's thread.
        const CleanupSignalsHeld held;
        for (std::size_t worker = 1; worker < stretches_.size(); ++worker) {
            if (!startHelper(worker)) {
                break;
            }
        }
    }
    // A process or task limit may have left fewer threads than asked for:
    // the song is shared among those that started (with none, the caller
    // renders it all). Until this is settled no helper looks at the
    // stretches.
    const std::lock_guard<std::mutex> lock(mutex_);
    stretches_.resize(threads_.size() + 1);
    decided_ = threads_.empty();
    started_ = true;
    planned_.notify_all();
}

bool RenderParts::startHelper(std::size_t worker)
{
    try {
        threads_.emplace_back([this, worker] {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                planned_.wait(lock, [this] { return started_; });
            }
            bool done = false;
            try {
                std::optional<SongPlayer> player;
                if (worker == 1) {
                    plan(player.emplace());
                }
                done = work(worker, player ? &*player : nullptr, 0);
            } catch (const std::exception&) {
                // Only a built-in sound that fails to decode raises.
            }
            const std::lock_guard<std::mutex> lock(mutex_);
            failed_ = failed_ || !done;
            decided_ = true;  // a planner that raised leaves the whole song to the caller
            planned_.notify_all();
        });
    } catch (const std::system_error&) {
        return false;  // no thread to be had
    }
    return true;
}

RenderParts::~RenderParts()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        abandoned_ = true;
    }
    planned_.notify_all();
    for (std::thread& thread : threads_) {
        if (thread.joinable()) {
            thread.join();
        }
    }
}

bool RenderParts::claim(std::uint64_t rendered, std::uint64_t frames)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (rendered >= stretches_[0].end) {
        return false;
    }
    stretches_[0].next = rendered + frames;
    return true;
}

bool RenderParts::finish(SongPlayer& player, std::uint64_t rendered)
{
    {
        std::unique_lock<std::mutex> lock(mutex_);
        planned_.wait(lock, [this] { return decided_; });
        // Where the caller stopped: its stretch's end, or the song's.
        const std::uint64_t stopped = std::min(stretches_[0].end, frames_);
        placed_ = frames_ - stopped;
        stretches_[0] = {stopped, stopped};
    }
    // (A player at the song's end has nothing left to give: a fresh one.)
    const bool done = work(0, player.finished ? nullptr : &player, rendered);
    for (std::thread& thread : threads_) {
        thread.join();
    }
    // With nothing after the caller's stretch, no helper's trouble matters.
    const std::lock_guard<std::mutex> lock(mutex_);
    return placed_ == 0 || (done && !failed_);
}

// The song's length, found by playing it with nothing mixed, then even
// stretches on whole chunks (where the caller's writing stops), none before
// what the caller has asked for meanwhile.
void RenderParts::plan(SongPlayer& player)
{
    player.loadFrom(song_);
    const std::uint64_t frames = knownFrames_ > 0 ? knownFrames_ : computeTimeline(player, kBlockFrames).frames;
    player.restart();
    std::size_t parts = static_cast<std::size_t>(std::min<std::uint64_t>(stretches_.size(), frames / minPartFrames_));
    // A song too long for a WAV file is left to fail as it always does,
    // when the next block would pass the limit.
    if (frames > kMaxDataBytes / kOutputFrameBytes || parts == 0) {
        parts = 1;
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    frames_ = frames;
    std::uint64_t start = 0;
    for (std::size_t part = 0; part < parts; ++part) {
        const std::uint64_t end =
            part + 1 == parts ? frames
                              : std::min(std::max({frames * (part + 1) / parts / WriteBehind::kChunkFrames *
                                                       WriteBehind::kChunkFrames,
                                                   stretches_[0].next, start}),
                                         frames);
        stretches_[part].end = end;
        if (part > 0) {
            stretches_[part].next = start;
        }
        start = end;
    }
    decided_ = true;
    planned_.notify_all();
}

bool RenderParts::steal(std::size_t worker)
{
    std::size_t largest = worker;
    std::uint64_t most = 0;
    for (std::size_t other = 0; other < stretches_.size(); ++other) {
        const Stretch& stretch = stretches_[other];
        if (other != worker && stretch.end > stretch.next && stretch.end - stretch.next > most) {
            largest = other;
            most = stretch.end - stretch.next;
        }
    }
    // Less is not worth a seek; and after a failed write the output is lost.
    if (most < 2 * minPartFrames_ || failed_) {
        return false;
    }
    Stretch& from = stretches_[largest];
    const std::uint64_t middle = (from.next + most / 2) / WriteBehind::kChunkFrames * WriteBehind::kChunkFrames;
    if (middle <= from.next) {
        return false;
    }
    stretches_[worker] = {middle, from.end};
    from.end = middle;
    return true;
}

bool RenderParts::work(std::size_t worker, SongPlayer* player, std::uint64_t at)
{
    {
        std::unique_lock<std::mutex> lock(mutex_);
        planned_.wait(lock, [this] { return decided_ || abandoned_; });
    }
    std::vector<std::uint8_t> chunk(WriteBehind::kChunkFrames * kOutputFrameBytes);
    std::optional<SongPlayer> own;
    for (;;) {
        std::uint64_t first = 0;
        std::uint64_t count = 0;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            Stretch& stretch = stretches_[worker];
            if (abandoned_ || (stretch.next >= stretch.end && !steal(worker))) {
                return true;
            }
            first = stretch.next;
            count = std::min<std::uint64_t>(WriteBehind::kChunkFrames, stretch.end - first);
            stretch.next = first + count;
        }
        if (player == nullptr) {
            player = &own.emplace();
            player->loadFrom(song_);
            at = 0;
        }
        if (first != at) {
            // Forward from where the player is, or else from the start.
            if (first < at) {
                player->restart();
                at = 0;
            }
            player->skip(first - at);
        }
        SampleBuffer buffer{SampleFormat::S16, ChannelLayout::Stereo, chunk.data(), count * kOutputFrameBytes};
        player->render(buffer);
        if (!writer_.place(first, chunk.data(), count)) {
            const std::lock_guard<std::mutex> lock(mutex_);
            failed_ = true;
            return false;
        }
        at = first + count;
    }
}
