#include "loop_timing.h"

#include "pitch_table.h"
#include "timeline.h"

#include <algorithm>

namespace {

// The voices a steady pass strikes and those it changes: the events from
// the loop point to the LoopEnd that jumps back to it.
void voicesTouched(const std::vector<SongEvent>& events, std::uint64_t from, LoopTiming& timing)
{
    std::array<bool, kVoiceCount> struck{};
    std::array<bool, kVoiceCount> changed{};
    for (std::uint64_t i = from; i < events.size(); ++i) {
        const SongEvent& event = events[i];
        if (event.voice >= kVoiceCount) {
            continue;
        }
        const auto command = static_cast<Command>(event.command);
        if (command == Command::LoopEnd) {
            break;
        }
        if (command == Command::NoteOn) {
            struck[event.voice] = true;
        } else if (command == Command::SetPitch || command == Command::SetVolume) {
            changed[event.voice] = true;
        }
    }
    for (std::size_t v = 0; v < kVoiceCount; ++v) {
        timing.untouched[v] = !struck[v] && !changed[v];
        timing.changedOnly[v] = !struck[v] && changed[v];
    }
}

}  // namespace

std::uint64_t LoopTiming::endOf(std::uint64_t passes) const
{
    if (passes == 0 || ends.empty()) {
        return 0;
    }
    if (passes <= ends.size()) {
        return ends[passes - 1];
    }
    const std::uint64_t more = passes - ends.size();
    if (pass > 0 && more > (UINT64_MAX - ends.back()) / pass) {
        return UINT64_MAX;
    }
    return ends.back() + more * pass;
}

LoopTiming loopTiming(const SongPlayer& song)
{
    LoopTiming timing;
    if (!hasLoop(song)) {
        return timing;
    }
    timing.looped = true;
    SongPlayer player;
    player.loadFrom(song);
    player.looping = true;
    player.loopLimit = UINT64_MAX;
    player.fade = {};
    const float dt = 1.0f / player.sampleRate;
    std::uint64_t loopStart = UINT64_MAX;  // after the last jump
    for (std::uint64_t frame = 0;; ++frame) {
        const std::uint64_t passes = player.loopPasses;
        player.frame = frame;  // the frames a tick notes
        player.tick(dt);
        if (player.loopPasses != passes) {
            if (timing.ends.empty()) {
                timing.loopFrame = static_cast<std::uint64_t>(player.loopClockFrame);
            }
            timing.ends.push_back(frame);
            // Once a pass passes no LoopStart, the loop point stays where
            // it is and every pass from here on is this last one.
            if (timing.ends.size() >= 2 && player.loopStart == loopStart) {
                timing.pass = timing.ends.back() - timing.ends[timing.ends.size() - 2];
                timing.loopStart = loopStart;
                voicesTouched(player.events, loopStart, timing);
                return timing;
            }
            loopStart = player.loopStart;
        }
        frame += player.skipWait(dt, UINT64_MAX);
    }
}

std::uint64_t firstPassAtLeast(const SongPlayer& song)
{
    // Every event before the first LoopEnd is taken once, in order, and a
    // wait lasts at least its rows less a frame and a little rounding.
    const double rowFrames = static_cast<double>(song.rowDuration) * static_cast<double>(song.sampleRate);
    double frames = 0.0;
    for (const SongEvent& event : song.events) {
        if (event.voice >= kVoiceCount) {
            continue;
        }
        const auto command = static_cast<Command>(event.command);
        if (command == Command::LoopEnd) {
            break;
        }
        if (command == Command::Wait || command == Command::LoopStart) {
            frames += std::max(0.0, event.param * rowFrames - 2.0);
        }
    }
    // Single-precision countdowns run a little short at high rates: 2 % kept back.
    return static_cast<std::uint64_t>(std::max(0.0, frames * 0.98 - 2.0));
}

void seekSong(SongPlayer& player, std::uint64_t frame, const LoopTiming& timing)
{
    player.restart();
    const std::uint64_t pass = timing.pass;
    std::uint64_t base = timing.steadyFrom();  // from the pass after it, the struck voices repeat a pass apart
    const auto far = [&] { return base <= UINT64_MAX - 3 * pass && frame >= base + 2 * pass; };
    if (!player.looping || !timing.looped || pass == 0 || !far()) {
        player.skip(frame);
        return;
    }
    const float dt = 1.0f / player.sampleRate;
    // The most frames a voice plays on after its gate closes: a cycle at the
    // lowest pitch.
    const auto lastCycle = [&](const Voice& voice) {
        const double increment = static_cast<double>(kBaseRate / player.sampleRate) * kPitchRatios[0];
        return static_cast<std::uint64_t>(static_cast<double>(voice.sample.buffer.frameCount()) / increment) + 2;
    };
    std::uint64_t near = 0;
    for (int look = 0;; ++look) {
        // The same moment of the second pass from `base` on.
        near = base + pass + (frame - base - pass) % pass;
        player.skip(near);
        // A voice a pass changes without striking, still sounding from
        // before, plays on differently each pass until it falls silent:
        // the passes repeat from then on.
        std::uint64_t silent = 0;
        for (std::size_t v = 0; v < kVoiceCount; ++v) {
            const Voice& voice = player.voices[v];
            if (timing.changedOnly[v] && voice.active) {
                const std::uint64_t gate = voice.gate.running() ? voice.gate.stepsLeft(dt) : 0;
                silent = std::max(silent, near + std::min(gate, UINT64_MAX / 4) + lastCycle(voice));
            }
        }
        if (silent == 0) {
            break;
        }
        player.restart();
        base = timing.steadyFrom() + (silent - timing.steadyFrom() + pass - 1) / pass * pass;
        if (look > 0 || !far()) {
            player.skip(frame);
            return;
        }
    }
    // The untouched voices play on by themselves: alone in a player of no
    // events, as far again as the passes gone round.
    SongPlayer alone;
    alone.sampleRate = player.sampleRate;
    for (std::size_t v = 0; v < kVoiceCount; ++v) {
        Voice& voice = alone.voices[v];
        voice.sample.buffer = player.voices[v].sample.buffer;  // read for its length only
        if (timing.untouched[v]) {
            voice.pitch = player.voices[v].pitch;
            voice.volume = player.voices[v].volume;
            voice.playhead = player.voices[v].playhead;
            voice.gate = player.voices[v].gate;
            voice.active = player.voices[v].active;
            voice.sustain = player.voices[v].sustain;
        }
    }
    alone.finished = true;  // no events: its sequencer is done
    alone.skip(frame - near);
    for (std::size_t v = 0; v < kVoiceCount; ++v) {
        if (timing.untouched[v]) {
            Voice& voice = player.voices[v];
            const Voice& played = alone.voices[v];
            voice.playhead = played.playhead;
            voice.gate = played.gate;
            voice.active = played.active;
            voice.sustain = played.sustain;
        }
    }
    player.loopPasses += (frame - near) / pass;
    player.frame = frame;
    player.clock.shift(static_cast<double>(frame - near));
    player.loopClock.shift(static_cast<double>(frame - near));
    player.loopClockFrame += static_cast<double>(frame - near);
}
