#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// What a render passes in the music: beats, bars, the jump back to the loop
// point, cues, the end and the end of an effect, each at the frame it falls in (as
// SongPlayer::frame counts frames). The kinds' values are libsqn's
// SQN_EVENT_ ones.
enum class MusicEventKind : int { Beat = 1, Bar = 2, Loop = 3, Cue = 4, End = 5, EffectEnd = 6 };

// Where the music stands at a frame.
struct MusicPlace {
    std::uint64_t bar = 1;            // from 1
    std::uint32_t beat = 1;           // in its bar, from 1
    std::uint32_t beatsPerBar = 4;
    double beatPhase = 0.0;           // into the beat, 0 ≤ x < 1
    double beatsPerMinute = 120.0;
    std::uint64_t pass = 0;           // passes back to the loop point so far
};

struct MusicEvent {
    std::uint64_t frame = 0;
    MusicEventKind kind = MusicEventKind::Beat;
    unsigned value = 0;  // Beat: the beat in its bar, from 1; Bar: the bar, from 1; Loop: the pass; Cue: its index; EffectEnd: the effect's id
    MusicPlace place;    // the music at `frame`
};

// The events of one render, in a fixed array: a render never allocates. One
// that passes more than it holds keeps the first and counts the rest.
struct MusicEvents {
    static constexpr std::size_t kCapacity = 512;
    std::array<MusicEvent, kCapacity> items{};
    std::size_t count = 0;
    std::size_t dropped = 0;

    void add(std::uint64_t frame, MusicEventKind kind, unsigned value, const MusicPlace& place)
    {
        if (count < kCapacity) {
            items[count++] = {frame, kind, value, place};
        } else {
            ++dropped;
        }
    }

    void clear()
    {
        count = 0;
        dropped = 0;
    }
};
