#include "driver.h"

#include "file_bytes.h"
#include "output_format.h"
#include "render_options.h"
#include "render_parts.h"
#include "render_song.h"
#include "render_plan.h"
#include "timeline.h"
#include "song_player.h"
#include "wav_writer.h"

#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>

namespace {

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
    const char* const program = argc > 0 && argv[0] != nullptr ? argv[0] : "sqn2wav";

    const RenderCommand command = parseRenderCommand(argc, argv);
    if (!command.error.empty()) {
        std::fprintf(stderr, "%s: %s\n", program, command.error.c_str());
        return 1;
    }
    if (argc - command.firstOperand < 2) {
        std::fprintf(stderr, "usage: %s <input.sqn> <output.wav>\n", program);
        return 1;
    }
    const char* const inputPath = argv[command.firstOperand];
    const char* const outputPath = argv[command.firstOperand + 1];

    const std::unique_ptr<std::FILE, FileCloser> song(std::fopen(inputPath, "rb"));
    if (!song) {
        return fail("failed to open .sqn file.\n");
    }
    // Writing the output would replace the song with its own rendering.
    if (sameFile(inputPath, outputPath)) {
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

    // The passes, the fade and the voices heard, which the helper threads
    // copy from the player.
    const std::uint64_t frames = applyRenderPlan(command.options.plan, player);
    // A song whose WAV the header cannot describe (4 GiB) is refused before
    // anything is written, as it would fail at its end.
    constexpr std::uint64_t kMaxFrames = kMaxDataBytes / kOutputFrameBytes;
    if (frames > 0 ? frames > kMaxFrames : !songFits(player, kBlockFrames, kMaxFrames)) {
        return fail("failed to write pcm frames.\n");
    }

    WavWriter writer;
    if (!writer.open(outputPath)) {
        return fail("failed to open output file.\n");
    }

    // A song too short for two stretches, or a pipe, is rendered on this
    // thread alone, without looking for idle cores.
    constexpr std::uint64_t kSplitFrames = 2 * RenderParts::kMinPartFrames;
    const bool splits = writer.canPlace() && (frames > 0 ? frames >= kSplitFrames
                                                         : !songFits(player, kBlockFrames, kSplitFrames - 1));
    const std::size_t asked = command.options.threads;
    const std::size_t threads = !splits ? 1 : asked > 0 ? asked : RenderParts::threadsFor(writer);
    if (!renderSong(player, writer, threads, frames) ||
        !writer.finish()) {
        return fail("failed to write pcm frames.\n");
    }
    return 0;
}

}  // namespace

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
