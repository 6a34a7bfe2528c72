// The yardstick: writes `bytes` zero bytes to a file as a renderer that did
// no work at all would: in 1 MiB write(2) calls, the disk's own speed (the
// floor), or with --stdio in 2048-byte fwrite calls (the figure kept for
// history).
//   plain-writer [--stdio] <out> <bytes>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr std::size_t kStdioBlock = 2048;
constexpr std::size_t kWriteBlock = 1 << 20;

int withStdio(const char* path, long long total)
{
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr) {
        return 1;
    }
    static char block[kStdioBlock];
    for (long long written = 0; written < total; written += kStdioBlock) {
        const auto size = static_cast<std::size_t>(total - written < static_cast<long long>(kStdioBlock) ? total - written
                                                                                                           : kStdioBlock);
        if (std::fwrite(block, 1, size, file) != size) {
            return 1;
        }
    }
    return std::fclose(file) == 0 ? 0 : 1;
}

int withWrite(const char* path, long long total)
{
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        return 1;
    }
    const std::vector<char> block(kWriteBlock);
    for (long long written = 0; written < total;) {
        const auto size = static_cast<std::size_t>(total - written < static_cast<long long>(kWriteBlock) ? total - written
                                                                                                          : kWriteBlock);
        const ssize_t done = ::write(fd, block.data(), size);
        if (done <= 0) {
            ::close(fd);
            return 1;
        }
        written += done;
    }
    return ::close(fd) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    const bool stdio = argc == 4 && std::strcmp(argv[1], "--stdio") == 0;
    if (argc != (stdio ? 4 : 3)) {
        std::fprintf(stderr, "usage: %s [--stdio] <out> <bytes>\n", argv[0]);
        return 1;
    }
    const char* path = argv[stdio ? 2 : 1];
    const long long total = std::atoll(argv[stdio ? 3 : 2]);
    return stdio ? withStdio(path, total) : withWrite(path, total);
}
