#pragma once

#include "output_file.h"
#include "output_format.h"

#include <cstdint>
#include <cstdio>
#include <memory>

struct ma_encoder;

// Writes a 16-bit stereo 48000 Hz WAV file through miniaudio's encoder, over
// a stdio stream of its own so that every failed write, seek, flush and
// close is seen. A failed seek counts too: without it the sizes in the
// header cannot be filled in (an output that is a pipe, say). finish()
// closes the encoder (sizes filled in) and puts the file in place,
// reporting whether the whole file reached the disk. A file that failed or
// was never finished does not replace what the path held (see OutputFile).
class WavWriter {
public:
    // `maxDataBytes` is what the header can describe; tests pass less.
    explicit WavWriter(std::uint64_t maxDataBytes = kMaxDataBytes);
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    // Opens the output and writes the header with placeholder sizes.
    bool open(const char* path);

    // Appends interleaved 16-bit frames; false once anything failed or the
    // data would outgrow what the header can describe.
    bool write(const void* frames, std::uint64_t frameCount);

    bool finish();

    // Whether frames can be placed: the output is a regular file.
    bool canPlace() const;

    // Writes `frameCount` frames where frame `first` of the samples lies in
    // the file, leaving write()'s position as it is: for threads rendering
    // later parts of the song while write() takes the first. Safe alongside
    // write() and other place() calls on other frames; false when the write
    // failed. The frames count as written once skipPlaced() passes them.
    bool place(std::uint64_t first, const void* frames, std::uint64_t frameCount) const;

    // Moves write()'s position past `frameCount` frames that place() put
    // there, counting them as write() counts its own.
    bool skipPlaced(std::uint64_t frameCount);

    // The stream the encoder writes and seeks through.
    struct Output {
        std::FILE* file = nullptr;
        bool failed = false;          // a write, a seek, a flush or the close went wrong
        std::uint64_t placed = 0;     // bytes the encoder is to pass over rather than write: place()'s
    };

private:
    // Closes the encoder, which seeks back to fill in the sizes.
    void closeEncoder();

    OutputFile file_;
    Output output_;
    std::unique_ptr<ma_encoder> encoder_;
    bool encoderOpen_ = false;
    std::uint64_t dataBytes_ = 0;     // bytes of samples written
    std::int64_t dataStart_ = -1;     // offset in the file of the first sample; -1 where unknown
    int descriptor_ = -1;             // the file's, for place(); -1 where it cannot place
    bool placeable_ = false;          // the output is a regular file at a known offset
    std::uint64_t maxDataBytes_;      // refuse to write past this
};
