#include "mml_source.h"

#include "characters.h"
#include "printable.h"

#include <algorithm>

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The value of a few digits (checked to be digits, and short).
int digitsValue(std::string_view digits)
{
    int value = 0;
    for (const char c : digits) {
        value = value * 10 + (c - '0');
    }
    return value;
}

bool isNameCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

std::string foundText(std::string_view text)
{
    if (text.empty()) {
        return "the end of the line";
    }
    std::string quoted = "'";
    quoted += printable(text.substr(0, characterBytesAt(text, 0)));
    quoted += "'";
    return quoted;
}

// The phrases a phrase uses, with where each use's $ stands.
std::vector<std::pair<std::string, MmlPiece>> phrasesUsed(const std::vector<MmlPiece>& pieces)
{
    std::vector<std::pair<std::string, MmlPiece>> used;
    for (const MmlPiece& piece : pieces) {
        for (std::size_t at = piece.text.find('$'); at != std::string_view::npos; at = piece.text.find('$', at + 1)) {
            std::size_t end = at + 1;
            while (end < piece.text.size() && isNameCharacter(piece.text[end])) {
                ++end;
            }
            used.emplace_back(std::string(piece.text.substr(at + 1, end - at - 1)),
                              MmlPiece{piece.text.substr(at), piece.line, piece.column + at});
        }
    }
    return used;
}

// Follows every chain of phrases; a use that leads back to a phrase on the
// chain is an error, and the phrases on the cycle are marked.
void findCircularPhrases(MmlSource& source, MmlErrors& errors)
{
    std::map<std::string, int, std::less<>> state;  // 1 on the chain, 2 done
    std::vector<std::string> chain;
    const auto visit = [&](const auto& self, const std::string& name) -> void {
        state[name] = 1;
        chain.push_back(name);
        for (const auto& [used, where] : phrasesUsed(source.phrases.at(name))) {
            if (source.phrases.count(used) == 0) {
                continue;  // reported where it is used
            }
            if (state[used] == 0 && chain.size() >= kMaxPhraseDepth) {
                errors.add(where.line, where.column,
                                  "expected phrases used inside each other at most " + std::to_string(kMaxPhraseDepth) +
                                      " deep, found $" + used + " deeper");
                source.circular.insert(used);
            } else if (state[used] == 1) {
                errors.add(where.line, where.column,
                                  "expected a phrase that does not use itself, found $" + used + " inside $" + name);
                for (auto on = std::find(chain.begin(), chain.end(), used); on != chain.end(); ++on) {
                    source.circular.insert(*on);
                }
            } else if (state[used] == 0) {
                self(self, used);
            }
        }
        chain.pop_back();
        state[name] = 2;
    };
    for (const auto& entry : source.phrases) {
        if (state[entry.first] == 0) {
            visit(visit, entry.first);
        }
    }
}

std::string quotedStart(std::string_view text)
{
    return std::string("'") + printablePrefix(text.substr(0, text.find_first_of(" \t")), kMaxQuotedBytes) + "'";
}

