#include "song_assembler.h"

#include "characters.h"

#include "command_words.h"
#include "note_names.h"
#include "pitch_table.h"
#include "printable.h"
#include "song_event.h"
#include "song_map.h"
#include "song_player.h"

#include <cctype>
#include <cmath>
#include <string>

struct SongAssembler::Token {
    std::string_view text;
    std::size_t column;  // from 1
};

namespace {

using Token = SongAssembler::Token;

std::vector<Token> tokenize(std::string_view line)
{
    std::vector<Token> tokens;
    std::size_t at = 0;
    while (at < line.size()) {
        if (line[at] == ' ' || line[at] == '\t' || line[at] == '\r') {
            ++at;
            continue;
        }
        if (line[at] == '#') {
            break;
        }
        const std::size_t start = at;
        // A '#' inside a word is a sharp ("C#5"); only one that starts a
        // word starts a comment.
        while (at < line.size() && line[at] != ' ' && line[at] != '\t' && line[at] != '\r') {
            ++at;
        }
        tokens.push_back({line.substr(start, at - start), start + 1});
    }
    return tokens;
}

std::optional<std::uint8_t> byteValue(std::string_view text)
{
    if (text.empty() || text.size() > 3) {
        return std::nullopt;
    }
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    if (value > 255) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(value);
}

// "0.75" → 96: a fraction of unity, to the nearest 1/128.
std::optional<std::uint8_t> volumeFraction(std::string_view text)
{
    const std::size_t dot = text.find('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == text.size() || text.size() > 16) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i != dot && (text[i] < '0' || text[i] > '9')) {
            return std::nullopt;
        }
    }
    const double steps = std::round(std::strtod(std::string(text).c_str(), nullptr) * kUnityVolume);
    if (steps > 255.0) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(steps);
}

// Words are read in any case: "NOTE", "Loop-End".
bool isWord(std::string_view text, std::string_view word)
{
    if (text.size() != word.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != word[i]) {
            return false;
        }
    }
    return true;
}

std::optional<std::uint8_t> commandValue(std::string_view text)
{
    for (const CommandWord& c : kCommandWords) {
        if (isWord(text, c.word)) {
            return static_cast<std::uint8_t>(c.command);
        }
    }
    return byteValue(text);
}

std::string found(const Token& token)
{
    return ", found '" + printablePrefix(token.text, kMaxQuotedBytes) + "'";
}

std::string parameterName(std::uint8_t command)
{
    switch (static_cast<Command>(command)) {
    case Command::Wait:
    case Command::LoopStart:
    case Command::LoopEnd:
        return "rows to wait, 0 … 255";
    case Command::NoteOn:
        return "a gate length in rows, 0 … 255";
    case Command::SetVolume:
        return "a volume: a fraction of unity 0.0 … 1.9921875 or a step count 0 … 255";
    case Command::SetPitch:
        return "a pitch: a note name D#2 … B8 or an index 0 … 255";
    }
    return "a parameter byte 0 … 255";
}

}  // namespace

void SongAssembler::addLine(std::string_view text)
{
    if (done()) {
        return;
    }
    ++line_;
    text_ = {};
    if (line_ > kMaxTextLines) {
        tooManyLines_ = true;
        fail(1, "expected at most " + std::to_string(kMaxTextLines) + " lines, found more");
        return;
    }
    // Editors that start files with a byte order mark: columns count from
    // after it.
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    if (line_ == 1 && text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
        text.remove_prefix(kByteOrderMark.size());
    }
    text_ = text;
    if (text.size() > kMaxLineBytes) {
        fail(kMaxLineBytes + 1, "expected the end of the line within " + std::to_string(kMaxLineBytes) +
                                    " bytes, found a longer line");
        return;
    }
    lineEnd_ = text.size() + 1;
    const std::vector<Token> tokens = tokenize(text);
    if (tokens.empty()) {
        return;
    }
    if (trailing_) {
        fail(tokens[0].column, "expected nothing after the trailing bytes" + found(tokens[0]));
        return;
    }
    if (isWord(tokens[0].text, "tempo")) {
        header(tokens);
    } else if (isWord(tokens[0].text, "bytes")) {
        trailingBytes(tokens);
    } else if (isWord(tokens[0].text, "map")) {
        mapRecord(tokens);
    } else {
        event(tokens);
    }
}

void SongAssembler::addText(std::string_view text)
{
    while (!text.empty() && !done()) {
        const std::size_t newline = text.find('\n');
        addLine(text.substr(0, newline));
        text = newline == std::string_view::npos ? std::string_view{} : text.substr(newline + 1);
    }
}

