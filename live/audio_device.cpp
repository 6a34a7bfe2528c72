#include "audio_device.h"

#include "output_format.h"

#include <miniaudio.h>

#include <dlfcn.h>

#include <array>
#include <utility>

namespace {

constexpr std::array<std::pair<const char*, ma_backend>, 4> kBackends{{
    {"null", ma_backend_null},
    {"alsa", ma_backend_alsa},
    {"pulseaudio", ma_backend_pulseaudio},
    {"jack", ma_backend_jack},
}};

// libasound reports its own configuration errors (no sound card, say) on
// standard error, where they would bury the one line that says no device
// started. miniaudio loads it at run time, so its error handler is reached
// the same way.
extern "C" void ignoreAlsaError(const char*, int, const char*, int, const char*, ...) {}

using AlsaErrorHandler = void (*)(const char*, int, const char*, int, const char*, ...);
using SetAlsaErrorHandler = int (*)(AlsaErrorHandler);

void* quietenAlsa()
{
    void* alsa = dlopen("libasound.so.2", RTLD_NOW);
    if (alsa != nullptr) {
        if (auto set = reinterpret_cast<SetAlsaErrorHandler>(dlsym(alsa, "snd_lib_error_set_handler"))) {
            set(ignoreAlsaError);
        }
    }
    return alsa;
}

// libjack, likewise, prints its own lines ("Cannot connect to server
// socket", …) when no JACK server runs; its error and info handlers are
// set to print nothing, in the copy of the library miniaudio loads.
extern "C" void ignoreJackMessage(const char*) {}

using JackMessageHandler = void (*)(const char*);
using SetJackMessageHandler = void (*)(JackMessageHandler);

void* quietenJack()
{
    void* jack = dlopen("libjack.so.0", RTLD_NOW);
    if (jack == nullptr) {
        jack = dlopen("libjack.so", RTLD_NOW);
    }
    if (jack != nullptr) {
        for (const char* setter : {"jack_set_error_function", "jack_set_info_function"}) {
            if (auto set = reinterpret_cast<SetJackMessageHandler>(dlsym(jack, setter))) {
                set(ignoreJackMessage);
            }
        }
    }
    return jack;
}

constexpr int kPeriods = 4;

void dataCallback(ma_device* device, void* output, const void*, ma_uint32 frames)
{
    static_cast<Playback*>(device->pUserData)->fill(static_cast<std::int16_t*>(output), frames);
}

}  // namespace

struct AudioDevice::State {
    ma_context context;
    ma_device device;
    bool contextOpen = false;
    bool deviceOpen = false;
    void* alsa = nullptr;  // libasound, held while its errors are ignored
    void* jack = nullptr;  // libjack, likewise (never unloaded)
};

AudioDevice::AudioDevice() : state_(std::make_unique<State>()) {}

AudioDevice::~AudioDevice()
{
    stop();
}

bool AudioDevice::knownBackend(const std::string& name)
{
    for (const auto& backend : kBackends) {
        if (name == backend.first) {
            return true;
        }
    }
    return false;
}

bool AudioDevice::start(const std::string& backend, Playback& playback, int latencyMilliseconds)
{
    // A high-priority audio thread rides out a busy machine; where the
    // system refuses one (no real-time rights), the device opens without.
    return open(backend, playback, latencyMilliseconds, true) ||
           open(backend, playback, latencyMilliseconds, false);
}

bool AudioDevice::open(const std::string& backend, Playback& playback, int latencyMilliseconds, bool realtime)
{
    stop();
    ma_backend chosen = ma_backend_null;
    for (const auto& known : kBackends) {
        if (backend == known.first) {
            chosen = known.second;
        }
    }
    if (backend.empty() || backend == "alsa") {
        state_->alsa = quietenAlsa();
    }
    if (backend.empty() || backend == "jack") {
        state_->jack = quietenJack();
    }
    ma_context_config contextConfig = ma_context_config_init();
    contextConfig.threadPriority = realtime ? ma_thread_priority_realtime : ma_thread_priority_default;
    // miniaudio's default order leaves the null backend out; it is used
    // only when asked for.
    if (ma_context_init(backend.empty() ? nullptr : &chosen, backend.empty() ? 0 : 1, &contextConfig,
                        &state_->context) != MA_SUCCESS) {
        stop();
        return false;
    }
    state_->contextOpen = true;

    ma_device_config config = ma_device_config_init(ma_device_type_playback);
    config.playback.format = ma_format_s16;
    config.playback.channels = kOutputChannels;
    config.sampleRate = kOutputRate;
    // The buffer the device holds, in periods: one late wake-up of the
    // audio thread costs a period of slack, not a gap. miniaudio asks
    // PulseAudio for one period as the stream's whole target latency (and
    // room for all of them), so there a period is the whole latency.
    config.periods = kPeriods;
    config.periodSizeInMilliseconds = static_cast<ma_uint32>(
        state_->context.backend == ma_backend_pulseaudio ? latencyMilliseconds : latencyMilliseconds / kPeriods);
    config.dataCallback = dataCallback;
    config.pUserData = &playback;
    // fill() writes every frame it is given.
    config.noPreSilencedOutputBuffer = MA_TRUE;
    if (ma_device_init(&state_->context, &config, &state_->device) != MA_SUCCESS) {
        stop();
        return false;
    }
    state_->deviceOpen = true;
    if (ma_device_start(&state_->device) != MA_SUCCESS) {
        stop();
        return false;
    }
    return true;
}

void AudioDevice::stop()
{
    if (state_->deviceOpen) {
        ma_device_uninit(&state_->device);  // waits for the audio thread
        state_->deviceOpen = false;
    }
    if (state_->contextOpen) {
        ma_context_uninit(&state_->context);
        state_->contextOpen = false;
    }
    if (state_->alsa != nullptr) {
        dlclose(state_->alsa);
        state_->alsa = nullptr;
    }
    // libjack stays loaded: a client it failed to open can leave threads
    // and handlers of its own behind, which must not outlive its code.
    state_->jack = nullptr;
}

double AudioDevice::latency() const
{
    if (!state_->deviceOpen) {
        return 0.0;
    }
    const ma_device& device = state_->device;
    const ma_uint32 periods = state_->context.backend == ma_backend_pulseaudio ? 1 : device.playback.internalPeriods;
    return static_cast<double>(device.playback.internalPeriodSizeInFrames * periods) /
           static_cast<double>(device.playback.internalSampleRate);
}
