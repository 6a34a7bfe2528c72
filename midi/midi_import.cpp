#include "midi_import.h"

#include "bar_beat.h"
#include "countdown.h"
#include "drum_map.h"
#include "memory_read.h"
#include "midi_map.h"
#include "output_format.h"
#include "sample_buffer.h"
#include "song_player.h"
#include "note_names.h"
#include "pitch_table.h"
#include "printable.h"
#include "song_event.h"
#include "song_text.h"
#include "tempo_map.h"
#include "voice.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <map>
#include <stdexcept>

namespace {

constexpr int kMelodicVoices = 4;            // voices 0–3 cycle
constexpr std::uint8_t kNoiseVoice = 4;      // the noise burst
constexpr int kMaxRows = 255;                // the longest wait or gate one event holds
constexpr int kOctave = 12;
constexpr double kMaxSeconds = 24 * 3600.0;  // longer music is refused
constexpr int kDefaultChannelVolume = 100;   // CC 7 until a file sets it
constexpr int kFullScale = 127;
constexpr int kKeys = 16 * 128;              // channel × note

struct Note {
    std::uint64_t tick = 0;      // where it starts in the file
    std::uint64_t endTick = 0;   // where it is released
    std::int64_t row = 0;        // the row it starts on
    int gate = 1;                // rows, 1 … 255 (melodic)
    int channel = 0;             // 0 … 15
    int key = 0;                 // MIDI note
    int pitch = 0;               // table index (melodic)
    int volume = 0;              // steps of 1/128
    bool drum = false;
    int voice = -1;              // -1 until given one, or dropped
    std::int64_t end() const { return row + gate; }
};

// Every note of the channels taken, in the order they start, with its
// volume as the controllers stand when it starts. Tracks are merged by tick.
std::vector<Note> collectNotes(const MidiFile& file, const ImportOptions& options, std::uint64_t& lastTick)
{
    std::vector<const MidiEvent*> events;
    for (const MidiTrack& track : file.tracks) {
        lastTick = std::max(lastTick, track.endTick);
        for (const MidiEvent& event : track.events) {
            if (event.kind != MidiEventKind::Tempo && event.kind != MidiEventKind::TimeSignature) {
                events.push_back(&event);
            }
        }
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const MidiEvent* a, const MidiEvent* b) { return a->tick < b->tick; });

    std::array<int, 16> channelVolume;
    std::array<int, 16> expression;
    channelVolume.fill(kDefaultChannelVolume);
    expression.fill(kFullScale);
    std::vector<Note> notes;
    std::vector<std::int64_t> open(kKeys, -1);  // the note sounding on each key, or -1

    const auto close = [&](int key, std::uint64_t tick) {
        if (open[key] >= 0) {
            notes[static_cast<std::size_t>(open[key])].endTick = tick;
            open[key] = -1;
        }
    };
    for (const MidiEvent* event : events) {
        const int key = event->channel * 128 + event->a;
        switch (event->kind) {
        case MidiEventKind::Controller:
            if (event->a == 7) {
                channelVolume[event->channel] = event->b;
            } else if (event->a == 11) {
                expression[event->channel] = event->b;
            } else if (event->a == 121) {  // reset all controllers
                expression[event->channel] = kFullScale;
            }
            break;
        case MidiEventKind::NoteOff:
            close(key, event->tick);
            break;
        case MidiEventKind::NoteOn: {
            // A note struck again before it was released starts over.
            close(key, event->tick);
            if (((options.channels >> event->channel) & 1u) == 0) {
                break;
            }
            Note note;
            note.tick = event->tick;
            note.endTick = lastTick;  // unless released
            note.channel = event->channel;
            note.key = event->a;
            note.drum = event->channel == options.drumChannel;
            const double volume = 128.0 * event->b / kFullScale * channelVolume[event->channel] / kFullScale *
                                  expression[event->channel] / kFullScale;
            note.volume = static_cast<int>(std::lround(volume));
            open[key] = static_cast<std::int64_t>(notes.size());
            notes.push_back(note);
            break;
        }
        default:
            break;
        }
    }
    return notes;
}

