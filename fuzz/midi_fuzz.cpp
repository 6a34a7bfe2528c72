// Arbitrary bytes as a MIDI file, read and imported. A finding is a crash,
// undefined behaviour, an exception other than the reader's own reasons,
// or an imported song that does not load or whose text form does not
// assemble back to its bytes.

#include "memory_read.h"
#include "midi_file.h"
#include "midi_import.h"
#include "song_player.h"
#include "song_text.h"

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ImportResult result;
    try {
        const MidiFile file = readMidiFile(data, size);
        ImportOptions options;
        // Vary the grid and the channels a little with the input.
        options.rowsPerBeat = 1 + static_cast<int>(size % 16);
        options.drumChannel = static_cast<int>(size % 3 == 0 ? 9 : size % 16);
        result = importMidi(file, options);
    } catch (const std::runtime_error&) {
        return 0;  // a reason the user is told
    }
    SongPlayer player;
    if (!player.load(memoryRead(result.song.data(), result.song.size()))) {
        std::abort();
    }
    std::vector<TextError> errors;
    const auto again = assembleSong(textForm(result.text), errors);
    if (!again || *again != result.song) {
        std::abort();
    }
    return 0;
}