// "#tick 24", "#title "…"": one of the settings at the top of a file.
void readSetting(std::string_view line, std::size_t lineNumber, std::size_t column, bool atTop, MmlSource& source,
                 std::set<std::string>& seen, MmlErrors& errors)
{
    std::size_t end = 1;
    while (end < line.size() && !isBlank(line[end])) {
        ++end;
    }
    const std::string name(line.substr(1, end - 1));
    std::size_t at = end;
    while (at < line.size() && isBlank(line[at])) {
        ++at;
    }
    const std::string_view value = line.substr(at);
    const bool text = name == "title" || name == "composer";
    if (!text && name != "tick" && name != "rows" && name != "meter") {
        errors.add(lineNumber, column,
                   "expected a setting #tick, #rows, #meter, #title, #composer or #song, found " + quotedStart(line));
        return;
    }
    if (!atTop) {
        errors.add(lineNumber, column,
                   "expected #" + name + " at the top (or a song's), before the first channel, phrase or envelope");
        return;
    }
    if (!seen.insert(name).second) {
        errors.add(lineNumber, column, "expected #" + name + " once, found it again");
        return;
    }
    if (text) {
        if (value.size() < 2 || value.front() != '"' || value.back() != '"' ||
            value.substr(1, value.size() - 2).find('"') != std::string_view::npos) {
            errors.add(lineNumber, column + at, "expected the " + name + " in double quotes, found " +
                                                    (value.empty() ? std::string("the end of the line")
                                                                   : quotedStart(value)));
            return;
        }
        const std::string_view words = value.substr(1, value.size() - 2);
        if (words.size() > kMaxTitleBytes) {
            errors.add(lineNumber, column + at, "expected a " + name + " of at most " + std::to_string(kMaxTitleBytes) +
                                                    " bytes, found a longer one");
            return;
        }
        (name == "title" ? source.title : source.composer) = std::string(words);
        return;
    }
    const int most = name == "tick" ? kMaxTicksPerBeat : 255;
    const std::string what = name == "tick" ? "envelope steps a beat" : name == "rows" ? "rows a beat" : "beats a bar";
    int number = -1;
    if (!value.empty() && value.size() <= 3 &&
        value.find_first_not_of("0123456789") == std::string_view::npos) {
        number = digitsValue(value);
    }
    if (number < 1 || number > most) {
        errors.add(lineNumber, column + at,
                   "expected " + what + ", 1 … " +
                       std::to_string(most) + ", found " +
                       (value.empty() ? std::string("the end of the line") : quotedStart(value)));
        return;
    }
    (name == "tick" ? source.ticksPerBeat : name == "rows" ? source.rowsPerBeat : source.beatsPerBar) = number;
}

// "@v1 = { … }": an envelope's definition.
void readEnvelopeLine(std::string_view line, std::size_t lineNumber, std::size_t column, MmlSource& source,
                      MmlErrors& errors)
{
    const char letter = line.size() > 1 ? line[1] : '\0';
    if (letter != 'v' && letter != 'a' && letter != 'p' && letter != 'i') {
        errors.add(lineNumber, column + 1,
                   "expected @v (a volume envelope), @a (an arpeggio), @p (a pitch envelope) or @i (an instrument) and "
                   "its number, found " +
                       (line.size() > 1 ? quotedStart(line.substr(1)) : std::string("the end of the line")));
        return;
    }
    std::size_t end = 2;
    while (end < line.size() && isDigit(line[end])) {
        ++end;
    }
    const std::string_view digits = line.substr(2, end - 2);
    const int number = !digits.empty() && digits.size() <= 3 ? digitsValue(digits) : -1;
    if (number < 1 || number > kMaxEnvelopeNumber) {
        errors.add(lineNumber, column + 2,
                   std::string("expected an envelope number 1 … 255 after @") + letter + ", found " +
                       (digits.empty() ? (end < line.size() ? quotedStart(line.substr(end)) : std::string("the end of the line"))
                                       : std::string("'") + std::string(digits) + "'"));
        return;
    }
    std::size_t equals = end;
    while (equals < line.size() && isBlank(line[equals])) {
        ++equals;
    }
    const std::string name = std::string("@") + letter + std::to_string(number);
    if (equals >= line.size() || line[equals] != '=') {
        errors.add(lineNumber, column + equals, "expected = and the envelope after " + name + ", found " +
                                                    foundText(line.substr(equals)));
        return;
    }
    std::size_t open = equals + 1;
    while (open < line.size() && isBlank(line[open])) {
        ++open;
    }
    if (letter == 'i') {
        // Its settings are read where it is used, as a channel's.
        const std::string_view body = line.substr(open);
        if (source.instruments.count(number) > 0 || source.brokenInstruments.count(number) > 0) {
            errors.add(lineNumber, column, "expected each instrument defined once, found " + name + " again");
        } else if (body.empty() || body.front() != '{') {
            errors.add(lineNumber, column + open, "expected { and the instrument's settings, found " + foundText(body));
            source.brokenInstruments.insert(number);
        } else if (body.back() != '}' || body.find('}') != body.size() - 1) {
            const std::size_t close = body.find('}');
            errors.add(lineNumber, column + open + (close == std::string_view::npos ? 0 : close + 1),
                       close == std::string_view::npos ? "expected } to close this {, found the end of the line"
                                                       : "expected the end of the line after }, found " +
                                                             foundText(body.substr(close + 1)));
            source.brokenInstruments.insert(number);
        } else {
            source.instruments[number] = {{body.substr(1, body.size() - 2), lineNumber, column + open + 1}};
        }
        return;
    }
    std::map<int, MmlEnvelope>& envelopes = letter == 'v'   ? source.volumeEnvelopes
                                            : letter == 'a' ? source.arpeggios
                                                            : source.pitchEnvelopes;
    if (envelopes.count(number) > 0) {
        errors.add(lineNumber, column, "expected each envelope defined once, found " + name + " again");
        return;
    }
    const EnvelopeKind kind = letter == 'v'   ? EnvelopeKind::Volume
                              : letter == 'a' ? EnvelopeKind::Arpeggio
                                              : EnvelopeKind::Pitch;
    if (auto envelope = readEnvelope(line.substr(open), kind, lineNumber, column + open, errors)) {
        envelope->column = column;
        envelopes[number] = std::move(*envelope);
    } else {
        (letter == 'v'   ? source.brokenVolumeEnvelopes
         : letter == 'a' ? source.brokenArpeggios
                         : source.brokenPitchEnvelopes)
            .insert(number);
    }
}

}  // namespace

