#include "mml_file_reader.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

std::string mmlPlainPath(const std::string& path)
{
    return path == "-" ? path : std::filesystem::path(path).lexically_normal().string();
}

MmlFileReader mmlFilesOnDisk()
{
    return [](const std::string& from, const std::string& name, std::string& shown, std::string& text,
              std::string& why) {
        const std::size_t slash = from == "-" ? std::string::npos : from.rfind('/');
        // Spelled plainly (a/../b is b), so that a file reached again by
        // another way is known as the same.
        shown = std::filesystem::path(!name.empty() && name.front() == '/'
                                          ? name
                                          : from.substr(0, slash == std::string::npos ? 0 : slash + 1) + name)
                    .lexically_normal()
                    .string();
        struct stat info {};
        if (::stat(shown.c_str(), &info) != 0) {
            why = std::strerror(errno);
            return false;
        }
        if (!S_ISREG(info.st_mode)) {
            why = "not a regular file";
            return false;
        }
        const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(shown.c_str(), "rb"), std::fclose);
        if (!file) {
            why = std::strerror(errno);
            return false;
        }
        text.clear();
        char chunk[65536];
        std::size_t got = 0;
        while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0 && text.size() <= kMaxSplicedBytes) {
            text.append(chunk, got);
        }
        if (std::ferror(file.get())) {
            why = std::strerror(errno);
            return false;
        }
        if (text.size() > kMaxSplicedBytes) {
            why = "larger than " + std::to_string(kMaxSplicedBytes >> 20) + " MiB";
            return false;
        }
        return true;
    };
}
