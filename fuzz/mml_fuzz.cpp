// Arbitrary text through the MML compiler: a failure must say why, at a
// line and column inside the text; a song it makes must load, end, and be
// what its own text form assembles to.

#include "memory_read.h"
#include "mml_compiler.h"
#include "song_player.h"
#include "song_text.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const MmlResult result = compileMml(text, MmlOptions{true});
    const std::size_t lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    if (!result.errors.empty()) {
        for (const TextError& error : result.errors) {
            if (error.line == 0 || error.line > lines || error.column == 0 || error.message.empty()) {
                std::abort();
            }
        }
        if (!result.song.empty()) {
            std::abort();  // errors write nothing
        }
        return 0;
    }
    SongPlayer player;
    if (!player.load(memoryRead(result.song.data(), result.song.size()))) {
        std::abort();
    }
    std::vector<TextError> errors;
    const auto again = assembleSong(mmlTextForm(result.text), errors);
    if (!again || *again != result.song) {
        std::abort();
    }
    return 0;
}
