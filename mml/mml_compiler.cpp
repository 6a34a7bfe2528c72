#include "mml_compiler.h"

#include "characters.h"
#include "mml_parser.h"
#include "mml_songs.h"
#include "mml_planner.h"
#include "mml_source.h"
#include "mml_tempo.h"
#include "song_map.h"
#include "song_player.h"
#include "song_text.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <set>
#include <string_view>

namespace {

constexpr int kMaxHours = 24;  // a song's longest

char channelLetter(std::size_t voice)
{
    return static_cast<char>('A' + voice);
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

// A song names at most kMaxCues cues, however many places each marks.
void checkCues(const std::array<MmlChannel, kMmlChannels>& channels, MmlErrors& errors)
{
    std::vector<const MmlCue*> cues;
    for (const MmlChannel& channel : channels) {
        for (const MmlCue& cue : channel.cues) {
            cues.push_back(&cue);
        }
    }
    std::stable_sort(cues.begin(), cues.end(), [](const MmlCue* a, const MmlCue* b) {
        return std::pair{a->place.line, a->place.column} < std::pair{b->place.line, b->place.column};
    });
    std::set<std::string_view> names;
    for (const MmlCue* cue : cues) {
        if (names.insert(cue->name).second && names.size() > kMaxCues) {
            errors.add(cue->place.line, cue->place.column,
                       "expected at most " + std::to_string(kMaxCues) + " cue names, found another, '" + cue->name +
                           "'");
            return;
        }
    }
}

// The columns of `list`, counted in bytes of `text`'s lines, counted in
// characters instead, as editors count them.
void countInCharacters(std::string_view text, std::vector<TextError>& list)
{
    std::vector<TextError*> byLine;
    for (TextError& error : list) {
        byLine.push_back(&error);
    }
    std::stable_sort(byLine.begin(), byLine.end(), [](const TextError* a, const TextError* b) { return a->line < b->line; });
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
        text.remove_prefix(kByteOrderMark.size());  // no column, as the reading skips it
    }
    std::size_t lineNumber = 1;
    std::size_t at = 0;
    for (TextError* error : byLine) {
        while (lineNumber < error->line && at < text.size()) {
            const std::size_t newline = text.find('\n', at);
            at = newline == std::string_view::npos ? text.size() : newline + 1;
            ++lineNumber;
        }
        const std::string_view rest = text.substr(std::min(at, text.size()));
        error->column = characterColumn(rest.substr(0, rest.find('\n')), error->column);
    }
}

}  // namespace

MmlResult compileMml(std::string_view text, const MmlOptions& options)
{
    MmlResult result;
    MmlErrors errors;
    const MmlSplicedText spliced = spliceIncludes(text, options.path, options.readFile, errors);
    const std::string uncommented = mmlSongText(spliced.text, options.song, errors);
    const MmlSource source = splitMml(uncommented, errors);
    // Each line's name in the text form: its number, or file:number in an
    // included file.
    const auto lineName = [&spliced](std::size_t line) {
        std::string file;
        spliced.place(line, file);
        return file.empty() ? std::to_string(line) : file + ":" + std::to_string(line);
    };
    // Errors and warnings where they were written: columns in characters
    // of their own lines, then the file and line.
    const auto placed = [&spliced](std::vector<TextError>& list) {
        countInCharacters(spliced.raw, list);
        for (TextError& error : list) {
            spliced.place(error.line, error.file);
        }
    };
    MmlBudget budget;
    std::array<MmlChannel, kMmlChannels> channels;
    for (std::size_t voice = 0; voice < kMmlChannels; ++voice) {
        channels[voice] = parseMmlChannel(source.channels[voice], source, budget, errors);
    }
    // A release lasts at most to the song's end, where it goes round.
    std::uint64_t songEnd = 0;
    for (const MmlChannel& channel : channels) {
        songEnd = std::max(songEnd, channel.end);
    }
    for (MmlChannel& channel : channels) {
        for (MmlNote& note : channel.notes) {
            const double room = static_cast<double>(songEnd) - note.shareEnd();
            note.releaseUnits = std::min(note.releaseUnits, room > 0.0 ? static_cast<std::uint64_t>(room) : 0);
        }
    }
    const MmlChannel* looped = checkLoops(channels, errors);
    checkCues(channels, errors);
    const MmlChannel tempoTrack = parseMmlTempoTrack(source.tempoTrack, source, budget, errors);
    const MmlTempoMap tempo(channels, tempoTrack, errors);
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
        placed(result.errors);
        return result;
    }
    planMmlSong(result, source, channels, tempo, looped, options.textForm, lineName);
    // The page follows lines of the file it shows: those of included files are none of its.
    for (std::uint32_t& line : result.eventLines) {
        std::size_t where = line;
        std::string file;
        spliced.place(where, file);
        line = file.empty() ? static_cast<std::uint32_t>(where) : 0;
    }
    if (result.song.size() > kMaxSongBytes) {
        // The planner stopped once the song outgrew a song file.
        result = MmlResult{};
        result.errors.push_back({1, 1, "expected a song of at most " + std::to_string(kMaxSongBytes) +
                                           " bytes, found more"});
        result.errorCount = 1;
        result.title = source.title;
        result.composer = source.composer;
        return result;
    }
    placed(result.warnings);
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
