// The C interface over MusicPlayer: an opaque handle owning one player, with
// a lock-free queue in front of it for the calls other threads make while
// one renders, and what a render leaves for them (events, the time, what
// to free) handed back the same way.

#include "sqn/sqn.h"

#include "bounded_queue.h"
#include "music_player.h"
#include "play_state.h"
#include "sample_buffer.h"
#include "song_text.h"
#include "version.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

// 16-bit output is stored as little-endian bytes, which are the caller's
// int16_t values only on a little-endian machine.
static_assert(std::endian::native == std::endian::little);

namespace {

// A call made from another thread, taken at the start of the next render.
struct Call {
    enum class Kind { Muted, Looping, Gain, Fade, Jump, Seek, Effect };
    Kind kind = Kind::Muted;
    std::uint64_t number = 0;  // voice, frames, cue, the frame sought
    std::uint64_t flag = 0;    // muted, looping, where a jump is taken
    float gain = 0.0f;
    void* pointer = nullptr;   // Seek: a PlayState; Effect: a MusicPlayer::Effect
};

// What a render lets go of, for the other calls to free.
struct Retired {
    enum class Kind { State, Effect };
    Kind kind = Kind::State;
    void* pointer = nullptr;
};

// Where the player was after its last render, for any thread to read: a
// sequence count odd while it is being written, read again until it is
// even and the same before and after.
class Published {
public:
    struct Values {
        std::uint64_t frame = 0;
        std::uint64_t pass = 0;
        std::uint64_t bar = 1;
        std::uint64_t beat = 1;
        double phase = 0.0;
        double bpm = 120.0;
        std::uint64_t beatsPerBar = 4;
        bool finished = false;
    };

    // Every value is an atomic stored with release and loaded with
    // acquire: a reader that sees any new value sees the odd count before
    // it, and reads the count again only after its values.
    void write(const Values& values)
    {
        const std::uint64_t sequence = sequence_.load(std::memory_order_relaxed);
        sequence_.store(sequence + 1, std::memory_order_relaxed);
        frame_.store(values.frame, std::memory_order_release);
        pass_.store(values.pass, std::memory_order_release);
        bar_.store(values.bar, std::memory_order_release);
        beat_.store(values.beat, std::memory_order_release);
        phase_.store(std::bit_cast<std::uint64_t>(values.phase), std::memory_order_release);
        bpm_.store(std::bit_cast<std::uint64_t>(values.bpm), std::memory_order_release);
        beatsPerBar_.store(values.beatsPerBar, std::memory_order_release);
        finished_.store(values.finished, std::memory_order_release);
        sequence_.store(sequence + 2, std::memory_order_release);
    }

    Values read() const
    {
        for (;;) {
            const std::uint64_t before = sequence_.load(std::memory_order_acquire);
            Values values;
            values.frame = frame_.load(std::memory_order_acquire);
            values.pass = pass_.load(std::memory_order_acquire);
            values.bar = bar_.load(std::memory_order_acquire);
            values.beat = beat_.load(std::memory_order_acquire);
            values.phase = std::bit_cast<double>(phase_.load(std::memory_order_acquire));
            values.bpm = std::bit_cast<double>(bpm_.load(std::memory_order_acquire));
            values.beatsPerBar = beatsPerBar_.load(std::memory_order_acquire);
            values.finished = finished_.load(std::memory_order_acquire);
            if ((before & 1u) == 0 && sequence_.load(std::memory_order_relaxed) == before) {
                return values;
            }
        }
    }

private:
    std::atomic<std::uint64_t> sequence_{0};
    std::atomic<std::uint64_t> frame_{0};
    std::atomic<std::uint64_t> pass_{0};
    std::atomic<std::uint64_t> bar_{1};
    std::atomic<std::uint64_t> beat_{1};
    std::atomic<std::uint64_t> phase_{0};
    std::atomic<std::uint64_t> bpm_{0};
    std::atomic<std::uint64_t> beatsPerBar_{4};
    std::atomic<bool> finished_{false};
};

Published::Values valuesOf(const MusicPlayer::Time& time, bool finished)
{
    return {time.frame, time.pass, time.bar, time.beat, time.beatPhase, time.beatsPerMinute, time.beatsPerBar,
            finished};
}

}  // namespace

