#include "render_song.h"

#include "output_format.h"
#include "render_parts.h"
#include "sample_buffer.h"
#include "song_player.h"
#include "wav_writer.h"
#include "write_behind.h"

#include <optional>

namespace {

constexpr std::uint32_t kBlockBytes = kBlockFrames * kOutputFrameBytes;

}  // namespace

bool renderSong(SongPlayer& player, WavWriter& writer, std::size_t threads, std::uint64_t frames,
                std::uint64_t minPartFrames)
{
    // A long song is rendered in stretches, one a core, the later ones from
    // seeks; this thread renders the first.
    std::optional<RenderParts> parts;
    if (threads > 1) {
        parts.emplace(player, writer, threads, minPartFrames, frames);
    }

    // The block in which the song finishes is rendered and written whole;
    // or, where the frames are given, as many.
    const auto more = [&](std::uint64_t at) { return frames > 0 ? at < frames : !player.finished; };
    WriteBehind output(writer);
    std::uint64_t rendered = 0;
    while (more(rendered) && (!parts || parts->claim(rendered, WriteBehind::kChunkFrames))) {
        std::uint8_t* const chunk = output.chunk();
        std::size_t count = 0;
        do {
            SampleBuffer block{SampleFormat::S16, ChannelLayout::Stereo, chunk + count * kOutputFrameBytes,
                               kBlockBytes};
            player.render(block);
            count += kBlockFrames;
        } while (more(rendered + count) && count < WriteBehind::kChunkFrames);
        if (!output.submit(count)) {
            return false;
        }
        rendered += count;
    }
    // The first stretch's writing goes on behind while this thread helps
    // with the others.
    const bool partsDone = !parts || parts->finish(player, rendered);
    return output.finish() && partsDone && (!parts || writer.skipPlaced(parts->placedFrames()));
}