struct VoiceState {
    std::int64_t busyUntil = 0;  // the row its note's gate ends
    int note = -1;               // index of the note it plays
    int lastPitch = static_cast<int>(kUnityPitch);  // of its last note
};

// Gives each melodic note starting on `row` a voice, or drops it.
template <typename Dropped>
void allocateRow(std::vector<Note>& notes, const std::vector<int>& starting, std::int64_t row,
                 std::array<VoiceState, kMelodicVoices>& voices, const Dropped& dropped)
{
    std::vector<int> sounding;
    for (const VoiceState& voice : voices) {
        if (voice.busyUntil > row) {
            sounding.push_back(voice.note);
        }
    }
    std::vector<int> kept;
    if (sounding.size() + starting.size() <= kMelodicVoices) {
        kept = starting;
    } else {
        // The highest and the lowest of everything that would sound, then
        // what already sounds, then the new notes from the top down.
        std::vector<int> all = sounding;
        all.insert(all.end(), starting.begin(), starting.end());
        const auto byPitch = [&](int a, int b) { return notes[a].pitch < notes[b].pitch; };
        std::vector<int> chosen{*std::max_element(all.begin(), all.end(), byPitch)};
        const int lowest = *std::min_element(all.begin(), all.end(), byPitch);
        if (lowest != chosen[0]) {
            chosen.push_back(lowest);
        }
        std::vector<int> rest = sounding;
        std::vector<int> fresh = starting;
        std::stable_sort(fresh.begin(), fresh.end(), [&](int a, int b) { return byPitch(b, a); });
        rest.insert(rest.end(), fresh.begin(), fresh.end());
        for (int note : rest) {
            if (chosen.size() == kMelodicVoices) {
                break;
            }
            if (std::find(chosen.begin(), chosen.end(), note) == chosen.end()) {
                chosen.push_back(note);
            }
        }
        for (int note : starting) {
            if (std::find(chosen.begin(), chosen.end(), note) != chosen.end()) {
                kept.push_back(note);
            } else {
                dropped(note);
            }
        }
        // Sounding notes left out give up their voices, cut short.
        for (VoiceState& voice : voices) {
            if (voice.busyUntil > row && std::find(chosen.begin(), chosen.end(), voice.note) == chosen.end()) {
                voice.busyUntil = row;
                dropped(voice.note);
            }
        }
    }
    for (int note : kept) {
        int best = -1;
        for (int v = 0; v < kMelodicVoices; ++v) {
            if (voices[v].busyUntil > row) {
                continue;
            }
            if (best < 0 || std::abs(voices[v].lastPitch - notes[note].pitch) <
                                std::abs(voices[best].lastPitch - notes[note].pitch)) {
                best = v;
            }
        }
        notes[note].voice = best;
        voices[best] = {notes[note].end(), note, notes[note].pitch};
    }
}

constexpr float kFrameSeconds = 1.0f / static_cast<float>(kOutputRate);  // the player's dt
constexpr double kHeadroom = 0.8912509381337456;  // −1 dBFS
constexpr double kGoodMedianError = 0.005;        // seconds: a grid this close needs no finer one
// The longest row the grid may have: the waits keep each note within half
// a row of its time, making up whole rows for the frames the player spends
// taking events, so a row is the most a note moves when they do.
constexpr double kLongestRow = 0.0251;
constexpr int kGridCandidates[] = {4, 6, 8, 12, 16, 24, 32, 48, 64, 96, 128, 192};

// Writes the song's events and its text, knowing at which output frame the
// player will take the next event: NoteOn takes a frame, a wait its
// countdown and a frame more.
class SongWriter {
public:
    SongWriter(ImportResult& result, float rowDuration) : result_(result), rowDuration_(rowDuration) {}

