#include "note_names.h"

#include "pitch_table.h"

#include <cctype>

namespace {

constexpr const char* kNames[12] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
constexpr int kLetterSemitones[7] = {9, 11, 0, 2, 4, 5, 7};  // A … G

}  // namespace

std::string noteName(std::uint8_t index)
{
    const int midi = index + kMidiOfIndexZero;
    return kNames[midi % 12] + std::to_string(midi / 12 - 1);
}

std::optional<std::uint8_t> noteIndex(std::string_view name)
{
    if (name.size() < 2 || name.size() > 3) {
        return std::nullopt;
    }
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
    if (letter < 'A' || letter > 'G') {
        return std::nullopt;
    }
    int semitone = kLetterSemitones[letter - 'A'];
    std::size_t at = 1;
    // In any case: "Db5", "DB5" and "db5" are all D flat.
    if (name[at] == '#' || name[at] == 'b' || name[at] == 'B') {
        semitone += name[at] == '#' ? 1 : -1;
        ++at;
    }
    if (at + 1 != name.size() || !std::isdigit(static_cast<unsigned char>(name[at]))) {
        return std::nullopt;
    }
    const int midi = 12 * (name[at] - '0' + 1) + semitone;
    const int index = midi - kMidiOfIndexZero;
    if (index < 0 || index >= static_cast<int>(kPitchCount)) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(index);
}