MmlSource splitMml(std::string_view text, MmlErrors& errors)
{
    MmlSource source;
    bool atTop = true;  // no channel, phrase or envelope yet
    std::set<std::string> settings;
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    std::size_t lineNumber = 0;
    while (!text.empty() || lineNumber == 0) {
        const std::size_t newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text = newline == std::string_view::npos ? std::string_view{} : text.substr(newline + 1);
        ++lineNumber;
        std::size_t column = 1;
        if (lineNumber == 1 && line.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
            line.remove_prefix(kByteOrderMark.size());
        }
        if (line.size() > kMaxLineBytes) {
            errors.add(lineNumber, kMaxLineBytes + 1,
                              "expected the end of the line within " + std::to_string(kMaxLineBytes) +
                                  " bytes, found a longer line");
            continue;
        }
        line = line.substr(0, line.find(';'));
        while (!line.empty() && isBlank(line.front())) {
            line.remove_prefix(1);
            ++column;
        }
        while (!line.empty() && isBlank(line.back())) {
            line.remove_suffix(1);
        }
        if (line.empty()) {
            continue;
        }
        if (line.substr(0, 5) == "#song" && (line.size() == 5 || isBlank(line[5]))) {
            atTop = true;  // a song's own settings may follow (its names were read before)
            continue;
        }
        if (line.front() == '#') {
            readSetting(line, lineNumber, column, atTop, source, settings, errors);
            continue;
        }
        atTop = false;
        if (line.front() == '@') {
            readEnvelopeLine(line, lineNumber, column, source, errors);
            continue;
        }

        if (line.front() == '$') {
            std::size_t end = 1;
            while (end < line.size() && isNameCharacter(line[end])) {
                ++end;
            }
            const std::string name(line.substr(1, end - 1));
            std::size_t equals = end;
            while (equals < line.size() && isBlank(line[equals])) {
                ++equals;
            }
            if (name.empty()) {
                errors.add(lineNumber, column + 1, "expected a phrase name after $, found " +
                                                              foundText(line.substr(1)));
            } else if (equals >= line.size() || line[equals] != '=') {
                errors.add(lineNumber, column + equals,
                                  "expected = and the phrase after $" + name + ", found " +
                                      foundText(line.substr(equals)));
            } else if (source.phrases.count(name) > 0) {
                errors.add(lineNumber, column, "expected each phrase named once, found $" + name + " again");
            } else {
                source.phrases[name] = {{line.substr(equals + 1), lineNumber, column + equals + 1}};
            }
            continue;
        }

        if (line.front() == 'T' && (line.size() == 1 || isBlank(line[1]))) {
            source.tempoTrack.push_back({line.substr(1), lineNumber, column + 1});
            continue;
        }
        std::size_t letters = 0;
        while (letters < line.size() && line[letters] >= 'A' && line[letters] <= 'F') {
            ++letters;
        }
        if (letters == 0 || (letters < line.size() && !isBlank(line[letters]))) {
            const std::size_t at = letters < line.size() && letters > 0 ? letters : 0;
            errors.add(lineNumber, column + at,
                              letters == 0 ? "expected channel letters A … F (or T, the tempo line), a phrase ($name = …) or an envelope (@v1 = { … }), found " +
                                                 foundText(line)
                                           : "expected a space after the channel letters, found " +
                                                 foundText(line.substr(letters)));
            continue;
        }
        const MmlPiece piece{line.substr(letters), lineNumber, column + letters};
        bool seen[kMmlChannels] = {};
        for (std::size_t i = 0; i < letters; ++i) {
            const auto channel = static_cast<std::size_t>(line[i] - 'A');
            if (!seen[channel]) {
                seen[channel] = true;
                source.channels[channel].push_back(piece);
            }
        }
    }
    findCircularPhrases(source, errors);
    return source;
}

