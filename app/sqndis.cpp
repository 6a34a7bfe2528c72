// sqndis <input.sqn>: writes the text form of a song on standard output,
// with the frame and time at which the renderer takes each event.

#include "file_bytes.h"
#include "song_text.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : "sqndis";
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <input.sqn>\n", program);
        return 1;
    }
    const auto song = readFileBytes(argv[1]);
    if (!song) {
        std::fprintf(stderr, "%s: cannot read %s\n", program, argv[1]);
        return 1;
    }
    const std::string text = "# " + std::string(argv[1]) +
                             ": frames and times are when sqn2wav's sequencer takes each event, at 48000 Hz\n" +
                             disassembleSong(*song);
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "%s: cannot write standard output\n", program);
        return 1;
    }
    return 0;
}
