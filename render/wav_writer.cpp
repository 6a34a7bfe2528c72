#include "wav_writer.h"

#include <miniaudio.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>

namespace {

constexpr std::size_t kStreamBuffer = 1 << 18;  // bytes

ma_result writeToStream(ma_encoder* encoder, const void* bytes, size_t count, size_t* written)
{
    auto* output = static_cast<WavWriter::Output*>(encoder->pUserData);
    // Bytes place() put in the file already are moved past, not written.
    const auto passed = static_cast<size_t>(std::min<std::uint64_t>(count, output->placed));
    if (passed > 0 && fseeko(output->file, static_cast<off_t>(passed), SEEK_CUR) != 0) {
        *written = 0;
        output->failed = true;
        return MA_IO_ERROR;
    }
    output->placed -= passed;
    *written = passed + std::fwrite(static_cast<const char*>(bytes) + passed, 1, count - passed, output->file);
    if (*written != count) {
        output->failed = true;
        return MA_IO_ERROR;
    }
    return MA_SUCCESS;
}

ma_result seekStream(ma_encoder* encoder, ma_int64 offset, ma_seek_origin origin)
{
    auto* output = static_cast<WavWriter::Output*>(encoder->pUserData);
    const int whence = origin == ma_seek_origin_start ? SEEK_SET
                       : origin == ma_seek_origin_current ? SEEK_CUR
                                                          : SEEK_END;
    if (fseeko(output->file, static_cast<off_t>(offset), whence) != 0) {
        output->failed = true;
        return MA_IO_ERROR;
    }
    return MA_SUCCESS;
}

}  // namespace

WavWriter::WavWriter(std::uint64_t maxDataBytes)
    : encoder_(std::make_unique<ma_encoder>()), maxDataBytes_(maxDataBytes)
{
}

WavWriter::~WavWriter()
{
    closeEncoder();
}

bool WavWriter::open(const char* path)
{
    if (!file_.open(path)) {
        return false;
    }
    output_ = {file_.stream(), false};
    // Fewer, larger writes: the blocks are small and the files large.
    std::setvbuf(output_.file, nullptr, _IOFBF, kStreamBuffer);
    const ma_encoder_config config =
        ma_encoder_config_init(ma_encoding_format_wav, ma_format_s16, kOutputChannels, kOutputRate);
    encoderOpen_ = ma_encoder_init(writeToStream, seekStream, &output_, &config, encoder_.get()) == MA_SUCCESS;
    if (!encoderOpen_ || std::ferror(output_.file)) {
        closeEncoder();
        file_.discard();
        return false;
    }
    // Where frames can be placed by offset: a regular file (a pipe has no
    // offsets, and its position fails to tell).
    struct stat status {};
    const int descriptor = fileno(output_.file);
    dataStart_ = ftello(output_.file);
    placeable_ = dataStart_ >= 0 && fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode);
    descriptor_ = placeable_ ? descriptor : -1;
    return true;
}

bool WavWriter::write(const void* frames, std::uint64_t frameCount)
{
    if (!encoderOpen_ || output_.failed) {
        return false;
    }
    const std::uint64_t bytes = frameCount * kOutputFrameBytes;
    // Past this the sizes in the header would wrap or be clamped: a file
    // that lies about its length is a failure, not a result.
    if (bytes > maxDataBytes_ - dataBytes_) {
        output_.failed = true;
        return false;
    }
    ma_uint64 written = 0;
    ma_encoder_write_pcm_frames(encoder_.get(), frames, frameCount, &written);
    dataBytes_ += written * kOutputFrameBytes;
    if (written != frameCount || std::ferror(output_.file)) {
        output_.failed = true;
    }
    return !output_.failed;
}

bool WavWriter::canPlace() const
{
    return placeable_;
}

bool WavWriter::place(std::uint64_t first, const void* frames, std::uint64_t frameCount) const
{
    if (!placeable_) {
        return false;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(frames);
    std::uint64_t left = frameCount * kOutputFrameBytes;
    auto offset = static_cast<off_t>(dataStart_ + static_cast<std::int64_t>(first * kOutputFrameBytes));
    while (left > 0) {
        const ssize_t written = pwrite(descriptor_, bytes, left, offset);
        if (written <= 0) {
            return false;
        }
        bytes += written;
        left -= static_cast<std::uint64_t>(written);
        offset += written;
    }
    return true;
}

bool WavWriter::skipPlaced(std::uint64_t frameCount)
{
    // write() counts the frames and keeps the header's limit; the stream
    // turns the writing into a move past them: the zeros go nowhere.
    static const std::array<std::uint8_t, 1 << 16> kUnread{};
    constexpr std::uint64_t kFrames = kUnread.size() / kOutputFrameBytes;
    output_.placed = frameCount * kOutputFrameBytes;
    bool written = encoderOpen_ && !output_.failed;
    for (std::uint64_t done = 0; done < frameCount && written; done += kFrames) {
        written = write(kUnread.data(), std::min(kFrames, frameCount - done));
    }
    output_.placed = 0;
    return written;
}

bool WavWriter::finish()
{
    if (output_.file == nullptr) {
        return false;
    }
    closeEncoder();
    if (output_.failed) {
        file_.discard();
    } else if (!file_.commit()) {
        output_.failed = true;
    }
    output_.file = nullptr;
    return !output_.failed;
}

void WavWriter::closeEncoder()
{
    if (encoderOpen_) {
        ma_encoder_uninit(encoder_.get());
        encoderOpen_ = false;
    }
}
