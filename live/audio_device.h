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
    // miniaudio's order that has one when `backend` is empty, holding about
    // `latencyMilliseconds` of sound in its buffer.
    bool start(const std::string& backend, Playback& playback,
               int latencyMilliseconds = kDefaultLatencyMilliseconds);

    // Stops the device; no fill() runs once this returns.
    void stop();

    // How long the device takes to play what it has been given, in seconds.
    double latency() const;

    static bool knownBackend(const std::string& name);

    // About 100 ms, in four periods, as music players commonly hold: enough
    // to ride out a machine busy compiling; keys and reloads are heard
    // that much later.
    static constexpr int kDefaultLatencyMilliseconds = 100;
    static constexpr int kMinLatencyMilliseconds = 10;
    static constexpr int kMaxLatencyMilliseconds = 2000;

private:
    bool open(const std::string& backend, Playback& playback, int latencyMilliseconds, bool realtime);

    struct State;
    std::unique_ptr<State> state_;
};
