#include "mml_compiler.h"

#include "mml_hold.h"
#include "mml_parser.h"
#include "mml_source.h"
#include "mml_tempo.h"
#include "mml_writer.h"
#include "output_format.h"
#include "pitch_table.h"
#include "printable.h"
#include "song_event.h"
#include "song_player.h"
#include "song_text.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <map>
#include <optional>

namespace {

constexpr int kMaxRows = 255;                // the longest wait or gate one event holds
constexpr int kFineRowsPerBeat = 255;        // rows a beat of the grid the compiler chooses
// The slowest tempo byte that keeps rows of 255 a beat within 2 ms: waits
// then land every event within 1 ms of its time.
constexpr int kFineTempo = 118;
constexpr std::uint64_t kBeatsPerBar = 4;
// Restarts of held notes a song may have: four hours of notes held past
// their gates, and a bound on the time a song takes to compile.
constexpr std::uint64_t kMaxRestrikes = 30000;
constexpr int kMaxHours = 24;  // a song's longest
constexpr std::size_t kHitVoices = 4;  // voices 4 and 5 play one-shots
constexpr int kUnityVolume = 128;
constexpr double kFramesPerSecond = static_cast<double>(kOutputRate);

char channelLetter(std::size_t voice)
{
    return static_cast<char>('A' + voice);
}

std::string barBeat(std::uint64_t units)
{
    const std::uint64_t unitsPerBar = kBeatsPerBar * kUnitsPerBeat;
    char text[64];
    std::snprintf(text, sizeof text, "bar %llu, beat %.4g", static_cast<unsigned long long>(units / unitsPerBar + 1),
                  1.0 + static_cast<double>(units % unitsPerBar) / kUnitsPerBeat);
    return text;
}

// "2 beats", "1.5 beats": a time on the time line.
std::string beats(std::uint64_t units)
{
    char text[48];
    std::snprintf(text, sizeof text, "%g beat%s", static_cast<double>(units) / kUnitsPerBeat,
                  units == kUnitsPerBeat ? "" : "s");
    return text;
}

// Every channel that marks a loop point marks the same time. Channels that
// failed to read are left out: their times are not to be trusted, and a
// mistake in one is reported once, where it is.
const MmlChannel* checkLoops(const std::array<MmlChannel, kMmlChannels>& channels, MmlErrors& errors)
{
    const MmlChannel* looped = nullptr;
    for (const MmlChannel& channel : channels) {
        if (!channel.loop || channel.failed) {
            continue;
        }
        if (looped == nullptr) {
            looped = &channel;
        } else if (*channel.loop != *looped->loop) {
            errors.add(channel.loopPlace.line, channel.loopPlace.column,
                       "expected L at the same time in every channel (as at line " +
                           std::to_string(looped->loopPlace.line) + "), found it " + beats(*channel.loop) +
                           " in, not " + beats(*looped->loop));
        }
    }
    return looped;
}

// A note as the song plays it.
struct Strike {
    std::size_t voice;
    const MmlNote* note;
    int volume;          // SetVolume's steps at the start: the channel's level times the envelope's first value
    int pitch;           // the table index at the start: the note's, moved by the arpeggio's first offset
    double release;      // the frame its gate should close in (sustained voices)
};

// An envelope's step inside a note: what changes a tick from its start.
struct Tick {
    double target;       // the frame it falls in
    std::size_t voice;
    int volume;          // new steps, or -1
    int pitch;           // new table index, or -1
    std::size_t line;    // the note's MML line
};

// What the song's frames are planned around: exact times, in order.
enum class Mark { Notes, Restrike, Loop, End };

struct Exact {
    Mark mark;
    std::uint64_t units = 0;       // Notes: when they start
    std::size_t voice = 0;         // Restrike
    HoldStep step{};               // Restrike
};

int volumeSteps(double level, int envelopeValue)
{
    const double steps = kUnityVolume * level * envelopeValue / 15.0;
    return static_cast<int>(std::clamp(std::lround(steps), 0L, 255L));
}

class SongPlanner {
public:
    SongPlanner(MmlResult& result, const MmlSource& source, const std::array<MmlChannel, kMmlChannels>& channels,
                const MmlTempoMap& tempo, const MmlChannel* looped)
        : result_(result), source_(source), channels_(channels), tempo_(tempo), looped_(looped)
    {
        const int first = tempo.first();
        fine_ = source.rowsPerBeat == 0;
        if (fine_) {
            // Rows of at most 2 ms, and a tempo byte that is the music's
            // (or a multiple of it for slow songs), so that the file reads
            // in beats.
            const int times = (kFineTempo + first - 1) / first;
            result.tempo = first * times;
            result.rowsPerBeat = kFineRowsPerBeat;
        } else {
            result.tempo = first;
            result.rowsPerBeat = source.rowsPerBeat;
        }
        result.beatsPerMinute = first;
        rowDuration_ = 60.0f / (static_cast<float>(result.rowsPerBeat) * static_cast<float>(result.tempo));
    }

