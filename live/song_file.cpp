#include "song_file.h"

#include "memory_read.h"
#include "mml_compiler.h"
#include "printable.h"
#include "song_text.h"
#include "text_lines.h"

#include <cstdio>
#include <iterator>
#include <memory>

namespace {

constexpr std::size_t kMaxMmlFileBytes = 16u << 20;

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
    if (namesMml(path)) {
        std::string text;
        char chunk[65536];
        std::size_t got = 0;
        while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0 && text.size() <= kMaxMmlFileBytes) {
            text.append(chunk, got);
        }
        if (std::ferror(file.get()) || text.size() > kMaxMmlFileBytes) {
            song.errors.push_back("failed to load .sqn file.");
            return song;
        }
        const MmlResult result = compileMml(text);
        if (!result.errors.empty()) {
            const std::string name = printable(path);
            for (std::size_t i = 0; i < result.errors.size() && i < kMaxReportedErrors; ++i) {
                const TextError& error = result.errors[i];
                song.errors.push_back(name + ":" + std::to_string(error.line) + ":" + std::to_string(error.column) +
                                      ": " + error.message);
            }
            if (result.errors.size() > kMaxReportedErrors) {
                song.errors.push_back(std::to_string(result.errors.size() - kMaxReportedErrors) +
                                      " more errors not shown");
            }
            return song;
        }
        loaded = player->load(memoryRead(result.song.data(), result.song.size()));
    } else if (namesSongText(path)) {
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
