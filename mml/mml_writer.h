#pragma once

#include "mml_result.h"
#include "song_event.h"
#include "song_map.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// Writes a song's events knowing the output frame at which the player will
// take each one: a note, a fill or an unknown command takes a frame, a wait
// its countdown and the frame that takes it, a volume or pitch change none.
// Waits are made of whole rows, at most 255 an event; where a frame must be
// met exactly, the frames rows cannot give are made up with waits of 0 rows
// (one frame each, so used sparingly).
class MmlWriter {
public:
    // Writes into `result.song` and `result.eventLines`, and into
    // `result.text` where `textForm`.
    MmlWriter(MmlResult& result, float rowDuration, bool textForm);

    // Whether the text form is written: comments are worth making.
    bool textForm() const { return textForm_; }

    // A comment line of the text form, before the next event.
    void comment(std::string text);

    // The frame in which the next event will be taken.
    std::uint64_t frame() const { return frame_; }

    // The song has grown past what a song file may hold: writing on is
    // pointless (the song is refused), so the planner stops.
    bool full() const;

    void event(std::uint8_t voice, Command command, int param, const std::string& comment = "");

    // A map record for the music at `exactFrame` (units `units` from the
    // song's start): a tempo change is written before the wait that passes
    // it, taken with a moment record saying how far it falls from there; a
    // cue waits for the notes at its time (writeCues) and is taken with
    // them, or is written as the writer passes it where none come.
    void mark(double exactFrame, std::uint64_t units, MapKind kind, std::vector<std::uint8_t> data);

    // The cues up to `units`, before the notes there.
    void writeCues(std::uint64_t units);

    // Every mark not yet written, and those falling before `before`.
    void writeMarks();
    void writeMarksBefore(double before);

    // The MML line the events that follow come from.
    void from(std::size_t line) { line_ = line; }

    // Waits so that the next event is taken at `target` exactly (no sooner
    // than frame()); the last of the waits is `last` (a LoopStart marks the
    // next event as the loop point, and then takes at least a frame).
    void waitExactly(std::uint64_t target, Command last = Command::Wait, const std::string& comment = "");

    // Waits so that the next event is taken at the frame nearest `target`
    // that whole rows reach, and no later than `latest`; the last of the
    // waits is `last` (a LoopStart, at least one frame, marks the next
    // event as the loop point).
    void waitNearest(double target, std::uint64_t latest, Command last = Command::Wait, const std::string& comment = "");

    // The frames from `from` (frame() for fillsTo) to `target` that waits of
    // whole rows leave, made up with waits of 0 rows by waitExactly.
    std::uint64_t fillsBetween(std::uint64_t from, std::uint64_t target) const;
    std::uint64_t fillsTo(std::uint64_t target) const { return fillsBetween(frame_, target); }

    // The frame waitNearest(target, latest) would take the next event in,
    // were the writer at `from`.
    std::uint64_t nearestLanding(std::uint64_t from, double target, std::uint64_t latest) const;

    // The rows, 1 … 255, whose wait (or gate) is nearest `frames` long.
    int rowsNearest(double frames) const;

    // Frames from taking a wait of `rows` to taking the event after it.
    std::uint64_t waitFrames(int rows) const { return waitFrames_[static_cast<std::size_t>(rows)]; }

private:
    struct Mark {
        double exact;          // the frame it falls in
        std::uint64_t units;
        MapKind kind;
        std::vector<std::uint8_t> data;
    };

    void writeMark(const Mark& mark);
    // An event's bytes, line and text, without writing marks first.
    void put(const SongEvent& event, const std::string& comment);

    // A gap of frames as waits: `full` of 255 rows, then one of `rows` (none
    // where -1), then `fills` single frames.
    struct Gap {
        std::uint64_t full = 0;
        int rows = -1;
        std::uint64_t fills = 0;
    };

    // The waits waitNearest writes from `from`; a `mark` takes one at least.
    Gap nearestGap(std::uint64_t from, double target, std::uint64_t latest, bool mark) const;

    // The most rows whose wait takes at most `frames`; 0 when even that is more.
    int rowsWithin(std::uint64_t frames) const;

    MmlResult& result_;
    bool textForm_;
    std::vector<Mark> marks_;  // not yet written, by frame
    std::array<std::uint64_t, 256> waitFrames_{};
    std::uint64_t frame_ = 0;
    std::size_t line_ = 1;
};
