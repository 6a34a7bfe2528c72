// sqndis <input.sqn>: writes the text form of a song on standard output,
// with the frame and time at which the renderer takes each event. The song
// is read and listed as it goes: only its events are held.

#include "command_line.h"
#include "file_bytes.h"
#include "printable.h"
#include "song_player.h"
#include "song_text.h"

#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>

namespace {

constexpr ProgramText kText{
    "sqndis", "<input.sqn>",
    "Lists a song file in the text form that sqnasm reads, each event with the\n"
    "output frame and time at which sqn2wav's sequencer takes it.\n"
    "  <input.sqn>   the song file; - reads standard input\n"
    "  --help        show this help\n"
    "  --version     show the version\n"};

}  // namespace

int main(int argc, char** argv)
{
    const CommandLine line = parseCommandLine(argc, argv, kText, {}, 1, 1);
    if (line.exitStatus) {
        return *line.exitStatus;
    }
    const std::string& inputPath = line.operands[0];
    const bool fromStdin = inputPath == "-";
    const InputFile input = openInput(inputPath);
    if (!input) {
        return fileError(line, "cannot read", inputPath, errno);
    }
    std::FILE* const in = input.get();
    int readError = 0;
    // A song file past the size limit (an endless stream, say) is not read
    // on: it is reported before anything is listed.
    std::uint64_t total = 0;
    bool tooLong = false;
    const ReadFn read = [in, &readError, &total, &tooLong](void* destination, std::uint32_t size) {
        if (total + size > kMaxSongBytes) {
            tooLong = std::fread(destination, 1, 1, in) == 1;
            return false;
        }
        total += size;
        const bool whole = std::fread(destination, 1, size, in) == size;
        if (!whole && std::ferror(in) && readError == 0) {
            readError = errno;
        }
        return whole;
    };
    // The first line names the file; it waits for the song's first bytes,
    // so that a file that cannot be read lists nothing.
    std::string first = "# " + printable(fromStdin ? std::string("standard input") : inputPath) +
                        ": frames and times are when sqn2wav's sequencer takes each event, at 48000 Hz\n";
    int writeError = 0;
    const auto put = [&writeError](std::string_view text) {
        if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) {
            writeError = errno;
            return false;
        }
        return true;
    };
    const bool written = disassembleSong(read, [&](std::string_view text) {
        if (tooLong) {
            return false;
        }
        if (!first.empty() && !put(first)) {
            return false;
        }
        first.clear();
        return put(text);
    });
    if (tooLong) {
        return fileError(line, "cannot read", fromStdin ? "standard input" : inputPath,
                         ("longer than the " + std::to_string(kMaxSongBytes) + " bytes a song may hold").c_str());
    }
    if (std::ferror(in)) {
        return fileError(line, "cannot read", fromStdin ? "standard input" : inputPath, readError);
    }
    if (!written || std::fflush(stdout) != 0) {
        return fileError(line, "cannot write", "standard output", writeError != 0 ? writeError : errno);
    }
    return 0;
}
