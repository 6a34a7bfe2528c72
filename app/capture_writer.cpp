#include "capture_writer.h"

#include <cerrno>
#include <vector>

bool CaptureWriter::write(std::span<const std::int16_t> played)
{
    if (failed_ || played.size() <= written_) {
        return !failed_;
    }
    std::vector<std::uint8_t> bytes;
    bytes.reserve(2 * (played.size() - written_));
    for (std::size_t i = written_; i < played.size(); ++i) {
        const auto bits = static_cast<std::uint16_t>(played[i]);
        bytes.push_back(static_cast<std::uint8_t>(bits & 0xff));
        bytes.push_back(static_cast<std::uint8_t>(bits >> 8));
    }
    failed_ = std::fwrite(bytes.data(), 1, bytes.size(), file_.stream()) != bytes.size() ||
              std::fflush(file_.stream()) != 0;
    written_ = played.size();
    return !failed_;
}

bool CaptureWriter::finish(std::span<const std::int16_t> played)
{
    if (!write(played)) {
        const int error = errno;
        file_.discard();
        errno = error;
        return false;
    }
    return file_.commit();
}
