#include "mml_hold.h"

#include "output_format.h"
#include "pitch_table.h"
#include "sample_bank.h"
#include "song_player.h"
#include "voice.h"
#include "voice_mixer.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int kMaxRows = 255;
// How far apart, in frames of the waveform, the restarted playhead and the
// one it replaces may be and the restart still pass unheard: a fiftieth of
// a frame of a 56-frame cycle.
constexpr float kSeamless = 0.02f;
// Single frames a restart may cost before the last moment.
constexpr std::uint64_t kFewFills = 6;

struct Candidate {
    std::uint64_t frame = 0;
    int pitch = 0;
    float miss = 1e9f;
    int rows = kMaxRows;
};

}  // namespace

MmlHold::MmlHold(std::size_t voice, std::uint64_t struck, double release, int pitch, const MmlNote& note)
    : voice_(voice), struck_(struck), release_(release), pitches_{{struck, pitch}}, note_(&note)
{
}

void MmlHold::pitchChanged(std::uint64_t frame, int pitch)
{
    pitches_.emplace_back(frame, pitch);
}

void MmlHold::struck(std::uint64_t frame, int first, int pitch)
{
    struck_ = frame;
    pitches_ = {{frame, first}, {frame + 1, pitch}};
    scheduled_ = false;
    following_ = false;
}

std::uint64_t MmlHold::deadline(const MmlWriter& writer) const
{
    return struck_ + writer.waitFrames(kMaxRows);
}

std::optional<HoldStep> MmlHold::choose(const MmlWriter& writer, std::uint64_t from, std::uint64_t until,
                                        bool lastChance)
{
    // The voice as the player plays it from the current gate's start.
    Voice voice;
    voice.sample = bankSample(voice_);
    voice.active = true;
    voice.sustain = true;
    const float end = static_cast<float>(voice.sample.buffer.frameCount());
    const float step = kBaseRate / static_cast<float>(kOutputRate);
    std::array<float, kPitchCount> reads{};  // where a restart's first frame reads, at each pitch
    for (std::size_t i = 0; i < kPitchCount; ++i) {
        reads[i] = step * kPitchRatios[i];
    }
    const auto distance = [end](float a, float b) {
        const float d = std::abs(a - b);
        return std::min(d, end - d);
    };
    // The pitch whose first step lands nearest `playhead`: the table's
    // steps rise, so the neighbours of where it would go, and (across the
    // wrap) the smallest.
    const auto nearest = [&](float playhead, int& pitch) {
        const auto above = std::lower_bound(reads.begin(), reads.end(), playhead);
        float miss = distance(playhead, reads.front());
        pitch = 0;
        for (auto at : {above, above - 1}) {
            if (at >= reads.begin() && at < reads.end() && distance(playhead, *at) < miss) {
                miss = distance(playhead, *at);
                pitch = static_cast<int>(at - reads.begin());
            }
        }
        return miss;
    };
    Candidate few;  // the best that waits reach with few single frames
    Candidate any;  // the best of all
    // From where the playhead was followed to last time.
    std::uint64_t frame = struck_;
    if (following_) {
        frame = followed_ + 1;
        voice.playhead = playhead_;
    }
    const std::uint64_t keep = std::min(from, writer.frame());  // the frame to remember the playhead before
    for (std::size_t change = 0; change < pitches_.size() && frame <= until; ++change) {
        const std::uint64_t next = change + 1 < pitches_.size() ? pitches_[change + 1].first : UINT64_MAX;
        if (next <= frame) {
            continue;
        }
        const int pitch = pitches_[change].second;
        const float increment = step * kPitchRatios[static_cast<std::size_t>(pitch)];
        // Up to the window in one go (whole runs of exact steps), then a
        // frame at a time.
        for (const std::uint64_t to : {keep, from}) {
            if (frame < to) {
                const std::uint64_t run = std::min(to, next) - frame;
                advanceVoice(voice, increment, static_cast<std::size_t>(run));
                frame += run;
                if (frame == keep && frame > struck_) {
                    following_ = true;
                    followed_ = frame - 1;
                    playhead_ = voice.playhead;
                }
            }
        }
        for (; frame < next && frame <= until && frame >= from; ++frame) {
            stepPlayhead(voice.playhead, increment, end, true);
            // The playhead this frame reads without a restart, against where
            // a restart reads: at the voice's own pitch, or at the nearest
            // (none is near a playhead past the highest pitch's first step).
            Candidate here{frame, pitch, distance(voice.playhead, reads[static_cast<std::size_t>(pitch)]), kMaxRows};
            if (voice.playhead < reads.back() + few.miss || voice.playhead > end - few.miss) {
                int closest = pitch;
                const float miss = nearest(voice.playhead, closest);
                if (miss < here.miss) {
                    here.miss = miss;
                    here.pitch = closest;
                }
            }
            if (here.miss <= any.miss) {
                any = here;
            }
            if (here.miss <= few.miss && writer.fillsTo(frame) <= kFewFills) {
                few = here;
            }
        }
    }
    const Candidate* chosen = few.miss <= kSeamless ? &few : lastChance ? &any : nullptr;
    if (chosen == nullptr || chosen->miss > 1e8f) {
        if (!lastChance) {
            return std::nullopt;
        }
        return HoldStep{from, kMaxRows, pitches_.back().second, false};
    }
    // The gate: to the note's end where one gate reaches it, else a whole one.
    HoldStep step_{chosen->frame, kMaxRows, chosen->pitch, false};
    if (release_ - static_cast<double>(chosen->frame) <= static_cast<double>(writer.waitFrames(kMaxRows)) + 0.5) {
        step_.last = true;
        step_.rows = writer.rowsNearest(release_ - static_cast<double>(chosen->frame));
    }
    return step_;
}