// A seek's result on its way to the renderer: kept in slots made at open,
// so that a seek need not allocate (where all are taken, one is allocated).
struct SeekSlot {
    std::atomic<bool> taken{false};
    PlayState state;
};

// A player of the song set aside for working seeks out in, one a thread at
// a time.
struct SeekRoom {
    std::atomic_flag taken = ATOMIC_FLAG_INIT;
    SongPlayer player;
};

struct sqn_player {
    MusicPlayer music;                          // the renderer's
    BoundedQueue<Call, 4096> calls;             // to the renderer
    BoundedQueue<sqn_event, 4096> events;       // from it
    BoundedQueue<Retired, 1024> retired;        // from it, to be freed
    Published published;
    std::atomic<bool> looping{true};            // as last set, for seeks worked out on the calling thread
    // A seek made and not yet taken: the queries answer from it meanwhile.
    std::atomic<std::uint64_t> seeksMade{0};
    std::atomic<std::uint64_t> seeksTaken{0};
    Published sought;
    std::atomic_flag seeking = ATOMIC_FLAG_INIT;  // held by the thread writing `sought`
    std::array<SeekRoom, 2> seekRooms;
    std::array<SeekSlot, 8> seekSlots;
    std::atomic<int> nextEffect{0};
};

namespace {

void freeRetired(sqn_player* handle)
{
    Retired item;
    while (handle->retired.pop(item)) {
        if (item.kind == Retired::Kind::State) {
            delete static_cast<PlayState*>(item.pointer);
        } else {
            delete static_cast<MusicPlayer::Effect*>(item.pointer);
        }
    }
}

// Queued for the renderer; a full queue is waited out here, never there.
void post(sqn_player* handle, const Call& call)
{
    while (!handle->calls.push(call)) {
        freeRetired(handle);
        std::this_thread::yield();
    }
}

void retire(sqn_player* handle, Retired::Kind kind, void* pointer)
{
    // The queue is emptied by every call that posts; were it ever full, the
    // item stays unfreed rather than the renderer freeing it.
    handle->retired.push({kind, pointer});
}

// The renderer's side: the calls made since the last render, in order.
void takeCommands(sqn_player* handle)
{
    MusicPlayer& music = handle->music;
    Call command;
    while (handle->calls.pop(command)) {
        switch (command.kind) {
        case Call::Kind::Muted:
            music.setMuted(command.number, command.flag != 0);
            break;
        case Call::Kind::Looping:
            music.setLooping(command.flag != 0);
            break;
        case Call::Kind::Gain:
            music.setGain(command.gain);
            break;
        case Call::Kind::Fade:
            music.fade(command.gain, command.number);
            break;
        case Call::Kind::Jump:
            music.jump(command.number, static_cast<MusicPlayer::JumpAt>(command.flag));
            break;
        case Call::Kind::Seek:
            music.applySeek(command.number, *static_cast<PlayState*>(command.pointer));
            if (command.flag != 0) {
                handle->seekSlots[command.flag - 1].taken.store(false, std::memory_order_release);
            } else {
                retire(handle, Retired::Kind::State, command.pointer);
            }
            handle->seeksTaken.fetch_add(1, std::memory_order_release);
            break;
        case Call::Kind::Effect:
            music.playEffect(std::unique_ptr<MusicPlayer::Effect>(static_cast<MusicPlayer::Effect*>(command.pointer)));
            break;
        }
    }
}

// After a render: its events, what it let go of, and where it is.
void publish(sqn_player* handle)
{
    MusicPlayer& music = handle->music;
    std::array<MusicEvent, 64> passed;
    for (std::size_t count; (count = music.pollEvents(passed.data(), passed.size())) > 0;) {
        for (std::size_t i = 0; i < count; ++i) {
            // A full queue drops the newest: the oldest are the game's to poll.
            handle->events.push({passed[i].frame, static_cast<int>(passed[i].kind), passed[i].value});
        }
    }
    while (std::unique_ptr<MusicPlayer::Effect> effect = music.takeRetired()) {
        retire(handle, Retired::Kind::Effect, effect.release());
    }
    handle->published.write(valuesOf(music.time(), music.finished()));
}

void render(sqn_player* handle, void* out, std::size_t frames, SampleFormat format)
{
    if (handle == nullptr || (out == nullptr && frames > 0)) {
        return;
    }
    takeCommands(handle);
    const std::size_t frameBytes = 2 * bytesPerSample(format);
    SampleBuffer buffer{format, ChannelLayout::Stereo, static_cast<std::uint8_t*>(out), frames * frameBytes};
    handle->music.render(buffer);
    publish(handle);
}

// What the queries answer: a seek not yet taken, or the last render's.
Published::Values current(const sqn_player* handle)
{
    if (handle->seeksMade.load(std::memory_order_acquire) != handle->seeksTaken.load(std::memory_order_acquire)) {
        return handle->sought.read();
    }
    return handle->published.read();
}

// "line:column: message" into the caller's buffer, cut to fit, always
// terminated.
void reportError(char* error, std::size_t size, const std::string& text)
{
    if (error == nullptr || size == 0) {
        return;
    }
    const std::size_t length = std::min(text.size(), size - 1);
    std::memcpy(error, text.data(), length);
    error[length] = '\0';
}

sqn_player* openLoaded(const std::uint8_t* song, std::size_t size, unsigned sampleRate)
{
    auto* handle = new sqn_player;
    if (!handle->music.open(song, size, static_cast<float>(sampleRate))) {
        delete handle;
        return nullptr;
    }
    handle->published.write(valuesOf(handle->music.time(), false));
    for (SeekRoom& room : handle->seekRooms) {
        room.player = handle->music.seekPlayer();
    }
    return handle;
}

bool acceptedRate(unsigned sampleRate)
{
    return sampleRate >= SQN_MIN_SAMPLE_RATE && sampleRate <= SQN_MAX_SAMPLE_RATE;
}

}  // namespace