void SongAssembler::header(const Tokens& tokens)
{
    if (hasHeader_) {
        fail(tokens[0].column, "expected one tempo line only" + found(tokens[0]));
        return;
    }
    std::uint8_t tempo = 0;
    std::uint8_t rows = 0;
    if (!number(tokens, 1, "a tempo in beats a minute, 0 … 255", tempo) ||
        !number(tokens, 2, "rows a beat, 0 … 255", rows) || !end(tokens, 3)) {
        return;
    }
    hasHeader_ = true;
    append({tempo, rows}, tokens[0].column);
}

void SongAssembler::trailingBytes(const Tokens& tokens)
{
    // Without a tempo line a song file of one byte, with one the one
    // or two bytes after the last event.
    const std::size_t most = hasHeader_ ? 2 : 1;
    std::uint8_t value = 0;
    if (!number(tokens, 1, "a byte 0 … 255", value)) {
        return;
    }
    std::vector<std::uint8_t> values{value};
    if (tokens.size() > 2 && most == 2) {
        if (!number(tokens, 2, "a byte 0 … 255", value)) {
            return;
        }
        values.push_back(value);
    }
    if (!end(tokens, values.size() + 1)) {
        return;
    }
    trailing_ = true;
    for (const std::uint8_t byte : values) {
        append({byte}, tokens[0].column);
    }
}

void SongAssembler::event(const Tokens& tokens)
{
    const Token& first = tokens[0];
    const std::optional<std::uint8_t> command = commandValue(first.text);
    if (!command) {
        fail(first.column, "expected tempo, bytes, a command (wait, note, volume, pitch, loop-start, "
                           "loop-end) or a command byte 0 … 255" + found(first));
        return;
    }
    if (!hasHeader_) {
        fail(first.column, "expected a tempo line before the first event" + found(first));
        return;
    }
    std::uint8_t voice = 0;
    if (!number(tokens, 1, "a voice 0 … 5 (or any byte 0 … 255)", voice)) {
        return;
    }
    if (tokens.size() < 3) {
        fail(lineEnd_, "expected " + parameterName(*command) + ", found the end of the line");
        return;
    }
    const Token& p = tokens[2];
    std::optional<std::uint8_t> value = byteValue(p.text);
    if (!value && *command == static_cast<std::uint8_t>(Command::SetPitch)) {
        value = noteIndex(p.text);
    }
    if (!value && *command == static_cast<std::uint8_t>(Command::SetVolume)) {
        value = volumeFraction(p.text);
    }
    if (!value) {
        fail(p.column, "expected " + parameterName(*command) + found(p));
        return;
    }
    if (!end(tokens, 3)) {
        return;
    }
    append({voice, *command, *value}, first.column);
}

