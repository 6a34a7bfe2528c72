// Writes a ten-minute benchmark song: `make-bench-song dense|light|held <out.sqn>`.
//   dense: all six voices busy: a note on most voices every row (0.1 s),
//          with pitch and volume changes, gates of 0–6 rows, inside a loop;
//   light: two voices, a note every four rows;
//   held:  the four melodic voices hold notes of 16 rows while their pitch
//          changes every row (arpeggios on two, slides on two, up to the
//          top of the table), the two hits every other row.
// The same fixed seed gives the same song everywhere.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

class Random {
public:
    std::uint32_t next(std::uint32_t bound)
    {
        state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::uint32_t>(state_ >> 33) % bound;
    }

private:
    std::uint64_t state_ = 20261208;
};

constexpr int kRows = 6000;  // 10 minutes of 0.1 s rows at tempo 150, 4 rows a beat

std::vector<std::uint8_t> heldSong()
{
    Random random;
    std::vector<std::uint8_t> out{150, 4};
    out.insert(out.end(), {0, 5, 0});  // LoopStart
    std::uint8_t root[4] = {};
    for (int row = 0; row < kRows; ++row) {
        for (std::uint8_t v = 0; v < 4; ++v) {
            const int step = row % 16;
            if (step == 0) {
                root[v] = static_cast<std::uint8_t>(10 + random.next(60));
                out.insert(out.end(), {v, 4, root[v]});
                out.insert(out.end(), {v, 3, static_cast<std::uint8_t>(40 + random.next(40))});
                out.insert(out.end(), {v, 2, 16});
            } else {
                constexpr std::uint8_t kChord[3] = {0, 4, 7};
                const int offset = v < 2 ? kChord[step % 3] : step;  // arpeggio, or a slide up
                out.insert(out.end(), {v, 4, static_cast<std::uint8_t>(root[v] + offset)});
            }
        }
        if (row % 2 == 0) {
            out.insert(out.end(), {4, 4, static_cast<std::uint8_t>(30 + random.next(40))});
            out.insert(out.end(), {4, 2, 0});
            out.insert(out.end(), {5, 2, 0});
        }
        out.insert(out.end(), {0, 1, 1});
    }
    out.insert(out.end(), {0, 6, 0});  // LoopEnd: the end of the song
    return out;
}

std::vector<std::uint8_t> song(bool dense)
{
    Random random;
    std::vector<std::uint8_t> out{150, 4};
    out.insert(out.end(), {0, 5, 0});  // LoopStart
    for (int row = 0; row < kRows; ++row) {
        for (std::uint8_t v = 0; v < (dense ? 6 : 2); ++v) {
            const bool play = dense ? random.next(10) < 7 || v >= 4 : row % 4 == 0;
            if (!play) {
                continue;
            }
            out.insert(out.end(), {v, 4, static_cast<std::uint8_t>(10 + random.next(50))});
            out.insert(out.end(), {v, 3, static_cast<std::uint8_t>(50 + random.next(60))});
            out.insert(out.end(), {v, 2, static_cast<std::uint8_t>(dense ? random.next(7) : 3)});
        }
        out.insert(out.end(), {0, 1, 1});
    }
    out.insert(out.end(), {0, 6, 0});  // LoopEnd: the end of the song
    return out;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string kind = argc == 3 ? argv[1] : "";
    if (kind != "dense" && kind != "light" && kind != "held") {
        std::fprintf(stderr, "usage: %s dense|light|held <out.sqn>\n", argv[0]);
        return 1;
    }
    const std::vector<std::uint8_t> bytes = kind == "held" ? heldSong() : song(kind == "dense");
    std::FILE* file = std::fopen(argv[2], "wb");
    if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() ||
        std::fclose(file) != 0) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[2]);
        return 1;
    }
    return 0;
}
