#include "driver.h"

#include "file_bytes.h"
#include "output_format.h"
#include "render_parts.h"
#include "sample_buffer.h"
#include "song_player.h"
#include "wav_writer.h"
#include "write_behind.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>

namespace {

constexpr std::uint32_t kBlockBytes = kBlockFrames * kOutputFrameBytes;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

int fail(const char* message)
{
    std::fputs(message, stderr);
    return 1;
}

int render(int argc, char** argv)
{
    SongPlayer player;

    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <input.sqn> <output.wav>\n",
                     argc > 0 && argv[0] != nullptr ? argv[0] : "sqn2wav");
        return 1;
    }

    const std::unique_ptr<std::FILE, FileCloser> song(std::fopen(argv[1], "rb"));
    if (!song) {
        return fail("failed to open .sqn file.\n");
    }
    // Writing the output would replace the song with its own rendering.
    if (sameFile(argv[1], argv[2])) {
        return fail("output file is the input file.\n");
    }

    player.sampleRate = static_cast<float>(kOutputRate);
    player.looping = false;

    // The song is loaded before the output is opened, so a bad song never
    // creates, truncates or replaces the output file.
    std::FILE* const input = song.get();
    const bool loaded = player.load([input](void* destination, std::uint32_t size) {
        return std::fread(destination, 1, size, input) == size;
    });
    if (!loaded) {
        return fail("failed to load .sqn file.\n");
    }

    WavWriter writer;
    if (!writer.open(argv[2])) {
        return fail("failed to open output file.\n");
    }

    if (!renderSong(player, writer, RenderParts::threadsFor(writer)) || !writer.finish()) {
        return fail("failed to write pcm frames.\n");
    }
    return 0;
}

}  // namespace

bool renderSong(SongPlayer& player, WavWriter& writer, std::size_t threads, std::uint64_t minPartFrames)
{
    // A long song is rendered in stretches, one a core, the later ones from
    // seeks; this thread renders the first.
    std::optional<RenderParts> parts;
    if (threads > 1) {
        parts.emplace(player, writer, threads, minPartFrames);
    }

    // The block in which the song finishes is rendered and written whole.
    WriteBehind output(writer);
    std::uint64_t rendered = 0;
    while (!player.finished && (!parts || parts->claim(rendered, WriteBehind::kChunkFrames))) {
        std::uint8_t* const chunk = output.chunk();
        std::size_t count = 0;
        do {
            SampleBuffer block{SampleFormat::S16, ChannelLayout::Stereo, chunk + count * kOutputFrameBytes,
                               kBlockBytes};
            player.render(block);
            count += kBlockFrames;
        } while (!player.finished && count < WriteBehind::kChunkFrames);
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

int runDriver(int argc, char** argv)
{
    // Only a built-in sound that fails to decode raises, which the shipped
    // bank never does; it still ends with one line and status 1.
    try {
        return render(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
