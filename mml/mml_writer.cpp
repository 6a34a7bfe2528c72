#include "mml_writer.h"

#include "countdown.h"
#include "output_format.h"
#include "song_player.h"
#include "song_text.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

constexpr int kMaxRows = 255;  // the longest wait one event holds
constexpr float kFrameSeconds = 1.0f / static_cast<float>(kOutputRate);  // the player's dt

}  // namespace

MmlWriter::MmlWriter(MmlResult& result, float rowDuration, bool textForm) : result_(result), textForm_(textForm)
{
    for (int rows = 0; rows <= kMaxRows; ++rows) {
        Countdown countdown;
        countdown.set(static_cast<float>(rows) * rowDuration);
        waitFrames_[static_cast<std::size_t>(rows)] = 1 + countdown.stepsLeft(kFrameSeconds);
    }
}

void MmlWriter::event(std::uint8_t voice, Command command, int param, const std::string& comment)
{
    std::uint64_t frames = 0;  // this event's own
    switch (command) {
    case Command::Wait:
    case Command::LoopStart:
    case Command::LoopEnd:
        frames = waitFrames(param);
        break;
    case Command::SetVolume:
    case Command::SetPitch:
        break;
    default:
        frames = 1;
        break;
    }
    // A mark this event passes goes before it, taken in the same frame.
    writeMarksBefore(static_cast<double>(frame_ + frames) - 0.5);
    put({voice, static_cast<std::uint8_t>(command), static_cast<std::uint16_t>(param)}, comment);
    frame_ += frames;
}

void MmlWriter::put(const SongEvent& event, const std::string& comment)
{
    result_.song.insert(result_.song.end(), {event.voice, event.command, static_cast<std::uint8_t>(event.param)});
    if (textForm_) {
        result_.text.push_back({eventStatement(event), comment});
    }
    result_.eventLines.push_back(static_cast<std::uint32_t>(line_));
}

void MmlWriter::mark(double exactFrame, std::uint64_t units, MapKind kind, std::vector<std::uint8_t> data)
{
    Mark mark{exactFrame, units, kind, std::move(data)};
    const auto at = std::upper_bound(marks_.begin(), marks_.end(), exactFrame,
                                     [](double frame, const Mark& m) { return frame < m.exact; });
    marks_.insert(at, std::move(mark));
}

// The marks the writer has passed or is about to: those falling before
// `before`. Cues wait for their notes: only one passed (no notes came)
// goes now.
void MmlWriter::writeMarksBefore(double before)
{
    while (!marks_.empty()) {
        const Mark& first = marks_.front();
        const double until = first.kind == MapKind::Cue ? static_cast<double>(frame_) - 0.5 : before;
        if (!(first.exact < until)) {
            return;
        }
        const Mark mark = first;
        marks_.erase(marks_.begin());
        writeMark(mark);
    }
}

void MmlWriter::writeCues(std::uint64_t units)
{
    for (std::size_t i = 0; i < marks_.size();) {
        if (marks_[i].kind == MapKind::Cue && marks_[i].units <= units) {
            const Mark mark = marks_[i];
            marks_.erase(marks_.begin() + static_cast<std::ptrdiff_t>(i));
            writeMark(mark);
        } else {
            ++i;
        }
    }
}

void MmlWriter::writeMarks()
{
    while (!marks_.empty()) {
        const Mark mark = marks_.front();
        marks_.erase(marks_.begin());
        writeMark(mark);
    }
}

void MmlWriter::writeMark(const Mark& mark)
{
    const auto write = [this](MapKind kind, const std::vector<std::uint8_t>& data, const std::string& comment) {
        const std::vector<SongEvent> events = mapRecordEvents(kind, data);
        for (const SongEvent& event : events) {
            result_.song.insert(result_.song.end(), {event.voice, event.command, static_cast<std::uint8_t>(event.param)});
            result_.eventLines.push_back(static_cast<std::uint32_t>(line_));
        }
        if (textForm_) {
            result_.text.push_back({mapRecordStatement(kind, data), comment, events.size()});
        }
    };
    if (mark.kind != MapKind::Cue) {
        // Where the music's moment falls from the frame these are taken in.
        const double offset = std::clamp(std::round(mark.exact - static_cast<double>(frame_)), -32768.0, 32767.0);
        if (offset != 0.0) {
            const auto bits = static_cast<std::uint16_t>(static_cast<std::int16_t>(offset));
            write(MapKind::Moment, {static_cast<std::uint8_t>(bits >> 8), static_cast<std::uint8_t>(bits)},
                  textForm_ ? "the records after it stand this many frames from here" : "");
        }
    }
    write(mark.kind, mark.data, textForm_ ? "the music's map" : "");
}

void MmlWriter::comment(std::string text)
{
    if (textForm_) {
        result_.text.push_back({"", std::move(text), 0});
    }
}

int MmlWriter::rowsWithin(std::uint64_t frames) const
{
    const auto past = std::upper_bound(waitFrames_.begin(), waitFrames_.end(), frames);
    return past == waitFrames_.begin() ? 0 : static_cast<int>(past - waitFrames_.begin()) - 1;
}

