#include "song_file.h"

#include "memory_read.h"
#include "mml_compiler.h"
#include "mml_file_reader.h"
#include "printable.h"
#include "song_text.h"
#include "text_lines.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <iterator>
#include <memory>

namespace {

constexpr std::size_t kMaxMmlFileBytes = 16u << 20;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// The file open for reading; with `regularOnly`, opened without waiting
// (a FIFO with no writer would block) and only where it is a regular file.
std::FILE* openSong(const std::string& path, bool regularOnly, bool& irregular)
{
    if (!regularOnly) {
        return std::fopen(path.c_str(), "rb");
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        irregular = true;
        ::close(fd);
        return nullptr;
    }
    std::FILE* const file = ::fdopen(fd, "rb");
    if (file == nullptr) {
        ::close(fd);
    }
    return file;
}

}  // namespace

LoadedSong loadSongFile(const std::string& path, float sampleRate, bool regularOnly, const std::string& songName)
{
    LoadedSong song;
    bool irregular = false;
    const std::unique_ptr<std::FILE, FileCloser> file(openSong(path, regularOnly, irregular));
    if (!file) {
        song.errors.push_back(irregular ? printable(path) + ": not a regular file (a pipe or a device): not read"
                                        : "failed to open .sqn file.");
        return song;
    }
    auto player = std::make_unique<SongPlayer>();
    player->sampleRate = sampleRate;
    bool loaded = false;
    int tempo = -1;  // the header's tempo byte: beats a minute
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
        MmlOptions options;
        options.song = songName;
        options.path = mmlPlainPath(path);
        options.readFile = mmlFilesOnDisk();
        const MmlResult result = compileMml(text, options);
        if (!result.errors.empty()) {
            const std::string name = printable(path);
            for (const TextError& error : result.errors) {
                song.errors.push_back((error.file.empty() ? name : printable(error.file)) + ":" +
                                      std::to_string(error.line) + ":" + std::to_string(error.column) + ": " +
                                      error.message);
            }
            if (result.errorCount > result.errors.size()) {
                song.errors.push_back(std::to_string(result.errorCount - result.errors.size()) +
                                      " more errors not shown");
            }
            return song;
        }
        const std::string name = printable(path);
        for (const TextError& warning : result.warnings) {
            song.warnings.push_back((warning.file.empty() ? name : printable(warning.file)) + ":" +
                                    std::to_string(warning.line) + ":" + std::to_string(warning.column) +
                                    ": warning: " + warning.message);
        }
        if (result.warningCount > result.warnings.size()) {
            song.warnings.push_back(std::to_string(result.warningCount - result.warnings.size()) +
                                    " more warnings not shown");
        }
        song.title = result.title;
        tempo = result.beatsPerMinute;
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
        if (!readTextLines(file.get(), [&assembler](std::string_view line) {
            assembler.addLine(line);
            return !assembler.done();
        })) {
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
        tempo = bytes.empty() ? -1 : bytes[0];
        loaded = player->load(memoryRead(bytes.data(), bytes.size()));
    } else {
        std::FILE* const in = file.get();
        loaded = player->load([in, &tempo](void* destination, std::uint32_t size) {
            const bool read = std::fread(destination, 1, size, in) == size;
            if (read && tempo < 0) {
                tempo = *static_cast<const std::uint8_t*>(destination);
            }
            return read;
        });
    }
    if (!loaded) {
        song.errors.push_back("failed to load .sqn file.");
        return song;
    }
    song.clock = SongClock::of(*player, tempo);
    song.player = std::move(player);
    return song;
}
