#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::size_t kMaxLineBytes = 4096;       // a longer line is an error
inline constexpr std::size_t kMaxReportedErrors = 100;  // the errors worth showing; the rest are counted
inline constexpr std::size_t kMaxQuotedBytes = 32;      // of a bad word, in a message
// Lines a text may have: far more than any song's events and comments (a
// song holds at most 5.6 million events), so that an endless stream of lines
// is given up in seconds.
inline constexpr std::size_t kMaxTextLines = 16u << 20;

struct TextError {
    std::size_t line;     // from 1
    std::size_t column;   // from 1, in characters (a valid UTF-8 sequence is one; so is a stray byte)
    std::string message;  // says what was expected
    std::string file = {};  // the file it is in, where that is not the one given (an MML file's #include)
};

// Assembles the text form of a song a line at a time, holding only the
// bytes produced so far, so that a text of any length can be read as it
// comes. Each bad line is reported once, when it is read; a song with any
// bad line has failed, and its bytes are not to be written.
class SongAssembler {
public:
    using ErrorFn = std::function<void(const TextError&)>;

    struct Token;  // a word of a line and its column

    explicit SongAssembler(ErrorFn report) : report_(std::move(report)) {}

    // One line, without its line break. Only its first kMaxLineBytes + 1
    // bytes need be passed: a line longer than kMaxLineBytes is an error.
    void addLine(std::string_view text);

    // A whole text, a line at a time, until done().
    void addText(std::string_view text);

    bool failed() const { return errorCount_ > 0; }
    // Nothing more is to be read: the song grew past its size limit, or the
    // text past kMaxTextLines (reported). Lines added later are ignored.
    bool done() const { return tooLong_ || tooManyLines_; }
    std::size_t errorCount() const { return errorCount_; }  // every one, reported or not

    // The song's bytes so far.
    std::vector<std::uint8_t>& bytes() { return bytes_; }

    // The line (from 1) each event so far was written on, in event order.
    const std::vector<std::size_t>& eventLines() const { return eventLines_; }

private:
    using Tokens = std::vector<Token>;

    void header(const Tokens& tokens);
    void trailingBytes(const Tokens& tokens);
    void event(const Tokens& tokens);
    void mapRecord(const Tokens& tokens);
    bool number(const Tokens& tokens, std::size_t at, const std::string& what, std::uint8_t& out);
    bool end(const Tokens& tokens, std::size_t count);
    void fail(std::size_t column, std::string message);
    // Adds an event's or the header's bytes, up to the song size limit.
    void append(std::initializer_list<std::uint8_t> values, std::size_t column);

    ErrorFn report_;
    std::vector<std::uint8_t> bytes_;
    std::vector<std::size_t> eventLines_;
    std::size_t line_ = 0;     // the line being read, from 1
    std::string_view text_;    // that line, for counting columns in characters
    std::size_t lineEnd_ = 1;  // its column after the last character
    bool hasHeader_ = false;
    bool trailing_ = false;    // the trailing bytes were read: nothing may follow
    bool tooLong_ = false;     // the song passed its size limit: no more bytes are kept
    bool tooManyLines_ = false;
    std::size_t errorCount_ = 0;
};

// A whole text: the song's bytes, or nothing with the first
// kMaxReportedErrors errors found (at most one a line) and, where
// `errorCount` is given, the number of them all.
std::optional<std::vector<std::uint8_t>> assembleSong(std::string_view text, std::vector<TextError>& errors,
                                                      std::size_t* errorCount = nullptr);
