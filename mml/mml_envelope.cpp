#include "mml_envelope.h"

#include "characters.h"
#include "printable.h"
#include "song_assembler.h"

#include <algorithm>
#include <string>

int MmlEnvelope::least() const
{
    return *std::min_element(values.begin(), values.end());
}

int MmlEnvelope::most() const
{
    return *std::max_element(values.begin(), values.end());
}

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

std::string quoted(std::string_view text)
{
    std::string quoted = "'";
    quoted += printablePrefix(text, kMaxQuotedBytes);
    quoted += "'";
    return quoted;
}

}  // namespace

std::optional<MmlEnvelope> readEnvelope(std::string_view text, EnvelopeKind kind, std::size_t line, std::size_t column,
                                        MmlErrors& errors)
{
    const bool volume = kind == EnvelopeKind::Volume;
    const std::string range = volume ? "a volume 0 … 15" : "a semitone offset -48 … +48";
    MmlEnvelope envelope;
    envelope.line = line;
    envelope.column = column;
    if (text.empty() || text.front() != '{') {
        errors.add(line, column, "expected { and the envelope's values, found " +
                                     (text.empty() ? std::string("the end of the line") : quoted(text.substr(0, characterBytesAt(text, 0)))));
        return std::nullopt;
    }
    std::size_t at = 1;
    bool releasing = false;  // past the /
    std::size_t releaseAt = 0;
    for (;;) {
        while (at < text.size() && isBlank(text[at])) {
            ++at;
        }
        if (at >= text.size()) {
            errors.add(line, column, "expected } to close this {, found the end of the line");
            return std::nullopt;
        }
        const char c = text[at];
        if (c == '}') {
            break;
        }
        if (c == '/') {
            if (!volume) {
                errors.add(line, column + at, "expected a release / in a volume envelope only, found it in " +
                                                  std::string(kind == EnvelopeKind::Arpeggio ? "an arpeggio" : "a pitch envelope"));
                return std::nullopt;
            }
            if (releasing) {
                errors.add(line, column + at, "expected one / in an envelope, found a second");
                return std::nullopt;
            }
            if (envelope.values.empty()) {
                errors.add(line, column + at, "expected a value before /, found none");
                return std::nullopt;
            }
            releasing = true;
            releaseAt = at;
            ++at;
            continue;
        }
        if (c == '|') {
            if (releasing) {
                errors.add(line, column + at, "expected | before the release's /, found it after");
                return std::nullopt;
            }
            if (envelope.loop) {
                errors.add(line, column + at, "expected one | in an envelope, found a second");
                return std::nullopt;
            }
            envelope.loop = envelope.values.size();
            ++at;
            continue;
        }
        std::size_t end = at;
        while (end < text.size() && !isBlank(text[end]) && text[end] != '}' && text[end] != '|') {
            ++end;
        }
        std::string_view word = text.substr(at, end - at);
        // 15:3: the value for three ticks.
        int ticks = 1;
        if (const std::size_t colon = word.find(':'); colon != std::string_view::npos) {
            const std::string_view count = word.substr(colon + 1);
            ticks = 0;
            if (!count.empty() && count.size() <= 3 &&
                std::all_of(count.begin(), count.end(), [](char d) { return d >= '0' && d <= '9'; })) {
                for (const char d : count) {
                    ticks = ticks * 10 + (d - '0');
                }
            }
            if (ticks < 1 || ticks > kMaxStepTicks) {
                errors.add(line, column + at + colon + 1,
                           "expected a step's ticks after :, 1 … " + std::to_string(kMaxStepTicks) + ", found " +
                               (count.empty() ? std::string("nothing") : quoted(count)));
                return std::nullopt;
            }
            word = word.substr(0, colon);
        }
        if (word.empty()) {
            errors.add(line, column + at, "expected " + range + " before :, found nothing");
            return std::nullopt;
        }
        const std::string_view digits = !volume && (word.front() == '+' || word.front() == '-') ? word.substr(1) : word;
        int value = -1000;
        if (!digits.empty() && digits.size() <= 3 &&
            std::all_of(digits.begin(), digits.end(), [](char d) { return d >= '0' && d <= '9'; })) {
            value = 0;
            for (const char d : digits) {
                value = value * 10 + (d - '0');
            }
            if (word.front() == '-') {
                value = -value;
            }
        }
        const bool fits = volume ? value >= 0 && value <= 15
                                 : value >= -kMaxArpeggioSemitones && value <= kMaxArpeggioSemitones;
        if (!fits) {
            errors.add(line, column + at, "expected " + range + ", found " + quoted(word));
            return std::nullopt;
        }
        if (envelope.values.size() + envelope.release.size() + static_cast<std::size_t>(ticks) > kMaxEnvelopeSteps) {
            errors.add(line, column + at,
                       "expected an envelope of at most " + std::to_string(kMaxEnvelopeSteps) + " ticks, found more");
            return std::nullopt;
        }
        std::vector<int>& into = releasing ? envelope.release : envelope.values;
        into.insert(into.end(), static_cast<std::size_t>(ticks), value);
        at = end;
    }
    const std::size_t close = at;
    if (envelope.values.empty()) {
        errors.add(line, column, "expected at least one value inside { }, found none");
        return std::nullopt;
    }
    if (releasing && envelope.release.empty()) {
        errors.add(line, column + releaseAt, "expected a value after /, found }");
        return std::nullopt;
    }
    if (envelope.loop && *envelope.loop == envelope.values.size()) {
        errors.add(line, column + close, "expected a value after |, found }");
        return std::nullopt;
    }
    at = close + 1;
    while (at < text.size() && isBlank(text[at])) {
        ++at;
    }
    if (at < text.size()) {
        errors.add(line, column + at, "expected the end of the line after }, found " + quoted(text.substr(at, characterBytesAt(text, at))));
        return std::nullopt;
    }
    return envelope;
}
