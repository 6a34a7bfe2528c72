#include "song_text.h"

#include "memory_read.h"
#include "note_names.h"
#include "output_format.h"
#include "pitch_table.h"
#include "song_event.h"
#include "song_player.h"
#include "timeline.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

struct CommandWord {
    Command command;
    const char* word;
};

constexpr std::array<CommandWord, 6> kCommandWords{{
    {Command::Wait, "wait"},
    {Command::NoteOn, "note"},
    {Command::SetVolume, "volume"},
    {Command::SetPitch, "pitch"},
    {Command::LoopStart, "loop-start"},
    {Command::LoopEnd, "loop-end"},
}};

constexpr float kUnityVolume = 128.0f;

struct Token {
    std::string_view text;
    std::size_t column;  // from 1
};

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

std::optional<std::uint8_t> commandValue(std::string_view text)
{
    for (const CommandWord& c : kCommandWords) {
        if (text == c.word) {
            return static_cast<std::uint8_t>(c.command);
        }
    }
    return byteValue(text);
}

const char* commandWord(std::uint8_t command)
{
    for (const CommandWord& c : kCommandWords) {
        if (command == static_cast<std::uint8_t>(c.command)) {
            return c.word;
        }
    }
    return nullptr;
}

std::string found(const Token& token)
{
    return ", found '" + std::string(token.text) + "'";
}

// Reads one statement a line into `bytes`, noting the first error of each
// line.
class Assembler {
public:
    explicit Assembler(std::vector<TextError>& errors) : errors_(errors) {}

    void line(std::string_view text, std::size_t number)
    {
        line_ = number;
        lineEnd_ = text.size() + 1;
        const std::vector<Token> tokens = tokenize(text);
        if (tokens.empty()) {
            return;
        }
        if (trailing_) {
            fail(tokens[0].column, "expected nothing after the trailing bytes" + found(tokens[0]));
            return;
        }
        if (tokens[0].text == "tempo") {
            header(tokens);
        } else if (tokens[0].text == "bytes") {
            trailingBytes(tokens);
        } else {
            event(tokens);
        }
    }

    std::vector<std::uint8_t> bytes;

private:
    void header(const std::vector<Token>& tokens)
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
        bytes.insert(bytes.end(), {tempo, rows});
    }

    void trailingBytes(const std::vector<Token>& tokens)
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
        bytes.insert(bytes.end(), values.begin(), values.end());
    }

    void event(const std::vector<Token>& tokens)
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
        bytes.insert(bytes.end(), {voice, *command, *value});
    }

    static std::string parameterName(std::uint8_t command)
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

    bool number(const std::vector<Token>& tokens, std::size_t at, const std::string& what, std::uint8_t& out)
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

    bool end(const std::vector<Token>& tokens, std::size_t count)
    {
        if (tokens.size() > count) {
            fail(tokens[count].column, "expected the end of the line" + found(tokens[count]));
            return false;
        }
        return true;
    }

    void fail(std::size_t column, std::string message)
    {
        errors_.push_back({line_, column, std::move(message)});
    }

    std::vector<TextError>& errors_;
    std::size_t line_ = 0;
    std::size_t lineEnd_ = 1;
    bool hasHeader_ = false;
    bool trailing_ = false;
};

// "1.0", "0.75", "1.9921875": a step count as a fraction of unity.
std::string volumeText(std::uint8_t steps)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.7f", steps / static_cast<double>(kUnityVolume));
    std::size_t length = std::strlen(text);
    while (length > 0 && text[length - 1] == '0' && text[length - 2] != '.') {
        --length;
    }
    return std::string(text, length);
}

std::string parameterText(const SongEvent& event)
{
    if (event.command == static_cast<std::uint8_t>(Command::SetPitch) && event.param < kPitchCount) {
        return noteName(static_cast<std::uint8_t>(event.param));
    }
    if (event.command == static_cast<std::uint8_t>(Command::SetVolume)) {
        return volumeText(static_cast<std::uint8_t>(event.param));
    }
    return std::to_string(event.param);
}

