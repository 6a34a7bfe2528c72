// sqnasm <input.txt> <output.sqn>: assembles the text form of a song, a line
// at a time. Every error is reported as file:line:column; with any error
// nothing is written.

#include "command_line.h"
#include "file_bytes.h"
#include "song_text.h"

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

    const InputFile input = openInput(inputPath);
    if (!input) {
        return fileError(line, "cannot read", inputPath, errno);
    }
    SongAssembler assembler([&name](const TextError& error) {
        std::fprintf(stderr, "%s:%zu:%zu: %s\n", name.c_str(), error.line, error.column, error.message.c_str());
    });
    char* text = nullptr;
    std::size_t capacity = 0;
    ssize_t length = 0;
    while ((length = getline(&text, &capacity, input.get())) > 0) {
        std::string_view statement(text, static_cast<std::size_t>(length));
        if (statement.back() == '\n') {
            statement.remove_suffix(1);
        }
        assembler.addLine(statement);
    }
    const int readError = errno;
    std::free(text);
    if (std::ferror(input.get())) {
        return fileError(line, "cannot read", fromStdin ? "standard input" : inputPath, readError);
    }
    if (assembler.failed()) {
        return 1;
    }

    const std::vector<std::uint8_t>& song = assembler.bytes();
    if (outputPath == "-") {
        if (std::fwrite(song.data(), 1, song.size(), stdout) != song.size() || std::fflush(stdout) != 0) {
            return fileError(line, "cannot write", "standard output", errno);
        }
        return 0;
    }
    if (!writeFileBytes(outputPath.c_str(), song)) {
        return fileError(line, "cannot write", outputPath, errno);
    }
    return 0;
}
