// The C interface over SongPlayer: an opaque handle owning one player.

#include "sqn/sqn.h"

#include "loop_timing.h"
#include "memory_read.h"
#include "sample_buffer.h"
#include "song_player.h"
#include "song_text.h"
#include "timeline.h"
#include "version.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <vector>

// 16-bit output is stored as little-endian bytes, which are the caller's
// int16_t values only on a little-endian machine.
static_assert(std::endian::native == std::endian::little);

struct sqn_player {
    SongPlayer player;
    std::uint64_t position = 0;  // the song's frame the next render starts at
    std::uint64_t length = 0;    // frames up to and including the one in which the song ends, looping off
    LoopTiming timing;           // the passes round its loop, which seeks go round at once
};

namespace {

void render(sqn_player* handle, void* out, std::size_t frames, SampleFormat format)
{
    if (handle == nullptr || (out == nullptr && frames > 0)) {
        return;
    }
    const std::size_t frameBytes = 2 * bytesPerSample(format);
    SampleBuffer buffer{format, ChannelLayout::Stereo, static_cast<std::uint8_t*>(out), frames * frameBytes};
    handle->player.render(buffer);
    handle->position += frames;
}

// "line:column: message" into the caller's buffer, cut to fit, always
// terminated.
void reportError(char* error, std::size_t size, const std::string& text)
{
    if (error == nullptr || size == 0) {
        return;
    }
    const std::size_t length = std::min(text.size(), size - 1);
    std::memcpy(error, text.data(), length);
    error[length] = '\0';
}

sqn_player* openLoaded(const std::uint8_t* song, std::size_t size, unsigned sampleRate)
{
    auto* handle = new sqn_player;
    handle->player.sampleRate = static_cast<float>(sampleRate);
    if (!handle->player.load(memoryRead(song, size))) {
        delete handle;
        return nullptr;
    }
    // The song's length, played once with looping off and started over.
    SongPlayer& player = handle->player;
    const bool looping = player.looping;
    player.looping = false;
    handle->length = computeTimeline(player, 1).finishedAt + 1;
    player.restart();
    player.looping = looping;
    handle->timing = loopTiming(player);
    return handle;
}

bool acceptedRate(unsigned sampleRate)
{
    return sampleRate >= SQN_MIN_SAMPLE_RATE && sampleRate <= SQN_MAX_SAMPLE_RATE;
}

}  // namespace

extern "C" {

sqn_player* sqn_player_open(const void* song, size_t size, unsigned sample_rate)
{
    if (!acceptedRate(sample_rate) || (song == nullptr && size > 0)) {
        return nullptr;
    }
    // Nothing may be thrown across the interface: running out of memory
    // (or a built-in sound failing to decode, which the bank never does)
    // is a NULL.
    try {
        return openLoaded(static_cast<const std::uint8_t*>(song), size, sample_rate);
    } catch (...) {
        return nullptr;
    }
}

sqn_player* sqn_player_open_text(const char* text, size_t size, unsigned sample_rate, char* error, size_t error_size)
{
    reportError(error, error_size, "");
    if (!acceptedRate(sample_rate)) {
        reportError(error, error_size,
                    "1:1: expected a sample rate of " + std::to_string(SQN_MIN_SAMPLE_RATE) + " … " +
                        std::to_string(SQN_MAX_SAMPLE_RATE) + " frames a second, found " +
                        std::to_string(sample_rate));
        return nullptr;
    }
    if (text == nullptr && size > 0) {
        reportError(error, error_size, "1:1: no text");
        return nullptr;
    }
    try {
        std::vector<TextError> errors;
        const auto song = assembleSong(std::string_view(text == nullptr ? "" : text, size), errors);
        if (!song) {
            const TextError& first = errors.front();
            reportError(error, error_size,
                        std::to_string(first.line) + ":" + std::to_string(first.column) + ": " + first.message);
            return nullptr;
        }
        sqn_player* player = openLoaded(song->data(), song->size(), sample_rate);
        if (player == nullptr) {
            reportError(error, error_size,
                        "1:1: expected a tempo line with a tempo and rows a beat other than 0 "
                        "(sqn2wav: failed to load .sqn file.)");
        }
        return player;
    } catch (...) {
        reportError(error, error_size, "1:1: out of memory");
        return nullptr;
    }
}

void sqn_player_close(sqn_player* player)
{
    delete player;
}

void sqn_player_set_looping(sqn_player* player, int looping)
{
    if (player != nullptr) {
        player->player.looping = looping != 0;
    }
}

int sqn_player_set_muted(sqn_player* player, unsigned voice, int muted)
{
    if (player == nullptr || voice >= kVoiceCount) {
        return -1;
    }
    player->player.muted[voice] = muted != 0;
    return 0;
}

void sqn_player_render_s16(sqn_player* player, int16_t* out, size_t frames)
{
    render(player, out, frames, SampleFormat::S16);
}

void sqn_player_render_f32(sqn_player* player, float* out, size_t frames)
{
    render(player, out, frames, SampleFormat::F32);
}

int sqn_player_finished(const sqn_player* player)
{
    return player != nullptr && player->player.finished ? 1 : 0;
}

uint64_t sqn_player_position(const sqn_player* player)
{
    return player != nullptr ? player->position : 0;
}

uint64_t sqn_player_length(const sqn_player* player)
{
    return player != nullptr ? player->length : 0;
}

unsigned sqn_player_loop_passes(const sqn_player* player)
{
    return player != nullptr ? static_cast<unsigned>(player->player.loopPasses) : 0;
}

int sqn_player_seek(sqn_player* player, uint64_t frame)
{
    if (player == nullptr) {
        return -1;
    }
    seekSong(player->player, frame, player->timing);
    player->position = frame;
    return 0;
}

const char* sqn_version(void)
{
    return kVersion;
}

}  // extern "C"
