#include "mml_songs.h"

#include "printable.h"
#include "text_lines.h"

#include <algorithm>

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

bool isNameCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

// "#song name": the name after it, where the line is one; `column` is where
// the line's # stands, from 1.
bool songLine(std::string_view line, std::size_t& column, std::string_view& rest)
{
    std::size_t at = 0;
    while (at < line.size() && isBlank(line[at])) {
        ++at;
    }
    constexpr std::string_view kWord = "#song";
    if (line.substr(at, kWord.size()) != kWord ||
        (at + kWord.size() < line.size() && !isBlank(line[at + kWord.size()]))) {
        return false;
    }
    column = at + 1;
    rest = line.substr(at + kWord.size());
    return true;
}

}  // namespace

std::vector<std::string> mmlSongNames(std::string_view text, MmlErrors& errors)
{
    std::vector<std::string> names;
    std::size_t number = 0;
    for (std::string_view line : textLines(text)) {
        ++number;
        line = line.substr(0, line.find(';'));
        std::size_t column = 0;
        std::string_view rest;
        if (!songLine(line, column, rest)) {
            continue;
        }
        std::size_t at = 0;
        while (at < rest.size() && isBlank(rest[at])) {
            ++at;
        }
        std::size_t end = at;
        while (end < rest.size() && isNameCharacter(rest[end])) {
            ++end;
        }
        const std::string name(rest.substr(at, end - at));
        std::size_t after = end;
        while (after < rest.size() && isBlank(rest[after])) {
            ++after;
        }
        const std::size_t nameColumn = column + 5 + at;
        if (name.empty() || name.size() > kMaxSongNameBytes || after < rest.size()) {
            std::string found = "the end of the line";
            if (at < rest.size()) {
                found = "'";
                found += printablePrefix(rest.substr(at), kMaxQuotedBytes);
                found += "'";
            }
            errors.add(number, nameColumn,
                       "expected a song name of letters, digits, _ and -, at most " + std::to_string(kMaxSongNameBytes) +
                           " bytes, after #song, found " + found);
            names.emplace_back();
            continue;
        }
        if (std::find(names.begin(), names.end(), name) != names.end()) {
            errors.add(number, nameColumn, "expected each song named once, found " + name + " again");
        }
        names.push_back(name);
    }
    return names;
}

std::string mmlSongText(std::string_view text, const std::string& song, MmlErrors& errors)
{
    std::string kept(text);
    const std::vector<std::string> names = mmlSongNames(text, errors);
    if (names.empty()) {
        if (!song.empty()) {
            errors.add(1, 1, "expected a song named " + song + ", found a file of one song, without #song");
        }
        return kept;
    }
    const auto chosen = song.empty() ? names.begin() : std::find(names.begin(), names.end(), song);
    if (chosen == names.end()) {
        std::string list;
        for (const std::string& name : names) {
            if (!list.empty()) {
                list += ", ";
            }
            list += name;
        }
        errors.add(1, 1, "expected a song named " + song + ", found the songs " + list);
    }
    // Where none is chosen, every song's lines go: only the shared part is read.
    const std::size_t wanted = chosen == names.end() ? names.size() : static_cast<std::size_t>(chosen - names.begin());
    std::size_t index = 0;  // songs begun so far
    for (const std::string_view whole : textLines(text)) {
        const auto offset = static_cast<std::size_t>(whole.data() - text.data());
        const std::size_t length = whole.size();
        const std::string_view line = whole.substr(0, whole.find(';'));
        std::size_t column = 0;
        std::string_view rest;
        if (songLine(line, column, rest)) {
            ++index;
        }
        if (index > 0 && index - 1 != wanted) {
            std::fill_n(kept.begin() + static_cast<std::ptrdiff_t>(offset), length, ' ');
        }
    }
    return kept;
}
