// The player's binding: the renderer, what the lanes and a game's clock
// show of a song, seeks, and a player for the audio worklet, as plain
// functions of a standalone WebAssembly module (sqn-play.wasm alone, and
// with the compilers in sqn.wasm). Bytes and text cross in buffers the
// module allocates; results come back as a Blob the page reads and then frees.

#include "web_blob.h"

#include "memory_read.h"
#include "output_format.h"
#include "loop_timing.h"
#include "music_outline.h"
#include "music_player.h"
#include "pitch_table.h"
#include "play_state.h"
#include "render_plan.h"
#include "song_event.h"
#include "sample_buffer.h"
#include "song_player.h"
#include "timeline.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t kMaxWavDataBytes = 1u << 30;  // what a page renders at once: 93 minutes

void putU32(std::uint8_t* at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// The 44-byte header sqn2wav's encoder writes: integer PCM, 2 channels,
// 48000 Hz, 16 bits.
void wavHeader(std::uint8_t* header, std::uint32_t dataBytes)
{
    std::memcpy(header, "RIFF\0\0\0\0WAVEfmt \x10\0\0\0\x01\0\x02\0\0\0\0\0\0\0\0\0\x04\0\x10\0data\0\0\0\0", 44);
    putU32(header + 4, 36 + dataBytes);
    putU32(header + 24, kOutputRate);
    putU32(header + 28, kOutputRate * kOutputFrameBytes);
    putU32(header + 40, dataBytes);
}

bool loadDriverStyle(SongPlayer& player, const std::uint8_t* song, std::uint32_t size)
{
    player.sampleRate = static_cast<float>(kOutputRate);
    player.looping = false;
    return player.load(memoryRead(song, size));
}

// A player for the audio worklet.
struct WebPlayer {
    MusicPlayer music;
};

// An event as the worklet reads it: nine doubles.
constexpr std::size_t kEventDoubles = 9;

}  // namespace

