#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct TextError {
    std::size_t line;     // from 1
    std::size_t column;   // from 1, in bytes
    std::string message;  // says what was expected
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

    // One line, without its line break.
    void addLine(std::string_view text);

    bool failed() const { return failed_; }

    // The song's bytes so far.
    std::vector<std::uint8_t>& bytes() { return bytes_; }

private:
    using Tokens = std::vector<Token>;

    void header(const Tokens& tokens);
    void trailingBytes(const Tokens& tokens);
    void event(const Tokens& tokens);
    bool number(const Tokens& tokens, std::size_t at, const std::string& what, std::uint8_t& out);
    bool end(const Tokens& tokens, std::size_t count);
    void fail(std::size_t column, std::string message);

    ErrorFn report_;
    std::vector<std::uint8_t> bytes_;
    std::size_t line_ = 0;     // the line being read, from 1
    std::size_t lineEnd_ = 1;  // its column after the last character
    bool hasHeader_ = false;
    bool trailing_ = false;    // the trailing bytes were read: nothing may follow
    bool failed_ = false;
};

// A whole text: the song's bytes, or nothing with every error found (at
// most one a line).
std::optional<std::vector<std::uint8_t>> assembleSong(std::string_view text, std::vector<TextError>& errors);
