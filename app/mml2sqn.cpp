// mml2sqn <input.mml> <output>: compiles Music Macro Language into a song,
// as a song file or, for a name ending in .txt (or -), in the text form
// with bars, beats and the MML line of every note; of a file of several
// songs, the first or the one --song names. mml2sqn --list names them.

#include "command_line.h"
#include "file_bytes.h"
#include "mml_compiler.h"
#include "mml_file_reader.h"
#include "mml_songs.h"
#include "printable.h"
#include "song_text.h"
#include "timeline.h"
#include "version.h"

#include <cerrno>
#include <cstdio>
#include <string>

namespace {

constexpr ProgramText kText{
    "mml2sqn", "[--song NAME] <input.mml> <output> | --list <input.mml>",
    "Compiles a song written in Music Macro Language into a song for sqn2wav: one\n"
    "line of MML a channel, A-D the melodic voices 0-3, E and F the two hits.\n"
    "Writes the song file, or its text form when <output> ends in .txt or is -.\n"
    "Every error is reported as file:line:column, and then nothing is written.\n"
    "  <input.mml>   the MML; - reads standard input\n"
    "  <output>      song.sqn, song.txt, or - for the text on standard output\n"
    "  --song NAME   of a file of several songs (#song NAME), the one to compile;\n"
    "                the first without it\n"
    "  --list        print the names of the file's songs, one a line\n"
    "  --help        show this help\n"
    "  --version     show the version\n"
    "See man mml2sqn for the language, with a complete example.\n"};

constexpr std::uint64_t kMaxMmlBytes = 16u << 20;

// --list: the names of the file's songs on standard output, one a line
// (none for a file of one song).
int listSongs(const CommandLine& line, const std::string& input)
{
    const auto bytes = readInputBytes(input, kMaxMmlBytes);
    if (!bytes) {
        return fileError(line, "cannot read", input == "-" ? "standard input" : input, errno);
    }
    MmlErrors errors;
    const std::vector<std::string> names =
        mmlSongNames(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()), errors);
    if (!errors.empty()) {
        const std::string name = printable(input == "-" ? "<stdin>" : input);
        for (const TextError& error : errors.shown()) {
            std::fprintf(stderr, "%s:%zu:%zu: %s\n", name.c_str(), error.line, error.column, error.message.c_str());
        }
        return 1;
    }
    for (const std::string& song : names) {
        std::printf("%s\n", song.c_str());
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}


}  // namespace

int main(int argc, char** argv)
{
    const CommandLine line = parseCommandLine(argc, argv, kText, {{"song", true}, {"list", false}}, 1, 2);
    if (line.exitStatus) {
        return *line.exitStatus;
    }
    if (line.has("list")) {
        if (line.operands.size() != 1 || line.has("song")) {
            return usageError(line, kText);
        }
        return listSongs(line, line.operands[0]);
    }
    if (line.operands.size() != 2) {
        return usageError(line, kText);
    }
    const std::string& input = line.operands[0];
    const std::string& output = line.operands[1];
    if (refuseSameFile(line, input, output) != 0) {
        return 1;
    }
    const auto bytes = readInputBytes(input, kMaxMmlBytes);
    if (!bytes) {
        return fileError(line, "cannot read", input == "-" ? "standard input" : input, errno);
    }
    const std::string name = printable(input == "-" ? "<stdin>" : input);
    const bool textForm = output == "-" || namesSongText(output);
    MmlOptions options;
    options.textForm = textForm;
    options.song = line.value("song") ? *line.value("song") : "";
    options.path = mmlPlainPath(input);
    options.readFile = mmlFilesOnDisk();
    const MmlResult result =
        compileMml(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()), options);
    if (!result.errors.empty()) {
        // The first errors only: the rest of a file of bad lines would bury them.
        for (const TextError& error : result.errors) {
            std::fprintf(stderr, "%s:%zu:%zu: %s\n", error.file.empty() ? name.c_str() : printable(error.file).c_str(),
                         error.line, error.column, error.message.c_str());
        }
        if (result.errorCount > result.errors.size()) {
            std::fprintf(stderr, "%s: %zu more errors not shown\n", line.program,
                         result.errorCount - result.errors.size());
        }
        return 1;
    }

    // What the song could not hold is told, and the song written all the same.
    for (const TextError& warning : result.warnings) {
        std::fprintf(stderr, "%s:%zu:%zu: warning: %s\n",
                     warning.file.empty() ? name.c_str() : printable(warning.file).c_str(), warning.line,
                     warning.column, warning.message.c_str());
    }
    if (result.warningCount > result.warnings.size()) {
        std::fprintf(stderr, "%s: %zu more warnings not shown\n", line.program,
                     result.warningCount - result.warnings.size());
    }
    const double seconds = renderedSeconds(result.song);
    char summary[200];
    std::snprintf(summary, sizeof summary, "%s%s%d beats a minute, rows of %.3f ms; %d:%06.3f long",
                  result.title.empty() ? "" : printable(result.title).c_str(), result.title.empty() ? "" : ", ",
                  result.beatsPerMinute, 60000.0 / (result.tempo * result.rowsPerBeat),
                  static_cast<int>(seconds / 60), seconds - 60 * static_cast<int>(seconds / 60));
    std::vector<std::uint8_t> written = result.song;
    if (textForm) {
        const std::string form = "# " + std::string(kText.name) + " " + kVersion + " from " + name + ": " + summary +
                                 "\n" + mmlTextForm(result.text);
        written.assign(form.begin(), form.end());
    }
    if (writeOutput(line, output, written) != 0) {
        return 1;
    }
    std::fprintf(stderr, "%s: %s: %s\n", line.program, name.c_str(), summary);
    return 0;
}
