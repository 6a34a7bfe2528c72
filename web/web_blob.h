#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A result handed to the page: bytes, or (failed) a text saying why. The
// page reads it through the module's memory and frees it with
// web_blob_free; web_alloc and web_free carry its inputs.
struct Blob {
    std::uint32_t failed;  // 0 or 1
    std::uint32_t size;    // bytes at data
    std::uint8_t* data;    // owned
};

// Null where memory runs out.
Blob* makeBlob(bool failed, const void* bytes, std::size_t size);
Blob* failure(const std::string& why);