    void write()
    {
        result_.song = {static_cast<std::uint8_t>(result_.tempo), static_cast<std::uint8_t>(result_.rowsPerBeat)};
        if (!source_.title.empty()) {
            result_.text.push_back({"", "title: " + printable(source_.title)});
        }
        if (!source_.composer.empty()) {
            result_.text.push_back({"", "composer: " + printable(source_.composer)});
        }
        result_.text.push_back({"tempo " + std::to_string(result_.tempo) + " " + std::to_string(result_.rowsPerBeat),
                                headerComment()});
        MmlWriter writer(result_, rowDuration_);
        writer_ = &writer;
        plan();
        run();
        writer_ = nullptr;
    }

private:
    std::string headerComment() const
    {
        char text[160];
        if (fine_) {
            std::snprintf(text, sizeof text, "t%d; rows of %.3f ms, every note within 1 ms of its time",
                          result_.beatsPerMinute, 1000.0 * rowDuration_);
        } else {
            std::snprintf(text, sizeof text, "t%d; #rows %d: %d rows a beat, notes on the nearest row",
                          result_.beatsPerMinute, result_.rowsPerBeat, result_.rowsPerBeat);
        }
        return text;
    }

    // The frame `units` falls in; a voice's own events come `voice` frames
    // later (a note a frame, in voice order), as far as its gate is concerned.
    double frameOf(double units, std::size_t voice) const
    {
        return tempo_.seconds(units) * kFramesPerSecond + static_cast<double>(voice);
    }

    // The notes by the time they start, the envelopes' steps, the loop
    // point and the end.
    void plan()
    {
        std::uint64_t end = 0;
        for (std::size_t voice = 0; voice < kMmlChannels; ++voice) {
            const MmlChannel& channel = channels_[voice];
            end = std::max(end, channel.end);
            for (const MmlNote& note : channel.notes) {
                strikes_[note.start].push_back(strike(voice, note));
                addTicks(voice, note);
            }
        }
        for (const auto& [units, group] : strikes_) {
            exacts_.insert({frameOf(static_cast<double>(units), 0), {Mark::Notes, units, 0, {}}});
        }
        if (looped_ && *looped_->loop > 0) {
            exacts_.insert({frameOf(static_cast<double>(*looped_->loop), 0) - 0.25, {Mark::Loop, *looped_->loop, 0, {}}});
        }
        endUnits_ = end;
        exacts_.insert({frameOf(static_cast<double>(end), 0) + 1e12, {Mark::End, end, 0, {}}});
        std::stable_sort(ticks_.begin(), ticks_.end(), [](const Tick& a, const Tick& b) { return a.target < b.target; });
    }

    Strike strike(std::size_t voice, const MmlNote& note) const
    {
        const int envelope = note.volumeEnvelope ? source_.volumeEnvelopes.at(note.volumeEnvelope).at(0) : 15;
        const int offset = note.arpeggio ? source_.arpeggios.at(note.arpeggio).at(0) : 0;
        const double gated = static_cast<double>(note.start) +
                             static_cast<double>(note.length) * note.gateEighths / 8.0;
        return {voice, &note, volumeSteps(note.level, envelope), note.pitch + offset, frameOf(gated, voice)};
    }

    // The envelope's steps while the note sounds: to its gate's end on a
    // cycling voice, to its length's on a hit.
    void addTicks(std::size_t voice, const MmlNote& note)
    {
        if (note.volumeEnvelope == 0 && note.arpeggio == 0) {
            return;
        }
        const MmlEnvelope* volume = note.volumeEnvelope ? &source_.volumeEnvelopes.at(note.volumeEnvelope) : nullptr;
        const MmlEnvelope* arpeggio = note.arpeggio ? &source_.arpeggios.at(note.arpeggio) : nullptr;
        const double unitsPerTick = static_cast<double>(kUnitsPerBeat) / source_.ticksPerBeat;
        const double until = static_cast<double>(note.start) +
                             static_cast<double>(note.length) * (voice < kHitVoices ? note.gateEighths / 8.0 : 1.0);
        for (std::uint64_t tick = 1;; ++tick) {
            const double at = static_cast<double>(note.start) + static_cast<double>(tick) * unitsPerTick;
            if (at >= until) {
                break;
            }
            int volumeNow = -1;
            int pitchNow = -1;
            if (volume && volume->at(tick) != volume->at(tick - 1)) {
                volumeNow = volumeSteps(note.level, volume->at(tick));
            }
            if (arpeggio && arpeggio->at(tick) != arpeggio->at(tick - 1)) {
                pitchNow = note.pitch + arpeggio->at(tick);
            }
            if (volumeNow >= 0 || pitchNow >= 0) {
                ticks_.push_back({frameOf(at, 0), voice, volumeNow, pitchNow, note.place.line});
            }
            // A value held for good changes nothing more.
            if ((!volume || (!volume->loop && tick >= volume->values.size())) &&
                (!arpeggio || (!arpeggio->loop && tick >= arpeggio->values.size()))) {
                break;
            }
        }
    }

