#include "play_state.h"

#include "song_player.h"

PlayState playStateOf(const SongPlayer& player)
{
    PlayState state;
    for (std::size_t v = 0; v < kVoiceCount; ++v) {
        const Voice& voice = player.voices[v];
        state.voices[v] = {voice.pitch, voice.volume, voice.playhead, voice.owed,
                           voice.gate,  voice.active, voice.sustain};
    }
    state.waitTimer = player.waitTimer;
    state.position = player.position;
    state.loopStart = player.loopStart;
    state.loopPasses = player.loopPasses;
    state.frame = player.frame;
    state.finishedAt = player.finishedAt;
    state.finished = player.finished;
    state.clock = player.clock;
    state.loopClock = player.loopClock;
    state.loopClockFrame = player.loopClockFrame;
    state.lastBeatQuarter = player.lastBeatQuarter;
    return state;
}

void applyPlayState(SongPlayer& player, const PlayState& state)
{
    for (std::size_t v = 0; v < kVoiceCount; ++v) {
        Voice& voice = player.voices[v];
        const VoiceState& from = state.voices[v];
        voice.pitch = from.pitch;
        voice.volume = from.volume;
        voice.playhead = from.playhead;
        voice.owed = from.owed;
        voice.gate = from.gate;
        voice.active = from.active;
        voice.sustain = from.sustain;
    }
    player.waitTimer = state.waitTimer;
    player.position = state.position;
    player.loopStart = state.loopStart;
    player.loopPasses = state.loopPasses;
    player.frame = state.frame;
    player.finishedAt = state.finishedAt;
    player.finished = state.finished;
    player.clock = state.clock;
    player.loopClock = state.loopClock;
    player.loopClockFrame = state.loopClockFrame;
    player.lastBeatQuarter = state.lastBeatQuarter;
    player.resumedAt = player.frame;
}
