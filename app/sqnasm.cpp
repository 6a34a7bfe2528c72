// sqnasm <input.txt> <output.sqn>: assembles the text form of a song, a line
// at a time. Every error is reported as file:line:column; with any error
// nothing is written.

#include "file_bytes.h"
#include "song_text.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

int main(int argc, char** argv)
{
    const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : "sqnasm";
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <input.txt> <output.sqn>\n", program);
        return 1;
    }
    const std::unique_ptr<std::FILE, FileCloser> input(std::fopen(argv[1], "rb"));
    if (!input) {
        std::fprintf(stderr, "%s: cannot read %s\n", program, argv[1]);
        return 1;
    }
    const char* name = argv[1];
    SongAssembler assembler([name](const TextError& error) {
        std::fprintf(stderr, "%s:%zu:%zu: %s\n", name, error.line, error.column, error.message.c_str());
    });
    char* line = nullptr;
    std::size_t capacity = 0;
    ssize_t length = 0;
    while ((length = getline(&line, &capacity, input.get())) > 0) {
        std::string_view text(line, static_cast<std::size_t>(length));
        if (text.back() == '\n') {
            text.remove_suffix(1);
        }
        assembler.addLine(text);
    }
    std::free(line);
    if (std::ferror(input.get())) {
        std::fprintf(stderr, "%s: cannot read %s\n", program, argv[1]);
        return 1;
    }
    if (assembler.failed()) {
        return 1;
    }
    if (!writeFileBytes(argv[2], assembler.bytes())) {
        std::fprintf(stderr, "%s: cannot write %s\n", program, argv[2]);
        return 1;
    }
    return 0;
}
