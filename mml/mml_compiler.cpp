#include "mml_compiler.h"

#include "mml_parser.h"
#include "mml_source.h"
#include "pitch_table.h"
#include "song_event.h"
#include "song_player.h"
#include "song_text.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <optional>
#include <tuple>

namespace {

constexpr int kDefaultTempo = 120;
constexpr int kMaxRowsPerBeat = 255;
constexpr int kFewestRowsPerBeat = 4;  // where the lengths allow fewer, for finer gates
constexpr int kMaxRows = 255;          // the longest wait or gate one event holds
constexpr std::uint64_t kBeatsPerBar = 4;
constexpr std::size_t kHitVoices = 4;  // voices 4 and 5 play one-shots

char channelLetter(std::size_t voice)
{
    return static_cast<char>('A' + voice);
}

// The fewest rows a beat (at least kFewestRowsPerBeat where that is a
// multiple) in which every length is a whole number of rows; nothing, with
// the length that cannot be held reported, past kMaxRowsPerBeat.
std::optional<int> chooseGrid(const std::array<MmlChannel, kMmlChannels>& channels, MmlErrors& errors)
{
    std::vector<std::pair<MmlPlace, std::uint64_t>> lengths;
    for (const MmlChannel& channel : channels) {
        for (const auto& [length, place] : channel.lengths) {
            lengths.emplace_back(place, length);
        }
    }
    std::sort(lengths.begin(), lengths.end(), [](const auto& a, const auto& b) {
        return std::tie(a.first.line, a.first.column) < std::tie(b.first.line, b.first.column);
    });
    std::uint64_t rows = 1;
    for (const auto& [place, length] : lengths) {
        const std::uint64_t needed = kUnitsPerBeat / std::gcd(length, kUnitsPerBeat);
        const std::uint64_t next = std::lcm(rows, needed);
        if (next > kMaxRowsPerBeat) {
            errors.add(place.line, place.column,
                       "expected a length that " + std::to_string(kMaxRowsPerBeat) +
                           " rows a beat can hold with the others, found one that needs " + std::to_string(next) +
                           " rows a beat");
            return std::nullopt;
        }
        rows = next;
    }
    const std::uint64_t fine = rows * ((kFewestRowsPerBeat + rows - 1) / rows);
    return static_cast<int>(fine <= kMaxRowsPerBeat ? fine : rows);
}

std::string barBeat(std::uint64_t row, int rowsPerBeat)
{
    const std::uint64_t rowsPerBar = kBeatsPerBar * static_cast<std::uint64_t>(rowsPerBeat);
    char text[64];
    std::snprintf(text, sizeof text, "bar %llu, beat %.4g", static_cast<unsigned long long>(row / rowsPerBar + 1),
                  1.0 + static_cast<double>(row % rowsPerBar) / rowsPerBeat);
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

class SongWriter {
public:
    explicit SongWriter(MmlResult& result) : result_(result) {}

    void event(std::uint8_t voice, Command command, int param, const std::string& comment = "")
    {
        const SongEvent event{voice, static_cast<std::uint8_t>(command), static_cast<std::uint16_t>(param)};
        result_.song.insert(result_.song.end(), {event.voice, event.command, static_cast<std::uint8_t>(param)});
        result_.text.push_back({eventStatement(event), comment});
        result_.eventLines.push_back(line_);
    }

    // The MML line the events that follow come from.
    void from(std::size_t line) { line_ = line; }

    // Waits from the current row to `row`, the last part of the wait as
    // `last` (a LoopStart marks the loop point after it).
    void waitUntil(std::uint64_t row, Command last = Command::Wait, const std::string& comment = "")
    {
        while (row_ < row) {
            const auto rows = static_cast<int>(std::min<std::uint64_t>(row - row_, kMaxRows));
            row_ += static_cast<std::uint64_t>(rows);
            event(0, row_ == row ? last : Command::Wait, rows, row_ == row ? comment : "");
        }
    }

private:
    MmlResult& result_;
    std::uint64_t row_ = 0;
    std::size_t line_ = 1;
};

struct Placed {
    std::uint64_t row;
    std::size_t voice;
    const MmlNote* note;
};

}  // namespace

MmlResult compileMml(std::string_view text)
{
    MmlResult result;
    MmlErrors errors;
    const MmlSource source = splitMml(text, errors);
    MmlTempo tempo;
    MmlBudget budget;
    std::array<MmlChannel, kMmlChannels> channels;
    for (std::size_t voice = 0; voice < kMmlChannels; ++voice) {
        channels[voice] = parseMmlChannel(source.channels[voice], source, tempo, budget, errors);
    }

    // One loop point for the song: every channel that marks one marks the
    // same time.
    const MmlChannel* looped = nullptr;
    for (const MmlChannel& channel : channels) {
        if (!channel.loop) {
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
    const std::optional<int> grid = chooseGrid(channels, errors);
    if (!errors.empty() || !grid) {
        result.errors = errors.shown();
        result.errorCount = errors.count();
        return result;
    }
    result.rowsPerBeat = *grid;
    result.tempo = tempo.beatsPerMinute > 0 ? tempo.beatsPerMinute : kDefaultTempo;
    const auto rowOf = [&](std::uint64_t units) { return units * static_cast<std::uint64_t>(*grid) / kUnitsPerBeat; };

    std::vector<Placed> placed;
    std::uint64_t endRow = 0;
    for (std::size_t voice = 0; voice < kMmlChannels; ++voice) {
        for (const MmlNote& note : channels[voice].notes) {
            placed.push_back({rowOf(note.start), voice, &note});
        }
        endRow = std::max(endRow, rowOf(channels[voice].end));
    }
    std::stable_sort(placed.begin(), placed.end(), [](const Placed& a, const Placed& b) {
        return std::tie(a.row, a.voice) < std::tie(b.row, b.voice);
    });
    const std::uint64_t loopRow = looped ? rowOf(*looped->loop) : 0;

    result.song = {static_cast<std::uint8_t>(result.tempo), static_cast<std::uint8_t>(*grid)};
    result.text.push_back({"tempo " + std::to_string(result.tempo) + " " + std::to_string(*grid),
                           std::string(tempo.beatsPerMinute > 0 ? "t" : "no t: ") + std::to_string(result.tempo) +
                               "; " + std::to_string(*grid) + " rows a beat hold every length"});
    SongWriter writer(result);
    // What each voice's pitch and volume are, or -1 where they are not
    // known: at the start, and at the loop point, to which the song comes
    // back from its end with whatever the end left there.
    std::array<int, kVoiceCount> pitches;
    std::array<int, kVoiceCount> volumes;
    pitches.fill(-1);
    volumes.fill(-1);
    bool loopMarked = loopRow == 0;  // the song's start needs no mark
    for (std::size_t i = 0; i < placed.size();) {
        const std::uint64_t row = placed[i].row;
        if (!loopMarked && row >= loopRow) {
            writer.waitUntil(loopRow, Command::LoopStart, "L: the loop point is the next event");
            loopMarked = true;
            pitches.fill(-1);
            volumes.fill(-1);
        }
        writer.waitUntil(row);
        result.text.push_back({"", barBeat(row, *grid)});
        for (; i < placed.size() && placed[i].row == row; ++i) {
            const MmlNote& note = *placed[i].note;
            const auto voice = static_cast<std::uint8_t>(placed[i].voice);
            writer.from(note.place.line);
            const std::string from = std::string(1, channelLetter(voice)) + ", line " + std::to_string(note.place.line);
            if (pitches[voice] != note.pitch) {
                writer.event(voice, Command::SetPitch, note.pitch);
                pitches[voice] = note.pitch;
            }
            if (volumes[voice] != note.volume) {
                writer.event(voice, Command::SetVolume, note.volume);
                volumes[voice] = note.volume;
            }
            const std::uint64_t rows = rowOf(note.length);
            std::uint64_t gate = note.gateEighths == 8
                                     ? rows
                                     : std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::llround(
                                                                      static_cast<double>(rows) * note.gateEighths / 8.0)));
            if (voice >= kHitVoices) {
                gate = 0;  // a hit plays once, whatever its gate
            }
            writer.event(voice, Command::NoteOn, static_cast<int>(std::min<std::uint64_t>(gate, kMaxRows)), from);
        }
    }
    if (!loopMarked) {
        writer.waitUntil(loopRow, Command::LoopStart, "L: the loop point is the next event");
    }
    writer.waitUntil(endRow);
    writer.event(0, Command::LoopEnd, 0,
                 looped ? "the end: sqn2wav stops here, sqnplay goes round to L"
                        : "the end: sqn2wav stops here, sqnplay goes round");
    if (result.song.size() > kMaxSongBytes) {
        result.errors.push_back({1, 1, "expected a song of at most " + std::to_string(kMaxSongBytes) +
                                           " bytes, found more"});
        result.errorCount = 1;
        result.song.clear();
        result.text.clear();
        result.eventLines.clear();
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
