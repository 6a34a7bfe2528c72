#include "song_file.h"

#include "memory_read.h"
#include "printable.h"
#include "song_text.h"
#include "text_lines.h"

#include <cstdio>
#include <iterator>
#include <memory>

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

LoadedSong loadSongFile(const std::string& path, float sampleRate)
{
    LoadedSong song;
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        song.errors.push_back("failed to open .sqn file.");
        return song;
    }
    auto player = std::make_unique<SongPlayer>();
    player->sampleRate = sampleRate;
    bool loaded = false;
    if (namesSongText(path)) {
        // A line at a time, keeping the first errors and counting the rest.
        const std::string name = printable(path);
        std::size_t errorCount = 0;
        SongAssembler assembler([&](const TextError& error) {
            if (++errorCount <= kMaxReportedErrors) {
                song.errors.push_back(name + ":" + std::to_string(error.line) + ":" + std::to_string(error.column) +
                                      ": " + error.message);
            }
        });
        if (!readTextLines(file.get(), [&assembler](std::string_view line) { assembler.addLine(line); })) {
            song.errors.push_back("failed to load .sqn file.");
            return song;
        }
        if (assembler.failed()) {
            if (errorCount > kMaxReportedErrors) {
                song.errors.push_back(std::to_string(errorCount - kMaxReportedErrors) + " more errors not shown");
            }
            return song;
        }
        const std::vector<std::uint8_t>& bytes = assembler.bytes();
        loaded = player->load(memoryRead(bytes.data(), bytes.size()));
    } else {
        std::FILE* const in = file.get();
        loaded = player->load([in](void* destination, std::uint32_t size) {
            return std::fread(destination, 1, size, in) == size;
        });
    }
    if (!loaded) {
        song.errors.push_back("failed to load .sqn file.");
        return song;
    }
    song.player = std::move(player);
    return song;
}