    void event(std::uint8_t voice, Command command, int param, const std::string& comment = "")
    {
        const SongEvent event{voice, static_cast<std::uint8_t>(command), static_cast<std::uint16_t>(param)};
        result_.song.insert(result_.song.end(), {event.voice, event.command, static_cast<std::uint8_t>(param)});
        result_.text.push_back({eventStatement(event), comment});
        if (command == Command::NoteOn) {
            frame_ += 1;
        } else if (command == Command::Wait) {
            frame_ += waitFrames(param);
        }
    }

    // A map record, taken with the next event at no cost in time.
    void record(MapKind kind, const std::vector<std::uint8_t>& data, const std::string& comment)
    {
        for (const SongEvent& event : mapRecordEvents(kind, data)) {
            result_.song.insert(result_.song.end(), {event.voice, event.command, static_cast<std::uint8_t>(event.param)});
        }
        result_.text.push_back({mapRecordStatement(kind, data), comment});
    }

    // Waits so that the next event is taken at the frame nearest `target`:
    // a whole number of rows, in waits of at most 255 rows.
    void waitUntil(std::uint64_t target)
    {
        if (target <= frame_) {
            return;
        }
        const double rowFrames = static_cast<double>(rowDuration_) * kOutputRate;
        const auto guess = static_cast<std::int64_t>(std::llround(static_cast<double>(target - frame_) / rowFrames));
        std::int64_t best = 0;
        std::uint64_t bestMiss = target - frame_;
        for (std::int64_t rows = std::max<std::int64_t>(1, guess - 2); rows <= guess + 2; ++rows) {
            const std::uint64_t at = frame_ + framesFor(rows);
            const std::uint64_t miss = at > target ? at - target : target - at;
            if (miss < bestMiss) {
                best = rows;
                bestMiss = miss;
            }
        }
        for (std::int64_t left = best; left > 0; left -= kMaxRows) {
            event(0, Command::Wait, static_cast<int>(std::min<std::int64_t>(left, kMaxRows)));
        }
    }

    std::uint64_t frame() const { return frame_; }

private:
    // Frames from taking a wait of `rows` to taking the event after it.
    std::uint64_t waitFrames(int rows) const
    {
        Countdown countdown;
        countdown.set(static_cast<float>(rows) * rowDuration_);
        return 1 + countdown.stepsLeft(kFrameSeconds);
    }

    std::uint64_t framesFor(std::int64_t rows) const
    {
        std::uint64_t frames = 0;
        for (std::int64_t left = rows; left > 0; left -= kMaxRows) {
            frames += waitFrames(static_cast<int>(std::min<std::int64_t>(left, kMaxRows)));
        }
        return frames;
    }

    ImportResult& result_;
    float rowDuration_;
    std::uint64_t frame_ = 0;  // where the next event is taken
};

// The tempo, in whole beats a minute, that is in force for the most note
// time; 120 where the file has none.
int governingTempo(const std::vector<Note>& notes, const TempoMap& tempoMap)
{
    std::map<int, double> time;  // beats a minute → seconds of notes
    for (const Note& note : notes) {
        if (const auto bpm = tempoMap.beatsPerMinuteAt(note.tick)) {
            const int whole = static_cast<int>(std::clamp(std::lround(*bpm), 1L, 255L));
            time[whole] += tempoMap.seconds(note.endTick) - tempoMap.seconds(note.tick);
        }
    }
    int best = 120;
    double most = -1.0;
    for (const auto& [bpm, seconds] : time) {
        if (seconds > most) {
            best = bpm;
            most = seconds;
        }
    }
    return best;
}

