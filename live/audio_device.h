#pragma once

#include "playback.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// An output device playing 16-bit stereo at 48000 Hz from a Playback, whose
// fill() miniaudio calls on its own audio thread.
class AudioDevice {
public:
    AudioDevice();
    ~AudioDevice();
    AudioDevice(const AudioDevice&) = delete;
    AudioDevice& operator=(const AudioDevice&) = delete;

    // Opens and starts the default output device of `backend` ("null",
    // "alsa", "pulseaudio" or "jack"), or of the first backend in
    // miniaudio's order that has one when `backend` is empty.
    bool start(const std::string& backend, Playback& playback);

    // Stops the device; no fill() runs once this returns.
    void stop();

    // How long the device takes to play what it has been given, in seconds.
    double latency() const;

    static bool knownBackend(const std::string& name);

private:
    struct State;
    std::unique_ptr<State> state_;
};