std::string timeText(std::uint64_t frame)
{
    char text[64];
    std::snprintf(text, sizeof text, "frame %llu, %.6f s", static_cast<unsigned long long>(frame),
                  static_cast<double>(frame) / kOutputRate);
    return text;
}

void appendLine(std::string& out, const std::string& statement, const std::string& comment)
{
    out += statement;
    if (!comment.empty()) {
        constexpr std::size_t kCommentColumn = 24;
        out.append(statement.size() < kCommentColumn ? kCommentColumn - statement.size() : 1, ' ');
        out += "# " + comment;
    }
    out += '\n';
}

}  // namespace

std::optional<std::vector<std::uint8_t>> assembleSong(std::string_view text, std::vector<TextError>& errors)
{
    const std::size_t before = errors.size();
    Assembler assembler(errors);
    std::size_t number = 1;
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        assembler.line(text.substr(0, newline), number++);
        text = newline == std::string_view::npos ? std::string_view{} : text.substr(newline + 1);
    }
    if (errors.size() != before) {
        return std::nullopt;
    }
    return std::move(assembler.bytes);
}

std::string disassembleSong(const std::vector<std::uint8_t>& bytes)
{
    std::string out;
    if (bytes.size() < 2) {
        if (!bytes.empty()) {
            appendLine(out, "bytes " + std::to_string(bytes[0]), "shorter than a header: sqn2wav fails to load it");
        }
        return out;
    }

    SongPlayer player;
    player.sampleRate = static_cast<float>(kOutputRate);
    player.looping = false;
    const bool loaded = player.load(memoryRead(bytes.data(), bytes.size()));

    char rowText[64];
    std::snprintf(rowText, sizeof rowText, "a row is %.9g s", player.rowDuration);
    appendLine(out, "tempo " + std::to_string(bytes[0]) + " " + std::to_string(bytes[1]),
               loaded ? rowText : "a zero byte: sqn2wav fails to load this song");
    if (!loaded) {
        // Still every event, so that the text assembles to the same bytes.
        for (std::size_t i = 2; i + 3 <= bytes.size(); i += 3) {
            player.events.push_back({bytes[i], bytes[i + 1], bytes[i + 2]});
        }
    }

    const Timeline timeline = loaded ? computeTimeline(player, kBlockFrames) : Timeline{};
    for (std::size_t i = 0; i < player.events.size(); ++i) {
        const SongEvent& event = player.events[i];
        const char* word = commandWord(event.command);
        const std::string statement = (word ? std::string(word) : std::to_string(event.command)) + " " +
                                      std::to_string(event.voice) + " " + parameterText(event);
        std::string comment;
        if (loaded) {
            comment = timeline.takenAt[i] == Timeline::kNotTaken ? "not reached: the output ends first"
                                                                 : timeText(timeline.takenAt[i]);
            if (event.voice >= kVoiceCount) {
                comment += "; no such voice: skipped";
            } else if (!word) {
                comment += "; no such command: does nothing";
            } else if (event.command == static_cast<std::uint8_t>(Command::SetPitch) &&
                       event.param >= kPitchCount) {
                comment += "; plays " + noteName(kPitchCount - 1);
            }
        }
        appendLine(out, statement, comment);
    }

    const std::size_t trailing = (bytes.size() - 2) % 3;
    if (trailing > 0) {
        std::string statement = "bytes";
        for (std::size_t i = bytes.size() - trailing; i < bytes.size(); ++i) {
            statement += ' ';
            statement += std::to_string(bytes[i]);
        }
        appendLine(out, statement, "trailing bytes: no event");
    }

    if (loaded) {
        char summary[256];
        std::snprintf(summary, sizeof summary, "# ends in %s; sqn2wav writes %llu blocks, %llu frames, %.6f s\n",
                      timeText(timeline.finishedAt).c_str(),
                      static_cast<unsigned long long>(timeline.frames / kBlockFrames),
                      static_cast<unsigned long long>(timeline.frames),
                      static_cast<double>(timeline.frames) / kOutputRate);
        out += summary;
        if (timeline.frames * kOutputFrameBytes > kMaxDataBytes) {
            out += "# longer than a WAV file can hold: sqn2wav stops with \"failed to write pcm frames.\"\n";
        }
    }
    return out;
}
