// Writes the five built-in sounds as WAV files: `make-bank <folder>`.
//
// The three cycles are fixed tables. The two hits are synthesised from fixed
// seeds and shaped to their stated figures: Hit1 a decaying noise burst,
// Hit2 a low thump of lengthening half-cycles. Their first and last values
// are set exactly as listed. The output is committed under samples/bank and
// embedded into the program at build time; run this only to change a sound.

#include "bank_figures.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;

// splitmix64: the same numbers on every machine.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}

    // Uniform in [-1, 1).
    double next()
    {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        return static_cast<double>(z >> 11) * 0x1p-52 - 1.0;
    }

private:
    std::uint64_t state_;
};

void place(Samples& out, const Samples& values, std::size_t at)
{
    std::copy(values.begin(), values.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
}

double rms(const Samples& s, std::size_t from, std::size_t to)
{
    double sum = 0.0;
    for (std::size_t i = from; i < to; ++i) {
        sum += static_cast<double>(s[i]) * s[i];
    }
    return std::sqrt(sum / static_cast<double>(to - from));
}

// Noise low-passed by one pole (about 70 sign changes in 256 frames),
// decaying exponentially, scaled to an RMS of 1225 over the first 256
// frames, with its extremes set to +2731 and -2820 within frames 16 … 50.
Samples makeHit1()
{
    constexpr std::size_t kFrames = 4444;
    constexpr double kPole = 0.67;
    constexpr double kDecay = 1600.0;  // frames per factor e
    Random random(0x5EED0001);

    std::vector<double> shaped(kFrames);
    double state = 0.0;
    for (std::size_t i = 0; i < kFrames; ++i) {
        state = kPole * state + (1.0 - kPole) * random.next();
        const double tailFade = i > 4000 ? 1.0 - 0.1 * static_cast<double>(i - 4000) / 444.0 : 1.0;
        shaped[i] = state * std::exp(-static_cast<double>(i) / kDecay) * tailFade;
    }

    // Scale so that the first 256 frames, with the fixed head, reach the RMS.
    const std::size_t head = kHit1Head.size();
    double headEnergy = 0.0;
    for (int v : kHit1Head) {
        headEnergy += static_cast<double>(v) * v;
    }
    double noiseEnergy = 0.0;
    for (std::size_t i = head; i < 256; ++i) {
        noiseEnergy += shaped[i] * shaped[i];
    }
    const double scale = std::sqrt((1225.0 * 1225.0 * 256.0 - headEnergy) / noiseEnergy);

    Samples out(kFrames);
    for (std::size_t i = 0; i < kFrames; ++i) {
        out[i] = std::clamp(static_cast<int>(std::lround(shaped[i] * scale)), -2819, 2730);
    }
    const auto peakRange = out.begin() + static_cast<std::ptrdiff_t>(head);
    const auto peakEnd = out.begin() + 51;
    *std::max_element(peakRange, peakEnd) = 2731;
    *std::min_element(peakRange, peakEnd) = -2820;
    place(out, kHit1Head, 0);
    place(out, kHit1Tail, kFrames - kHit1Tail.size());
    return out;
}

// One half-cycle of the thump: rises from `start` as a quarter sine to
// `peak` frames at `amplitude`, falls as another quarter sine to `end`.
struct HalfCycle {
    int start;
    int peak;
    int end;
    double amplitude;
};

Samples makeHit2()
{
    constexpr std::size_t kFrames = 1445;
    const HalfCycle halves[] = {
        {70, 115, 160, -1500.0},  {160, 220, 280, 3000.0},   {280, 355, 430, -5200.0},
        {430, 578, 726, 10546.0}, {726, 872, 1040, -8139.0}, {1040, 1100, 1445, 1800.0},
    };
    Samples out(kFrames, 0);
    std::vector<double> wave(kFrames, 0.0);
    for (const HalfCycle& h : halves) {
        for (int i = h.start; i < h.end; ++i) {
            const double phase = i <= h.peak ? static_cast<double>(i - h.start) / (h.peak - h.start)
                                             : static_cast<double>(h.end - i) / (h.end - h.peak);
            wave[static_cast<std::size_t>(i)] = h.amplitude * std::sin(0.5 * kPi * phase);
        }
    }
    // The noisy onset: broadband noise fading out over the first 150 frames.
    Random random(0x5EED0002);
    for (std::size_t i = 0; i < 150; ++i) {
        wave[i] += 600.0 * random.next() * std::exp(-static_cast<double>(i) / 50.0);
    }
    for (std::size_t i = 0; i < kFrames; ++i) {
        out[i] = static_cast<int>(std::trunc(wave[i]));  // toward zero: each peak is a single frame
    }
    place(out, kHit2Head, 0);
    place(out, kHit2Tail, kFrames - kHit2Tail.size());
    return out;
}

void put16(std::vector<std::uint8_t>& out, unsigned value)
{
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t value)
{
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

void putId(std::vector<std::uint8_t>& out, const char* id)
{
    out.insert(out.end(), id, id + 4);
}

// A 16-bit 44100 Hz PCM image: "fmt " (16 bytes, or 18 with an empty
// extension followed by a "fact" chunk), then "data". Stereo images carry
// each value on both channels.
std::vector<std::uint8_t> wavImage(const Samples& values, unsigned channels, bool extended)
{
    const auto frames = static_cast<std::uint32_t>(values.size());
    const std::uint32_t blockAlign = 2 * channels;
    const std::uint32_t dataBytes = frames * blockAlign;
    std::vector<std::uint8_t> out;
    putId(out, "RIFF");
    put32(out, 0);  // filled in below
    putId(out, "WAVE");
    putId(out, "fmt ");
    put32(out, extended ? 18 : 16);
    put16(out, 1);
    put16(out, channels);
    put32(out, 44100);
    put32(out, 44100 * blockAlign);
    put16(out, blockAlign);
    put16(out, 16);
    if (extended) {
        put16(out, 0);
        putId(out, "fact");
        put32(out, 4);
        put32(out, frames);
    }
    putId(out, "data");
    put32(out, dataBytes);
    for (int v : values) {
        for (unsigned c = 0; c < channels; ++c) {
            put16(out, static_cast<std::uint16_t>(static_cast<std::int16_t>(v)));
        }
    }
    const auto riffSize = static_cast<std::uint32_t>(out.size() - 8);
    for (int i = 0; i < 4; ++i) {
        out[4 + i] = static_cast<std::uint8_t>(riffSize >> (8 * i));
    }
    return out;
}

bool writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

int signChanges(const Samples& s, std::size_t from, std::size_t to)
{
    int count = 0;
    for (std::size_t i = from + 1; i < to; ++i) {
        count += (s[i - 1] < 0 && s[i] > 0) || (s[i - 1] > 0 && s[i] < 0);
    }
    return count;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
        return 1;
    }
    const std::string folder = argv[1];
    const Samples hit1 = makeHit1();
    const Samples hit2 = makeHit2();
    const struct {
        const char* name;
        const Samples& values;
        unsigned channels;
        bool extended;
    } images[] = {
        {"cycle1.wav", kCycle1, 1, false}, {"cycle2.wav", kCycle2, 1, true}, {"cycle3.wav", kCycle3, 1, true},
        {"hit1.wav", hit1, 2, true},       {"hit2.wav", hit2, 2, true},
    };
    for (const auto& image : images) {
        if (!writeFile(folder + "/" + image.name, wavImage(image.values, image.channels, image.extended))) {
            std::fprintf(stderr, "%s: failed to write %s/%s\n", argv[0], folder.c_str(), image.name);
            return 1;
        }
    }

    std::printf("hit1: rms first 256 %.1f, last 256 %.1f, final 92 %.1f; sign changes per 256:",
                rms(hit1, 0, 256), rms(hit1, 4444 - 256, 4444), rms(hit1, 4444 - 92, 4444));
    for (std::size_t at = 0; at + 256 <= hit1.size(); at += 256) {
        std::printf(" %d", signChanges(hit1, at, at + 256));
    }
    std::printf("\nhit2: max %d at %td, min %d at %td\n", *std::max_element(hit2.begin(), hit2.end()),
                std::max_element(hit2.begin(), hit2.end()) - hit2.begin(),
                *std::min_element(hit2.begin(), hit2.end()),
                std::min_element(hit2.begin(), hit2.end()) - hit2.begin());
    return 0;
}
