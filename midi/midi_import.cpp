#include "midi_import.h"

#include "bar_beat.h"
#include "note_names.h"
#include "pitch_table.h"
#include "song_event.h"
#include "song_text.h"
#include "tempo_map.h"
#include "voice.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>

namespace {

constexpr int kMelodicVoices = 4;            // voices 0–3 cycle
constexpr std::uint8_t kNoiseVoice = 4;      // the noise burst
constexpr std::uint8_t kThumpVoice = 5;      // the low thump
constexpr int kMaxRows = 255;                // the longest wait or gate one event holds
constexpr int kOctave = 12;
constexpr double kMaxSeconds = 24 * 3600.0;  // longer music is refused
constexpr double kHitSeconds = 0.101;        // the noise burst sounds this long
constexpr int kDefaultChannelVolume = 100;   // CC 7 until a file sets it
constexpr int kFullScale = 127;
constexpr int kKeys = 16 * 128;              // channel × note

bool isLowDrum(int key)
{
    // Acoustic and electric bass drum, low floor tom, high floor tom, low tom.
    return key == 35 || key == 36 || key == 41 || key == 43 || key == 45;
}

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
void allocateRow(std::vector<Note>& notes, const std::vector<int>& starting, std::int64_t row,
                 std::array<VoiceState, kMelodicVoices>& voices, ImportResult& result)
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
                ++result.notesDroppedOrCut;
            }
        }
        // Sounding notes left out give up their voices, cut short.
        for (VoiceState& voice : voices) {
            if (voice.busyUntil > row && std::find(chosen.begin(), chosen.end(), voice.note) == chosen.end()) {
                voice.busyUntil = row;
                ++result.notesDroppedOrCut;
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

class SongWriter {
public:
    explicit SongWriter(ImportResult& result) : result_(result) {}

    void event(std::uint8_t voice, Command command, int param, const std::string& comment = "")
    {
        const SongEvent event{voice, static_cast<std::uint8_t>(command), static_cast<std::uint16_t>(param)};
        result_.song.insert(result_.song.end(), {event.voice, event.command, static_cast<std::uint8_t>(param)});
        result_.text.push_back({eventStatement(event), comment});
    }

    // Waits from the current row to `row`.
    void waitUntil(std::int64_t row)
    {
        while (row_ < row) {
            const auto rows = static_cast<int>(std::min<std::int64_t>(row - row_, kMaxRows));
            event(0, Command::Wait, rows);
            row_ += rows;
        }
    }

private:
    ImportResult& result_;
    std::int64_t row_ = 0;
};

}  // namespace

ImportResult importMidi(const MidiFile& file, const ImportOptions& options)
{
    ImportResult result;
    const TempoMap tempoMap(file);
    const BarBeatMap bars(file);
    const auto first = tempoMap.firstBeatsPerMinute();
    result.tempo = options.tempo ? *options.tempo
                                 : first ? static_cast<int>(std::clamp(std::lround(*first), 1L, 255L)) : 120;
    // The player's own row length, so that rows fall where it plays them.
    const double rowSeconds =
        60.0f / (static_cast<float>(options.rowsPerBeat) * static_cast<float>(result.tempo));
    const auto rowOf = [&](std::uint64_t tick) {
        return static_cast<std::int64_t>(std::llround(tempoMap.seconds(tick) / rowSeconds));
    };

    std::uint64_t lastTick = 0;
    std::vector<Note> notes = collectNotes(file, options, lastTick);
    if (tempoMap.seconds(lastTick) > kMaxSeconds) {
        throw std::runtime_error("the music lasts longer than 24 hours");
    }
    for (Note& note : notes) {
        const std::int64_t endRow = rowOf(note.endTick);
        note.row = rowOf(note.tick);
        const std::int64_t length = std::max<std::int64_t>(1, endRow - note.row);
        if (length > kMaxRows) {
            ++result.notesShortened;
        }
        note.gate = static_cast<int>(std::min<std::int64_t>(length, kMaxRows));
        if (!note.drum) {
            int pitch = note.key + options.transpose - kMidiOfIndexZero;
            const int top = static_cast<int>(kPitchCount) - 1;
            if (pitch < 0 || pitch > top) {
                ++result.notesMoved;
                pitch = pitch < 0 ? pitch + (-pitch + kOctave - 1) / kOctave * kOctave
                                  : pitch - (pitch - top + kOctave - 1) / kOctave * kOctave;
            }
            note.pitch = pitch;
        }
    }
    std::vector<int> order(notes.size());
    for (std::size_t i = 0; i < notes.size(); ++i) {
        order[i] = static_cast<int>(i);
    }
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return notes[a].row < notes[b].row; });

    // Voices, a row at a time.
    std::array<VoiceState, kMelodicVoices> voices;
    std::int64_t endRow = 0;
    const auto hitRows = static_cast<std::int64_t>(std::ceil(kHitSeconds / rowSeconds));
    std::vector<std::vector<int>> rows;  // the kept notes of each row with any, in voice order
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
            note.voice = isLowDrum(note.key) ? kThumpVoice : kNoiseVoice;
            int& hit = hits[note.voice - kNoiseVoice];
            if (hit >= 0 && notes[hit].volume >= note.volume) {
                ++result.notesDroppedOrCut;
                note.voice = -1;
                continue;
            }
            if (hit >= 0) {
                ++result.notesDroppedOrCut;
                notes[hit].voice = -1;
            }
            hit = order[i];
        }
        allocateRow(notes, melodic, row, voices, result);
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
        for (int note : kept) {
            endRow = std::max(endRow, notes[note].drum ? row + hitRows : notes[note].end());
        }
        if (!kept.empty()) {
            rows.push_back(std::move(kept));
        }
    }

    // The song: per row, pitch and volume where they change, then the notes.
    result.song = {static_cast<std::uint8_t>(result.tempo), static_cast<std::uint8_t>(options.rowsPerBeat)};
    const std::string tempoNote = options.tempo ? "beats a minute set by --tempo"
                                  : first       ? "the file's first tempo, in beats a minute"
                                                : "the file sets no tempo: 120 beats a minute";
    result.text.push_back({"tempo " + std::to_string(result.tempo) + " " + std::to_string(options.rowsPerBeat),
                           tempoNote + "; " + std::to_string(options.rowsPerBeat) + " rows a beat"});
    SongWriter writer(result);
    std::array<int, kVoiceCount> pitches;
    std::array<int, kVoiceCount> volumes;
    pitches.fill(static_cast<int>(kUnityPitch));
    volumes.fill(128);
    for (const std::vector<int>& group : rows) {
        const std::int64_t row = notes[group.front()].row;
        writer.waitUntil(row);
        // Where the row falls in the music, so that notes a tick or two off
        // the beat are labelled on it, as they now play.
        const double seconds = static_cast<double>(row) * rowSeconds;
        result.text.push_back({"", bars.label(tempoMap.tickAt(seconds), seconds)});
        for (int index : group) {
            const Note& note = notes[index];
            const auto voice = static_cast<std::uint8_t>(note.voice);
            if (!note.drum && pitches[voice] != note.pitch) {
                writer.event(voice, Command::SetPitch, note.pitch);
                pitches[voice] = note.pitch;
            }
            if (volumes[voice] != note.volume) {
                writer.event(voice, Command::SetVolume, note.volume);
                volumes[voice] = note.volume;
            }
            const std::string from = "channel " + std::to_string(note.channel + 1);
            writer.event(voice, Command::NoteOn, note.drum ? 0 : note.gate,
                         note.drum ? from + ", drum " + std::to_string(note.key) : from);
            ++result.notesTaken;
        }
    }
    writer.waitUntil(endRow);
    writer.event(0, Command::LoopEnd, 0, "the end: sqn2wav stops here, sqnplay goes round");
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
