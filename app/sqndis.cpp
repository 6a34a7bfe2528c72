// sqndis <input.sqn>: writes the text form of a song on standard output,
// with the frame and time at which the renderer takes each event. The song
// is read and listed as it goes: only its events are held.

#include "song_text.h"

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

int main(int argc, char** argv)
{
    const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : "sqndis";
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <input.sqn>\n", program);
        return 1;
    }
    const std::unique_ptr<std::FILE, FileCloser> input(std::fopen(argv[1], "rb"));
    if (!input) {
        std::fprintf(stderr, "%s: cannot read %s\n", program, argv[1]);
        return 1;
    }
    std::FILE* const in = input.get();
    const ReadFn read = [in](void* destination, std::uint32_t size) {
        return std::fread(destination, 1, size, in) == size;
    };
    // The first line names the file; it waits for the song's first bytes,
    // so that a file that cannot be read lists nothing.
    std::string first = "# " + std::string(argv[1]) +
                        ": frames and times are when sqn2wav's sequencer takes each event, at 48000 Hz\n";
    const auto put = [](std::string_view text) { return std::fwrite(text.data(), 1, text.size(), stdout) == text.size(); };
    const bool written = disassembleSong(read, [&](std::string_view line) {
        if (!first.empty() && !put(first)) {
            return false;
        }
        first.clear();
        return put(line);
    });
    if (std::ferror(in)) {
        std::fprintf(stderr, "%s: cannot read %s\n", program, argv[1]);
        return 1;
    }
    if (!written || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "%s: cannot write standard output\n", program);
        return 1;
    }
    return 0;
}
