#include "song_mml.h"

#include "memory_read.h"
#include "note_names.h"
#include "output_format.h"
#include "song_event.h"
#include "song_map.h"
#include "song_player.h"
#include "timeline.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>

namespace {

constexpr std::size_t kHitVoices = 4;  // voices 4 and 5 play one-shots
constexpr std::size_t kBarsALine = 4;
constexpr std::size_t kPhraseUses = 3;   // a pattern used this often gets a name …
constexpr std::size_t kPhraseBytes = 16; // … where it is this long at least

struct Struck {
    std::uint64_t row;
    std::uint64_t gateRows;  // 0 on a hit voice
    int pitch;               // table index
    int volume;              // SetVolume steps
};

struct VoiceNotes {
    std::vector<Struck> notes;
    int pitch = -1;
    int volume = 128;
};

// Note values MML writes, as rows at `rowsPerBeat`, largest first: whole
// to 64th, the triplet lengths, each with as many dots as stay whole rows.
struct Length {
    std::uint64_t rows;
    std::string text;
};

std::vector<Length> lengthsAt(int rowsPerBeat)
{
    std::vector<Length> lengths;
    for (const int n : {1, 2, 3, 4, 6, 8, 12, 16, 24, 32, 48, 64}) {
        if ((4 * rowsPerBeat) % n != 0) {
            continue;
        }
        std::uint64_t part = static_cast<std::uint64_t>(4 * rowsPerBeat / n);
        std::uint64_t rows = part;
        std::string text = std::to_string(n);
        lengths.push_back({rows, text});
        while (part % 2 == 0) {
            part /= 2;
            rows += part;
            text += '.';
            lengths.push_back({rows, text});
        }
    }
    std::sort(lengths.begin(), lengths.end(), [](const Length& a, const Length& b) {
        return a.rows != b.rows ? a.rows > b.rows : a.text.size() < b.text.size();
    });
    return lengths;
}

class Writer {
public:
    Writer(int rowsPerBeat, int beatsPerBar)
        : lengths_(lengthsAt(rowsPerBeat)), barRows_(static_cast<std::uint64_t>(rowsPerBeat) * beatsPerBar)
    {
    }

    // `rows` as note values tied: one value (dots and all) where one fits
    // exactly, else the longest plain value and then the rest: "1^1", "4^16".
    std::string length(std::uint64_t rows) const
    {
        std::string text;
        while (rows > 0) {
            auto fit = std::find_if(lengths_.begin(), lengths_.end(), [rows](const Length& l) { return l.rows == rows; });
            if (fit == lengths_.end()) {
                fit = std::find_if(lengths_.begin(), lengths_.end(), [rows](const Length& l) {
                    return l.rows <= rows && l.text.back() != '.';
                });
            }
            if (!text.empty()) {
                text += '^';
            }
            text += fit->text;
            rows -= fit->rows;
        }
        return text;
    }

    // A stretch of a voice from one bar line to a later one (most often
    // the next), as MML, with the octave and volume it enters and leaves
    // with (its text names them only where they change).
    struct Chunk {
        std::string text;  // " V79 o4 c4 d4": each token after a space
        int enterOctave;
        int enterVolume;
        int octave;
        int volume;
        bool atBar;        // ends on a bar line

        // Chunks of one key play the same wherever they stand.
        std::string key() const { return std::to_string(enterOctave) + "," + std::to_string(enterVolume) + text; }
    };

