// Writes the demo song, examples/demo.sqn: `make-demo examples/demo.sqn`.
//
// The song is written here as bars of notes on a 16-row grid at 120 beats a
// minute and 4 rows a beat (a row is 0.125 s); this program sorts them into
// the sequencer's event list, with a Wait between rows.
//
// Voices: 0 melody, 1 bass (both the triangle), 2 a pad, 3 an arpeggio,
// 4 the noise hit (snare and hats), 5 the thump (kick).

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

// Pitch-table index of a note: index 40 plays 787.5 Hz, nearest to G5.
int note(const std::string& name)
{
    static const std::map<char, int> steps{{'C', 0}, {'D', 2}, {'E', 4}, {'F', 5},
                                           {'G', 7}, {'A', 9}, {'B', 11}};
    int semitone = steps.at(name[0]);
    std::size_t at = 1;
    if (name[at] == '#') {
        ++semitone;
        ++at;
    }
    const int octave = name[at] - '0';
    const int midi = 12 * (octave + 1) + semitone;
    return midi - 39;
}

enum Voice : std::uint8_t { Melody, Bass, Pad, Arp, Snare, Kick };
enum Command : std::uint8_t { Wait = 1, NoteOn, SetVolume, SetPitch, LoopStart, LoopEnd };

struct Event {
    std::uint8_t voice;
    std::uint8_t command;
    std::uint8_t param;
};

class Song {
public:
    // Events of one row, in the order they are taken.
    void at(int row, Voice voice, Command command, int param)
    {
        rows_[row].push_back({voice, command, static_cast<std::uint8_t>(param)});
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

    void hit(int row, Voice voice, int pitch, int volume)
    {
        at(row, voice, SetPitch, pitch);
        at(row, voice, SetVolume, volume);
        at(row, voice, NoteOn, 1);
    }

    void start(int row, Voice voice, const std::string& name, int gate, int volume)
    {
        at(row, voice, SetPitch, note(name));
        at(row, voice, SetVolume, volume);
        at(row, voice, NoteOn, gate);
    }

    std::vector<std::uint8_t> bytes(int endRow) const
    {
        std::vector<std::uint8_t> out{120, 4};  // tempo, rows per beat
        int row = 0;
        for (const auto& [at, events] : rows_) {
            emitWait(out, at - row);
            row = at;
            for (const Event& e : events) {
                out.insert(out.end(), {e.voice, e.command, e.param});
            }
        }
        emitWait(out, endRow - row);
        return out;
    }

private:
    static void emitWait(std::vector<std::uint8_t>& out, int rows)
    {
        for (; rows > 255; rows -= 255) {
            out.insert(out.end(), {0, Wait, 255});
        }
        if (rows > 0) {
            out.insert(out.end(), {0, Wait, static_cast<std::uint8_t>(rows)});
        }
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

constexpr int kBarRows = 16;

void drums(Song& song, int start, bool fill)
{
    for (int r = 0; r < kBarRows; r += 2) {
        const int row = start + r;
        if (r == 0 || r == 8 || (fill && r == 14)) {
            song.hit(row, Kick, 40, 150);
        }
        if (r == 4 || r == 12) {
            song.hit(row, Snare, 40, 200);
        } else {
            song.hit(row, Snare, 58, 90);  // pitched up and quiet: a hat
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
        std::fprintf(stderr, "usage: %s <output.sqn>\n", argv[0]);
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
    song.at(bar * kBarRows, Melody, LoopStart, 0);
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
    song.hit(start, Kick, 40, 170);
    song.play(start, Bass, "C3", kBarRows, 170);
    song.play(start, Pad, "E4", kBarRows, 110);
    song.play(start, Melody, "C6", kBarRows, 170);
    for (int r = 2; r < kBarRows; r += 2) {
        song.at(start + r, Melody, SetVolume, 170 - r * 10);
        song.at(start + r, Pad, SetVolume, 110 - r * 6);
    }
    song.at(start + kBarRows, Melody, LoopEnd, 0);

    const std::vector<std::uint8_t> bytes = song.bytes(start + kBarRows);
    std::FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size() ||
        std::fclose(out) != 0) {
        std::fprintf(stderr, "%s: failed to write %s\n", argv[0], argv[1]);
        return 1;
    }
    return 0;
}