// "map tempo 140", "map meter 3 4", "map cue-name 0 verse": a map record,
// its events written as the song map reads them.
void SongAssembler::mapRecord(const Tokens& tokens)
{
    if (!hasHeader_) {
        fail(tokens[0].column, "expected a tempo line before the first event" + found(tokens[0]));
        return;
    }
    const std::string kinds = "tempo, tempo-us, meter, moment, cue or cue-name";
    if (tokens.size() < 2) {
        fail(lineEnd_, "expected a map record (" + kinds + "), found the end of the line");
        return;
    }
    const Token& kind = tokens[1];
    // A whole number least … most.
    const auto whole = [&](std::size_t at, long least, long most, const std::string& what, long& out) {
        if (at >= tokens.size()) {
            fail(lineEnd_, "expected " + what + ", found the end of the line");
            return false;
        }
        const std::string_view text = tokens[at].text;
        const bool negative = !text.empty() && text.front() == '-';
        const std::string_view digits = negative ? text.substr(1) : text;
        long value = 0;
        bool ok = !digits.empty() && digits.size() <= 9;
        for (const char c : digits) {
            ok = ok && c >= '0' && c <= '9';
            value = value * 10 + (c - '0');
        }
        value = negative ? -value : value;
        if (!ok || value < least || value > most) {
            fail(tokens[at].column, "expected " + what + found(tokens[at]));
            return false;
        }
        out = value;
        return true;
    };
    std::vector<std::uint8_t> data;
    MapKind record = MapKind::BeatsPerMinute;
    long a = 0;
    long b = 0;
    if (isWord(kind.text, "tempo")) {
        if (!whole(2, 1, 255, "beats a minute, 1 … 255", a) || !end(tokens, 3)) {
            return;
        }
        data = {static_cast<std::uint8_t>(a)};
    } else if (isWord(kind.text, "tempo-us")) {
        if (!whole(2, 1, 16777215, "microseconds a quarter note, 1 … 16777215", a) || !end(tokens, 3)) {
            return;
        }
        record = MapKind::QuarterMicroseconds;
        data = {static_cast<std::uint8_t>(a >> 16), static_cast<std::uint8_t>(a >> 8), static_cast<std::uint8_t>(a)};
    } else if (isWord(kind.text, "meter")) {
        if (!whole(2, 1, 255, "beats a bar, 1 … 255", a) ||
            !whole(3, 1, 128, "the note value of a beat, 1, 2, 4 … 128", b) || !end(tokens, 4)) {
            return;
        }
        if ((b & (b - 1)) != 0) {
            fail(tokens[3].column, "expected the note value of a beat, 1, 2, 4 … 128" + found(tokens[3]));
            return;
        }
        record = MapKind::Meter;
        data = {static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b)};
    } else if (isWord(kind.text, "moment")) {
        if (!whole(2, -32768, 32767, "frames at 48000 Hz, -32768 … 32767", a) || !end(tokens, 3)) {
            return;
        }
        record = MapKind::Moment;
        const auto bits = static_cast<std::uint16_t>(static_cast<std::int16_t>(a));
        data = {static_cast<std::uint8_t>(bits >> 8), static_cast<std::uint8_t>(bits)};
    } else if (isWord(kind.text, "cue")) {
        if (!whole(2, 0, static_cast<long>(kMaxCues) - 1, "a cue's index, 0 … 254", a) || !end(tokens, 3)) {
            return;
        }
        record = MapKind::Cue;
        data = {static_cast<std::uint8_t>(a)};
    } else if (isWord(kind.text, "cue-name")) {
        if (!whole(2, 0, static_cast<long>(kMaxCues) - 1, "a cue's index, 0 … 254", a)) {
            return;
        }
        if (tokens.size() < 4) {
            fail(lineEnd_, "expected the cue's name, found the end of the line");
            return;
        }
        const std::string_view name = tokens[3].text;
        if (name.size() > kMaxCueNameBytes || !validCueName(name)) {
            fail(tokens[3].column, "expected a cue name of letters, digits, _ and -, at most " +
                                       std::to_string(kMaxCueNameBytes) + " bytes" + found(tokens[3]));
            return;
        }
        if (!end(tokens, 4)) {
            return;
        }
        record = MapKind::CueName;
        data = cueNameData(static_cast<std::uint8_t>(a), name);
    } else {
        fail(kind.column, "expected a map record (" + kinds + ")" + found(kind));
        return;
    }
    for (const SongEvent& event : mapRecordEvents(record, data)) {
        append({event.voice, event.command, static_cast<std::uint8_t>(event.param)}, tokens[0].column);
    }
}

void SongAssembler::append(std::initializer_list<std::uint8_t> values, std::size_t column)
{
    if (tooLong_) {
        return;
    }
    if (bytes_.size() + values.size() > kMaxSongBytes) {
        // Reported once; no song can be made now, and nothing more is read
        // (the text may be an endless stream).
        tooLong_ = true;
        bytes_ = {};
        fail(column, "expected a song of at most " + std::to_string(kMaxSongBytes) + " bytes, found more");
        return;
    }
    bytes_.insert(bytes_.end(), values);
    if (values.size() == 3) {
        eventLines_.push_back(line_);
    }
}

bool SongAssembler::number(const Tokens& tokens, std::size_t at, const std::string& what, std::uint8_t& out)
{
    if (at >= tokens.size()) {
        fail(lineEnd_, "expected " + what + ", found the end of the line");
        return false;
    }
    const std::optional<std::uint8_t> value = byteValue(tokens[at].text);
    if (!value) {
        fail(tokens[at].column, "expected " + what + found(tokens[at]));
        return false;
    }
    out = *value;
    return true;
}

bool SongAssembler::end(const Tokens& tokens, std::size_t count)
{
    if (tokens.size() > count) {
        fail(tokens[count].column, "expected the end of the line" + found(tokens[count]));
        return false;
    }
    return true;
}

void SongAssembler::fail(std::size_t column, std::string message)
{
    ++errorCount_;
    // Columns as an editor counts them, in characters.
    report_({line_, characterColumn(text_, column), std::move(message)});
}

std::optional<std::vector<std::uint8_t>> assembleSong(std::string_view text, std::vector<TextError>& errors,
                                                      std::size_t* errorCount)
{
    SongAssembler assembler([&errors](const TextError& error) {
        if (errors.size() < kMaxReportedErrors) {
            errors.push_back(error);
        }
    });
    assembler.addText(text);
    if (errorCount != nullptr) {
        *errorCount = assembler.errorCount();
    }
    if (assembler.failed()) {
        return std::nullopt;
    }
    return std::move(assembler.bytes());
}
