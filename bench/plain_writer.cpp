// The yardstick: writes `bytes` zero bytes to a file with plain 2048-byte
// fwrite calls, as a renderer that did no work at all would.
//   plain-writer <out> <bytes>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <out> <bytes>\n", argv[0]);
        return 1;
    }
    const long long total = std::atoll(argv[2]);
    std::FILE* file = std::fopen(argv[1], "wb");
    if (file == nullptr) {
        return 1;
    }
    static char block[2048];
    for (long long written = 0; written < total; written += sizeof block) {
        const auto size = static_cast<std::size_t>(total - written < 2048 ? total - written : 2048);
        if (std::fwrite(block, 1, size, file) != size) {
            return 1;
        }
    }
    return std::fclose(file) == 0 ? 0 : 1;
}
