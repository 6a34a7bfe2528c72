#pragma once

#include "song_event.h"

#include <array>
#include <cstdint>

// The words the text form uses for the sequencer's commands, and the volume
// step count that is unity.
struct CommandWord {
    Command command;
    const char* word;
};

inline constexpr std::array<CommandWord, 6> kCommandWords{{
    {Command::Wait, "wait"},
    {Command::NoteOn, "note"},
    {Command::SetVolume, "volume"},
    {Command::SetPitch, "pitch"},
    {Command::LoopStart, "loop-start"},
    {Command::LoopEnd, "loop-end"},
}};

inline constexpr float kUnityVolume = 128.0f;  // volume steps in 1.0

// The word for a command byte, or nullptr for a byte that is no command.
inline const char* commandWord(std::uint8_t command)
{
    for (const CommandWord& c : kCommandWords) {
        if (command == static_cast<std::uint8_t>(c.command)) {
            return c.word;
        }
    }
    return nullptr;
}
