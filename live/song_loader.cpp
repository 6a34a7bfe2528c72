#include "song_loader.h"

#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>

struct SongLoader::Job {
    std::string path;
    float sampleRate = 0.0f;
    std::string song;  // of an MML file of several
    std::mutex mutex;
    std::optional<LoadedSong> result;  // set once loaded
    std::atomic<bool> done{false};
};

SongLoader::~SongLoader() = default;

bool SongLoader::start(const std::string& path, float sampleRate, const std::string& song)
{
    if (running()) {
        return false;
    }
    auto job = std::make_shared<Job>();
    job->path = path;
    job->sampleRate = sampleRate;
    job->song = song;
    const auto load = [](const std::shared_ptr<Job>& loading) {
        LoadedSong song = loadSongFile(loading->path, loading->sampleRate, true, loading->song);
        const std::lock_guard<std::mutex> lock(loading->mutex);
        loading->result = std::move(song);
        loading->done = true;
    };
    job_ = job;
    try {
        std::thread(load, job).detach();
    } catch (const std::system_error&) {
        load(job);
    }
    return true;
}

bool SongLoader::running() const
{
    return job_ && !job_->done;
}

std::optional<LoadedSong> SongLoader::take()
{
    if (!job_ || !job_->done) {
        return std::nullopt;
    }
    std::optional<LoadedSong> result;
    {
        const std::lock_guard<std::mutex> lock(job_->mutex);
        result = std::move(job_->result);
    }
    job_.reset();
    return result;
}