MmlCursor::MmlCursor(const std::vector<MmlPiece>& pieces, std::size_t& read) : read_(&read)
{
    frames_.push_back({&pieces});
    settle();
}

bool MmlCursor::atEnd() const
{
    const Frame& frame = frames_.back();
    return frame.piece >= frame.pieces->size();
}

char MmlCursor::peek() const
{
    if (atEnd()) {
        return '\0';
    }
    const Frame& frame = frames_.back();
    return (*frame.pieces)[frame.piece].text[frame.at];
}

std::string_view MmlCursor::character() const
{
    if (atEnd()) {
        return {};
    }
    const Frame& frame = frames_.back();
    const std::string_view text = (*frame.pieces)[frame.piece].text;
    return text.substr(frame.at, characterBytesAt(text, frame.at));
}

void MmlCursor::advance()
{
    if (!atEnd()) {
        ++frames_.back().at;
        ++*read_;
        spaced_ = false;
        settle();
    }
}

std::size_t MmlCursor::line() const
{
    const Frame& frame = frames_.back();
    if (atEnd()) {
        return frame.pieces->empty() ? 1 : frame.pieces->back().line;
    }
    return (*frame.pieces)[frame.piece].line;
}

std::size_t MmlCursor::column() const
{
    const Frame& frame = frames_.back();
    if (atEnd()) {
        return frame.pieces->empty() ? 1 : frame.pieces->back().column + frame.pieces->back().text.size();
    }
    return (*frame.pieces)[frame.piece].column + frame.at;
}

bool MmlCursor::enter(const std::vector<MmlPiece>& pieces)
{
    if (frames_.size() > kMaxPhraseDepth) {
        return false;
    }
    for (const Frame& frame : frames_) {
        if (frame.pieces == &pieces) {
            return false;
        }
    }
    frames_.push_back({&pieces});
    settle();
    spaced_ = true;  // a phrase is a word of its own
    return true;
}

void MmlCursor::settle()
{
    for (;;) {
        Frame& frame = frames_.back();
        while (frame.piece < frame.pieces->size()) {
            const std::string_view text = (*frame.pieces)[frame.piece].text;
            while (frame.at < text.size() && isBlank(text[frame.at])) {
                ++frame.at;
                ++*read_;
                spaced_ = true;
            }
            if (frame.at < text.size()) {
                return;
            }
            ++frame.piece;
            ++*read_;
            frame.at = 0;
            spaced_ = true;
        }
        if (frames_.size() == 1) {
            return;
        }
        frames_.pop_back();
        spaced_ = true;
    }
}