// The median and largest distance of `starts` from their nearest rows.
std::pair<double, double> gridErrors(const std::vector<double>& starts, double rowSeconds)
{
    std::vector<double> errors;
    errors.reserve(starts.size());
    for (const double start : starts) {
        errors.push_back(std::abs(start - std::round(start / rowSeconds) * rowSeconds));
    }
    if (errors.empty()) {
        return {0.0, 0.0};
    }
    std::nth_element(errors.begin(), errors.begin() + static_cast<std::ptrdiff_t>(errors.size() / 2), errors.end());
    const double median = errors[errors.size() / 2];
    return {median, *std::max_element(errors.begin(), errors.end())};
}

// The player's row length, in single precision as it computes it.
float rowDurationOf(int tempo, int rowsPerBeat)
{
    return 60.0f / (static_cast<float>(rowsPerBeat) * static_cast<float>(tempo));
}

// The fewest rows a beat, of rows no longer than kLongestRow, that lie
// within kGoodMedianError of the notes' starts (median); else the candidate
// that comes closest.
int fittingRowsPerBeat(const std::vector<double>& starts, int tempo)
{
    int best = kGridCandidates[std::size(kGridCandidates) - 1];
    double bestMedian = 1e9;
    for (const int rows : kGridCandidates) {
        if (rowDurationOf(tempo, rows) > kLongestRow && rows != kGridCandidates[std::size(kGridCandidates) - 1]) {
            continue;
        }
        const double median = gridErrors(starts, rowDurationOf(tempo, rows)).first;
        if (median <= kGoodMedianError) {
            return rows;
        }
        if (median < bestMedian - 1e-9) {
            best = rows;
            bestMedian = median;
        }
    }
    return best;
}

// The largest absolute value of the mix, rendering the song as sqn2wav does
// (whole blocks, through the one in which it ends). Stretches in which no
// voice sounds are silence and are skipped in one go: a file whose notes
// are hours apart takes no longer than one whose notes are close.
double songPeak(const std::vector<std::uint8_t>& song)
{
    SongPlayer player;
    player.sampleRate = static_cast<float>(kOutputRate);
    player.looping = false;
    player.load(memoryRead(song.data(), song.size()));
    const float dt = 1.0f / player.sampleRate;
    std::vector<float> block(2 * kBlockFrames);
    double peak = 0.0;
    std::uint64_t done = 0;  // frames of the song behind
    do {
        const bool silent =
            std::none_of(player.voices.begin(), player.voices.end(), [](const Voice& voice) { return voice.active; });
        if (silent) {
            const std::uint64_t skipped = player.skipWait(dt, std::numeric_limits<std::uint64_t>::max());
            if (skipped > 0) {
                done += skipped;
                continue;
            }
        }
        // Up to the end of sqn2wav's block, so that the last one ends where
        // sqn2wav's does.
        const std::uint64_t frames = kBlockFrames - done % kBlockFrames;
        SampleBuffer buffer{SampleFormat::F32, ChannelLayout::Stereo, reinterpret_cast<std::uint8_t*>(block.data()),
                            frames * 2 * sizeof(float)};
        player.render(buffer);
        done += frames;
        for (std::size_t i = 0; i < 2 * frames; ++i) {
            peak = std::max(peak, static_cast<double>(std::abs(block[i])));
        }
    } while (!player.finished);
    return peak;
}

struct Plan {
    std::vector<Note> notes;
    std::vector<std::vector<int>> rows;  // the kept notes of each row with any, in voice order
    double endSeconds = 0.0;             // when the last kept note has sounded
};

// A map item's comment in the text form.
std::string mapComment(const MidiMapItem& item, const MidiMap& map)
{
    switch (item.kind) {
    case MapKind::QuarterMicroseconds: {
        const double microseconds = item.data[0] << 16 | item.data[1] << 8 | item.data[2];
        char text[64];
        std::snprintf(text, sizeof text, "the file's tempo, %.6g beats a minute", 60e6 / microseconds);
        return text;
    }
    case MapKind::Meter:
        return "the file's time signature, " + std::to_string(item.data[0]) + "/" + std::to_string(item.data[1]);
    case MapKind::Cue:
        return "cue " + map.cueNames[item.data[0]] + ": the marker \"" + printable(item.marker) + "\"";
    default:
        return "";
    }
}

