#include "file_bytes.h"

#include "output_file.h"

#include <cerrno>
#include <cstdio>

std::optional<std::vector<std::uint8_t>> readFileBytes(const char* path)
{
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[65536];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    const int error = errno;
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        errno = error;
        return std::nullopt;
    }
    return bytes;
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
