#include "mml_parser.h"

#include "note_names.h"
#include "pitch_table.h"
#include "song_map.h"
#include "printable.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <set>
#include <string>
#include <tuple>

namespace {

constexpr int kDefaultOctave = 4;
constexpr int kUnityVolume = 128;
constexpr int kMaxRepeatDepth = 16;
constexpr int kMaxDots = 6;            // a dotted 64th halves to 3 units six times
constexpr int kLengths[] = {1, 2, 3, 4, 6, 8, 12, 16, 24, 32, 48, 64};
constexpr const char* kCommands =
    "expected a command (c d e f g a b n r o < > l t v V q k @v @a @p @i [ | ] { } L $ ! & ^ ~)";
constexpr int kMaxV = 15;        // v's loudest, unity
constexpr int kMaxBigV = 255;    // V's, in 1/128 steps

int semitoneOf(char letter)
{
    switch (letter) {
    case 'c': return 0;
    case 'd': return 2;
    case 'e': return 4;
    case 'f': return 5;
    case 'g': return 7;
    case 'a': return 9;
    case 'b': return 11;
    default: return -1;
    }
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// A few digits' value (the callers keep them short).
int valueOf(const std::string& digits)
{
    int value = 0;
    for (const char c : digits) {
        value = value * 10 + (c - '0');
    }
    return value;
}

// "C9", "Db1": a MIDI note's name, for notes the table does not hold.
std::string midiName(int midi)
{
    static const char* const kNames[] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    const int octave = (midi >= 0 ? midi / 12 : (midi - 11) / 12) - 1;
    return kNames[((midi % 12) + 12) % 12] + std::to_string(octave);
}

class ChannelParser {
    // Whether a repeat's body holds its |, and the time it stands at.
    struct Bar {
        bool seen = false;
        std::uint64_t at = 0;  // units
    };
    // Where a note goes on to another pitch: & (legato) or ~ (a slide).
    struct Change {
        std::uint64_t at;  // units from the note's start
        int from;          // MIDI notes, before k
        int to;
        bool slide;
        MmlPlace place;
    };
    // A pass of a repeat as read.
    struct Pass {
        std::uint64_t length;       // units
        std::uint64_t toBar;        // units to its |, or its length
        std::uint64_t startLength;  // the default length it started with
    };

public:
    ChannelParser(const MmlSource& source, MmlBudget& budget, MmlErrors& errors, bool tempoOnly, bool keepSpans)
        : source_(source), budget_(budget), errors_(errors), errorsBefore_(errors.count()), tempoOnly_(tempoOnly),
          keepSpans_(keepSpans)
    {
    }

    MmlChannel parse(const std::vector<MmlPiece>& pieces)
    {
        if (!pieces.empty()) {
            channel_.place = {pieces.front().line, pieces.front().column};
        }
        MmlCursor cursor(pieces, budget_.read);
        Bar bar;
        sequence(cursor, 0, false, bar);
        channel_.end = time_;
        // A note's release is cut where the channel's next note starts.
        for (std::size_t i = 0; i + 1 < channel_.notes.size(); ++i) {
            MmlNote& note = channel_.notes[i];
            const double room = static_cast<double>(channel_.notes[i + 1].start) - note.shareEnd();
            note.releaseUnits = std::min(note.releaseUnits, room > 0.0 ? static_cast<std::uint64_t>(room) : 0);
        }
        channel_.failed = errors_.count() > errorsBefore_;
        return std::move(channel_);
    }

private:
    // Commands up to the end, or (inside a repeat) up to and past its ].
    // False when a repeat's ] was not found. On a repeat's last pass
    // (`lastPass`) a | ends it. `bar` tells whether a | stood in it, and
    // when.
    bool sequence(MmlCursor& cursor, int depth, bool lastPass, Bar& bar)
    {
        while (!cursor.atEnd() && !stopped_) {
            if (!step(cursor)) {
                return depth == 0;
            }
            const char c = cursor.peek();
            if (c == ']') {
                if (depth > 0) {
                    cursor.advance();
                    return true;
                }
                fail(cursor, "expected a command, found ']' with no [ before it");
                cursor.advance();
                continue;
            }
            if (c == '|') {
                if (depth == 0) {
                    barCheck(cursor);
                    cursor.advance();
                    continue;
                }
                if (bar.seen) {
                    fail(cursor, "expected one | in a repeat, found a second");
                } else {
                    bar.at = time_;
                }
                bar.seen = true;
                cursor.advance();
                if (lastPass) {
                    return true;  // the rest of the last pass is not played (the pass reads a copy of the cursor)
                }
                continue;
            }
            command(cursor, depth);
        }
        return depth == 0;
    }

    void command(MmlCursor& cursor, int depth)
    {
        const MmlPlace place{cursor.line(), cursor.column()};
        const char c = cursor.peek();
        if (tempoOnly_ && c != 't' && c != 'r' && c != 'l' && c != '[' && c != '$' && c != '!') {
            const std::string_view character = cursor.character();
            for (std::size_t i = 0; i < character.size(); ++i) {
                cursor.advance();
            }
            fail(place, "expected t, r, l, [ … ], $ or !cue on the T line (tempo changes, cues and the rests between them), found '" +
                            printable(character) + "'");
            return;
        }
        if (semitoneOf(c) >= 0) {
            note(cursor);
            return;
        }
        const std::string_view character = cursor.character();
        cursor.advance();
        switch (c) {
        case 'n':
            noteNumber(cursor, place);
            return;
        case '{':
            tuplet(cursor, place, depth);
            return;
        case '}':
            fail(place, "expected a command, found '}' with no { before it");
            return;
        case 'r': {
            std::uint64_t length = 0;
            if (lengthAfter(cursor, length)) {
                while (isTie(cursor.peek())) {
                    const MmlPlace tie{cursor.line(), cursor.column()};
                    const char mark = cursor.peek();
                    cursor.advance();
                    if (cursor.peek() == 'r') {
                        cursor.advance();
                    } else if (!isDigit(cursor.peek()) || cursor.afterSpace()) {
                        fail(tie, std::string("expected a rest or a length after ") + mark + found(cursor));
                        return;
                    }
                    std::uint64_t more = 0;
                    if (!lengthAfter(cursor, more)) {
                        return;
                    }
                    length += more;
                }
                if (count(place)) {
                    keepSpan(place, length, -1);
                    time_ += length;
                }
            }
            return;
        }
        case 'o':
            if (const auto value = number(cursor, "an octave 1 … 8", 1, 8)) {
                octave_ = *value;
            }
            return;
        case '<':
            octave_ = std::max(octave_ - 1, -2);
            return;
        case '>':
            octave_ = std::min(octave_ + 1, 12);
            return;
        case 'l': {
            const MmlPlace at{cursor.line(), cursor.column()};
            if (!isDigit(cursor.peek()) || cursor.afterSpace()) {
                fail(at, "expected a length 1, 2, 3, 4, 6, 8, 12, 16, 24, 32, 48 or 64" + found(cursor));
                return;
            }
            std::uint64_t length = 0;
            if (lengthAfter(cursor, length)) {
                defaultLength_ = length;
            }
            return;
        }
        case 't':
            if (const auto value = number(cursor, "a tempo in beats a minute, 1 … 255", 1, 255)) {
                channel_.tempos.push_back({time_, *value, place});
            }
            return;
        case 'v':
            if (const auto step = relative(cursor)) {
                // Steps keep within v0 … v15 (or where a V set it above).
                const double old = level_ * kMaxV;
                level_ = std::clamp(old + *step, 0.0, std::max<double>(kMaxV, old)) / kMaxV;
            } else if (const auto value = number(cursor, "a volume 0 … 15, or a step +n or -n", 0, kMaxV)) {
                level_ = *value / static_cast<double>(kMaxV);
            }
            return;
        case 'V':
            if (const auto step = relative(cursor)) {
                const double old = level_ * kUnityVolume;
                level_ = std::clamp(old + *step, 0.0, std::max<double>(kMaxBigV, old)) / kUnityVolume;
            } else if (const auto value =
                           number(cursor, "a volume in 1/128 steps, 0 … 255, or a step +n or -n", 0, kMaxBigV)) {
                level_ = *value / static_cast<double>(kUnityVolume);
            }
            return;
        case 'k':
            transpose(cursor);
            return;
        case '@':
            instrument(cursor, place);
            return;
        case 'q':
            if (const auto value = number(cursor, "a gate of 1 … 8 eighths of the length", 1, 8)) {
                gateEighths_ = *value;
            }
            return;
        case 'L':
            if (depth > 0) {
                fail(place, "expected the loop point L outside [ … ], found it inside");
            } else if (channel_.loop) {
                fail(place, "expected one L a channel, found a second (the first at line " +
                                std::to_string(channel_.loopPlace.line) + ")");
            } else {
                channel_.loop = time_;
                channel_.loopPlace = place;
            }
            return;
        case '[':
            repeat(cursor, place, depth);
            return;
        case '$':
            phrase(cursor, place);
            return;
        case '!':
            cue(cursor, place);
            return;
        default:
            // A character of several bytes is one mistake.
            for (std::size_t i = 1; i < character.size(); ++i) {
                cursor.advance();
            }
            fail(place, std::string(kCommands) + ", found '" + printable(character) + "'");
            return;
        }
    }

    void note(MmlCursor& cursor)
    {
        const MmlPlace place{cursor.line(), cursor.column()};
        const int midi = pitchAfter(cursor);
        std::uint64_t length = 0;
        if (!lengthAfter(cursor, length)) {
            return;
        }
        // A tie is one longer note: the same note again, or a length alone;
        // & to another note goes on to it unstruck (legato), ~ slides there.
        std::vector<Change> changes;
        int current = midi;
        while (isTie(cursor.peek())) {
            const MmlPlace tie{cursor.line(), cursor.column()};
            const char mark = cursor.peek();
            cursor.advance();
            if (semitoneOf(cursor.peek()) >= 0) {
                const MmlPlace tied{cursor.line(), cursor.column()};
                const int next = pitchAfter(cursor);
                if (next != current && mark == '^') {
                    fail(tied, "expected the same note after ^ (& or ~ goes on to another), found another");
                } else if (next != current) {
                    changes.push_back({length, current, next, mark == '~', tied});
                    current = next;
                }
            } else if (mark == '~') {
                fail(tie, std::string("expected a note to slide to after ~") + found(cursor));
                time_ += length;
                return;
            } else if (!isDigit(cursor.peek()) || cursor.afterSpace()) {
                fail(tie, std::string("expected the same note or a length after ") + mark + found(cursor));
                time_ += length;
                return;
            }
            std::uint64_t more = 0;
            if (!lengthAfter(cursor, more)) {
                return;
            }
            length += more;
        }
        strike(place, midi, length, changes);
    }

    // For an editor, each note or rest played, with the octave and
    // transpose it is read in.
    void keepSpan(MmlPlace place, std::uint64_t length, int pitch)
    {
        if (keepSpans_) {
            channel_.spans.push_back({time_, length, pitch, place, octave_, transpose_});
        }
    }

    // A note of MIDI number `midi` (before k), `length` units, here, going
    // on to other pitches as `changes` say.
    void strike(MmlPlace place, int midi, std::uint64_t length, const std::vector<Change>& changes = {})
    {
        const int index = midi + transpose_ - kMidiOfIndexZero;
        int lowest = index;
        int highest = index;
        for (const Change& change : changes) {
            const int to = change.to + transpose_ - kMidiOfIndexZero;
            if (to < 0 || to >= static_cast<int>(kPitchCount)) {
                fail(change.place, "expected a note D#2 … B8, found " + midiName(change.to + transpose_) +
                                       (transpose_ != 0 ? " (transposed " + signed_(transpose_) + ")" : ""));
                time_ += length;
                return;
            }
            lowest = std::min(lowest, to);
            highest = std::max(highest, to);
        }
        if (index < 0 || index >= static_cast<int>(kPitchCount)) {
            fail(place, "expected a note D#2 … B8, found " + midiName(midi + transpose_) +
                            (transpose_ != 0 ? " (transposed " + signed_(transpose_) + ")" : ""));
        } else if (const std::optional<std::string> out = offsetOutOfRange(lowest, highest)) {
            fail(place, "expected a note D#2 … B8, found " + *out);
        } else if (count(place)) {
            keepSpan(place, length, index);
            MmlNote note{time_, length, index, level_, gateEighths_, volumeEnvelope_, arpeggio_, place};
            note.pitchEnvelope = pitchEnvelope_;
            if (volumeEnvelope_ != 0 && !source_.volumeEnvelopes.at(volumeEnvelope_).release.empty()) {
                const double ticks = static_cast<double>(source_.volumeEnvelopes.at(volumeEnvelope_).release.size());
                note.releaseUnits =
                    static_cast<std::uint64_t>(std::ceil(ticks * kUnitsPerBeat / source_.ticksPerBeat));
            }
            note.firstBend = static_cast<std::uint32_t>(channel_.bends.size());
            const double unitsPerTick = static_cast<double>(kUnitsPerBeat) / source_.ticksPerBeat;
            // Each change of pitch counts as a note does, so that ties to
            // other notes in repeats hold no more than a song of notes.
            const auto bend = [&](std::uint64_t at, int pitch) {
                if (count(place)) {
                    channel_.bends.push_back({at, pitch});
                }
            };
            for (const Change& change : changes) {
                const int from = change.from + transpose_ - kMidiOfIndexZero;
                const int to = change.to + transpose_ - kMidiOfIndexZero;
                if (!change.slide) {
                    bend(change.at, to);
                    continue;
                }
                // A semitone a tick from where the slide starts, then held.
                const int direction = to > from ? 1 : -1;
                for (int k = 1; k <= std::abs(to - from) && !stopped_; ++k) {
                    const auto at = change.at + static_cast<std::uint64_t>(std::llround((k - 1) * unitsPerTick));
                    if (at >= length) {
                        break;
                    }
                    bend(at, from + direction * k);
                }
            }
            note.bendCount = static_cast<std::uint32_t>(channel_.bends.size() - note.firstBend);
            channel_.notes.push_back(note);
        }
        time_ += length;
    }

    // What takes a note going from `lowest` to `highest` out of the table,
    // with the arpeggio's and the pitch envelope's offsets added, if
    // anything does.
    std::optional<std::string> offsetOutOfRange(int lowest, int highest) const
    {
        int least = 0;
        int most = 0;
        std::string names;
        if (arpeggio_ != 0) {
            least += source_.arpeggios.at(arpeggio_).least();
            most += source_.arpeggios.at(arpeggio_).most();
            names = "@a" + std::to_string(arpeggio_);
        }
        if (pitchEnvelope_ != 0) {
            least += source_.pitchEnvelopes.at(pitchEnvelope_).least();
            most += source_.pitchEnvelopes.at(pitchEnvelope_).most();
            names += (names.empty() ? "@p" : " and @p") + std::to_string(pitchEnvelope_);
        }
        if (names.empty()) {
            return std::nullopt;
        }
        const std::string whose = names.find(" and ") == std::string::npos ? names + "'s " : names + ": ";
        if (lowest + least < 0) {
            return midiName(lowest + least + kMidiOfIndexZero) + " (" + whose + signed_(least) + ")";
        }
        if (highest + most >= static_cast<int>(kPitchCount)) {
            return midiName(highest + most + kMidiOfIndexZero) + " (" + whose + signed_(most) + ")";
        }
        return std::nullopt;
    }

    // n60: MIDI note 60 (C4) whatever the octave (k still moves it),
    // with a length after a comma (n60,8.) or the default one.
    void noteNumber(MmlCursor& cursor, MmlPlace place)
    {
        const std::optional<int> midi = number(cursor, "a note number 39 … 119 (D#2 … B8)", kMidiOfIndexZero,
                                               kMidiOfIndexZero + static_cast<int>(kPitchCount) - 1);
        if (!midi) {
            return;
        }
        std::uint64_t length = defaultLength_;
        if (cursor.peek() == ',' && !cursor.afterSpace()) {
            cursor.advance();
            if (!isDigit(cursor.peek()) || cursor.afterSpace()) {
                fail(cursor, "expected a length 1, 2, 3, 4, 6, 8, 12, 16, 24, 32, 48 or 64 after ','" + found(cursor));
                return;
            }
            if (!lengthAfter(cursor, length)) {
                return;
            }
        }
        strike(place, *midi, length);
    }

    // v+2, V-16: a step from the volume as it stands (clamped at its ends);
    // nothing where no sign follows.
    std::optional<int> relative(MmlCursor& cursor)
    {
        const char sign = cursor.peek();
        if ((sign != '+' && sign != '-') || cursor.afterSpace()) {
            return std::nullopt;
        }
        cursor.advance();
        const std::optional<int> value = number(cursor, std::string("a volume step after ") + sign + ", 0 … 255", 0, 255);
        if (!value) {
            return 0;
        }
        return sign == '-' ? -*value : *value;
    }

    // |, outside a repeat: the channel stands at a bar line here.
    void barCheck(const MmlCursor& cursor)
    {
        const std::uint64_t bar = static_cast<std::uint64_t>(source_.beatsPerBar) * kUnitsPerBeat;
        const std::uint64_t into = time_ % bar;
        if (into == 0) {
            return;
        }
        const std::uint64_t beat = into / kUnitsPerBeat;
        const std::uint64_t part = into % kUnitsPerBeat;
        std::string where = "bar " + std::to_string(time_ / bar + 1) + ", beat " + std::to_string(beat + 1);
        if (part != 0) {
            const std::uint64_t common = std::gcd(part, kUnitsPerBeat);
            where += " and " + std::to_string(part / common) + "/" + std::to_string(kUnitsPerBeat / common);
        }
        fail(cursor, "expected | at a bar line (" + std::to_string(source_.beatsPerBar) +
                         " beats a bar), found the channel at " + where);
    }

    // {c e g}4: the notes and rests inside share the length after }, in
    // proportion to their own lengths (three quarters in the time of one).
    void tuplet(MmlCursor& cursor, MmlPlace place, int depth)
    {
        if (depth + 1 > kMaxRepeatDepth) {
            fail(place, "expected repeats and tuplets nested at most " + std::to_string(kMaxRepeatDepth) +
                            " deep, found deeper");
            stopped_ = true;
            return;
        }
        const std::uint64_t started = time_;
        const std::size_t firstNote = channel_.notes.size();
        const std::size_t firstTempo = channel_.tempos.size();
        const std::size_t firstCue = channel_.cues.size();
        while (!cursor.atEnd() && !stopped_ && cursor.peek() != '}') {
            if (!step(cursor)) {
                return;
            }
            const char c = cursor.peek();
            if (c == ']' || c == '|') {
                fail(cursor, std::string("expected a note or rest inside { … }, found '") + c + "'");
                cursor.advance();
                continue;
            }
            command(cursor, depth + 1);
        }
        if (stopped_) {
            return;
        }
        if (cursor.atEnd()) {
            fail(place, "expected } to close this {, found the end of the channel");
            return;
        }
        cursor.advance();
        std::uint64_t total = 0;
        if (!lengthAfter(cursor, total)) {
            return;
        }
        const std::uint64_t written = time_ - started;
        if (written == 0) {
            fail(place, "expected notes or rests inside { … }, found none");
            time_ = started + total;
            return;
        }
        // Each time inside, scaled; rounding to a unit (a 3072th of a beat)
        // where the count does not divide it, the total exact.
        const auto scaled = [&](std::uint64_t at) {
            const unsigned __int128 product = static_cast<unsigned __int128>(at - started) * total;
            return started + static_cast<std::uint64_t>((product + written / 2) / written);
        };
        for (std::size_t i = firstNote; i < channel_.notes.size(); ++i) {
            MmlNote& note = channel_.notes[i];
            const std::uint64_t newStart = scaled(note.start);
            for (std::uint32_t b = note.firstBend; b < note.firstBend + note.bendCount; ++b) {
                channel_.bends[b].at = scaled(note.start + channel_.bends[b].at) - newStart;
            }
            const std::uint64_t end = scaled(note.start + note.length);
            note.start = scaled(note.start);
            note.length = end - note.start;
        }
        for (std::size_t i = firstTempo; i < channel_.tempos.size(); ++i) {
            channel_.tempos[i].start = scaled(channel_.tempos[i].start);
        }
        for (std::size_t i = firstCue; i < channel_.cues.size(); ++i) {
            channel_.cues[i].start = scaled(channel_.cues[i].start);
        }
        time_ = started + total;
    }

    static std::string signed_(int value) { return std::string(value >= 0 ? "+" : "") + std::to_string(value); }

    static bool isTie(char c) { return c == '&' || c == '^' || c == '~'; }

    // k+2, k-12, k5, k0: the semitones the notes that follow are moved by.
    void transpose(MmlCursor& cursor)
    {
        const MmlPlace place{cursor.line(), cursor.column()};
        int sign = 1;
        if ((cursor.peek() == '+' || cursor.peek() == '-') && !cursor.afterSpace()) {
            sign = cursor.peek() == '-' ? -1 : 1;
            cursor.advance();
        }
        if (!isDigit(cursor.peek()) || cursor.afterSpace()) {
            fail(place, "expected a transpose in semitones, -48 … +48" + found(cursor));
            return;
        }
        const std::string digits = digitsAfter(cursor);
        const int value = digits.size() <= 2 ? valueOf(digits) : kMaxTranspose + 1;
        if (value > kMaxTranspose) {
            fail(place, "expected a transpose in semitones, -48 … +48, found '" + std::string(sign < 0 ? "-" : "") +
                            printablePrefix(digits, kMaxQuotedBytes) + "'");
            return;
        }
        transpose_ = sign * value;
    }

    // @v3, @a1, @p2: the envelopes the notes that follow play; @v0, @a0,
    // @p0: none. @i1: an instrument's settings, as if written here.
    void instrument(MmlCursor& cursor, MmlPlace place)
    {
        const char kind = cursor.peek();
        if ((kind != 'v' && kind != 'a' && kind != 'p' && kind != 'i') || cursor.afterSpace()) {
            fail(place, "expected @v (a volume envelope), @a (an arpeggio), @p (a pitch envelope) or @i (an "
                        "instrument) and its number" +
                            found(cursor));
            return;
        }
        cursor.advance();
        if (kind == 'i') {
            useInstrument(cursor, place);
            return;
        }
        const std::string what = std::string("an envelope number 0 … 255 after @") + kind;
        const std::optional<int> number = this->number(cursor, what, 0, kMaxEnvelopeNumber);
        if (!number) {
            return;
        }
        const std::map<int, MmlEnvelope>& defined = kind == 'v'   ? source_.volumeEnvelopes
                                                    : kind == 'a' ? source_.arpeggios
                                                                  : source_.pitchEnvelopes;
        const std::set<int>& broken = kind == 'v'   ? source_.brokenVolumeEnvelopes
                                      : kind == 'a' ? source_.brokenArpeggios
                                                    : source_.brokenPitchEnvelopes;
        int& chosen = kind == 'v' ? volumeEnvelope_ : kind == 'a' ? arpeggio_ : pitchEnvelope_;
        if (broken.count(*number) > 0) {
            // Its definition's mistake is told there; the song is not made.
            chosen = 0;
            return;
        }
        if (*number != 0 && defined.count(*number) == 0) {
            const std::string name = std::string("@") + kind + std::to_string(*number);
            fail(place, "expected an envelope defined with " + name + " = { … }, found none of that number");
            return;
        }
        chosen = *number;
    }

    // @i1: the settings its definition bundles (@v @a @p q k v V), taken
    // one by one as a channel takes them, so later ones override.
    void useInstrument(MmlCursor& cursor, MmlPlace place)
    {
        const std::optional<int> number = this->number(cursor, "an instrument number 1 … 255 after @i", 1,
                                                       kMaxEnvelopeNumber);
        if (!number || source_.brokenInstruments.count(*number) > 0) {
            return;
        }
        const auto found = source_.instruments.find(*number);
        if (found == source_.instruments.end()) {
            fail(place, "expected an instrument defined with @i" + std::to_string(*number) +
                            " = { … }, found none of that number");
            return;
        }
        MmlCursor inside(found->second, budget_.read);
        while (!inside.atEnd() && !stopped_) {
            const char c = inside.peek();
            if (c == '@') {
                const MmlPlace at{inside.line(), inside.column()};
                inside.advance();
                if (inside.peek() == 'i' && !inside.afterSpace()) {
                    fail(at, "expected @v, @a or @p in an instrument, found @i");
                    inside.advance();
                    continue;
                }
                instrument(inside, at);
            } else if (c == 'q' || c == 'k' || c == 'v' || c == 'V') {
                command(inside, 1);
            } else {
                const std::string_view character = inside.character();
                fail(inside, "expected @v, @a, @p, q, k, v or V in an instrument, found '" + printable(character) + "'");
                for (std::size_t i = 0; i < character.size(); ++i) {
                    inside.advance();
                }
            }
        }
    }

    // The note letter and accidentals at the cursor: a MIDI note number.
    int pitchAfter(MmlCursor& cursor)
    {
        int semitone = semitoneOf(cursor.peek());
        cursor.advance();
        while (!cursor.afterSpace()) {
            const char c = cursor.peek();
            if (c == '+' || c == '#') {
                ++semitone;
            } else if (c == '-') {
                --semitone;
            } else {
                break;
            }
            cursor.advance();
        }
        return 12 * (octave_ + 1) + semitone;
    }

    // An optional length and dots; the default length where the number is
    // left out. False (reported) for a length there is none of.
    bool lengthAfter(MmlCursor& cursor, std::uint64_t& length)
    {
        const MmlPlace place{cursor.line(), cursor.column()};
        length = defaultLength_;
        if (isDigit(cursor.peek()) && !cursor.afterSpace()) {
            const std::string digits = digitsAfter(cursor);
            const int value = digits.size() <= 2 ? valueOf(digits) : 0;
            if (std::find(std::begin(kLengths), std::end(kLengths), value) == std::end(kLengths)) {
                fail(place, "expected a length 1, 2, 3, 4, 6, 8, 12, 16, 24, 32, 48 or 64, found '" +
                                printablePrefix(digits, kMaxQuotedBytes) + "'");
                return false;
            }
            length = 4 * kUnitsPerBeat / static_cast<std::uint64_t>(value);
        }
        std::uint64_t part = length;
        for (int dots = 0; cursor.peek() == '.' && !cursor.afterSpace(); ++dots) {
            if (dots == kMaxDots || part % 2 != 0) {
                fail(cursor, "expected at most " + std::to_string(kMaxDots) + " dots, found more");
                return false;
            }
            cursor.advance();
            part /= 2;
            length += part;
        }
        return true;
    }

    std::optional<int> number(MmlCursor& cursor, const std::string& what, int least, int most)
    {
        const MmlPlace place{cursor.line(), cursor.column()};
        if (!isDigit(cursor.peek()) || cursor.afterSpace()) {
            fail(place, "expected " + what + found(cursor));
            return std::nullopt;
        }
        const std::string digits = digitsAfter(cursor);
        const int value = digits.size() <= 3 ? valueOf(digits) : -1;
        if (value < least || value > most) {
            fail(place, "expected " + what + ", found '" + printablePrefix(digits, kMaxQuotedBytes) + "'");
            return std::nullopt;
        }
        return value;
    }

    static std::string digitsAfter(MmlCursor& cursor)
    {
        std::string digits;
        while (isDigit(cursor.peek()) && !cursor.afterSpace()) {
            if (digits.size() <= kMaxQuotedBytes) {
                digits += cursor.peek();
            }
            cursor.advance();
        }
        return digits;
    }

    void repeat(MmlCursor& cursor, MmlPlace place, int depth)
    {
        if (depth + 1 > kMaxRepeatDepth) {
            fail(place, "expected repeats nested at most " + std::to_string(kMaxRepeatDepth) + " deep, found deeper");
            stopped_ = true;
            return;
        }
        const MmlCursor body = cursor;
        const std::uint64_t started = time_;
        const std::uint64_t length = defaultLength_;
        Bar bar;
        if (!sequence(cursor, depth + 1, false, bar)) {
            if (!stopped_) {
                fail(place, "expected ] to close this [, found the end of the channel");
            }
            return;
        }
        int times = 2;
        if (isDigit(cursor.peek()) && !cursor.afterSpace()) {
            const MmlPlace at{cursor.line(), cursor.column()};
            const auto value = number(cursor, "a repeat count 1 … 255", 1, 255);
            times = value ? *value : 1;
            if (bar.seen && value && *value == 1) {
                fail(at, "expected a repeat count of 2 or more around |, found '1'");
            }
        }
        // The pass read last, as a model of those that start with the same
        // default length: its length and where its | stands.
        Pass model{time_ - started, bar.seen ? bar.at - started : time_ - started, length};
        for (int pass = 2; pass <= times && !stopped_; ++pass) {
            if (!errors_.empty() && defaultLength_ == model.startLength) {
                // A song with errors makes nothing: the rest of the passes
                // are not read again (which would only make the same
                // messages again, 255^16 times nested), only counted, so
                // that the times after them (a loop point's) stay true.
                const auto rest = static_cast<std::uint64_t>(times - pass);
                time_ += rest * model.length + (bar.seen ? model.toBar : model.length);
                return;
            }
            // The last pass stops at the |.
            MmlCursor again = body;
            const std::uint64_t passStart = time_;
            model.startLength = defaultLength_;
            Bar seen;
            sequence(again, depth + 1, pass == times, seen);
            model.length = time_ - passStart;
            model.toBar = seen.seen ? seen.at - passStart : model.length;
        }
    }

    static std::string nameAfter(MmlCursor& cursor)
    {
        std::string name;
        while (((cursor.peek() >= 'a' && cursor.peek() <= 'z') || (cursor.peek() >= 'A' && cursor.peek() <= 'Z') ||
                isDigit(cursor.peek()) || cursor.peek() == '_') &&
               !cursor.afterSpace()) {
            name += cursor.peek();
            cursor.advance();
        }
        return name;
    }

    void phrase(MmlCursor& cursor, MmlPlace place)
    {
        const std::string name = nameAfter(cursor);
        const auto found = source_.phrases.find(name);
        if (source_.circular.count(name) > 0) {
            return;  // reported where it uses itself
        }
        if (found == source_.phrases.end()) {
            fail(place, "expected a phrase defined with $" + name + " = …, found none of that name");
        } else if (!cursor.enter(found->second)) {
            fail(place, "expected a phrase that does not use itself, found $" + name + " inside $" + name);
        }
    }

    // !verse: a cue here, named for a game to jump to.
    void cue(MmlCursor& cursor, MmlPlace place)
    {
        std::string name;
        while (!cursor.atEnd() && !cursor.afterSpace() &&
               ((cursor.peek() >= 'a' && cursor.peek() <= 'z') || (cursor.peek() >= 'A' && cursor.peek() <= 'Z') ||
                isDigit(cursor.peek()) || cursor.peek() == '_' || cursor.peek() == '-')) {
            name += cursor.peek();
            cursor.advance();
        }
        if (name.empty() || name.size() > kMaxCueNameBytes) {
            fail(place, "expected a cue name of letters, digits, _ and -, at most " + std::to_string(kMaxCueNameBytes) +
                            " bytes, after !" + (name.empty() ? found(cursor) : ", found a longer one"));
            return;
        }
        channel_.cues.push_back({time_, name, place});
    }

    // Whether one more note or rest fits in the song; the first that does
    // not is reported and ends the reading.
    bool count(MmlPlace place)
    {
        if (budget_.notes == 0) {
            fail(place, "expected at most " + std::to_string(kMaxMmlNotes) + " notes and rests, repeats counted, found more");
            stopped_ = true;
            return false;
        }
        --budget_.notes;
        return true;
    }

    // Whether the song may read on; the first command past kMaxMmlReading is
    // reported and ends the reading.
    bool step(const MmlCursor& cursor)
    {
        if (budget_.read > kMaxMmlReading) {
            fail(cursor, "expected at most " + std::to_string(kMaxMmlReading) +
                             " characters read, repeats counted, found more");
            stopped_ = true;
            return false;
        }
        return true;
    }

    static std::string found(const MmlCursor& cursor)
    {
        if (cursor.atEnd()) {
            return ", found the end of the channel";
        }
        if (cursor.afterSpace()) {
            return ", found a space";
        }
        return ", found '" + printable(cursor.character()) + "'";
    }

    void fail(const MmlCursor& cursor, std::string message) { fail({cursor.line(), cursor.column()}, std::move(message)); }

    void fail(MmlPlace place, std::string message) { errors_.add(place.line, place.column, std::move(message)); }

    const MmlSource& source_;
    MmlBudget& budget_;
    MmlErrors& errors_;
    std::size_t errorsBefore_;                        // the song's, before this channel
    MmlChannel channel_;
    std::uint64_t time_ = 0;                          // units
    int octave_ = kDefaultOctave;
    std::uint64_t defaultLength_ = kUnitsPerBeat;     // l4
    double level_ = 1.0;                              // v15
    int gateEighths_ = 8;
    int transpose_ = 0;                               // semitones
    int volumeEnvelope_ = 0;                          // @v, 0 for none
    int arpeggio_ = 0;                                // @a, 0 for none
    int pitchEnvelope_ = 0;                           // @p, 0 for none
    bool stopped_ = false;
    bool tempoOnly_;                                  // the T line
    bool keepSpans_;                                  // for an editor: MmlChannel::spans
};

}  // namespace

MmlChannel parseMmlChannel(const std::vector<MmlPiece>& pieces, const MmlSource& source, MmlBudget& budget,
                           MmlErrors& errors, bool keepSpans)
{
    return ChannelParser(source, budget, errors, false, keepSpans).parse(pieces);
}

MmlChannel parseMmlTempoTrack(const std::vector<MmlPiece>& pieces, const MmlSource& source, MmlBudget& budget,
                              MmlErrors& errors)
{
    return ChannelParser(source, budget, errors, true, false).parse(pieces);
}
