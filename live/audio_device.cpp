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

bool AudioDevice::start(const std::string& backend, Playback& playback)
{
    ma_backend chosen = ma_backend_null;
    for (const auto& known : kBackends) {
        if (backend == known.first) {
            chosen = known.second;
        }
    }
    if (backend.empty() || backend == "alsa") {
        state_->alsa = quietenAlsa();
    }
    ma_context_config contextConfig = ma_context_config_init();
    // miniaudio's default order leaves the null backend out; it is used
    // only when asked for.
    if (ma_context_init(backend.empty() ? nullptr : &chosen, backend.empty() ? 0 : 1, &contextConfig,
                        &state_->context) != MA_SUCCESS) {
        return false;
    }
    state_->contextOpen = true;

    ma_device_config config = ma_device_config_init(ma_device_type_playback);
    config.playback.format = ma_format_s16;
    config.playback.channels = kOutputChannels;
    config.sampleRate = kOutputRate;
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
}

double AudioDevice::latency() const
{
    if (!state_->deviceOpen) {
        return 0.0;
    }
    const ma_device& device = state_->device;
    return static_cast<double>(device.playback.internalPeriodSizeInFrames * device.playback.internalPeriods) /
           static_cast<double>(device.playback.internalSampleRate);
}
