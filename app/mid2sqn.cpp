// mid2sqn [options] <input.mid> <output>: turns a Standard MIDI File into a
// song, as a song file, for a name ending in .txt (or -) in the text form
// with bars, beats and channels, or for one ending in .mml as MML.

#include "command_line.h"
#include "file_bytes.h"
#include "midi_file.h"
#include "midi_import.h"
#include "song_mml.h"
#include "printable.h"
#include "song_player.h"
#include "song_text.h"
#include "timeline.h"
#include "version.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

namespace {

constexpr ProgramText kText{
    "mid2sqn", "[options] <input.mid> <output>",
    "Turns a Standard MIDI File into a song for sqn2wav: melodic notes on voices 0-3\n"
    "(at most four at once, the melody and the bass always kept), drums on the two hit\n"
    "voices. Writes the song file, its text form when <output> ends in .txt or is -, or\n"
    "MML to edit when it ends in .mml (or with --mml).\n"
    "  <input.mid>          formats 0, 1 and 2 (its first track); - reads standard input\n"
    "  <output>             song.sqn, song.txt, song.mml, or - for the text on standard output\n"
    "  --mml                write MML, whatever <output> is called\n"
    "  --rows-per-beat N    the grid, 1 … 255 rows a beat (the fewest that fit the notes);\n"
    "                       notes fall on the nearest row\n"
    "  --tempo T            the song's tempo, 1 … 255 beats a minute (the one most notes\n"
    "                       are played at)\n"
    "  --gain DB            scale the volumes by DB decibels, -60 … 12; 0 keeps velocity\n"
    "                       as it maps (by default the song is scaled to peak at -1 dBFS)\n"
    "  --transpose N        move melodic notes N semitones, -127 … 127\n"
    "  --channels LIST      the MIDI channels to take, as 1,2,5-8 (all)\n"
    "  --drums CH           the drum channel, 1 … 16 (10)\n"
    "  --help               show this help\n"
    "  --version            show the version\n"};

// A whole number within [least, most], or nothing.
std::optional<int> number(const std::string& text, int least, int most)
{
    if (text.empty() || text.size() > 6) {
        return std::nullopt;
    }
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || value < least || value > most) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

// "1,2,5-8": a mask of MIDI channels 1 … 16.
std::optional<std::uint16_t> channelList(const std::string& text)
{
    std::uint16_t mask = 0;
    std::size_t at = 0;
    while (at <= text.size()) {
        const std::size_t comma = std::min(text.find(',', at), text.size());
        const std::string item = text.substr(at, comma - at);
        const std::size_t dash = item.find('-');
        const auto from = number(item.substr(0, dash), 1, 16);
        const auto to = dash == std::string::npos ? from : number(item.substr(dash + 1), 1, 16);
        if (!from || !to || *to < *from) {
            return std::nullopt;
        }
        for (int channel = *from; channel <= *to; ++channel) {
            mask = static_cast<std::uint16_t>(mask | 1u << (channel - 1));
        }
        at = comma + 1;
    }
    return mask;
}


int badOption(const CommandLine& line, const char* option, const char* wants)
{
    std::fprintf(stderr, "%s: %s takes %s\n", line.program, option, wants);
    return usageError(line, kText);
}

}  // namespace

