#include "mml_planner.h"

#include "mml_hold.h"
#include "mml_ticks.h"
#include "mml_writer.h"
#include "output_format.h"
#include "printable.h"
#include "song_event.h"
#include "song_map.h"
#include "song_player.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <optional>
#include <string>

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
constexpr std::size_t kHitVoices = 4;  // voices 4 and 5 play one-shots
constexpr double kFramesPerSecond = static_cast<double>(kOutputRate);
// Frames past its target that something written may end in: half a row,
// and a frame for each note of a group.
constexpr double kLanding = 64.0;
// The least stretch before a gate closes worth leaving a restart to.
constexpr double kLeastWindow = 400.0;
constexpr double kNever = std::numeric_limits<double>::infinity();

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

// What the song's frames are planned around: exact times, in order.
enum class Mark { Notes, Restrike, Loop, End };

struct Exact {
    Mark mark;
    std::uint64_t units = 0;       // Notes: when they start
    std::size_t voice = 0;         // Restrike
    HoldStep step{};               // Restrike
};

class SongPlanner {
public:
    SongPlanner(MmlResult& result, const MmlSource& source, const std::array<MmlChannel, kMmlChannels>& channels,
                const MmlTempoMap& tempo, const MmlChannel* looped, bool textForm,
                const std::function<std::string(std::size_t)>& lineName)
        : lineName_(lineName),
          result_(result),
          source_(source),
          channels_(channels),
          tempo_(tempo),
          looped_(looped),
          ticks_(channels, source, tempo)
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
        writer_.emplace(result, rowDuration_, textForm);
    }

    void write()
    {
        result_.song = {static_cast<std::uint8_t>(result_.tempo), static_cast<std::uint8_t>(result_.rowsPerBeat)};
        if (!source_.title.empty()) {
            writer_->comment("title: " + printable(source_.title));
        }
        if (!source_.composer.empty()) {
            writer_->comment("composer: " + printable(source_.composer));
        }
        if (writer_->textForm()) {
            result_.text.push_back({"tempo " + std::to_string(result_.tempo) + " " +
                                        std::to_string(result_.rowsPerBeat),
                                    headerComment(), 0});
        }
        markMusic();
        plan();
        run();
        result_.warnings = warnings_.shown();
        result_.warningCount = warnings_.count();
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

    // The song's musical time, as map records: the cues' names, the tempo
    // and meter at the start, and then every tempo change and cue where
    // it falls.
    void markMusic()
    {
        std::vector<const MmlCue*> cues;
        for (const MmlChannel& channel : channels_) {
            for (const MmlCue& cue : channel.cues) {
                cues.push_back(&cue);
            }
        }
        std::stable_sort(cues.begin(), cues.end(), [](const MmlCue* a, const MmlCue* b) { return a->start < b->start; });
        std::vector<std::string> names;
        std::vector<std::pair<std::uint64_t, std::uint8_t>> marked;  // (units, index): channels naming one place
        for (const MmlCue* cue : cues) {
            auto found = std::find(names.begin(), names.end(), cue->name);
            if (found == names.end()) {
                if (names.size() == kMaxCues) {
                    continue;  // told as an error where it stands: never reached
                }
                writer_->mark(0.0, 0, MapKind::CueName, cueNameData(static_cast<std::uint8_t>(names.size()), cue->name));
                names.push_back(cue->name);
                found = names.end() - 1;
            }
            const auto index = static_cast<std::uint8_t>(found - names.begin());
            if (std::find(marked.begin(), marked.end(), std::pair{cue->start, index}) != marked.end()) {
                continue;
            }
            marked.emplace_back(cue->start, index);
            writer_->mark(frameOf(static_cast<double>(cue->start), 0), cue->start, MapKind::Cue, {index});
        }
        writer_->mark(0.0, 0, MapKind::BeatsPerMinute, {static_cast<std::uint8_t>(tempo_.first())});
        writer_->mark(0.0, 0, MapKind::Meter, {static_cast<std::uint8_t>(source_.beatsPerBar), 4});
        for (const auto& [units, beatsPerMinute] : tempo_.changes()) {
            writer_->mark(frameOf(static_cast<double>(units), 0), units, MapKind::BeatsPerMinute,
                          {static_cast<std::uint8_t>(beatsPerMinute)});
        }
        // What stands at the start, before any event.
        writer_->writeMarksBefore(0.5);
    }

    // The frame `units` falls in; a voice's own events come `voice` frames
    // later (a note a frame, in voice order), as far as its gate is concerned.
    double frameOf(double units, std::size_t voice) const
    {
        return tempo_.seconds(units) * kFramesPerSecond + static_cast<double>(voice);
    }

    // The first notes to come, the loop point and the end; later notes
    // are queued as each group is played.
    void plan()
    {
        std::uint64_t end = 0;
        for (const MmlChannel& channel : channels_) {
            end = std::max(end, channel.end);
        }
        queueNotes();
        if (looped_ && *looped_->loop > 0) {
            exacts_.insert({frameOf(static_cast<double>(*looped_->loop), 0) - 0.25, {Mark::Loop, *looped_->loop, 0, {}}});
        }
        endUnits_ = end;
        exacts_.insert({frameOf(static_cast<double>(end), 0) + 1e12, {Mark::End, end, 0, {}}});
    }

    // The next notes to strike, all that start at one time.
    void queueNotes()
    {
        std::optional<std::uint64_t> first;
        for (std::size_t voice = 0; voice < kMmlChannels; ++voice) {
            const std::vector<MmlNote>& notes = channels_[voice].notes;
            if (nextNote_[voice] < notes.size() && (!first || notes[nextNote_[voice]].start < *first)) {
                first = notes[nextNote_[voice]].start;
            }
        }
        if (first) {
            exacts_.insert({frameOf(static_cast<double>(*first), 0), {Mark::Notes, *first, 0, {}}});
        }
    }

    void run()
    {
        while (!exacts_.empty() && !writer_->full()) {
            decideHolds();
            const auto next = exacts_.begin();
            const double frame = targetOf(*next);
            if (!ticks_.empty() && ticks_.front().target < frame - 0.5) {
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
        const double target = ticks_.front().target;
        writer_->waitNearest(target, before > 0 ? before - 1 : 0);
        const double upTo = std::max(target + 1.0, static_cast<double>(writer_->frame()) + 0.5);
        while (!ticks_.empty() && ticks_.front().target < upTo) {
            sendTick(ticks_.front());
            ticks_.pop();
        }
    }

    // Steps due by now, sent ahead of what is played at this frame.
    void catchUpTicks(double upTo)
    {
        while (!ticks_.empty() && ticks_.front().target < upTo) {
            sendTick(ticks_.front());
            ticks_.pop();
        }
    }

    void sendTick(const MmlTick& tick)
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
        // The first voice's note as near its time as rows reach, the others
        // in the frames after it, a frame each.
        writer_->waitNearest(frameOf(static_cast<double>(units), 0), UINT64_MAX);
        catchUpTicks(static_cast<double>(writer_->frame()) + 0.5);
        if (writer_->textForm()) {
            writer_->comment(barBeat(units));
        }
        writer_->writeCues(units);  // taken in the frame the notes are struck in
        for (std::size_t voice = 0; voice < kMmlChannels; ++voice) {
            const std::vector<MmlNote>& notes = channels_[voice].notes;
            if (nextNote_[voice] < notes.size() && notes[nextNote_[voice]].start == units) {
                strike(voice, notes[nextNote_[voice]++]);
            }
        }
        queueNotes();
    }

    void strike(std::size_t voice, const MmlNote& note)
    {
        const int envelope = note.volumeEnvelope ? source_.volumeEnvelopes.at(note.volumeEnvelope).at(0) : 15;
        const int volume = mmlVolumeSteps(note.level, envelope);
        const int pitch = mmlStartPitch(note, source_);
        // The frame its gate should close in (sustained voices): its share,
        // and its volume envelope's release after it.
        const double release = frameOf(note.shareEnd() + static_cast<double>(note.releaseUnits), voice);

        writer_->from(note.place.line);
        if (voice < kHitVoices) {
            holds_[voice].reset();  // a new note ends what the voice held
        }
        const auto v = static_cast<std::uint8_t>(voice);
        if (pitches_[voice] != pitch) {
            writer_->event(v, Command::SetPitch, pitch);
            pitches_[voice] = pitch;
        }
        if (volumes_[voice] != volume) {
            writer_->event(v, Command::SetVolume, volume);
            volumes_[voice] = volume;
        }
        const std::uint64_t at = writer_->frame();
        int gate = 0;
        if (voice < kHitVoices) {
            gate = writer_->rowsNearest(release - static_cast<double>(at));
            const bool tooLong =
                static_cast<double>(at + writer_->waitFrames(kMaxRows)) < release - writer_->waitFrames(1) / 2.0;
            if (tooLong && fine_ && restrikes_ >= kMaxRestrikes) {
                warnCut(note, release - frameOf(static_cast<double>(note.start), voice), restrikeLimit());
            } else if (tooLong && fine_) {
                // Longer than one gate holds: struck again, seamlessly,
                // before the gate closes, until the last gate ends on time.
                gate = kMaxRows;
                holds_[voice].emplace(voice, at, release, pitch, note);
            } else if (tooLong) {
                warnCut(note, release - frameOf(static_cast<double>(note.start), voice));
            }
        }
        writer_->event(v, Command::NoteOn, gate,
                       writer_->textForm() ? std::string(1, channelLetter(voice)) + ", line " +
                                                 lineName_(note.place.line)
                                           : std::string());
    }

    static std::string restrikeLimit()
    {
        return "held notes outlast their gates at most " + std::to_string(kMaxRestrikes) + " times a song";
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
        warnings_.add(note.place.line, note.place.column, text);
    }

    // The frames restarts are already planned for: one NoteOn a frame.
    std::vector<std::uint64_t> takenFrames() const
    {
        std::vector<std::uint64_t> taken;
        for (const auto& [key, item] : exacts_) {
            if (item.mark == Mark::Restrike) {
                taken.push_back(item.step.frame);
            }
        }
        return taken;
    }

    // Where the writer goes on its way to frame `until`: for each group of
    // envelope steps written together before it, the target of its first
    // and the frame waits reach nearest it, and for each restart planned
    // before it, its frame and the one after.
    std::vector<std::pair<double, std::uint64_t>> pathTo(double until) const
    {
        std::vector<std::pair<double, std::uint64_t>> path;
        const std::vector<std::uint64_t> restarts = takenFrames();  // in order
        auto restart = restarts.begin();
        MmlTicks ahead = ticks_;
        std::uint64_t frame = writer_->frame();
        for (;;) {
            const double tick = ahead.empty() ? kNever : ahead.front().target;
            const double struck = restart == restarts.end() ? kNever : static_cast<double>(*restart) - 0.5;
            if (std::min(tick, struck) >= until) {
                break;
            }
            if (struck <= tick) {
                frame = *restart++ + 1;
                path.emplace_back(struck, frame);
                continue;
            }
            frame = writer_->nearestLanding(frame, tick, UINT64_MAX);
            path.emplace_back(tick, frame);
            const double upTo = std::max(tick + 1.0, static_cast<double>(frame) + 0.5);
            while (!ahead.empty() && ahead.front().target < upTo) {
                ahead.pop();
            }
        }
        return path;
    }

    // Where a held note is struck again. A restart is planned once what
    // comes next may be written into the last stretch before its gate
    // closes, at the frame whose restart is the most seamless: in the
    // stretch before the voice's pitch next changes (its playhead is then
    // known) and before the next notes (which keep their times), leaving
    // the decision to a later stretch while one big enough is left.
    void decideHolds()
    {
        for (std::size_t voice = 0; voice < kHitVoices; ++voice) {
            std::optional<MmlHold>& hold = holds_[voice];
            if (!hold || hold->scheduled()) {
                continue;
            }
            const std::uint64_t deadline = hold->deadline(*writer_);
            const std::uint64_t at = writer_->frame();
            double blocking = kNever;  // notes, the loop point or the end
            for (const auto& entry : exacts_) {
                if (entry.second.mark != Mark::Restrike) {
                    blocking = std::min(blocking, targetOf(entry));
                }
            }
            const double nextTick = ticks_.empty() ? kNever : ticks_.front().target;
            const double windowStart = deadline > kHoldWindow ? static_cast<double>(deadline - kHoldWindow) : 0.0;
            if (std::min(blocking, nextTick) + kLanding < windowStart) {
                continue;  // what comes next is written before the window opens
            }
            const double ownPitch = ticks_.nextPitch(voice, static_cast<double>(deadline) + 1.0);
            const double closes = std::min({static_cast<double>(deadline), ownPitch - 2.0, blocking - 2.0});
            const double reopens = std::min(ownPitch, blocking) + kLanding;
            const bool lastChance =
                closes >= static_cast<double>(deadline) || reopens + kLeastWindow > static_cast<double>(deadline);
            const std::uint64_t from = std::max(at, static_cast<std::uint64_t>(windowStart));
            std::uint64_t until = closes >= 0.0 ? static_cast<std::uint64_t>(closes) : 0;
            if (until < from) {
                if (!lastChance) {
                    continue;  // the pitch change or the notes first
                }
                // Nothing is left before what comes next: the restart
                // before it all the same, as near the deadline as may be.
                until = std::max(from, std::min(deadline, blocking >= 2.0 ? static_cast<std::uint64_t>(blocking - 2.0)
                                                                          : from));
            }
            const std::vector<std::pair<double, std::uint64_t>> path = pathTo(static_cast<double>(until));
            const auto fillsTo = [&](std::uint64_t frame) {
                // From where the last envelope steps written before the
                // restart leave the writer (no later than two frames before).
                std::uint64_t landed = at;
                for (const auto& [target, landing] : path) {
                    if (target >= static_cast<double>(frame) - 1.0) {
                        break;
                    }
                    landed = landing + 2 <= frame ? landing : writer_->nearestLanding(landed, target, frame - 2);
                }
                return writer_->fillsBetween(landed, frame);
            };
            if (std::optional<HoldStep> step = hold->choose(*writer_, from, until, lastChance, takenFrames(), fillsTo)) {
                hold->schedule();
                exacts_.insert({static_cast<double>(step->frame) - 0.5, Exact{Mark::Restrike, 0, voice, *step}});
            }
        }
    }

    void playRestrike(std::size_t voice, HoldStep step)
    {
        std::optional<MmlHold>& hold = holds_[voice];
        if (!hold) {
            return;  // the note ended first
        }
        writer_->waitExactly(step.frame, Command::Wait);
        catchUpTicks(static_cast<double>(step.frame) + 0.5);
        if (writer_->frame() != step.frame && step.last) {
            // Never planned so, but the gate still ends on time.
            step.rows = writer_->rowsNearest(hold->release() - static_cast<double>(writer_->frame()));
        }
        writer_->from(hold->note()->place.line);
        const auto v = static_cast<std::uint8_t>(voice);
        const int pitch = pitches_[voice];
        const bool texts = writer_->textForm();
        if (step.pitch != pitch) {
            writer_->event(v, Command::SetPitch, step.pitch, texts ? "for the restart's first frame" : "");
        }
        const std::uint64_t frame = writer_->frame();
        writer_->event(v, Command::NoteOn, step.rows,
                       texts ? std::string(1, channelLetter(voice)) + ", line " +
                                   lineName_(hold->note()->place.line) + ": held on"
                             : std::string());
        if (step.pitch != pitch) {
            writer_->event(v, Command::SetPitch, pitch);
        }
        ++restrikes_;
        if (step.last) {
            hold.reset();
        } else if (restrikes_ >= kMaxRestrikes) {
            // The limit: this gate is its last.
            const MmlNote& note = *hold->note();
            warnCut(note, hold->release() - frameOf(static_cast<double>(note.start), voice), restrikeLimit());
            hold.reset();
        } else {
            hold->struck(frame, step.pitch, pitch);
        }
    }

    void markLoop(std::uint64_t units)
    {
        const double exact = frameOf(static_cast<double>(units), 0);
        const std::string comment = writer_->textForm() ? "L: the loop point is the next event" : "";
        if (fine_) {
            // On its exact frame, so that each pass round the loop is its
            // exact length to the frame.
            writer_->waitExactly(static_cast<std::uint64_t>(std::llround(exact)), Command::LoopStart, comment);
        } else {
            writer_->waitNearest(exact, UINT64_MAX, Command::LoopStart, comment);
        }
        loopFrame_ = writer_->frame();
        // The song comes back here from its end with whatever the end left:
        // nothing is assumed of a voice from now on.
        pitches_.fill(-1);
        volumes_.fill(-1);
    }

    void playEnd()
    {
        catchUpTicks(kNever);
        // LoopEnd a frame before the end, so that the loop point's events
        // come back exactly at the end's frame.
        const double end = frameOf(static_cast<double>(endUnits_), 0);
        if (fine_) {
            const bool looped = looped_ && *looped_->loop > 0;
            const double from = looped ? frameOf(static_cast<double>(*looped_->loop), 0) : 0.0;
            const auto pass = static_cast<std::uint64_t>(std::llround(end - from));
            if (pass > 0) {
                writer_->waitExactly(loopFrame_ + pass - 1, Command::Wait);
            }
        } else {
            writer_->waitNearest(end - 1.0, UINT64_MAX);
        }
        writer_->writeMarks();
        writer_->event(0, Command::LoopEnd, 0,
                       !writer_->textForm() ? ""
                       : looped_            ? "the end: sqn2wav stops here, sqnplay goes round to L"
                                            : "the end: sqn2wav stops here, sqnplay goes round");
    }

    const std::function<std::string(std::size_t)>& lineName_;
    MmlResult& result_;
    const MmlSource& source_;
    const std::array<MmlChannel, kMmlChannels>& channels_;
    const MmlTempoMap& tempo_;
    const MmlChannel* looped_;
    MmlTicks ticks_;
    bool fine_ = true;  // the compiler's own grid (not #rows): held notes are struck again
    float rowDuration_ = 0.0f;
    std::optional<MmlWriter> writer_;
    std::array<std::size_t, kMmlChannels> nextNote_{};  // each channel's next note to strike
    std::multimap<double, Exact> exacts_;               // by frame
    std::uint64_t endUnits_ = 0;
    std::uint64_t loopFrame_ = 0;  // where the loop point's first event is taken (0: the song's start)
    std::uint64_t restrikes_ = 0;
    MmlErrors warnings_;
    // What each voice's pitch and volume are, or -1 where they are not
    // known: at the start, and at the loop point.
    std::array<int, kVoiceCount> pitches_{-1, -1, -1, -1, -1, -1};
    std::array<int, kVoiceCount> volumes_{-1, -1, -1, -1, -1, -1};
    std::array<std::optional<MmlHold>, kHitVoices> holds_;
};

}  // namespace

void planMmlSong(MmlResult& result, const MmlSource& source, const std::array<MmlChannel, kMmlChannels>& channels,
                 const MmlTempoMap& tempo, const MmlChannel* looped, bool textForm,
                 const std::function<std::string(std::size_t)>& lineName)
{
    SongPlanner(result, source, channels, tempo, looped, textForm, lineName).write();
}
