#include "file_bytes.h"

#include "output_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

InputFile openInput(const std::string& path)
{
    return InputFile(path == "-" ? stdin : std::fopen(path.c_str(), "rb"));
}

std::optional<std::vector<std::uint8_t>> readInputBytes(const std::string& path, std::uint64_t maxBytes)
{
    InputFile file = openInput(path);
    if (!file) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[65536];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
        if (bytes.size() + got > maxBytes) {
            errno = EFBIG;
            return std::nullopt;
        }
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    if (std::ferror(file.get())) {
        const int error = errno;  // closing may change it
        file.reset();
        errno = error;
        return std::nullopt;
    }
    return bytes;
}

bool sameFile(const std::string& input, const std::string& output)
{
    if (output == "-") {
        return false;
    }
    struct stat in {};
    struct stat out {};
    const int read = input == "-" ? fstat(STDIN_FILENO, &in) : stat(input.c_str(), &in);
    return read == 0 && stat(output.c_str(), &out) == 0 && S_ISREG(in.st_mode) && in.st_dev == out.st_dev &&
           in.st_ino == out.st_ino;
}

bool writeFileBytes(const char* path, const std::vector<std::uint8_t>& bytes)
{
    OutputFile file;
    if (!file.open(path)) {
        return false;
    }
    if (std::fwrite(bytes.data(), 1, bytes.size(), file.stream()) != bytes.size()) {
        const int error = errno;
        file.discard();
        errno = error;
        return false;
    }
    return file.commit();
}