extern "C" {

// What the lanes show of a song, at 48000 Hz with looping off, as 64-bit
// floats: the frame the song ends in, the loop point's frame (or -1), the
// rows a second, then five a note: its frame, voice, pitch index, frames it
// sounds, and its event's index.
__attribute__((export_name("web_song_map"))) Blob* webSongMap(const std::uint8_t* song, std::uint32_t size)
{
    SongPlayer player;
    if (!loadDriverStyle(player, song, size)) {
        return failure("failed to load .sqn file.");
    }
    std::vector<double> map{0.0, -1.0, 1.0 / static_cast<double>(player.rowDuration)};
    std::array<int, kVoiceCount> pitch;
    pitch.fill(static_cast<int>(kUnityPitch));
    const double step = static_cast<double>(kBaseRate) / kOutputRate;
    const Timeline timeline = computeTimeline(player, 1, [&](std::uint64_t index, std::uint64_t frame) {
        const SongEvent& event = player.events[index];
        if (event.voice >= kVoiceCount) {
            return;
        }
        const auto command = static_cast<Command>(event.command);
        if (command == Command::SetPitch) {
            pitch[event.voice] = std::min<int>(event.param, static_cast<int>(kPitchCount) - 1);
        } else if (command == Command::LoopStart && map[1] < 0.0) {
            map[1] = static_cast<double>(frame + 1);
        } else if (command == Command::NoteOn) {
            const double ratio = static_cast<double>(kPitchRatios[static_cast<std::size_t>(pitch[event.voice])]);
            const double pass = static_cast<double>(player.voices[event.voice].sample.buffer.frameCount()) / (step * ratio);
            const double gate = static_cast<double>(event.param) * player.rowDuration * kOutputRate;
            const double sounds = event.voice < kSustainedVoices ? gate + pass : pass;
            map.insert(map.end(), {static_cast<double>(frame), static_cast<double>(event.voice),
                                   static_cast<double>(pitch[event.voice]), sounds, static_cast<double>(index)});
        }
    });
    map[0] = static_cast<double>(timeline.finishedAt);
    return makeBlob(false, map.data(), map.size() * sizeof(double));
}

// The whole WAV file sqn2wav writes for the song, or why there is none:
// `loops` passes round its loop, a fade of `fadeFrames` frames, and the
// voices whose bits are set in `muted` left out, as sqn2wav's --loops,
// --fade and --voices give them.
__attribute__((export_name("web_render_wav"))) Blob* webRenderWav(const std::uint8_t* song, std::uint32_t size,
                                                                  std::uint32_t loops, std::uint32_t fadeFrames,
                                                                  std::uint32_t muted)
{
    RenderPlan plan;
    plan.loops = loops < 1 ? 1 : loops;
    plan.fadeFrames = fadeFrames;
    for (std::size_t v = 0; v < kVoiceCount; ++v) {
        plan.muted[v] = ((muted >> v) & 1u) != 0;
    }
    SongPlayer player;
    if (!loadDriverStyle(player, song, size)) {
        return failure("failed to load .sqn file.");
    }
    std::uint64_t frames = applyRenderPlan(plan, player);
    if (frames == 0) {
        SongPlayer timed;
        timed.loadFrom(player);
        frames = computeTimeline(timed, kBlockFrames).frames;
    }
    if (frames > kMaxWavDataBytes / kOutputFrameBytes) {
        return failure("longer than the page renders at once (93 minutes): use sqn2wav");
    }
    const std::uint64_t dataBytes = frames * kOutputFrameBytes;
    auto* wav = static_cast<std::uint8_t*>(std::malloc(44 + dataBytes));
    if (wav == nullptr) {
        return failure("out of memory");
    }
    wavHeader(wav, static_cast<std::uint32_t>(dataBytes));
    for (std::uint64_t at = 0; at < dataBytes; at += kBlockFrames * kOutputFrameBytes) {
        SampleBuffer block{SampleFormat::S16, ChannelLayout::Stereo, wav + 44 + at, kBlockFrames * kOutputFrameBytes};
        player.render(block);
    }
    auto* blob = static_cast<Blob*>(std::malloc(sizeof(Blob)));
    if (blob == nullptr) {
        std::free(wav);
        return failure("out of memory");
    }
    *blob = {0, static_cast<std::uint32_t>(44 + dataBytes), wav};
    return blob;
}

__attribute__((export_name("web_player_open"))) WebPlayer* webPlayerOpen(const std::uint8_t* song, std::uint32_t size,
                                                                         float sampleRate)
{
    auto* handle = new WebPlayer;
    if (!handle->music.open(song, size, sampleRate)) {
        delete handle;
        return nullptr;
    }
    return handle;
}

__attribute__((export_name("web_player_close"))) void webPlayerClose(WebPlayer* handle)
{
    delete handle;
}

__attribute__((export_name("web_player_set_looping"))) void webPlayerSetLooping(WebPlayer* handle, int looping)
{
    handle->music.setLooping(looping != 0);
}

// A voice played on unheard (muted 1) or heard again (0), from the next
// frame rendered on.
__attribute__((export_name("web_player_set_muted"))) void webPlayerSetMuted(WebPlayer* handle, std::uint32_t voice,
                                                                           int muted)
{
    handle->music.setMuted(voice, muted != 0);
}

__attribute__((export_name("web_player_set_gain"))) void webPlayerSetGain(WebPlayer* handle, float gain)
{
    handle->music.setGain(gain);
}

// The gain moved to `to` over `frames` frames, evenly, frame by frame.
__attribute__((export_name("web_player_fade"))) void webPlayerFade(WebPlayer* handle, float to, double frames)
{
    handle->music.fade(to, frames > 0.0 ? static_cast<std::uint64_t>(frames) : 0);
}

// On from cue `cue` at the next boundary `at` (0 now, 1 a beat, 2 a bar, 3
// the loop's end); 0 for a cue the song does not reach.
__attribute__((export_name("web_player_jump"))) int webPlayerJump(WebPlayer* handle, std::uint32_t cue, int at)
{
    if (at < 0 || at > 3) {
        return 0;
    }
    return handle->music.jump(cue, static_cast<MusicPlayer::JumpAt>(at)) ? 1 : 0;
}

// The song `bytes` played over the music on the voices whose bits are set
// in `voices`, told ended with `id`; 0 where it is no song.
__attribute__((export_name("web_player_effect"))) int webPlayerEffect(WebPlayer* handle, const std::uint8_t* bytes,
                                                                     std::uint32_t size, std::uint32_t voices, int id)
{
    std::unique_ptr<MusicPlayer::Effect> effect = handle->music.loadEffect(bytes, size, voices & 0x3Fu);
    if (!effect || (voices & 0x3Fu) == 0) {
        return 0;
    }
    effect->id = id;
    handle->music.playEffect(std::move(effect));
    return 1;
}

// `frames` frames of the mix, left into `left` and right into `right`, as
// Web Audio wants them.
__attribute__((export_name("web_player_render"))) void webPlayerRender(WebPlayer* handle, float* left, float* right,
                                                                      std::uint32_t frames)
{
    handle->music.renderPlanar(left, right, frames);
}

// Up to `max` of the events passed since the last call into `out`, nine
// doubles each: frame, kind, value, bar, beat, beat phase, beats a minute,
// beats a bar, pass. How many.
__attribute__((export_name("web_player_poll"))) std::uint32_t webPlayerPoll(WebPlayer* handle, double* out,
                                                                           std::uint32_t max)
{
    std::array<MusicEvent, 16> polled;
    std::uint32_t count = 0;
    while (count < max) {
        const std::size_t got = handle->music.pollEvents(polled.data(), std::min<std::size_t>(polled.size(), max - count));
        if (got == 0) {
            break;
        }
        for (std::size_t i = 0; i < got; ++i, ++count) {
            const MusicEvent& e = polled[i];
            double* at = out + kEventDoubles * count;
            at[0] = static_cast<double>(e.frame);
            at[1] = static_cast<double>(e.kind);
            at[2] = static_cast<double>(e.value);
            at[3] = static_cast<double>(e.place.bar);
            at[4] = static_cast<double>(e.place.beat);
            at[5] = e.place.beatPhase;
            at[6] = e.place.beatsPerMinute;
            at[7] = static_cast<double>(e.place.beatsPerBar);
            at[8] = static_cast<double>(e.place.pass);
        }
    }
    return count;
}

// Where the music is at the next frame, seven doubles into `out`: frame,
// pass, bar, beat, beat phase, beats a minute, beats a bar.
__attribute__((export_name("web_player_time"))) void webPlayerTime(const WebPlayer* handle, double* out)
{
    const MusicPlayer::Time time = handle->music.time();
    out[0] = static_cast<double>(time.frame);
    out[1] = static_cast<double>(time.pass);
    out[2] = static_cast<double>(time.bar);
    out[3] = static_cast<double>(time.beat);
    out[4] = time.beatPhase;
    out[5] = time.beatsPerMinute;
    out[6] = static_cast<double>(time.beatsPerBar);
}

// Where the player is, as PlayState's bytes: what web_seek_state works out
// for `frame`, taken over whole, so that the audio thread never seeks.
__attribute__((export_name("web_player_set_state"))) int webPlayerSetState(WebPlayer* handle, const std::uint8_t* bytes,
                                                                          std::uint32_t size, double frame)
{
    if (size != sizeof(PlayState)) {
        return 0;
    }
    PlayState state;
    std::memcpy(&state, bytes, sizeof state);
    handle->music.applySeek(static_cast<std::uint64_t>(frame), state);
    return 1;
}

// The frame of the player's clock the next render starts at (its events'
// frames), the song's frame (which a seek round whole passes of a loop
// may set below the clock's), and the song's frame it ended in (once
// web_player_finished is 1).
__attribute__((export_name("web_player_frame"))) double webPlayerFrame(const WebPlayer* handle)
{
    return static_cast<double>(handle->music.frame());
}

__attribute__((export_name("web_player_song_frame"))) double webPlayerSongFrame(const WebPlayer* handle)
{
    return static_cast<double>(handle->music.music().frame);
}

__attribute__((export_name("web_player_finished_at"))) double webPlayerFinishedAt(const WebPlayer* handle)
{
    return static_cast<double>(handle->music.music().finishedAt);
}

// Where a player of the song at `sampleRate` is once `frames` frames in
// (looping or not): PlayState's bytes for web_player_set_state, worked out
// here, off the audio thread. A looping song is gone round whole passes at
// once, so any frame below 2^64 costs the intro and two passes.
__attribute__((export_name("web_seek_state"))) Blob* webSeekState(const std::uint8_t* song, std::uint32_t size,
                                                                  float sampleRate, double frames, int looping)
{
    if (!(frames >= 0.0) || !(frames < 18446744073709551616.0)) {
        return failure("a frame 0 … 2^64 - 1");
    }
    SongPlayer player;
    player.sampleRate = sampleRate;
    if (!player.load(memoryRead(song, size))) {
        return failure("failed to load .sqn file.");
    }
    player.looping = looping != 0;
    // Within the first pass a seek never goes round: its timing is not needed.
    const bool near = static_cast<std::uint64_t>(frames) < firstPassAtLeast(player);
    const LoopTiming timing = player.looping && !near ? loopTiming(player) : LoopTiming{};
    seekSong(player, static_cast<std::uint64_t>(frames), timing);
    const PlayState state = playStateOf(player);
    return makeBlob(false, &state, sizeof state);
}

// `frames` frames of the song from `from` on, as sqn2wav's 16-bit samples
// (at 48000 Hz, looping off): what the page plays from a point.
__attribute__((export_name("web_render_from"))) Blob* webRenderFrom(const std::uint8_t* song, std::uint32_t size,
                                                                    double from, std::uint32_t frames)
{
    SongPlayer player;
    if (!loadDriverStyle(player, song, size)) {
        return failure("failed to load .sqn file.");
    }
    player.skip(static_cast<std::uint64_t>(from));
    std::vector<std::uint8_t> out(static_cast<std::size_t>(frames) * kOutputFrameBytes);
    SampleBuffer buffer{SampleFormat::S16, ChannelLayout::Stereo, out.data(), out.size()};
    player.render(buffer);
    return makeBlob(false, out.data(), out.size());
}

__attribute__((export_name("web_player_finished"))) int webPlayerFinished(const WebPlayer* handle)
{
    return handle->music.finished() ? 1 : 0;
}

__attribute__((export_name("web_player_pass"))) double webPlayerPass(const WebPlayer* handle)
{
    return static_cast<double>(handle->music.loopPasses());
}

__attribute__((export_name("web_player_position"))) double webPlayerPosition(const WebPlayer* handle)
{
    return static_cast<double>(handle->music.music().position);
}

__attribute__((export_name("web_player_events"))) double webPlayerEvents(const WebPlayer* handle)
{
    return static_cast<double>(handle->music.music().events.size());
}

// The song's musical time for the page and the package, as JSON: its cues'
// names by index, the loop point's frame (-1 for none), every beat of one
// pass as [frame, bar, beat], and every cue passed as [frame, index] (at
// 48000 Hz, looping off).
__attribute__((export_name("web_song_music"))) Blob* webSongMusic(const std::uint8_t* song, std::uint32_t size)
{
    SongPlayer player;
    if (!loadDriverStyle(player, song, size)) {
        return failure("failed to load .sqn file.");
    }
    const MusicOutline outline = musicOutline(player);
    const LoopTiming timing = loopTiming(player);
    // Cue names hold letters, digits, _ and - only: nothing to escape.
    std::string json = "{\"cues\":[";
    for (std::size_t i = 0; i < player.map.cueNames.size(); ++i) {
        json += (i > 0 ? ",\"" : "\"") + player.map.cueNames[i] + "\"";
    }
    json += "],\"loop\":" + (timing.looped ? std::to_string(timing.loopFrame) : std::string("-1")) + ",\"beats\":[";
    for (std::size_t i = 0; i < outline.beats.size(); ++i) {
        const MusicOutline::Beat& beat = outline.beats[i];
        json += (i > 0 ? ",[" : "[") + std::to_string(beat.frame) + "," + std::to_string(beat.bar) + "," +
                std::to_string(beat.beat) + "]";
    }
    json += "],\"passed\":[";
    for (std::size_t i = 0; i < outline.cues.size(); ++i) {
        json += (i > 0 ? ",[" : "[") + std::to_string(outline.cues[i].frame) + "," +
                std::to_string(outline.cues[i].index) + "]";
    }
    json += "]}";
    return makeBlob(false, json.data(), json.size());
}

}  // extern "C"
