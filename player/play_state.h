#pragma once

#include "countdown.h"
#include "music_clock.h"
#include "voice.h"

#include <array>
#include <cstdint>

struct SongPlayer;

// Where a playing song is: everything the frames to come depend on besides
// the song itself and the player's settings (rate, looping, mutes, fade).
// What a seek works out, so that it can be handed to another player of the
// same song (one on another thread, or in another instance of the page's
// module).

struct VoiceState {
    float pitch = 1.0f;
    float volume = 1.0f;
    float playhead = 0.0f;
    std::uint64_t owed = 0;
    Countdown gate;
    bool active = false;
    bool sustain = false;
};

struct PlayState {
    std::array<VoiceState, kVoiceCount> voices;
    Countdown waitTimer;
    std::uint64_t position = 0;
    std::uint64_t loopStart = 0;
    std::uint64_t loopPasses = 0;
    std::uint64_t frame = 0;
    std::uint64_t finishedAt = 0;
    bool finished = false;
    MusicClock clock;
    MusicClock loopClock;
    double loopClockFrame = 0.0;
    double lastBeatQuarter = -1.0;
};

PlayState playStateOf(const SongPlayer& player);
void applyPlayState(SongPlayer& player, const PlayState& state);
