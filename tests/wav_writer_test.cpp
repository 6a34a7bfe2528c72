#include "test_bytes.h"
#include "wav_writer.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Data that would pass what the header can describe is refused as a whole
// block; what was written before stays a consistent file.
TEST(WavWriter, RefusesDataPastTheHeaderLimit)
{
    const std::string path =
        (std::filesystem::temp_directory_path() / ("wav-writer-" + std::to_string(::getpid()) + ".wav")).string();
    std::array<std::uint8_t, 2048> block{};
    block[0] = 7;
    {
        WavWriter writer(2 * block.size() + 100);
        ASSERT_TRUE(writer.open(path.c_str()));
        EXPECT_TRUE(writer.write(block.data(), 512));
        EXPECT_TRUE(writer.write(block.data(), 512));
        EXPECT_FALSE(writer.write(block.data(), 512));
        EXPECT_FALSE(writer.write(block.data(), 1));  // and stays failed
        EXPECT_FALSE(writer.finish());
    }
    const Bytes wav = readFile(path);
    ASSERT_EQ(wav.size(), 44u + 4096u);
    EXPECT_EQ(u32At(wav, 40), 4096u);
    EXPECT_EQ(u32At(wav, 4), 36u + 4096u);
    EXPECT_EQ(wav[44], 7);
    std::filesystem::remove(path);

    // The real limit: the RIFF size, 36 + data bytes, fits in 32 bits.
    EXPECT_EQ(kMaxDataBytes + 36, 0xFFFFFFFFull);
}

}  // namespace
