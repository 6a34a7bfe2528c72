#pragma once

#include <cstdint>
#include <optional>
#include <vector>

// The whole content of a file, or nothing when it cannot be read.
std::optional<std::vector<std::uint8_t>> readFileBytes(const char* path);

// Writes a file whole; on failure removes what was written and returns false.
bool writeFileBytes(const char* path, const std::vector<std::uint8_t>& bytes);