    // One voice's notes and rests up to `end` rows, in chunks that start at
    // bar lines.
    std::vector<Chunk> chunks(const VoiceNotes& voice, std::uint64_t end) const
    {
        std::vector<Chunk> chunks;
        int octave = -100;
        int volume = -1;
        int enterOctave = octave;
        int enterVolume = volume;
        std::uint64_t at = 0;
        std::string text;
        const auto close = [&](bool atBar) {
            chunks.push_back({text, enterOctave, enterVolume, octave, volume, atBar});
            text.clear();
            enterOctave = octave;
            enterVolume = volume;
        };
        const auto rest = [&](std::uint64_t until) {
            // Rests split at bar lines, so that chunks end there.
            while (at < until) {
                const std::uint64_t bar = (at / barRows_ + 1) * barRows_;
                const std::uint64_t to = std::min(until, bar);
                text += " r" + length(to - at);
                at = to;
                if (at % barRows_ == 0) {
                    close(true);
                }
            }
        };
        for (std::size_t i = 0; i < voice.notes.size(); ++i) {
            const Struck& note = voice.notes[i];
            rest(note.row);
            // A note lasts its gate, or to the voice's next note where that
            // comes first; a hit, to its next note (the last, to its bar's end).
            const bool last = i + 1 == voice.notes.size();
            const std::uint64_t next = last ? note.row + (barRows_ - note.row % barRows_) : voice.notes[i + 1].row;
            std::uint64_t rows = next - note.row;
            if (note.gateRows > 0) {
                rows = std::min(rows, note.gateRows);
                if (last) {
                    rows = note.gateRows;
                }
            }
            rows = std::max<std::uint64_t>(rows, 1);
            if (note.volume != volume) {
                text += " V" + std::to_string(note.volume);
                volume = note.volume;
            }
            const int midi = note.pitch + kMidiOfIndexZero;
            const int noteOctave = midi / 12 - 1;
            if (noteOctave != octave) {
                text += noteOctave == octave + 1   ? " >"
                        : noteOctave == octave - 1 ? " <"
                                                   : " o" + std::to_string(noteOctave);
                octave = noteOctave;
            }
            static const char* const kNames[] = {"c", "c+", "d", "d+", "e", "f", "f+", "g", "g+", "a", "a+", "b"};
            text += std::string(" ") + kNames[midi % 12] + length(rows);
            at = note.row + rows;
            if (at % barRows_ == 0) {
                close(true);
            }
        }
        rest(end);
        if (!text.empty()) {
            close(at % barRows_ == 0);
        }
        return chunks;
    }

    // A voice's lines: its chunks, a chunk repeated literally written once
    // as [ ]n, one that `phrases` names as its phrase, a bar check after
    // each that ends on a bar line.
    static std::vector<std::string> lines(char letter, const std::vector<Chunk>& chunks,
                                          const std::map<std::string, std::string>& phrases)
    {
        std::vector<std::string> lines;
        std::string line;
        std::size_t bars = 0;
        const auto flush = [&]() {
            if (!line.empty()) {
                lines.push_back(std::string(1, letter) + line);
                line.clear();
                bars = 0;
            }
        };
        for (std::size_t i = 0; i < chunks.size();) {
            const Chunk& chunk = chunks[i];
            // Passes after the first repeat it only where it leaves the
            // voice as it found it.
            std::size_t same = 1;
            while (chunk.octave == chunk.enterOctave && chunk.volume == chunk.enterVolume && i + same < chunks.size() &&
                   chunks[i + same].text == chunk.text) {
                ++same;
            }
            const auto phrase = phrases.find(chunk.key());
            const std::string body = phrase != phrases.end() ? " $" + phrase->second : chunk.text;
            line += same > 1 ? " [" + body.substr(1) + "]" + std::to_string(same) : body;
            if (chunk.atBar) {
                line += " |";
            }
            bars += same;
            i += same;
            if (bars >= kBarsALine) {
                flush();
            }
        }
        flush();
        return lines;
    }

private:
    std::vector<Length> lengths_;
    std::uint64_t barRows_;
};

}  // namespace

