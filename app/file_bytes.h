#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Files the programs read whole or write whole. "-" names standard input
// where a program reads it.

struct InputCloser {
    void operator()(std::FILE* file) const
    {
        if (file != stdin) {
            std::fclose(file);
        }
    }
};
using InputFile = std::unique_ptr<std::FILE, InputCloser>;

// The named file open for binary reading, or standard input for "-"; null
// (errno set) when it cannot be opened.
InputFile openInput(const std::string& path);

// The whole content of the named file, or of standard input for "-"; nothing
// (errno set) when it cannot be read, or (EFBIG) when it holds more than
// `maxBytes`.
std::optional<std::vector<std::uint8_t>> readInputBytes(const std::string& path, std::uint64_t maxBytes);

// Whether `output` names the file `input` reads (links followed; "-" as the
// input is standard input, as the output never a file): writing it would
// replace the input with the program's own output.
bool sameFile(const std::string& input, const std::string& output);

// Writes a file whole, replacing what the path held only once every byte
// is written (see OutputFile); false with errno set otherwise.
bool writeFileBytes(const char* path, const std::vector<std::uint8_t>& bytes);