extern "C" {

sqn_player* sqn_player_open(const void* song, size_t size, unsigned sample_rate)
{
    if (!acceptedRate(sample_rate) || (song == nullptr && size > 0)) {
        return nullptr;
    }
    // Nothing may be thrown across the interface: running out of memory
    // (or a built-in sound failing to decode, which the bank never does)
    // is a NULL.
    try {
        return openLoaded(static_cast<const std::uint8_t*>(song), size, sample_rate);
    } catch (...) {
        return nullptr;
    }
}

sqn_player* sqn_player_open_text(const char* text, size_t size, unsigned sample_rate, char* error, size_t error_size)
{
    reportError(error, error_size, "");
    if (!acceptedRate(sample_rate)) {
        reportError(error, error_size,
                    "1:1: expected a sample rate of " + std::to_string(SQN_MIN_SAMPLE_RATE) + " … " +
                        std::to_string(SQN_MAX_SAMPLE_RATE) + " frames a second, found " +
                        std::to_string(sample_rate));
        return nullptr;
    }
    if (text == nullptr && size > 0) {
        reportError(error, error_size, "1:1: no text");
        return nullptr;
    }
    try {
        std::vector<TextError> errors;
        const auto song = assembleSong(std::string_view(text == nullptr ? "" : text, size), errors);
        if (!song) {
            const TextError& first = errors.front();
            reportError(error, error_size,
                        std::to_string(first.line) + ":" + std::to_string(first.column) + ": " + first.message);
            return nullptr;
        }
        sqn_player* player = openLoaded(song->data(), song->size(), sample_rate);
        if (player == nullptr) {
            reportError(error, error_size,
                        "1:1: expected a tempo line with a tempo and rows a beat other than 0 "
                        "(sqn2wav: failed to load .sqn file.)");
        }
        return player;
    } catch (...) {
        reportError(error, error_size, "1:1: out of memory");
        return nullptr;
    }
}

void sqn_player_close(sqn_player* player)
{
    if (player == nullptr) {
        return;
    }
    // What is still queued is let go of with the player.
    Call command;
    while (player->calls.pop(command)) {
        if (command.kind == Call::Kind::Seek && command.flag == 0) {
            delete static_cast<PlayState*>(command.pointer);
        } else if (command.kind == Call::Kind::Effect) {
            delete static_cast<MusicPlayer::Effect*>(command.pointer);
        }
    }
    freeRetired(player);
    delete player;
}

void sqn_player_set_looping(sqn_player* player, int looping)
{
    if (player != nullptr) {
        player->looping.store(looping != 0);
        post(player, {Call::Kind::Looping, 0, looping != 0 ? 1u : 0u, 0.0f, nullptr});
    }
}

int sqn_player_set_muted(sqn_player* player, unsigned voice, int muted)
{
    if (player == nullptr || voice >= kVoiceCount) {
        return -1;
    }
    post(player, {Call::Kind::Muted, voice, muted != 0 ? 1u : 0u, 0.0f, nullptr});
    return 0;
}

int sqn_player_set_gain(sqn_player* player, float gain)
{
    if (player == nullptr || !std::isfinite(gain)) {
        return -1;
    }
    post(player, {Call::Kind::Gain, 0, 0, gain, nullptr});
    return 0;
}

int sqn_player_fade(sqn_player* player, float to_gain, uint64_t frames)
{
    if (player == nullptr || !std::isfinite(to_gain)) {
        return -1;
    }
    post(player, {Call::Kind::Fade, frames, 0, to_gain, nullptr});
    return 0;
}

void sqn_player_render_s16(sqn_player* player, int16_t* out, size_t frames)
{
    render(player, out, frames, SampleFormat::S16);
}

void sqn_player_render_f32(sqn_player* player, float* out, size_t frames)
{
    render(player, out, frames, SampleFormat::F32);
}

int sqn_player_finished(const sqn_player* player)
{
    return player != nullptr && current(player).finished ? 1 : 0;
}

uint64_t sqn_player_position(const sqn_player* player)
{
    return player != nullptr ? current(player).frame : 0;
}

uint64_t sqn_player_length(const sqn_player* player)
{
    return player != nullptr ? player->music.length() : 0;
}

unsigned sqn_player_loop_passes(const sqn_player* player)
{
    return player != nullptr ? static_cast<unsigned>(current(player).pass) : 0;
}

int sqn_player_time(const sqn_player* player, sqn_time* time)
{
    if (player == nullptr || time == nullptr) {
        return -1;
    }
    const Published::Values values = current(player);
    *time = {values.frame,
             static_cast<unsigned>(values.pass),
             values.bar,
             static_cast<unsigned>(values.beat),
             values.phase,
             values.bpm,
             static_cast<unsigned>(values.beatsPerBar)};
    return 0;
}

uint64_t sqn_player_loop_frame(const sqn_player* player)
{
    return player != nullptr ? player->music.loopFrame() : SQN_NO_LOOP;
}

size_t sqn_player_poll_events(sqn_player* player, sqn_event* events, size_t max)
{
    if (player == nullptr || events == nullptr) {
        return 0;
    }
    freeRetired(player);
    std::size_t count = 0;
    while (count < max && player->events.pop(events[count])) {
        ++count;
    }
    return count;
}

const char* sqn_player_cue_name(const sqn_player* player, unsigned index)
{
    if (player == nullptr || index >= player->music.cueNames().size() || player->music.cueNames()[index].empty()) {
        return nullptr;
    }
    return player->music.cueNames()[index].c_str();
}

int sqn_player_cue_index(const sqn_player* player, const char* name)
{
    if (player == nullptr || name == nullptr) {
        return -1;
    }
    return player->music.cueIndex(name);
}

int sqn_player_jump(sqn_player* player, const char* cue, int at)
{
    if (player == nullptr || cue == nullptr || at < SQN_AT_NOW || at > SQN_AT_LOOP_END) {
        return -1;
    }
    const int index = player->music.cueIndex(cue);
    if (index < 0 || !player->music.reaches(static_cast<std::size_t>(index))) {
        return -1;
    }
    post(player, {Call::Kind::Jump, static_cast<std::uint64_t>(index), static_cast<std::uint64_t>(at), 0.0f, nullptr});
    return 0;
}

int sqn_player_seek(sqn_player* player, uint64_t frame)
{
    if (player == nullptr) {
        return -1;
    }
    try {
        freeRetired(player);
        const bool looping = player->looping.load();
        // Worked out in a room of the player's where one is free, and
        // handed over in one of its slots: no allocation.
        PlayState* state = nullptr;
        std::uint64_t slot = 0;
        for (std::size_t i = 0; i < player->seekSlots.size() && state == nullptr; ++i) {
            bool free = false;
            if (player->seekSlots[i].taken.compare_exchange_strong(free, true, std::memory_order_acquire)) {
                state = &player->seekSlots[i].state;
                slot = i + 1;
            }
        }
        std::unique_ptr<PlayState> allocated;
        if (state == nullptr) {
            allocated = std::make_unique<PlayState>();
            state = allocated.get();
        }
        SeekRoom* room = nullptr;
        for (SeekRoom& candidate : player->seekRooms) {
            if (!candidate.taken.test_and_set(std::memory_order_acquire)) {
                room = &candidate;
                break;
            }
        }
        if (room != nullptr) {
            player->music.seekIn(room->player, frame, looping);
            *state = playStateOf(room->player);
            room->taken.clear(std::memory_order_release);
        } else {
            *state = player->music.seekState(frame, looping);
        }
        // Answered from the state worked out until the renderer takes it
        // (seeks made at once on two threads write it in turn).
        const MusicClock::Place place = state->clock.placeAt(static_cast<double>(state->frame));
        while (player->seeking.test_and_set(std::memory_order_acquire)) {
            std::this_thread::yield();
        }
        player->sought.write({frame, state->loopPasses, place.bar, place.beat, place.phase,
                              state->clock.beatsPerMinute(static_cast<double>(player->music.sampleRate())),
                              state->clock.beatsPerBar, state->finished});
        player->seeksMade.fetch_add(1, std::memory_order_release);
        post(player, {Call::Kind::Seek, frame, slot, 0.0f, state});
        allocated.release();
        player->seeking.clear(std::memory_order_release);
        return 0;
    } catch (...) {
        return -1;
    }
}

int sqn_player_play_effect(sqn_player* music, const void* song, size_t size, unsigned voices)
{
    if (music == nullptr || (song == nullptr && size > 0) || (voices & 0x3Fu) == 0) {
        return -1;
    }
    try {
        freeRetired(music);
        std::unique_ptr<MusicPlayer::Effect> effect =
            music->music.loadEffect(static_cast<const std::uint8_t*>(song), size, voices & 0x3Fu);
        if (!effect) {
            return -1;
        }
        const int id = music->nextEffect.fetch_add(1) & 0x7FFFFFFF;
        effect->id = id;
        post(music, {Call::Kind::Effect, 0, 0, 0.0f, effect.release()});
        return id;
    } catch (...) {
        return -1;
    }
}

const char* sqn_version(void)
{
    return kVersion;
}

}  // extern "C"
