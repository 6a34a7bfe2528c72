#include "mml_hold.h"

#include "output_format.h"
#include "pitch_table.h"
#include "sample_bank.h"
#include "song_player.h"
#include "voice.h"
#include "voice_mixer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>

namespace {

constexpr int kMaxRows = 255;
// How far apart, in frames of the waveform, the restarted playhead and the
// one it replaces may be and the restart still pass unheard: a fiftieth of
// a frame of a 56-frame cycle.
constexpr float kSeamless = 0.02f;
// Single frames a restart may cost before the last moment.
constexpr std::uint64_t kFewFills = 6;
constexpr float kStep = kBaseRate / static_cast<float>(kOutputRate);  // a frame's move at pitch ratio 1

struct Candidate {
    std::uint64_t frame = 0;
    int pitch = 0;
    float miss = 1e9f;
};

// Where a restart's first frame reads, at each pitch: rising with it.
const std::array<float, kPitchCount>& firstReads()
{
    static const std::array<float, kPitchCount> reads = [] {
        std::array<float, kPitchCount> values{};
        for (std::size_t i = 0; i < kPitchCount; ++i) {
            values[i] = kStep * kPitchRatios[i];
        }
        return values;
    }();
    return reads;
}

}  // namespace

MmlHold::MmlHold(std::size_t voice, std::uint64_t struck, double release, int pitch, const MmlNote& note)
    : sample_(bankSample(voice)),
      struck_(struck),
      release_(release),
      pitches_{{struck, pitch}},
      note_(&note),
      followed_(struck)
{
}

void MmlHold::pitchChanged(std::uint64_t frame, int pitch)
{
    if (!pitches_.empty() && pitches_.back().first == frame) {
        pitches_.back().second = pitch;
    } else {
        pitches_.emplace_back(frame, pitch);
    }
}

void MmlHold::struck(std::uint64_t frame, int first, int pitch)
{
    struck_ = frame;
    pitches_ = {{frame, first}, {frame + 1, pitch}};
    scheduled_ = false;
    followed_ = frame;
    playhead_ = 0.0f;
}

std::uint64_t MmlHold::deadline(const MmlWriter& writer) const
{
    return struck_ + writer.waitFrames(kMaxRows);
}

float MmlHold::incrementAt(std::uint64_t frame) const
{
    int pitch = pitches_.front().second;
    for (const auto& [from, index] : pitches_) {
        if (from > frame) {
            break;
        }
        pitch = index;
    }
    return kStep * kPitchRatios[static_cast<std::size_t>(pitch)];
}

float MmlHold::playheadAt(std::uint64_t frame)
{
    // The voice as the player plays it, a stretch of one pitch at a time.
    Voice voice;
    voice.sample.buffer = sample_.buffer;  // read for its length only
    voice.active = true;
    voice.sustain = true;
    voice.playhead = playhead_;
    std::uint64_t at = followed_;
    for (std::size_t change = 0; change < pitches_.size() && at < frame; ++change) {
        const std::uint64_t next = change + 1 < pitches_.size() ? pitches_[change + 1].first : UINT64_MAX;
        if (next <= at) {
            continue;
        }
        const std::uint64_t to = std::min(next, frame);
        const float increment = kStep * kPitchRatios[static_cast<std::size_t>(pitches_[change].second)];
        advanceVoice(voice, increment, static_cast<std::size_t>(to - at));
        at = to;
    }
    return voice.playhead;
}

std::optional<HoldStep> MmlHold::choose(const MmlWriter& writer, std::uint64_t from, std::uint64_t until,
                                        bool lastChance, const std::vector<std::uint64_t>& taken,
                                        const std::function<std::uint64_t(std::uint64_t)>& fillsTo)
{
    const std::array<float, kPitchCount>& reads = firstReads();
    const float end = static_cast<float>(sample_.buffer.frameCount());
    const auto distance = [end](float a, float b) {
        const float d = std::abs(a - b);
        return std::min(d, end - d);
    };
    // Followed up to where the writer is: no pitch change can come before.
    const std::uint64_t keep = std::max(followed_, std::min(from, writer.frame()));
    playhead_ = playheadAt(keep);
    followed_ = keep;
    float playhead = playheadAt(from);
    const float increment = incrementAt(from);
    const int pitch = pitches_.back().second;

    Candidate cheap;     // seamless, reached with few single frames: the most seamless
    Candidate seamless;  // seamless: the one reached with the fewest single frames
    Candidate closest;   // the most seamless of all
    std::uint64_t seamlessFills = UINT64_MAX;
    for (std::uint64_t frame = from; frame <= until; ++frame) {
        stepPlayhead(playhead, increment, end, true);
        if (std::find(taken.begin(), taken.end(), frame) != taken.end()) {
            continue;
        }
        // The playhead this frame reads without a restart, against where a
        // restart reads: at the voice's own pitch, or at the nearest.
        Candidate here{frame, pitch, distance(playhead, reads[static_cast<std::size_t>(pitch)])};
        const auto above = std::lower_bound(reads.begin(), reads.end(), playhead);
        for (auto at : {above, above - 1, reads.begin()}) {
            if (at >= reads.begin() && at < reads.end() && distance(playhead, *at) < here.miss) {
                here.miss = distance(playhead, *at);
                here.pitch = static_cast<int>(at - reads.begin());
            }
        }
        if (here.miss <= closest.miss) {
            closest = here;
        }
        if (here.miss > kSeamless) {
            continue;
        }
        const std::uint64_t fills = fillsTo(frame);
        if (fills <= kFewFills && here.miss <= cheap.miss) {
            cheap = here;
        }
        if (fills < seamlessFills || (fills == seamlessFills && here.miss < seamless.miss)) {
            seamless = here;
            seamlessFills = fills;
        }
    }
    const Candidate* chosen = cheap.miss <= kSeamless ? &cheap
                              : !lastChance           ? nullptr
                              : seamless.miss <= kSeamless ? &seamless
                              : closest.miss < 1e8f  ? &closest
                                                     : nullptr;
    if (chosen == nullptr) {
        return std::nullopt;
    }
    // The gate: to the note's end where one gate reaches it (to within half
    // a row), else a whole one.
    HoldStep step{chosen->frame, kMaxRows, chosen->pitch, false};
    const double left = release_ - static_cast<double>(chosen->frame);
    if (left <= static_cast<double>(writer.waitFrames(kMaxRows)) + static_cast<double>(writer.waitFrames(1)) / 2.0) {
        step.last = true;
        step.rows = writer.rowsNearest(left);
    }
    return step;
}
