#pragma once

#include "song_player.h"

#include <array>
#include <cstdint>

// What a render of a song is asked for beyond the song: passes round its
// loop, a fade after the last one, the voices heard. The same for sqn2wav
// and the page, so that both write the same bytes.
struct RenderPlan {
    std::uint64_t loops = 1;                // passes round the loop, 1 and up
    std::uint64_t fadeFrames = 0;           // a fade's length at 48000 Hz; 0: none
    std::array<bool, kVoiceCount> muted{};  // the voices left out
};

// Sets the plan on a loaded player (at 48000 Hz, looping off) and returns
// the frames the render then holds, in whole blocks, or 0 where the song's
// own end decides them (one pass, no fade: the block in which it finishes).
// A render too long to count in 64 bits is UINT64_MAX frames, never fewer.
// Past the last pass a fade plays on round the loop; a song with no loop
// fades over its last seconds instead (over all of it, where it is shorter
// than the fade).
std::uint64_t applyRenderPlan(const RenderPlan& plan, SongPlayer& player);
