// libsqn from two threads, as a game calls it: one renders (the audio
// callback) while another mutes, fades, seeks, jumps and starts effects.
// Built under ThreadSanitizer too (make test).

#include <sqn/sqn.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

struct PlayerCloser {
    void operator()(sqn_player* player) const { sqn_player_close(player); }
};
using Player = std::unique_ptr<sqn_player, PlayerCloser>;

// Two beats round a loop, its start a cue.
const std::string kMusic =
    "tempo 120 4\n"
    "map cue-name 0 top\n"
    "loop-start 0 0\n"
    "map cue 0\n"
    "pitch 0 C4\nvolume 0 1.0\nnote 0 2\n"
    "note 4 1\nwait 0 4\n"
    "pitch 0 G4\nnote 0 2\n"
    "note 4 1\nwait 0 4\n"
    "loop-end 0 0\n";

// A blip on voice 1, an eighth of a second: pitch 1 54, volume 1 1.0,
// note 1 1, wait 0 2, loop-end 0 0 at tempo 240, 4 rows a beat.
const std::vector<std::uint8_t> kBlip{240, 4, 1, 4, 54, 1, 3, 128, 1, 2, 1, 0, 1, 2, 0, 6, 0};

Player openText(const std::string& text)
{
    char error[256];
    Player player(sqn_player_open_text(text.data(), text.size(), 48000, error, sizeof error));
    EXPECT_NE(player, nullptr) << error;
    return player;
}

std::vector<float> render(sqn_player* player, std::size_t frames)
{
    std::vector<float> out(2 * frames);
    sqn_player_render_f32(player, out.data(), frames);
    return out;
}

// Ten thousand calls from one thread while another renders: the renderer
// takes every one, in the order made: each effect started plays and is
// told ended, and after the last calls the music is as they leave it.
TEST(Threads, TenThousandCallsWhileOneRenders)
{
    const Player player = openText(kMusic);
    std::atomic<bool> done{false};
    std::set<unsigned> ended;  // the renderer's own: it polls the events
    std::atomic<std::size_t> endedCount{0};
    std::thread renderer([&] {
        std::vector<float> block(2 * 256);
        sqn_event events[64];
        while (!done.load()) {
            sqn_player_render_f32(player.get(), block.data(), 256);
            for (std::size_t got; (got = sqn_player_poll_events(player.get(), events, 64)) > 0;) {
                for (std::size_t i = 0; i < got; ++i) {
                    if (events[i].kind == SQN_EVENT_EFFECT_END) {
                        EXPECT_TRUE(ended.insert(events[i].value).second) << events[i].value;
                        endedCount.store(ended.size());
                    }
                }
            }
        }
    });
    std::set<unsigned> started;
    for (int i = 0; i < 10000; ++i) {
        switch (i % 7) {
        case 0: ASSERT_EQ(sqn_player_set_gain(player.get(), static_cast<float>(i) / 10000.0f), 0); break;
        case 1: ASSERT_EQ(sqn_player_set_muted(player.get(), static_cast<unsigned>(i % 6), i % 2), 0); break;
        case 2: ASSERT_EQ(sqn_player_fade(player.get(), 0.5f, 100), 0); break;
        case 3: ASSERT_EQ(sqn_player_seek(player.get(), static_cast<std::uint64_t>(i) * 10), 0); break;
        case 4: ASSERT_EQ(sqn_player_jump(player.get(), "top", i % 4), 0); break;
        case 5: {
            const int id = sqn_player_play_effect(player.get(), kBlip.data(), kBlip.size(), 0b10);
            ASSERT_GE(id, 0);
            started.insert(static_cast<unsigned>(id));
            break;
        }
        default: sqn_player_set_looping(player.get(), 1); break;
        }
        sqn_time time{};
        ASSERT_EQ(sqn_player_time(player.get(), &time), 0);
        ASSERT_GE(time.bar, 1u);
    }
    for (unsigned v = 0; v < 6; ++v) {
        sqn_player_set_muted(player.get(), v, 0);
    }
    sqn_player_set_gain(player.get(), 0.25f);
    sqn_player_seek(player.get(), 48000);
    // Every effect is told ended (an eighth of a second each, eight at
    // once): the renderer renders on through it all.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (endedCount.load() < started.size() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    done.store(true);
    renderer.join();
    EXPECT_EQ(ended, started);

    // Taken in the order made: after the last seek, a quarter of the music.
    const Player plain = openText(kMusic);
    sqn_player_seek(plain.get(), 48000 + 4000);
    sqn_player_seek(player.get(), 48000 + 4000);
    const std::vector<float> a = render(plain.get(), 4000);
    const std::vector<float> b = render(player.get(), 4000);
    for (std::size_t i = 0; i < a.size(); ++i) {
        ASSERT_EQ(b[i], a[i] * 0.25f) << i;
    }
}

}  // namespace