// Writes the map's records due by `target` (the frame where the next notes
// are taken; every one left with `last`): a tempo or meter change well
// before it is written where it falls, in a wait of its own, and the rest
// with the notes, each with the moment it stands for.
void writeMapItems(SongWriter& writer, const MidiMap& map, const TempoMap& tempoMap, std::size_t& next,
                   std::uint64_t target, bool last)
{
    constexpr std::uint64_t kNearFrames = kOutputRate / 20;  // 50 ms
    const auto frameOf = [&](const MidiMapItem& item) {
        return static_cast<std::uint64_t>(std::llround(tempoMap.seconds(item.tick) * kOutputRate));
    };
    const auto write = [&](const MidiMapItem& item) {
        if (item.kind != MapKind::Cue) {
            const auto offset = std::clamp<std::int64_t>(static_cast<std::int64_t>(frameOf(item)) -
                                                             static_cast<std::int64_t>(writer.frame()),
                                                         -32768, 32767);
            const auto bits = static_cast<std::uint16_t>(static_cast<std::int16_t>(offset));
            writer.record(MapKind::Moment, {static_cast<std::uint8_t>(bits >> 8), static_cast<std::uint8_t>(bits)},
                          "where the next record stands");
        }
        writer.record(item.kind, item.data, mapComment(item, map));
    };
    std::vector<const MidiMapItem*> due;
    for (; next < map.changes.size() && (last || frameOf(map.changes[next]) <= target); ++next) {
        const MidiMapItem& item = map.changes[next];
        if (item.kind != MapKind::Cue && frameOf(item) + kNearFrames < target) {
            writer.waitUntil(frameOf(item));
            write(item);
        } else {
            due.push_back(&item);
        }
    }
    writer.waitUntil(target);
    for (const MidiMapItem* item : due) {
        write(*item);
    }
}

// Writes the planned notes as the song, every volume scaled by `gain`.
void writeSong(const Plan& plan, const ImportOptions& options, const TempoMap& tempoMap, const BarBeatMap& bars,
               const MidiMap& map, const std::string& tempoNote, double gain, double ticksPerQuarter,
               ImportResult& result)
{
    result.noteBeats.clear();
    const float rowDuration = rowDurationOf(result.tempo, result.rowsPerBeat);
    result.song = {static_cast<std::uint8_t>(result.tempo), static_cast<std::uint8_t>(result.rowsPerBeat)};
    result.text.clear();
    result.text.push_back({"tempo " + std::to_string(result.tempo) + " " + std::to_string(result.rowsPerBeat),
                           tempoNote});
    result.notesTaken = 0;
    SongWriter writer(result, rowDuration);
    // The music's map at the start: the cues' names, the tempo and meter.
    for (std::size_t i = 0; i < map.cueNames.size(); ++i) {
        writer.record(MapKind::CueName, cueNameData(static_cast<std::uint8_t>(i), map.cueNames[i]),
                      "a cue, from the file's markers");
    }
    for (const MidiMapItem& item : map.start) {
        writer.record(item.kind, item.data, mapComment(item, map));
    }
    std::size_t nextItem = 0;
    // Nothing is assumed of a voice's pitch or volume: the song comes back
    // to its start from its end, where they may be anything.
    std::array<int, kVoiceCount> pitches;
    std::array<int, kVoiceCount> volumes;
    pitches.fill(-1);
    volumes.fill(-1);
    std::vector<double> errors;
    for (const std::vector<int>& group : plan.rows) {
        // The group is taken at the frame nearest its first note's time.
        double start = 1e300;
        for (const int index : group) {
            start = std::min(start, tempoMap.seconds(plan.notes[index].tick));
        }
        writeMapItems(writer, map, tempoMap, nextItem, static_cast<std::uint64_t>(std::llround(start * kOutputRate)),
                      false);
        const std::int64_t row = plan.notes[group.front()].row;
        const double seconds = static_cast<double>(row) * rowDuration;
        result.text.push_back({"", bars.label(tempoMap.tickAt(seconds), seconds)});
        for (const int index : group) {
            const Note& note = plan.notes[index];
            errors.push_back(std::abs(static_cast<double>(writer.frame()) / kOutputRate - tempoMap.seconds(note.tick)));
            const auto voice = static_cast<std::uint8_t>(note.voice);
            if (pitches[voice] != note.pitch) {
                writer.event(voice, Command::SetPitch, note.pitch);
                pitches[voice] = note.pitch;
            }
            const int volume = static_cast<int>(std::clamp(std::lround(note.volume * gain), 0L, 255L));
            if (volumes[voice] != volume) {
                writer.event(voice, Command::SetVolume, volume);
                volumes[voice] = volume;
            }
            const std::string from = "channel " + std::to_string(note.channel + 1);
            writer.event(voice, Command::NoteOn, note.drum ? 0 : note.gate,
                         note.drum ? from + ", drum " + std::to_string(note.key) : from);
            if (ticksPerQuarter > 0.0) {
                result.noteBeats.emplace_back(static_cast<double>(note.tick) / ticksPerQuarter,
                                              static_cast<double>(note.endTick) / ticksPerQuarter);
            }
            ++result.notesTaken;
        }
    }
    writeMapItems(writer, map, tempoMap, nextItem, static_cast<std::uint64_t>(std::ceil(plan.endSeconds * kOutputRate)),
                  true);
    writer.event(0, Command::LoopEnd, 0, "the end: sqn2wav stops here, sqnplay goes round");
    (void)options;
    if (!errors.empty()) {
        std::sort(errors.begin(), errors.end());
        result.medianErrorSeconds = errors[errors.size() / 2];
        result.largestErrorSeconds = errors.back();
    }
}

}  // namespace

