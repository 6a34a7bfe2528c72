// Writes the demo song in the text form: `make-demo examples/demo.txt`.
//
// The song is composed here as bars of notes on a 16-row grid at 120 beats
// a minute and 4 rows a beat (a row is 0.125 s); this program sorts them
// into the sequencer's event list, with a wait between rows, and the build
// assembles the text with sqnasm.
//
// Voices: 0 melody, 1 bass (both the triangle), 2 a pad, 3 an arpeggio,
// 4 the noise hit (snare and hats), 5 the thump (kick).

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr int kBarRows = 16;

enum Voice : std::uint8_t { Melody, Bass, Pad, Arp, Snare, Kick };
struct Event {
    Voice voice;
    std::string command;  // a command word of the text form
    std::string param;
};

class Song {
public:
    // Events of one row, in the order they are taken.
    void at(int row, Voice voice, const std::string& command, const std::string& param)
    {
        rows_[row].push_back({voice, command, param});
    }

    void at(int row, Voice voice, const std::string& command, int param)
    {
        at(row, voice, command, std::to_string(param));
    }

    // A detached note: its gate closes a row before the next note.
    void play(int row, Voice voice, const std::string& name, int length, int volume)
    {
        start(row, voice, name, length > 1 ? length - 1 : 1, volume);
    }

    // A held note: sounds until the next one restarts the voice.
    void hold(int row, Voice voice, const std::string& name, int length, int volume)
    {
        start(row, voice, name, length, volume);
    }

    void hit(int row, Voice voice, const std::string& pitch, int volume)
    {
        at(row, voice, "pitch", pitch);
        at(row, voice, "volume", volume);
        at(row, voice, "note", 1);
    }

    void start(int row, Voice voice, const std::string& name, int gate, int volume)
    {
        at(row, voice, "pitch", name);
        at(row, voice, "volume", volume);
        at(row, voice, "note", gate);
    }

    std::string text(int endRow) const
    {
        std::string out =
            "# The demo song, written by tools/make_demo.cpp (make demo): melody on voice 0,\n"
            "# bass on 1, a pad on 2, an arpeggio on 3, snare and hats on 4, kick on 5.\n"
            "tempo 120 4  # a row is 0.125 s; a bar is 16 rows\n";
        int row = 0;
        for (const auto& [at, events] : rows_) {
            out += waits(at - row);
            row = at;
            if (at % kBarRows == 0) {
                out += "\n# bar " + std::to_string(at / kBarRows + 1) + "\n";
            }
            for (const Event& e : events) {
                out += e.command + " " + std::to_string(e.voice) + " " + e.param + "\n";
            }
        }
        out += waits(endRow - row);
        return out;
    }

private:
    static std::string waits(int rows)
    {
        std::string out;
        for (; rows > 0; rows -= 255) {
            out += "wait 0 " + std::to_string(rows > 255 ? 255 : rows) + "\n";
        }
        return out;
    }

    std::map<int, std::vector<Event>> rows_;
};

struct Note {
    int row;
    const char* name;
    int length;
};

struct Chord {
    const char* bass;
    const char* pad;
    const char* arp[4];
};

const Chord kC{"C3", "E4", {"C4", "E4", "G4", "E4"}};
const Chord kAm{"A2", "C4", {"A3", "C4", "E4", "C4"}};
const Chord kF{"F2", "A3", {"F3", "A3", "C4", "A3"}};
const Chord kG{"G2", "B3", {"G3", "B3", "D4", "B3"}};

using Bar = std::vector<Note>;
const Bar kTheme[4] = {
    {{0, "E5", 4}, {4, "G5", 2}, {6, "C6", 2}, {8, "B5", 4}, {12, "G5", 4}},
    {{0, "A5", 6}, {6, "G5", 2}, {8, "E5", 4}, {12, "C5", 4}},
    {{0, "F5", 4}, {4, "A5", 4}, {8, "C6", 4}, {12, "A5", 2}, {14, "G5", 2}},
    {{0, "G5", 8}, {8, "D5", 4}, {12, "B4", 4}},
};
const Bar kAnswer[4] = {
    {{0, "C6", 2}, {2, "B5", 2}, {4, "C6", 4}, {8, "G5", 4}, {12, "E5", 4}},
    {{0, "E5", 2}, {2, "F5", 2}, {4, "G5", 4}, {8, "A5", 6}},
    {{0, "A5", 4}, {4, "G5", 4}, {8, "F5", 4}, {12, "E5", 4}},
    {{0, "D5", 4}, {4, "E5", 2}, {6, "F5", 2}, {8, "G5", 8}},
};
const Chord* const kProgression[4] = {&kC, &kAm, &kF, &kG};

void drums(Song& song, int start, bool fill)
{
    for (int r = 0; r < kBarRows; r += 2) {
        const int row = start + r;
        if (r == 0 || r == 8 || (fill && r == 14)) {
            song.hit(row, Kick, "G5", 150);
        }
        if (r == 4 || r == 12) {
            song.hit(row, Snare, "G5", 200);
        } else {
            song.hit(row, Snare, "C#7", 90);  // pitched up and quiet: a hat
        }
    }
}

void accompaniment(Song& song, int start, const Chord& chord)
{
    song.play(start, Bass, chord.bass, 6, 170);
    song.play(start + 8, Bass, chord.bass, 4, 150);
    song.hold(start + 12, Bass, chord.bass, 4, 130);
    song.hold(start, Pad, chord.pad, kBarRows, 110);
    for (int r = 0; r < kBarRows; r += 2) {
        song.play(start + r, Arp, chord.arp[(r / 2) % 4], 1, r % 4 == 0 ? 48 : 36);
    }
}

void melody(Song& song, int start, const Bar& bar, int volume)
{
    for (const Note& n : bar) {
        song.play(start + n.row, Melody, n.name, n.length, volume);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output.txt>\n", argv[0]);
        return 1;
    }

    Song song;
    int bar = 0;
    // Intro: two bars of drums and bass.
    for (int i = 0; i < 2; ++i, ++bar) {
        drums(song, bar * kBarRows, i == 1);
        song.hold(bar * kBarRows, Bass, i == 0 ? "C3" : "G2", kBarRows, 170);
    }
    // Where a looping player comes back to.
    song.at(bar * kBarRows, Melody, "loop-start", 0);
    for (const Bar* section : {kTheme, kAnswer, kTheme}) {
        for (int i = 0; i < 4; ++i, ++bar) {
            const int start = bar * kBarRows;
            drums(song, start, i == 3);
            accompaniment(song, start, *kProgression[i]);
            melody(song, start, section[i], section == kAnswer ? 190 : 170);
        }
    }
    // Ending: a held C with the melody fading out in SetVolume steps.
    const int start = bar * kBarRows;
    song.hit(start, Kick, "G5", 170);
    song.play(start, Bass, "C3", kBarRows, 170);
    song.play(start, Pad, "E4", kBarRows, 110);
    song.play(start, Melody, "C6", kBarRows, 170);
    for (int r = 2; r < kBarRows; r += 2) {
        song.at(start + r, Melody, "volume", 170 - r * 10);
        song.at(start + r, Pad, "volume", 110 - r * 6);
    }
    song.at(start + kBarRows, Melody, "loop-end", 0);

    const std::string text = song.text(start + kBarRows);
    std::FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr || std::fwrite(text.data(), 1, text.size(), out) != text.size() ||
        std::fclose(out) != 0) {
        std::fprintf(stderr, "%s: failed to write %s\n", argv[0], argv[1]);
        return 1;
    }
    return 0;
}