bool MmlWriter::full() const
{
    return result_.song.size() > kMaxSongBytes;
}

int MmlWriter::rowsNearest(double frames) const
{
    const auto above = std::lower_bound(waitFrames_.begin() + 1, waitFrames_.end(), frames,
                                        [](std::uint64_t value, double f) { return static_cast<double>(value) < f; });
    int best = 1;
    double bestMiss = 1e300;
    for (auto at : {above - 1, above}) {
        if (at > waitFrames_.begin() && at < waitFrames_.end()) {
            const double miss = std::abs(static_cast<double>(*at) - frames);
            if (miss < bestMiss) {
                bestMiss = miss;
                best = static_cast<int>(at - waitFrames_.begin());
            }
        }
    }
    return best;
}

std::uint64_t MmlWriter::fillsBetween(std::uint64_t from, std::uint64_t target) const
{
    if (target <= from) {
        return 0;
    }
    const std::uint64_t gap = target - from;
    const std::uint64_t longest = waitFrames(kMaxRows);
    std::uint64_t full = gap / longest;
    if (full > 0 && gap - full * longest == 0) {
        return 0;
    }
    const std::uint64_t rest = gap - full * longest;
    return rest - waitFrames(rowsWithin(rest));
}

void MmlWriter::waitExactly(std::uint64_t target, Command last, const std::string& comment)
{
    if (target <= frame_ && last != Command::LoopStart) {
        return;
    }
    const std::uint64_t gap = target > frame_ ? target - frame_ : 0;
    const std::uint64_t longest = waitFrames(kMaxRows);
    // Whole waits of 255 rows, then the one that comes nearest without
    // passing, then single frames; the last of them as `last`.
    std::uint64_t full = gap / longest;
    std::uint64_t rest = gap - full * longest;
    if (full > 0 && rest == 0) {
        --full;
        rest = longest;
    }
    const int rows = rest >= 1 ? rowsWithin(rest) : 0;
    const std::uint64_t fills = rest >= 1 ? rest - waitFrames(rows) : 0;
    for (std::uint64_t i = 0; i < full && !this->full(); ++i) {
        event(0, Command::Wait, kMaxRows);
    }
    for (std::uint64_t i = 0; i < fills; ++i) {
        std::string note;
        if (i == 0 && textForm_) {
            note = std::to_string(fills) + " frames more, to the exact frame";
        }
        event(0, Command::Wait, 0, note);
    }
    event(0, last, rows, comment);
}

MmlWriter::Gap MmlWriter::nearestGap(std::uint64_t from, double target, std::uint64_t latest, bool mark) const
{
    Gap best;
    if (!mark && (target <= static_cast<double>(from) + 0.5 || latest <= from)) {
        return best;
    }
    const double gap = std::max(0.0, target - static_cast<double>(from));
    const std::uint64_t room = latest > from ? latest - from : 0;
    const std::uint64_t longest = waitFrames(kMaxRows);
    // Some waits of 255 rows and one more, the nearest such sum within room;
    // a mark needs one wait at least.
    double bestMiss = mark ? 1e300 : gap;
    const auto full = static_cast<std::uint64_t>(gap / static_cast<double>(longest));
    for (std::uint64_t k = full > 0 ? full - 1 : 0; k <= full + 1; ++k) {
        const double want = gap - static_cast<double>(k * longest);
        const int below = want >= 1.0 ? rowsWithin(static_cast<std::uint64_t>(want)) : 0;
        for (const int rows : {below, below + 1, -1}) {
            if (rows > kMaxRows || (rows < 0 && (k == 0 || mark))) {
                continue;
            }
            const std::uint64_t frames = k * longest + (rows >= 0 ? waitFrames(rows) : 0);
            if (frames > room && !(mark && k == 0 && rows == 0)) {
                continue;
            }
            const double miss = std::abs(static_cast<double>(frames) - gap);
            if (miss < bestMiss) {
                bestMiss = miss;
                best = {k, rows, 0};
            }
        }
    }
    if (mark && best.rows < 0) {
        best = {0, 0, 0};
    }
    return best;
}

std::uint64_t MmlWriter::nearestLanding(std::uint64_t from, double target, std::uint64_t latest) const
{
    const Gap gap = nearestGap(from, target, latest, false);
    return from + gap.full * waitFrames(kMaxRows) + (gap.rows >= 0 ? waitFrames(gap.rows) : 0);
}

void MmlWriter::waitNearest(double target, std::uint64_t latest, Command last, const std::string& comment)
{
    const Gap best = nearestGap(frame_, target, latest, last != Command::Wait);
    for (std::uint64_t i = 0; i < best.full && !this->full(); ++i) {
        const bool final = i + 1 == best.full && best.rows < 0;
        event(0, final ? last : Command::Wait, kMaxRows, final ? comment : "");
    }
    if (best.rows >= 0) {
        event(0, last, best.rows, comment);
    }
}
