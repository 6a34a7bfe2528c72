#include "test_bytes.h"
#include "wav_writer.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// Data that would pass what the header can describe is refused as a whole
// block, and the file being written never replaces what the path held.
TEST(WavWriter, RefusesDataPastTheHeaderLimit)
{
    const fs::path folder = fs::temp_directory_path() / ("wav-writer-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    const std::string path = (folder / "out.wav").string();
    {
        std::ofstream(path) << "old";
    }
    std::array<std::uint8_t, 2048> block{};
    {
        WavWriter writer(2 * block.size() + 100);
        ASSERT_TRUE(writer.open(path.c_str()));
        EXPECT_TRUE(writer.write(block.data(), 512));
        EXPECT_TRUE(writer.write(block.data(), 512));
        EXPECT_FALSE(writer.write(block.data(), 512));
        EXPECT_FALSE(writer.write(block.data(), 1));  // and stays failed
        EXPECT_FALSE(writer.finish());
    }
    EXPECT_EQ(readFile(path), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator{}), 1);

    // Within the limit the file is written whole.
    {
        WavWriter writer(2 * block.size());
        ASSERT_TRUE(writer.open(path.c_str()));
        EXPECT_TRUE(writer.write(block.data(), 512));
        EXPECT_TRUE(writer.write(block.data(), 512));
        EXPECT_TRUE(writer.finish());
    }
    const Bytes wav = readFile(path);
    ASSERT_EQ(wav.size(), 44u + 4096u);
    EXPECT_EQ(u32At(wav, 40), 4096u);
    EXPECT_EQ(u32At(wav, 4), 36u + 4096u);
    fs::remove_all(folder);

    // The real limit: the RIFF size, 36 + data bytes, fits in 32 bits.
    EXPECT_EQ(kMaxDataBytes + 36, 0xFFFFFFFFull);
}

// A writer dropped before finish() leaves nothing behind.
TEST(WavWriter, UnfinishedFileNeverLands)
{
    const fs::path folder = fs::temp_directory_path() / ("wav-writer-drop-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    const std::string path = (folder / "out.wav").string();
    {
        WavWriter writer;
        ASSERT_TRUE(writer.open(path.c_str()));
        std::array<std::uint8_t, 2048> block{};
        EXPECT_TRUE(writer.write(block.data(), 512));
    }
    EXPECT_TRUE(fs::is_empty(folder));
    fs::remove_all(folder);
}

}  // namespace
