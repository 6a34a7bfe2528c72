#pragma once

#include <cstdint>
#include <optional>
#include <vector>

// The whole content of a file, or nothing (errno set) when it cannot be
// read.
std::optional<std::vector<std::uint8_t>> readFileBytes(const char* path);

// Writes a file whole, replacing what the path held only once every byte
// is written (see OutputFile); false with errno set otherwise.
bool writeFileBytes(const char* path, const std::vector<std::uint8_t>& bytes);
