// sqnasm <input.txt> <output.sqn>: assembles the text form of a song, a line
// at a time. Every error is reported as file:line:column; with any error
// nothing is written.

#include "command_line.h"
#include "file_bytes.h"
#include "printable.h"
#include "song_text.h"
#include "text_lines.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

constexpr ProgramText kText{
    "sqnasm", "<input.txt> <output.sqn>",
    "Assembles a song written in the text form into a song file for sqn2wav.\n"
    "  <input.txt>   the song as text; - reads standard input\n"
    "  <output.sqn>  the song file to write; - writes standard output\n"
    "Every error is reported as file:line:column, and then nothing is written.\n"
    "  --help        show this help\n"
    "  --version     show the version\n"};

}  // namespace

int main(int argc, char** argv)
{
    const CommandLine line = parseCommandLine(argc, argv, kText, {}, 2, 2);
    if (line.exitStatus) {
        return *line.exitStatus;
    }
    const std::string& inputPath = line.operands[0];
    const std::string& outputPath = line.operands[1];
    const bool fromStdin = inputPath == "-";
    const std::string name = fromStdin ? "<stdin>" : inputPath;

    if (refuseSameFile(line, inputPath, outputPath) != 0) {
        return 1;
    }
    const InputFile input = openInput(inputPath);
    if (!input) {
        return fileError(line, "cannot read", inputPath, errno);
    }
    // Only the first errors are shown: the rest of a file of bad lines
    // would bury them, and are counted instead.
    const std::string shownName = printable(name);
    std::size_t reported = 0;
    TextError last{0, 0, ""};
    const auto show = [&shownName](const TextError& error) {
        std::fprintf(stderr, "%s:%zu:%zu: %s\n", shownName.c_str(), error.line, error.column, error.message.c_str());
    };
    SongAssembler assembler([&](const TextError& error) {
        if (reported++ < kMaxReportedErrors) {
            show(error);
        } else {
            last = error;
        }
    });
    if (!readTextLines(input.get(), [&assembler](std::string_view statement) {
            assembler.addLine(statement);
            return !assembler.done();
        })) {
        return fileError(line, "cannot read", fromStdin ? "standard input" : inputPath, errno);
    }
    std::size_t shown = std::min(assembler.errorCount(), kMaxReportedErrors);
    if (assembler.done() && assembler.errorCount() > shown) {
        show(last);  // why reading stopped
        ++shown;
    }
    if (assembler.errorCount() > shown) {
        std::fprintf(stderr, "%s: %zu more errors not shown\n", line.program, assembler.errorCount() - shown);
    }
    if (assembler.failed()) {
        return 1;
    }

    return writeOutput(line, outputPath, assembler.bytes());
}