std::optional<std::string> mmlOfSong(const std::vector<std::uint8_t>& song, const std::vector<std::string>& heading,
                                     const std::vector<std::pair<double, double>>& noteBeats)
{
    SongPlayer player;
    player.sampleRate = static_cast<float>(kOutputRate);
    player.looping = false;
    if (!player.load(memoryRead(song.data(), song.size())) || !mmlHasRowLength(song[1])) {
        return std::nullopt;
    }
    const int rowsPerBeat = song[1];
    const double rate = static_cast<double>(kOutputRate);
    const double rowFrames = rate * 60.0 / (song[0] * rowsPerBeat);  // the song's own rows, for its gates
    // The music's beats through its tempo map: each change from the frame
    // its record is taken in.
    struct Segment {
        double frame;
        double beat;
        double framesPerBeat;
        int beatsPerMinute;  // as MML writes it, whole
    };
    std::vector<Segment> tempi{{0.0, 0.0, rate * 60.0 / song[0], song[0]}};
    const auto beatAt = [&tempi](double frame) {
        const Segment& s = tempi.back();
        return s.beat + (frame - s.frame) / s.framesPerBeat;
    };
    const auto rowOf = [&](double frame) {
        return static_cast<std::uint64_t>(std::llround(beatAt(frame) * rowsPerBeat));
    };
    std::array<VoiceNotes, kVoiceCount> voices;
    int beatsPerBar = 4;
    std::map<std::uint64_t, std::string> marks;  // the T line's: (row, "t120" or "!cue")
    std::uint64_t endRow = 0;
    std::size_t struck = 0;                                     // NoteOns so far
    std::vector<std::pair<double, std::string>> pendingCues;    // (frame, name) not yet placed
    const std::vector<SongEvent> events = player.events;
    const SongMap map = player.map;
    computeTimeline(player, 1, [&](std::uint64_t index, std::uint64_t frame) {
        const SongEvent& event = events[index];
        const auto at = static_cast<double>(frame);
        if (event.voice >= kVoiceCount) {
            const MapRecord* record = map.at(index);
            if (record == nullptr) {
                return;
            }
            if (record->kind == MapKind::BeatsPerMinute || record->kind == MapKind::QuarterMicroseconds) {
                const double bpm = record->kind == MapKind::BeatsPerMinute ? record->value : 60e6 / record->value;
                const int whole = std::clamp(static_cast<int>(std::lround(bpm)), 1, 255);
                const double beat = beatAt(at);
                if (at == 0.0) {
                    tempi.front() = {0.0, 0.0, rate * 60.0 / whole, whole};
                } else if (whole != tempi.back().beatsPerMinute) {
                    tempi.push_back({at, beat, rate * 60.0 / whole, whole});
                }
                marks[rowOf(at)] += " t" + std::to_string(whole);
            } else if (record->kind == MapKind::Meter && frame == 0 && record->value > 0 &&
                       (record->value * 4) % record->second == 0) {
                beatsPerBar = static_cast<int>(record->value * 4 / record->second);
            } else if (record->kind == MapKind::Cue && record->value < map.cueNames.size() &&
                       !map.cueNames[record->value].empty()) {
                // Taken with the notes at its frame: it stands on their beat.
                pendingCues.push_back({at, map.cueNames[record->value]});
            }
            return;
        }
        for (auto cue = pendingCues.begin(); cue != pendingCues.end();) {
            if (event.command == static_cast<std::uint8_t>(Command::NoteOn) && cue->first == at &&
                struck < noteBeats.size()) {
                marks[static_cast<std::uint64_t>(std::llround(noteBeats[struck].first * rowsPerBeat))] += " !" + cue->second;
            } else if (cue->first < at || (event.command == static_cast<std::uint8_t>(Command::NoteOn) && cue->first == at)) {
                marks[rowOf(cue->first)] += " !" + cue->second;
            } else {
                ++cue;
                continue;
            }
            cue = pendingCues.erase(cue);
        }
        VoiceNotes& voice = voices[event.voice];
        switch (static_cast<Command>(event.command)) {
        case Command::SetPitch: voice.pitch = event.param; break;
        case Command::SetVolume: voice.volume = event.param; break;
        case Command::NoteOn: {
            // Its row from its beat in the file where known, else from its
            // frame; its gate to where it is released, or to where the
            // song's gate (held at most 255 of its rows) closes first.
            std::uint64_t row = rowOf(at);
            std::uint64_t gateEnd = rowOf(at + event.param * rowFrames);
            if (struck < noteBeats.size()) {
                row = static_cast<std::uint64_t>(std::llround(noteBeats[struck].first * rowsPerBeat));
                gateEnd = std::min(gateEnd, static_cast<std::uint64_t>(std::llround(noteBeats[struck].second * rowsPerBeat)));
            }
            ++struck;
            if (voice.pitch >= 0) {
                const std::uint64_t gate = event.voice < kHitVoices ? std::max<std::uint64_t>(1, gateEnd > row ? gateEnd - row : 0) : 0;
                voice.notes.push_back({row, gate, voice.pitch, voice.volume});
            }
            break;
        }
        case Command::LoopEnd: endRow = rowOf(at + 1.0); break;
        default: break;
        }
    });
    for (const auto& [frame, name] : pendingCues) {
        marks[rowOf(frame)] += " !" + name;
    }
    beatsPerBar = std::clamp(beatsPerBar, 1, 255);

    Writer writer(rowsPerBeat, beatsPerBar);
    std::string text;
    for (const std::string& line : heading) {
        text += "; " + line + "\n";
    }
    if (beatsPerBar != 4) {
        text += "#meter " + std::to_string(beatsPerBar) + "\n";
    }
    // The tempo, its changes and the cues, each where it stands.
    std::string tempoLine = "T";
    if (marks.empty() || marks.begin()->first != 0 || marks.begin()->second.find(" t") == std::string::npos) {
        tempoLine += " t" + std::to_string(tempi.front().beatsPerMinute);
    }
    std::uint64_t at = 0;
    for (const auto& [row, mark] : marks) {
        if (row > at) {
            tempoLine += " r" + writer.length(row - at);
            at = row;
        }
        tempoLine += mark;
    }
    text += tempoLine + "\n";
    for (const VoiceNotes& voice : voices) {
        if (!voice.notes.empty()) {
            endRow = std::max(endRow, voice.notes.back().row + 1);
        }
    }
    std::array<std::vector<Writer::Chunk>, kVoiceCount> chunks;
    std::map<std::string, std::size_t> uses;  // of each chunk's key, counting a repeat once
    for (std::size_t v = 0; v < kVoiceCount; ++v) {
        if (voices[v].notes.empty()) {
            continue;
        }
        // The first voice with notes runs to the song's end, which the
        // longest channel sets.
        const bool first = std::none_of(voices.begin(), voices.begin() + static_cast<std::ptrdiff_t>(v),
                                        [](const VoiceNotes& earlier) { return !earlier.notes.empty(); });
        chunks[v] = writer.chunks(voices[v], first ? endRow : 0);
        for (std::size_t i = 0; i < chunks[v].size(); ++i) {
            if (i == 0 || chunks[v][i].text != chunks[v][i - 1].text) {
                ++uses[chunks[v][i].key()];
            }
        }
    }
    // A pattern used three times or more, and long enough to be worth a
    // name, becomes a phrase, named in the order it is first met.
    std::map<std::string, std::string> phrases;
    for (std::size_t v = 0; v < kVoiceCount; ++v) {
        for (const Writer::Chunk& chunk : chunks[v]) {
            if (uses[chunk.key()] >= kPhraseUses && chunk.text.size() >= kPhraseBytes && phrases.count(chunk.key()) == 0) {
                std::string name = "p";
                name += std::to_string(phrases.size() + 1);
                phrases[chunk.key()] = name;
                text += "$" + name + " =" + chunk.text + "\n";
            }
        }
    }
    for (std::size_t v = 0; v < kVoiceCount; ++v) {
        for (const std::string& line : Writer::lines(static_cast<char>('A' + v), chunks[v], phrases)) {
            text += line + "\n";
        }
    }
    return text;
}
