#include "wav_decoder.h"

#include "byte_cursor.h"
#include "riff_file.h"

#include <algorithm>
#include <stdexcept>

namespace {

constexpr std::uint16_t kIntegerPcm = 1;

std::vector<RiffChunk>::iterator findChunk(RiffFile& file, std::uint32_t id)
{
    return std::find_if(file.chunks.begin(), file.chunks.end(),
                        [id](const RiffChunk& chunk) { return chunk.id == id; });
}

}  // namespace

WavSample decodeWav(const std::uint8_t* bytes, std::size_t length)
{
    RiffFile file = parseRiff(bytes, length);
    if (file.formType != fourCC("WAVE")) {
        throw std::runtime_error("Invalid WAVE type");
    }
    const auto format = findChunk(file, fourCC("fmt "));
    if (format == file.chunks.end()) {
        throw std::runtime_error("Missing fmt chunk");
    }
    const auto data = findChunk(file, fourCC("data"));
    if (data == file.chunks.end()) {
        throw std::runtime_error("Missing data chunk");
    }

    // Byte rate, block align and any extension are not read.
    const ByteCursor fields{format->body.data(), format->body.size(), "invalid vector subscript"};
    const std::uint16_t audioFormat = fields.u16(0);
    const std::uint16_t channels = fields.u16(2);
    const std::uint32_t sampleRate = fields.u32(4);
    const std::uint16_t bitsPerSample = fields.u16(14);

    if (audioFormat != kIntegerPcm) {
        throw std::runtime_error("Unsupported format");
    }
    if (channels != 1 && channels != 2) {
        throw std::runtime_error("Unsupported channel count");
    }
    if (bitsPerSample != 8 && bitsPerSample != 16 && bitsPerSample != 32) {
        throw std::runtime_error("Unsupported sample size");
    }

    WavSample sample;
    sample.sampleRate = sampleRate;
    sample.storage = std::move(data->body);
    sample.buffer.format = bitsPerSample == 8    ? SampleFormat::U8
                           : bitsPerSample == 16 ? SampleFormat::S16
                                                 : SampleFormat::S32;
    sample.buffer.layout = channels == 1 ? ChannelLayout::Mono : ChannelLayout::Stereo;
    sample.buffer.data = sample.storage.data();
    sample.buffer.size = sample.storage.size();
    return sample;
}
