#pragma once

#include "mml_parser.h"
#include "mml_writer.h"
#include "wav_sample.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

// Frames before a gate would close in which a held note is struck again.
inline constexpr std::uint64_t kHoldWindow = 2400;

// A restart of a held note.
struct HoldStep {
    std::uint64_t frame = 0;  // where its NoteOn is taken
    int rows = 0;             // its gate
    int pitch = 0;            // the table index its first frame is played at
    bool last = false;        // its gate ends the note
};

// A note on a cycling voice (0–3) longer than one gate holds (255 rows),
// struck again before each gate closes. A NoteOn restarts the waveform, so
// it is taken where the restart is not heard: where the playhead it sets
// (one step from the start) meets the one it replaces, the first frame
// played at whichever pitch makes the two meet. Such frames are found
// among those that waits reach with few single frames, and at the last
// moment among any. The voice is followed exactly, through every pitch
// change written.
class MmlHold {
public:
    MmlHold(std::size_t voice, std::uint64_t struck, double release, int pitch, const MmlNote& note);

    // The voice's pitch changed from `frame` on (an arpeggio's step); frames
    // before it are followed already.
    void pitchChanged(std::uint64_t frame, int pitch);

    // It was struck again at `frame`, that frame played at `first` and the
    // ones after it at `pitch`.
    void struck(std::uint64_t frame, int first, int pitch);

    // The frame whose tick closes the current gate: the restart comes no
    // later.
    std::uint64_t deadline(const MmlWriter& writer) const;

    // The best restart from frame `from` to `until`, the voice's pitch
    // staying as it is meanwhile, at none of the frames `taken` (other
    // restarts'), where `fillsTo` tells the single frames reaching each
    // costs: the most seamless of those reached with few; where there is
    // none, nothing, unless this is the `lastChance`, which takes the
    // seamless one reached with the fewest, or the most seamless of all.
    std::optional<HoldStep> choose(const MmlWriter& writer, std::uint64_t from, std::uint64_t until, bool lastChance,
                                   const std::vector<std::uint64_t>& taken,
                                   const std::function<std::uint64_t(std::uint64_t)>& fillsTo);

    bool scheduled() const { return scheduled_; }
    void schedule() { scheduled_ = true; }
    const MmlNote* note() const { return note_; }
    double release() const { return release_; }

private:
    // The playhead at the start of `frame` (after the mix of the one
    // before), no earlier than the frame followed to last time.
    float playheadAt(std::uint64_t frame);
    float incrementAt(std::uint64_t frame) const;

    WavSample sample_;       // the voice's sound, for its cycle's length
    std::uint64_t struck_;   // where the current gate began
    double release_;         // where the note's gate is to close
    std::vector<std::pair<std::uint64_t, int>> pitches_;  // (from frame, table index) since struck_
    const MmlNote* note_;
    bool scheduled_ = false;
    std::uint64_t followed_ = 0;  // the frame whose start `playhead_` is
    float playhead_ = 0.0f;
};