    void run()
    {
        while (!exacts_.empty() && !writer_->full()) {
            decideHolds();
            const auto next = exacts_.begin();
            const double frame = targetOf(*next);
            if (tickAt_ < ticks_.size() && ticks_[tickAt_].target < frame - 0.5) {
                playTicks(static_cast<std::uint64_t>(std::max(0.0, std::floor(frame))));
                continue;
            }
            const Exact item = next->second;
            exacts_.erase(next);
            switch (item.mark) {
            case Mark::Notes: playNotes(item.units); break;
            case Mark::Restrike: playRestrike(item.voice, item.step); break;
            case Mark::Loop: markLoop(item.units); break;
            case Mark::End: playEnd(); break;
            }
        }
    }

    double targetOf(const std::pair<const double, Exact>& entry) const
    {
        if (entry.second.mark == Mark::End) {
            return frameOf(static_cast<double>(entry.second.units), 0) - 1.0;
        }
        return entry.first;
    }

    // The envelope steps due before frame `before`, at one time.
    void playTicks(std::uint64_t before)
    {
        const double target = ticks_[tickAt_].target;
        writer_->waitNearest(target, before > 0 ? before - 1 : 0);
        while (tickAt_ < ticks_.size() && ticks_[tickAt_].target < std::max(target + 1.0, static_cast<double>(writer_->frame()) + 0.5)) {
            sendTick(ticks_[tickAt_]);
            ++tickAt_;
        }
    }

    // Steps due by now, sent ahead of what is played at this frame.
    void catchUpTicks(double upTo)
    {
        while (tickAt_ < ticks_.size() && ticks_[tickAt_].target < upTo) {
            sendTick(ticks_[tickAt_]);
            ++tickAt_;
        }
    }

    void sendTick(const Tick& tick)
    {
        writer_->from(tick.line);
        const auto voice = static_cast<std::uint8_t>(tick.voice);
        if (tick.volume >= 0 && tick.volume != volumes_[tick.voice]) {
            writer_->event(voice, Command::SetVolume, tick.volume);
            volumes_[tick.voice] = tick.volume;
        }
        if (tick.pitch >= 0 && tick.pitch != pitches_[tick.voice]) {
            writer_->event(voice, Command::SetPitch, tick.pitch);
            pitches_[tick.voice] = tick.pitch;
            if (tick.voice < kHitVoices && holds_[tick.voice]) {
                holds_[tick.voice]->pitchChanged(writer_->frame(), tick.pitch);
            }
        }
    }

    void playNotes(std::uint64_t units)
    {
        const std::vector<Strike>& group = strikes_.at(units);
        // The first voice's note as near its time as rows reach, the others
        // in the frames after it, a frame each.
        writer_->waitNearest(frameOf(static_cast<double>(units), 0), UINT64_MAX);
        catchUpTicks(static_cast<double>(writer_->frame()) + 0.5);
        result_.text.push_back({"", barBeat(units)});
        for (const Strike& strike : group) {
            const std::size_t voice = strike.voice;
            const MmlNote& note = *strike.note;
            writer_->from(note.place.line);
            if (voice < kHitVoices) {
                holds_[voice].reset();  // a new note ends what the voice held
            }
            const auto v = static_cast<std::uint8_t>(voice);
            if (pitches_[voice] != strike.pitch) {
                writer_->event(v, Command::SetPitch, strike.pitch);
                pitches_[voice] = strike.pitch;
            }
            if (volumes_[voice] != strike.volume) {
                writer_->event(v, Command::SetVolume, strike.volume);
                volumes_[voice] = strike.volume;
            }
            const std::string from = std::string(1, channelLetter(voice)) + ", line " + std::to_string(note.place.line);
            const std::uint64_t at = writer_->frame();
            int gate = 0;
            if (voice < kHitVoices) {
                gate = gateRows(at, strike.release);
                const bool tooLong =
                    static_cast<double>(at + writer_->waitFrames(kMaxRows)) < strike.release - writer_->waitFrames(1) / 2.0;
                if (tooLong && fine_ && restrikes_ >= kMaxRestrikes) {
                    warnCut(note, strike.release - frameOf(static_cast<double>(note.start), voice),
                            "held notes outlast their gates at most " + std::to_string(kMaxRestrikes) +
                                " times a song");
                } else if (tooLong && fine_) {
                    // Longer than one gate holds: struck again, seamlessly,
                    // before the gate closes, until the last gate ends on time.
                    gate = kMaxRows;
                    holds_[voice].emplace(voice, at, strike.release, strike.pitch, note);
                } else if (tooLong) {
                    warnCut(note, strike.release - frameOf(static_cast<double>(note.start), voice));
                }
            }
            writer_->event(v, Command::NoteOn, gate, from);
        }
    }

