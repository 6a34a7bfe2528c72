// Arbitrary text through the assembler: any text that assembles must
// disassemble and assemble again to the same bytes.

#include "song_text.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<TextError> errors;
    const auto song = assembleSong(std::string_view(reinterpret_cast<const char*>(data), size), errors);
    if (!song) {
        if (errors.empty()) {
            std::abort();  // a failure must say why
        }
        return 0;
    }
    const auto again = assembleSong(disassembleSong(*song), errors);
    if (!again || *again != *song) {
        std::abort();
    }
    return 0;
}
