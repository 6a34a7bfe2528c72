#include "drum_map.h"

#include "pitch_table.h"

namespace {

constexpr std::uint8_t kNoise = 4;
constexpr std::uint8_t kThump = 5;
constexpr double kBaseRate = 44100.0;         // every sound plays as if recorded at this rate
constexpr double kNoiseFrames = 4444.0;       // the noise burst's length
constexpr double kThumpFrames = 1445.0;       // the thump's

struct Entry {
    int key;
    DrumSound sound;
};

// Pitch 40 plays a hit as recorded; each step is a semitone.
constexpr Entry kKit[] = {
    {35, {kThump, 33}},  // acoustic bass drum
    {36, {kThump, 36}},  // bass drum
    {41, {kThump, 40}},  // low floor tom
    {43, {kThump, 43}},  // high floor tom
    {45, {kThump, 46}},  // low tom
    {37, {kNoise, 47}},  // side stick
    {38, {kNoise, 38}},  // acoustic snare
    {39, {kNoise, 42}},  // hand clap
    {40, {kNoise, 40}},  // electric snare
    {47, {kNoise, 44}},  // low-mid tom
    {48, {kNoise, 46}},  // hi-mid tom
    {50, {kNoise, 48}},  // high tom
    {42, {kNoise, 62}},  // closed hi-hat
    {44, {kNoise, 58}},  // pedal hi-hat
    {46, {kNoise, 54}},  // open hi-hat
    {49, {kNoise, 52}},  // crash cymbal 1
    {57, {kNoise, 51}},  // crash cymbal 2
    {51, {kNoise, 60}},  // ride cymbal 1
    {59, {kNoise, 59}},  // ride cymbal 2
    {53, {kNoise, 64}},  // ride bell
    {55, {kNoise, 56}},  // splash cymbal
    {52, {kNoise, 50}},  // Chinese cymbal
    {54, {kNoise, 66}},  // tambourine
    {56, {kNoise, 57}},  // cowbell
    {69, {kNoise, 68}},  // cabasa
    {70, {kNoise, 70}},  // maracas
};

}  // namespace

DrumSound drumSound(int key)
{
    for (const Entry& entry : kKit) {
        if (entry.key == key) {
            return entry.sound;
        }
    }
    // The rest of the kit (bongos, congas, timbales, agogos, whistles, …)
    // between the snares and the hats.
    return {kNoise, 50};
}

double hitSeconds(const DrumSound& sound)
{
    const double frames = sound.voice == kThump ? kThumpFrames : kNoiseFrames;
    return frames / kBaseRate / static_cast<double>(kPitchRatios[static_cast<std::size_t>(sound.pitch)]);
}
