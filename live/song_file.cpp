#include "song_file.h"

#include "memory_read.h"
#include "song_text.h"

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
        std::string text;
        char chunk[65536];
        std::size_t got = 0;
        while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
            text.append(chunk, got);
        }
        std::vector<TextError> errors;
        const auto bytes = assembleSong(text, errors);
        if (!bytes) {
            for (const TextError& error : errors) {
                song.errors.push_back(path + ":" + std::to_string(error.line) + ":" + std::to_string(error.column) +
                                      ": " + error.message);
            }
            return song;
        }
        loaded = player->load(memoryRead(bytes->data(), bytes->size()));
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