    // The rows of the gate whose end comes nearest `release`, at least one.
    int gateRows(std::uint64_t at, double release) const
    {
        return writer_->rowsNearest(release - static_cast<double>(at));
    }

    void warnCut(const MmlNote& note, double frames, const std::string& why = "")
    {
        char text[200];
        if (why.empty()) {
            std::snprintf(text, sizeof text,
                          "expected a note a gate of %d rows can hold (%.3f s at #rows %d), found one of %.3f s: cut "
                          "there",
                          kMaxRows, static_cast<double>(writer_->waitFrames(kMaxRows)) / kFramesPerSecond,
                          result_.rowsPerBeat, frames / kFramesPerSecond);
        } else {
            std::snprintf(text, sizeof text, "%s: this note of %.3f s is cut short", why.c_str(),
                          frames / kFramesPerSecond);
        }
        result_.warnings.push_back({note.place.line, note.place.column, text});
    }

    // Where a held note is struck again: decided once the writer is close
    // to the gate's end, at the frame whose restart is the most seamless,
    // before anything else is played (which would move the frames that
    // waits reach).
    void decideHolds()
    {
        for (std::size_t voice = 0; voice < kHitVoices; ++voice) {
            std::optional<MmlHold>& hold = holds_[voice];
            if (!hold || hold->scheduled()) {
                continue;
            }
            const std::uint64_t deadline = hold->deadline(*writer_);
            const double nextExact = targetOf(*exacts_.begin());
            const double nextTick = tickAt_ < ticks_.size() ? ticks_[tickAt_].target : 1e300;
            const double next = std::min(nextExact, nextTick);
            if (next < static_cast<double>(deadline) - static_cast<double>(kHoldWindow)) {
                continue;  // the writer gets there first
            }
            // Clear of where the next event may land.
            const double clear = next - static_cast<double>(writer_->waitFrames(1)) - 2.0;
            const std::uint64_t until =
                std::min<std::uint64_t>(deadline, clear > 0.0 ? static_cast<std::uint64_t>(clear) : 0);
            const std::uint64_t from = std::max(writer_->frame(), deadline > kHoldWindow ? deadline - kHoldWindow : 0);
            const bool lastChance = until >= deadline || clear < static_cast<double>(from);
            if (until < from && !lastChance) {
                continue;
            }
            if (std::optional<HoldStep> step = hold->choose(*writer_, std::min(from, until), until, lastChance)) {
                hold->schedule();
                exacts_.insert({static_cast<double>(step->frame) - 0.5, Exact{Mark::Restrike, 0, voice, *step}});
            }
        }
    }

    void playRestrike(std::size_t voice, const HoldStep& step)
    {
        std::optional<MmlHold>& hold = holds_[voice];
        if (!hold) {
            return;  // the note ended first
        }
        writer_->waitExactly(step.frame, Command::Wait);
        catchUpTicks(static_cast<double>(step.frame) + 0.5);
        writer_->from(hold->note()->place.line);
        const auto v = static_cast<std::uint8_t>(voice);
        const int pitch = pitches_[voice];
        if (step.pitch != pitch) {
            writer_->event(v, Command::SetPitch, step.pitch, "for the restart's first frame");
        }
        writer_->event(v, Command::NoteOn, step.rows,
                       std::string(1, channelLetter(voice)) + ", line " + std::to_string(hold->note()->place.line) +
                           ": held on");
        if (step.pitch != pitch) {
            writer_->event(v, Command::SetPitch, pitch);
        }
        ++restrikes_;
        if (step.last) {
            hold.reset();
        } else if (restrikes_ >= kMaxRestrikes) {
            // The limit: this gate is its last.
            const MmlNote& note = *hold->note();
            warnCut(note, hold->release() - frameOf(static_cast<double>(note.start), voice),
                    "held notes outlast their gates at most " + std::to_string(kMaxRestrikes) + " times a song");
            hold.reset();
        } else {
            hold->struck(step.frame, step.pitch, pitch);
        }
    }

