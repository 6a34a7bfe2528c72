#include "web_blob.h"

#include <cstdlib>
#include <cstring>

Blob* makeBlob(bool failed, const void* bytes, std::size_t size)
{
    auto* blob = static_cast<Blob*>(std::malloc(sizeof(Blob)));
    auto* data = static_cast<std::uint8_t*>(std::malloc(size == 0 ? 1 : size));
    if (blob == nullptr || data == nullptr) {
        std::free(blob);
        std::free(data);
        return nullptr;
    }
    std::memcpy(data, bytes, size);
    *blob = {failed ? 1u : 0u, static_cast<std::uint32_t>(size), data};
    return blob;
}

Blob* failure(const std::string& why)
{
    return makeBlob(true, why.data(), why.size());
}

extern "C" {

__attribute__((export_name("web_alloc"))) void* webAlloc(std::uint32_t size)
{
    return std::malloc(size == 0 ? 1 : size);
}

__attribute__((export_name("web_free"))) void webFree(void* pointer)
{
    std::free(pointer);
}

__attribute__((export_name("web_blob_free"))) void webBlobFree(Blob* blob)
{
    if (blob != nullptr) {
        std::free(blob->data);
        std::free(blob);
    }
}

}  // extern "C"