int main(int argc, char** argv)
{
    const CommandLine line = parseCommandLine(argc, argv, kText,
                                              {{"rows-per-beat", true},
                                               {"tempo", true},
                                               {"gain", true},
                                               {"transpose", true},
                                               {"channels", true},
                                               {"drums", true},
                                               {"mml", false}},
                                              2, 2);
    if (line.exitStatus) {
        return *line.exitStatus;
    }
    ImportOptions options;
    if (const std::string* value = line.value("rows-per-beat")) {
        const auto rows = number(*value, 1, 255);
        if (!rows) {
            return badOption(line, "--rows-per-beat", "a whole number of rows a beat, 1 … 255");
        }
        options.rowsPerBeat = *rows;
    }
    if (const std::string* value = line.value("tempo")) {
        options.tempo = number(*value, 1, 255);
        if (!options.tempo) {
            return badOption(line, "--tempo", "a whole number of beats a minute, 1 … 255");
        }
    }
    if (const std::string* value = line.value("gain")) {
        char* end = nullptr;
        const double db = value->size() <= 8 ? std::strtod(value->c_str(), &end) : 1e9;
        if (value->empty() || end == nullptr || *end != '\0' || !(db >= -60.0 && db <= 12.0)) {
            return badOption(line, "--gain", "decibels, -60 … 12");
        }
        options.gainDb = db;
    }
    if (const std::string* value = line.value("transpose")) {
        const auto semitones = number(*value, -127, 127);
        if (!semitones) {
            return badOption(line, "--transpose", "a whole number of semitones, -127 … 127");
        }
        options.transpose = *semitones;
    }
    if (const std::string* value = line.value("channels")) {
        const auto channels = channelList(*value);
        if (!channels) {
            return badOption(line, "--channels", "MIDI channels 1 … 16, such as 1,2,5-8");
        }
        options.channels = *channels;
    }
    if (const std::string* value = line.value("drums")) {
        const auto channel = number(*value, 1, 16);
        if (!channel) {
            return badOption(line, "--drums", "a MIDI channel, 1 … 16");
        }
        options.drumChannel = *channel - 1;
    }

    const std::string& input = line.operands[0];
    const std::string& output = line.operands[1];
    const std::string name = printable(input == "-" ? "standard input" : input);
    if (refuseSameFile(line, input, output) != 0) {
        return 1;
    }
    const auto bytes = readInputBytes(input, kMaxMidiFileBytes);
    if (!bytes) {
        return fileError(line, "cannot read", input == "-" ? "standard input" : input, errno);
    }
    const bool mml = line.has("mml") || hasEnding(output, ".mml");
    if (mml && options.rowsPerBeat && !mmlHasRowLength(*options.rowsPerBeat)) {
        return badOption(line, "--rows-per-beat", "a grid MML writes with --mml: 1, 2, 3, 4, 6, 8, 12 or 16");
    }
    ImportResult result;
    try {
        const MidiFile file = readMidiFile(bytes->data(), bytes->size());
        if (file.format == 2 && file.declaredTracks > 1) {
            std::fprintf(stderr, "%s: %s: format 2 holds %u separate songs; only the first is taken\n", line.program,
                         name.c_str(), static_cast<unsigned>(file.declaredTracks));
        }
        result = importMidi(file, options);
        if (mml && !mmlHasRowLength(result.rowsPerBeat)) {
            // A finer grid than MML's lengths: the one of 12 and 16 rows a
            // beat (triplets or 64ths) that fits the notes better.
            for (const int rows : {16, 12}) {
                ImportOptions grid = options;
                grid.rowsPerBeat = rows;
                ImportResult tried = importMidi(file, grid);
                if (!mmlHasRowLength(result.rowsPerBeat) || tried.medianErrorSeconds < result.medianErrorSeconds) {
                    result = std::move(tried);
                }
            }
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s: %s: %s\n", line.program, name.c_str(), error.what());
        return 1;
    }

    if (result.song.size() > kMaxSongBytes) {
        std::fprintf(stderr, "%s: %s: the song would be longer than the %llu bytes a song may hold\n", line.program,
                     name.c_str(), static_cast<unsigned long long>(kMaxSongBytes));
        return 1;
    }
    const double seconds = renderedSeconds(result.song);
    std::string summary = std::to_string(result.notesTaken) + " notes taken, " +
                          std::to_string(result.notesDroppedOrCut) + " dropped or cut for lack of voices";
    std::string byChannel;
    for (std::size_t channel = 0; channel < result.droppedByChannel.size(); ++channel) {
        if (result.droppedByChannel[channel] > 0) {
            byChannel += (byChannel.empty() ? "" : ", ") + std::string("channel ") + std::to_string(channel + 1) +
                         ": " + std::to_string(result.droppedByChannel[channel]);
        }
    }
    if (!byChannel.empty()) {
        summary += " (" + byChannel + ")";
    }
    summary += ", " + std::to_string(result.notesMoved) + " moved by octaves";
    if (result.notesShortened > 0) {
        summary += ", " + std::to_string(result.notesShortened) + " held past 255 rows shortened";
    }
    if (result.cues > 0 || result.markersDropped > 0) {
        summary += "; " + std::to_string(result.cues) + (result.cues == 1 ? " cue" : " cues") + " from markers";
        if (result.markersDropped > 0) {
            summary += " (" + std::to_string(result.markersDropped) + " left out: no letter or digit, or past 255 names)";
        }
    }
    char detail[256];
    std::snprintf(detail, sizeof detail,
                  "; %d beats a minute, %d rows a beat: starts off by %.1f ms (median), %.1f ms at most; "
                  "volumes %+.1f dB, peak %.1f dBFS; %d:%06.3f long",
                  result.tempo, result.rowsPerBeat, 1000.0 * result.medianErrorSeconds,
                  1000.0 * result.largestErrorSeconds, 20.0 * std::log10(result.gain),
                  result.peak > 0.0 ? 20.0 * std::log10(result.peak) : -99.0, static_cast<int>(seconds / 60),
                  seconds - 60 * static_cast<int>(seconds / 60));
    summary += detail;

    // Warnings, with status 0: the song is written all the same.
    std::vector<std::string> warnings;
    std::size_t chosenNotes = 0;
    for (std::size_t channel = 0; channel < result.notesByChannel.size(); ++channel) {
        chosenNotes += result.notesByChannel[channel];
        if (4 * result.droppedByChannel[channel] > result.notesByChannel[channel]) {
            warnings.push_back("channel " + std::to_string(channel + 1) + " lost " +
                               std::to_string(result.droppedByChannel[channel]) + " of its " +
                               std::to_string(result.notesByChannel[channel]) +
                               " notes for lack of voices (--channels takes fewer)");
        }
    }
    if (chosenNotes == 0) {
        warnings.push_back(line.has("channels") ? "the chosen channels hold no notes: the song is silent"
                                                : "the file holds no notes: the song is silent");
    }

    const bool text = !mml && (output == "-" || namesSongText(output));
    std::vector<std::uint8_t> written = result.song;
    if (mml) {
        const std::optional<std::string> form =
            mmlOfSong(result.song, {std::string(kText.name) + " " + kVersion + " from " + name + ": " + summary,
                                    "mml2sqn compiles it to the same notes, each on its beat"},
                      result.noteBeats);
        written.assign(form->begin(), form->end());
    } else if (text) {
        const std::string form = "# " + std::string(kText.name) + " " + kVersion + " from " + name + ": " + summary +
                                 "\n" + textForm(result.text);
        written.assign(form.begin(), form.end());
    }
    if (writeOutput(line, output, written) != 0) {
        return 1;
    }
    std::fprintf(stderr, "%s: %s: %s\n", line.program, name.c_str(), summary.c_str());
    for (const std::string& warning : warnings) {
        std::fprintf(stderr, "%s: %s: warning: %s\n", line.program, name.c_str(), warning.c_str());
    }
    return 0;
}
