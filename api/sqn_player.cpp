// The C interface over SongPlayer: an opaque handle owning one player.

#include "sqn/sqn.h"

#include "memory_read.h"
#include "sample_buffer.h"
#include "song_player.h"
#include "version.h"

#include <bit>

// 16-bit output is stored as little-endian bytes, which are the caller's
// int16_t values only on a little-endian machine.
static_assert(std::endian::native == std::endian::little);

struct sqn_player {
    SongPlayer player;
};

namespace {

void render(sqn_player* handle, void* out, std::size_t frames, SampleFormat format)
{
    const std::size_t frameBytes = 2 * bytesPerSample(format);
    SampleBuffer buffer{format, ChannelLayout::Stereo, static_cast<std::uint8_t*>(out), frames * frameBytes};
    handle->player.render(buffer);
}

}  // namespace

extern "C" {

sqn_player* sqn_player_open(const void* song, size_t size, unsigned sample_rate)
{
    if (sample_rate == 0 || (song == nullptr && size > 0)) {
        return nullptr;
    }
    // Nothing may be thrown across the interface: running out of memory
    // (or a built-in sound failing to decode, which the bank never does)
    // is a NULL.
    try {
        auto* handle = new sqn_player;
        handle->player.sampleRate = static_cast<float>(sample_rate);
        if (!handle->player.load(memoryRead(static_cast<const std::uint8_t*>(song), size))) {
            delete handle;
            return nullptr;
        }
        return handle;
    } catch (...) {
        return nullptr;
    }
}

void sqn_player_close(sqn_player* player)
{
    delete player;
}

void sqn_player_set_looping(sqn_player* player, int looping)
{
    player->player.looping = looping != 0;
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
    return player->player.finished ? 1 : 0;
}

const char* sqn_version(void)
{
    return kVersion;
}

}  // extern "C"