    void markLoop(std::uint64_t units)
    {
        writer_->waitNearest(frameOf(static_cast<double>(units), 0), UINT64_MAX, Command::LoopStart,
                             "L: the loop point is the next event");
        // The song comes back here from its end with whatever the end left:
        // nothing is assumed of a voice from now on.
        pitches_.fill(-1);
        volumes_.fill(-1);
    }

    void playEnd()
    {
        catchUpTicks(1e300);
        // LoopEnd a frame before the end, so that the loop point's events
        // come back exactly at the end's frame.
        writer_->waitNearest(frameOf(static_cast<double>(endUnits_), 0) - 1.0, UINT64_MAX);
        writer_->event(0, Command::LoopEnd, 0,
                       looped_ ? "the end: sqn2wav stops here, sqnplay goes round to L"
                               : "the end: sqn2wav stops here, sqnplay goes round");
    }

    MmlResult& result_;
    const MmlSource& source_;
    const std::array<MmlChannel, kMmlChannels>& channels_;
    const MmlTempoMap& tempo_;
    const MmlChannel* looped_;
    bool fine_ = true;  // the compiler's own grid (not #rows): held notes are struck again
    float rowDuration_ = 0.0f;
    MmlWriter* writer_ = nullptr;
    std::map<std::uint64_t, std::vector<Strike>> strikes_;  // by start, in voice order
    std::multimap<double, Exact> exacts_;                   // by frame
    std::vector<Tick> ticks_;                               // by frame
    std::size_t tickAt_ = 0;                                // the next to send
    std::uint64_t endUnits_ = 0;
    std::uint64_t restrikes_ = 0;
    // What each voice's pitch and volume are, or -1 where they are not
    // known: at the start, and at the loop point.
    std::array<int, kVoiceCount> pitches_{-1, -1, -1, -1, -1, -1};
    std::array<int, kVoiceCount> volumes_{-1, -1, -1, -1, -1, -1};
    std::array<std::optional<MmlHold>, kHitVoices> holds_;
};

}  // namespace

MmlResult compileMml(std::string_view text)
{
    MmlResult result;
    MmlErrors errors;
    const MmlSource source = splitMml(text, errors);
    MmlBudget budget;
    std::array<MmlChannel, kMmlChannels> channels;
    for (std::size_t voice = 0; voice < kMmlChannels; ++voice) {
        channels[voice] = parseMmlChannel(source.channels[voice], source, budget, errors);
    }
    const MmlChannel* looped = checkLoops(channels, errors);
    const MmlTempoMap tempo(channels, errors);
    // Longer music is no song (and would take its waits by the million).
    for (std::size_t voice = 0; voice < kMmlChannels && errors.empty(); ++voice) {
        const MmlChannel& channel = channels[voice];
        const double hours = tempo.seconds(channel.end) / 3600.0;
        if (hours > kMaxHours) {
            char text[120];
            std::snprintf(text, sizeof text, "expected a song of at most %d hours, found channel %c %.1f hours long",
                          kMaxHours, channelLetter(voice), hours);
            errors.add(channel.place.line, channel.place.column, text);
        }
    }
    result.title = source.title;
    result.composer = source.composer;
    if (!errors.empty()) {
        result.errors = errors.shown();
        result.errorCount = errors.count();
        return result;
    }
    SongPlanner(result, source, channels, tempo, looped).write();
    std::stable_sort(result.warnings.begin(), result.warnings.end(), [](const TextError& a, const TextError& b) {
        return a.line != b.line ? a.line < b.line : a.column < b.column;
    });
    if (result.song.size() > kMaxSongBytes) {
        result.errors.push_back({1, 1, "expected a song of at most " + std::to_string(kMaxSongBytes) +
                                           " bytes, found more"});
        result.errorCount = 1;
        result.song.clear();
        result.text.clear();
        result.eventLines.clear();
        result.warnings.clear();
    }
    return result;
}

std::string mmlTextForm(const std::vector<MmlLine>& lines)
{
    std::string text;
    for (const MmlLine& line : lines) {
        text += line.statement.empty() ? "# " + line.comment + "\n" : textLine(line.statement, line.comment);
    }
    return text;
}

bool namesMml(const std::string& path)
{
    return hasEnding(path, ".mml");
}
