#pragma once

#include "mml_parser.h"
#include "mml_writer.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

// Frames before a gate would close in which a held note is struck again.
inline constexpr std::uint64_t kHoldWindow = 1200;

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
// moment among any.
class MmlHold {
public:
    MmlHold(std::size_t voice, std::uint64_t struck, double release, int pitch, const MmlNote& note);

    // The voice's pitch changed from `frame` on (an arpeggio's step).
    void pitchChanged(std::uint64_t frame, int pitch);

    // It was struck again at `frame`, that frame played at `first` and the
    // ones after it at `pitch`.
    void struck(std::uint64_t frame, int first, int pitch);

    // The frame in which the current gate closes: the restart comes no
    // later.
    std::uint64_t deadline(const MmlWriter& writer) const;

    // The best restart from frame `from` to `until` (with nothing else
    // played before it), or nothing where a better one may come later
    // (never on the `lastChance`).
    std::optional<HoldStep> choose(const MmlWriter& writer, std::uint64_t from, std::uint64_t until, bool lastChance);

    bool scheduled() const { return scheduled_; }
    void schedule() { scheduled_ = true; }
    const MmlNote* note() const { return note_; }
    double release() const { return release_; }

private:
    std::size_t voice_;
    std::uint64_t struck_;   // where the current gate began
    double release_;         // where the note's gate is to close
    std::vector<std::pair<std::uint64_t, int>> pitches_;  // (from frame, table index) since struck_
    const MmlNote* note_;
    bool scheduled_ = false;
    // The playhead as followed so far, after the mix of `followed_` (never
    // past where the writer was, so no later pitch change comes before it).
    std::uint64_t followed_ = 0;
    float playhead_ = 0.0f;
    bool following_ = false;
};
