// The compilers' binding: the text form's assembler and disassembler, the
// MML compiler and the MIDI import, as plain functions of sqn.wasm beside
// the player's (a game that only plays songs loads sqn-play.wasm, without
// them).

#include "web_blob.h"

#include "midi_file.h"
#include "midi_import.h"
#include "mml_compiler.h"
#include "mml_songs.h"
#include "mml_spans.h"
#include "song_assembler.h"
#include "song_disassembler.h"
#include "song_text.h"

#include <algorithm>
#include <cstring>
#include <cstdint>
#include <string>
#include <vector>

extern "C" {

// The song's bytes, or each of the first errors as
// "line\tcolumn\tmessage\n", then "0\t0\tN more errors not shown\n" where
// there were more.
__attribute__((export_name("web_assemble"))) Blob* webAssemble(const char* text, std::uint32_t size)
{
    std::vector<TextError> errors;
    std::size_t errorCount = 0;
    const auto song = assembleSong(std::string_view(text, size), errors, &errorCount);
    if (song) {
        return makeBlob(false, song->data(), song->size());
    }
    std::string listing;
    for (const TextError& error : errors) {
        listing += std::to_string(error.line) + "\t" + std::to_string(error.column) + "\t" + error.message + "\n";
    }
    if (errorCount > errors.size()) {
        listing += "0\t0\t" + std::to_string(errorCount - errors.size()) + " more errors not shown\n";
    }
    return failure(listing);
}

// The same for Music Macro Language: of a file of several songs, the one
// whose name the first `nameSize` bytes hold (the first where none); with
// the line of each event where `withLines`.
__attribute__((export_name("web_compile_mml"))) Blob* webCompileMml(const char* text, std::uint32_t size,
                                                                    std::uint32_t nameSize, int withLines)
{
    nameSize = std::min(nameSize, size);
    MmlOptions options;
    options.song.assign(text, nameSize);
    const MmlResult result = compileMml(std::string_view(text + nameSize, size - nameSize), options);
    if (result.errors.empty()) {
        if (withLines == 0) {
            return makeBlob(false, result.song.data(), result.song.size());
        }
        // The song's size (32 bits), the song, then its event lines (32
        // bits each): what following along needs, from the one compile.
        std::vector<std::uint8_t> out(4 + result.song.size() + 4 * result.eventLines.size());
        const auto size32 = static_cast<std::uint32_t>(result.song.size());
        std::memcpy(out.data(), &size32, 4);
        std::copy(result.song.begin(), result.song.end(), out.begin() + 4);
        std::memcpy(out.data() + 4 + result.song.size(), result.eventLines.data(), 4 * result.eventLines.size());
        return makeBlob(false, out.data(), out.size());
    }
    std::string listing;
    for (const TextError& error : result.errors) {
        listing += std::to_string(error.line) + "\t" + std::to_string(error.column) + "\t" + error.message + "\n";
    }
    if (result.errorCount > result.errors.size()) {
        listing += "0\t0\t" + std::to_string(result.errorCount - result.errors.size()) + " more errors not shown\n";
    }
    return failure(listing);
}

// The text line each event of a song comes from, as 32-bit numbers in
// event order: of the text form (`mml` 0) or of MML (1). Empty where the
// text has errors.
__attribute__((export_name("web_event_lines"))) Blob* webEventLines(const char* text, std::uint32_t size, int mml,
                                                                    std::uint32_t nameSize)
{
    std::vector<std::uint32_t> lines;
    if (mml != 0) {
        nameSize = std::min(nameSize, size);
        MmlOptions options;
        options.song.assign(text, nameSize);
        const MmlResult result = compileMml(std::string_view(text + nameSize, size - nameSize), options);
        lines.assign(result.eventLines.begin(), result.eventLines.end());
    } else {
        SongAssembler assembler([](const TextError&) {});
        assembler.addText(std::string_view(text, size));
        if (!assembler.failed()) {
            lines.assign(assembler.eventLines().begin(), assembler.eventLines().end());
        }
    }
    return makeBlob(false, lines.data(), lines.size() * sizeof(std::uint32_t));
}

// An MML song's notes and rests where they are written, for the piano
// roll: the numbers (as doubles) "mistakes? units a beat", then
// "voice start length pitch line column octave transpose" a span (times in
// units, pitch -1 for a rest, columns in characters).
__attribute__((export_name("web_mml_spans"))) Blob* webMmlSpans(const char* text, std::uint32_t size,
                                                                std::uint32_t nameSize)
{
    nameSize = std::min(nameSize, size);
    const MmlSpans spans = mmlSpans(std::string_view(text + nameSize, size - nameSize), std::string(text, nameSize));
    std::vector<double> values{spans.failed ? 1.0 : 0.0, static_cast<double>(kUnitsPerBeat)};
    for (std::size_t voice = 0; voice < spans.channels.size(); ++voice) {
        for (const MmlSpan& span : spans.channels[voice]) {
            values.insert(values.end(), {static_cast<double>(voice), static_cast<double>(span.start),
                                         static_cast<double>(span.length), static_cast<double>(span.pitch),
                                         static_cast<double>(span.place.line), static_cast<double>(span.place.column),
                                         static_cast<double>(span.octave), static_cast<double>(span.transpose)});
        }
    }
    return makeBlob(false, values.data(), values.size() * sizeof(double));
}

// The names of an MML file's songs (#song name), a line each; empty for a
// file of one song.
__attribute__((export_name("web_mml_songs"))) Blob* webMmlSongs(const char* text, std::uint32_t size)
{
    MmlErrors errors;
    std::string names;
    for (const std::string& name : mmlSongNames(std::string_view(text, size), errors)) {
        if (!name.empty()) {
            names += name;
            names += '\n';
        }
    }
    return makeBlob(false, names.data(), names.size());
}

// A Standard MIDI File as the text form mid2sqn writes, or why it is not
// one. The reader reports a malformed file by throwing, which ends the
// module's instance here (exceptions are not caught in the page's build):
// the page runs each import in an instance of its own.
__attribute__((export_name("web_import_midi"))) Blob* webImportMidi(const std::uint8_t* bytes, std::uint32_t size)
{
    const MidiFile file = readMidiFile(bytes, size);
    const ImportResult result = importMidi(file, ImportOptions{});
    const std::string text = "# imported from MIDI: " + std::to_string(result.notesTaken) + " notes taken, " +
                             std::to_string(result.notesDroppedOrCut) + " dropped or cut for lack of voices\n" +
                             textForm(result.text);
    return makeBlob(false, text.data(), text.size());
}

__attribute__((export_name("web_disassemble"))) Blob* webDisassemble(const std::uint8_t* song, std::uint32_t size)
{
    const std::string text = disassembleSong(std::vector<std::uint8_t>(song, song + size));
    return makeBlob(false, text.data(), text.size());
}

}  // extern "C"
