// sqnasm <input.txt> <output.sqn>: assembles the text form of a song. Every
// error is reported as file:line:column; with any error nothing is written.

#include "file_bytes.h"
#include "song_text.h"

#include <cstdio>
#include <string_view>
#include <vector>

int main(int argc, char** argv)
{
    const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : "sqnasm";
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <input.txt> <output.sqn>\n", program);
        return 1;
    }
    const auto text = readFileBytes(argv[1]);
    if (!text) {
        std::fprintf(stderr, "%s: cannot read %s\n", program, argv[1]);
        return 1;
    }
    std::vector<TextError> errors;
    const auto song =
        assembleSong(std::string_view(reinterpret_cast<const char*>(text->data()), text->size()), errors);
    if (!song) {
        for (const TextError& error : errors) {
            std::fprintf(stderr, "%s:%zu:%zu: %s\n", argv[1], error.line, error.column, error.message.c_str());
        }
        return 1;
    }
    if (!writeFileBytes(argv[2], *song)) {
        std::fprintf(stderr, "%s: cannot write %s\n", program, argv[2]);
        return 1;
    }
    return 0;
}
