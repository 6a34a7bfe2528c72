#pragma once

#include "play_state.h"
#include "song_player.h"

#include <cstdint>
#include <optional>
#include <vector>

// Where the song `song` holds is at each of its cues: the frame its cue
// record is first taken in, played looping, and the player's state at the
// start of that frame, as a seek there leaves it. A jump to a cue takes
// that state up whole, so it costs nothing while the music plays. Indexed
// by the cue's index; nothing for one the song never reaches.
struct CueState {
    std::uint64_t frame = 0;
    PlayState state;
};

std::vector<std::optional<CueState>> cueStates(const SongPlayer& song);