ImportResult importMidi(const MidiFile& file, const ImportOptions& options)
{
    ImportResult result;
    const TempoMap tempoMap(file);
    const BarBeatMap bars(file);
    const MidiMap map = midiMap(file);
    result.cues = map.cueNames.size();
    result.markersDropped = map.markersDropped;

    Plan plan;
    std::uint64_t lastTick = 0;
    plan.notes = collectNotes(file, options, lastTick);
    std::vector<Note>& notes = plan.notes;
    if (tempoMap.seconds(lastTick) > kMaxSeconds) {
        throw std::runtime_error("the music lasts longer than 24 hours");
    }
    std::vector<double> starts;
    for (const Note& note : notes) {
        starts.push_back(tempoMap.seconds(note.tick));
        ++result.notesByChannel[static_cast<std::size_t>(note.channel)];
    }
    result.tempo = options.tempo ? *options.tempo : governingTempo(notes, tempoMap);
    result.rowsPerBeat = options.rowsPerBeat ? *options.rowsPerBeat : fittingRowsPerBeat(starts, result.tempo);
    const float rowDuration = rowDurationOf(result.tempo, result.rowsPerBeat);
    const auto rowOf = [&](std::uint64_t tick) {
        return static_cast<std::int64_t>(std::llround(tempoMap.seconds(tick) / rowDuration));
    };

    for (Note& note : notes) {
        const std::int64_t endRow = rowOf(note.endTick);
        note.row = rowOf(note.tick);
        const std::int64_t length = std::max<std::int64_t>(1, endRow - note.row);
        if (length > kMaxRows && !note.drum) {
            ++result.notesShortened;
        }
        note.gate = static_cast<int>(std::min<std::int64_t>(length, kMaxRows));
        if (note.drum) {
            const DrumSound sound = drumSound(note.key);
            note.voice = sound.voice;
            note.pitch = sound.pitch;
            continue;
        }
        int pitch = note.key + options.transpose - kMidiOfIndexZero;
        const int top = static_cast<int>(kPitchCount) - 1;
        if (pitch < 0 || pitch > top) {
            ++result.notesMoved;
            pitch = pitch < 0 ? pitch + (-pitch + kOctave - 1) / kOctave * kOctave
                              : pitch - (pitch - top + kOctave - 1) / kOctave * kOctave;
        }
        note.pitch = pitch;
    }
    std::vector<int> order(notes.size());
    for (std::size_t i = 0; i < notes.size(); ++i) {
        order[i] = static_cast<int>(i);
    }
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return notes[a].row < notes[b].row; });

    // Voices, a row at a time.
    std::array<VoiceState, kMelodicVoices> voices;
    const auto dropped = [&](int note) {
        ++result.notesDroppedOrCut;
        ++result.droppedByChannel[static_cast<std::size_t>(notes[note].channel)];
    };
    for (std::size_t i = 0; i < order.size();) {
        const std::int64_t row = notes[order[i]].row;
        std::vector<int> melodic;
        std::array<int, 2> hits{-1, -1};
        for (; i < order.size() && notes[order[i]].row == row; ++i) {
            Note& note = notes[order[i]];
            if (!note.drum) {
                melodic.push_back(order[i]);
                continue;
            }
            int& hit = hits[note.voice - kNoiseVoice];
            if (hit >= 0 && notes[hit].volume >= note.volume) {
                dropped(order[i]);
                note.voice = -1;
                continue;
            }
            if (hit >= 0) {
                dropped(hit);
                notes[hit].voice = -1;
            }
            hit = order[i];
        }
        allocateRow(notes, melodic, row, voices, dropped);
        std::vector<int> kept;
        for (int note : melodic) {
            if (notes[note].voice >= 0) {
                kept.push_back(note);
            }
        }
        for (int hit : hits) {
            if (hit >= 0) {
                kept.push_back(hit);
            }
        }
        std::sort(kept.begin(), kept.end(), [&](int a, int b) { return notes[a].voice < notes[b].voice; });
        for (int index : kept) {
            const Note& note = notes[index];
            const double start = static_cast<double>(row) * rowDuration;
            const double end = note.drum ? start + hitSeconds({static_cast<std::uint8_t>(note.voice), note.pitch})
                                         : static_cast<double>(note.end()) * rowDuration;
            plan.endSeconds = std::max(plan.endSeconds, end);
        }
        if (!kept.empty()) {
            plan.rows.push_back(std::move(kept));
        }
    }

    const std::string tempoNote =
        (options.tempo ? std::string("beats a minute set by --tempo") : "the tempo of most of the notes") + "; " +
        std::to_string(result.rowsPerBeat) + " rows a beat" +
        (options.rowsPerBeat ? std::string(", set by --rows-per-beat") : ", the grid that fits the notes");
    // Volumes: as mapped, scaled by hand, or scaled down until the song
    // peaks at −1 dBFS (rounding to whole steps may need a second try).
    double gain = options.gainDb ? std::pow(10.0, *options.gainDb / 20.0) : 1.0;
    writeSong(plan, options, tempoMap, bars, map, tempoNote, gain, file.ticksPerQuarter, result);
    result.peak = songPeak(result.song);
    for (int attempt = 0; !options.gainDb && result.peak > kHeadroom && attempt < 8; ++attempt) {
        gain *= kHeadroom / result.peak * (attempt == 0 ? 1.0 : 0.99);
        writeSong(plan, options, tempoMap, bars, map, tempoNote, gain, file.ticksPerQuarter, result);
        result.peak = songPeak(result.song);
    }
    result.gain = gain;
    return result;
}

std::string textForm(const std::vector<ImportedLine>& lines)
{
    std::string text;
    for (const ImportedLine& line : lines) {
        text += line.statement.empty() ? "# " + line.comment + "\n" : textLine(line.statement, line.comment);
    }
    return text;
}
