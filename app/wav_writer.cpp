#include "wav_writer.h"

#include <miniaudio.h>

namespace {

constexpr std::size_t kStreamBuffer = 1 << 18;  // bytes

ma_result writeToStream(ma_encoder* encoder, const void* bytes, size_t count, size_t* written)
{
    auto* output = static_cast<WavWriter::Output*>(encoder->pUserData);
    *written = std::fwrite(bytes, 1, count, output->file);
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
