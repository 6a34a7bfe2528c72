#pragma once

// The notes of a compiled MML song as the player takes them: the frame each
// one starts in, its pitch, volume and the frame its gate closes in, with a
// held note's restarts folded into it. Read by running the player's own
// sequencer over the song, so the frames are the ones sqn2wav renders.

#include "countdown.h"
#include "memory_read.h"
#include "mml_compiler.h"
#include "output_format.h"
#include "pitch_table.h"
#include "sample_bank.h"
#include "voice_mixer.h"
#include "song_event.h"
#include "song_player.h"
#include "test_bytes.h"
#include "timeline.h"

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

struct HeardNote {
    std::uint64_t frame = 0;    // where its NoteOn is taken
    int voice = 0;
    int pitch = 0;              // table index at the start
    int volume = 0;             // 1/128 steps at the start
    std::uint64_t release = 0;  // where its (last) gate closes; 0 for a hit
    int restarts = 0;           // times it was struck again to be held on
    std::size_t line = 0;       // the MML line
};

inline std::ostream& operator<<(std::ostream& out, const HeardNote& n)
{
    return out << "{frame " << n.frame << ", voice " << n.voice << ", pitch " << n.pitch << ", volume " << n.volume
               << ", release " << n.release << "}";
}

// What the events do, as the player takes them.
struct HeardSong {
    std::vector<HeardNote> notes;
    // Every volume and pitch change (frame, voice, value), in order.
    struct Change {
        std::uint64_t frame;
        int voice;
        int value;
    };
    std::vector<Change> volumes;
    std::vector<Change> pitches;
    std::uint64_t loopFrame = 0;  // where the loop point's event is taken
    std::uint64_t endFrame = 0;   // where LoopEnd is taken
};

inline HeardSong hear(const MmlResult& result)
{
    HeardSong heard;
    SongPlayer player;
    player.sampleRate = static_cast<float>(kOutputRate);
    player.looping = false;
    player.load(memoryRead(result.song.data(), result.song.size()));
    // The comment of each event, to tell a restart from a note.
    std::vector<std::string> comments;
    for (const MmlLine& line : result.text) {
        // (The header writes no event; a map record one or more.)
        if (!line.statement.empty()) {
            comments.insert(comments.end(), line.events, line.comment);
        }
    }
    const float rowDuration = player.rowDuration;
    const auto gateFrames = [rowDuration](int rows) {
        Countdown gate;
        gate.set(static_cast<float>(rows) * rowDuration);
        return 1 + gate.stepsLeft(1.0f / static_cast<float>(kOutputRate));
    };
    int pitch[6] = {40, 40, 40, 40, 40, 40};
    int volume[6] = {128, 128, 128, 128, 128, 128};
    int last[6] = {-1, -1, -1, -1, -1, -1};  // each voice's latest note
    bool loopNext = false;
    const std::vector<SongEvent> events = player.events;
    computeTimeline(player, kBlockFrames, [&](std::uint64_t index, std::uint64_t frame) {
        const SongEvent& event = events[index];
        if (loopNext) {
            heard.loopFrame = frame;
            loopNext = false;
        }
        const int v = event.voice;
        if (v >= 6) {
            return;
        }
        switch (static_cast<Command>(event.command)) {
        case Command::SetPitch:
            pitch[v] = event.param;
            heard.pitches.push_back({frame, v, event.param});
            break;
        case Command::SetVolume:
            volume[v] = event.param;
            heard.volumes.push_back({frame, v, event.param});
            break;
        case Command::NoteOn: {
            const std::uint64_t release = v < 4 ? frame + gateFrames(event.param) : 0;
            const std::string& comment = comments[index];
            if (comment.size() >= 7 && comment.compare(comment.size() - 7, 7, "held on") == 0 && last[v] >= 0) {
                HeardNote& held = heard.notes[static_cast<std::size_t>(last[v])];
                held.release = release;
                ++held.restarts;
            } else {
                last[v] = static_cast<int>(heard.notes.size());
                const std::size_t comma = comment.find("line ");
                heard.notes.push_back({frame, v, pitch[v], volume[v], release, 0,
                                       comma == std::string::npos ? 0 : std::stoul(comment.substr(comma + 5))});
            }
            break;
        }
        case Command::LoopStart:
            loopNext = true;
            break;
        case Command::LoopEnd:
            heard.endFrame = frame;
            break;
        default:
            break;
        }
    });
    return heard;
}

// The exact frame of a time in seconds.
inline double framesAt(double seconds)
{
    return seconds * static_cast<double>(kOutputRate);
}

// How far each restart of a held note on `voice` is from seamless: the
// 16-bit sample the restart's frame plays, against the one the held wave
// would have played there, continued from the frame before at the note's
// own pitch. The song is played as sqn2wav plays it, the other voices
// muted (they keep their time).
inline std::vector<int> restartMisses(const MmlResult& result, std::size_t voice)
{
    SongPlayer player;
    player.sampleRate = static_cast<float>(kOutputRate);
    player.looping = false;
    player.load(memoryRead(result.song.data(), result.song.size()));
    for (std::size_t v = 0; v < kVoiceCount; ++v) {
        player.muted[v] = v != voice;
    }
    std::vector<std::string> comments;
    for (const MmlLine& line : result.text) {
        if (!line.statement.empty()) {
            comments.insert(comments.end(), line.events, line.comment);
        }
    }
    // Each restart's frame, and the pitch the note holds at it: the one the
    // events after its NoteOn go back to, or the one it had.
    struct Restart {
        std::uint64_t frame;
        int pitch;
    };
    std::vector<Restart> restarts;
    {
        SongPlayer timed;
        timed.loadFrom(player);
        const std::vector<SongEvent>& events = timed.events;
        int pitch = -1;
        computeTimeline(timed, kBlockFrames, [&](std::uint64_t index, std::uint64_t frame) {
            const SongEvent& event = events[index];
            if (event.voice != voice) {
                return;
            }
            if (event.command == static_cast<std::uint8_t>(Command::SetPitch)) {
                pitch = event.param;
            } else if (event.command == static_cast<std::uint8_t>(Command::NoteOn) &&
                       comments[index].find("held on") != std::string::npos) {
                int held = pitch;
                if (index > 0 && events[index - 1].voice == voice &&
                    events[index - 1].command == static_cast<std::uint8_t>(Command::SetPitch) &&
                    index + 1 < events.size() && events[index + 1].voice == voice &&
                    events[index + 1].command == static_cast<std::uint8_t>(Command::SetPitch)) {
                    held = events[index + 1].param;  // the first frame's pitch is the restart's own
                }
                restarts.push_back({frame, held});
            }
        });
    }
    std::vector<int> misses;
    std::uint64_t frame = 0;
    Bytes block(kBlockFrames * 4);
    for (const Restart& restart : restarts) {
        while (frame < restart.frame) {
            const std::uint64_t count = std::min<std::uint64_t>(restart.frame - frame, kBlockFrames);
            SampleBuffer buffer{SampleFormat::S16, ChannelLayout::Stereo, block.data(), count * 4};
            player.render(buffer);
            frame += count;
        }
        const Voice& before = player.voices[voice];
        Voice held;
        held.sample = bankSample(voice);
        held.active = true;
        held.sustain = true;
        held.playhead = before.playhead;
        held.volume = before.volume;
        const float step = kBaseRate / static_cast<float>(kOutputRate);
        float left = 0.0f;
        float right = 0.0f;
        mixVoice(held, step * kPitchRatios[static_cast<std::size_t>(restart.pitch)], 1, &left, &right);
        Bytes continued(4);
        SampleBuffer one{SampleFormat::S16, ChannelLayout::Stereo, continued.data(), 4};
        one.writeFrame(0, left, right);
        SampleBuffer buffer{SampleFormat::S16, ChannelLayout::Stereo, block.data(), 4};
        player.render(buffer);
        ++frame;
        const int played = static_cast<std::int16_t>(block[0] | block[1] << 8);
        const int wanted = static_cast<std::int16_t>(continued[0] | continued[1] << 8);
        misses.push_back(std::abs(played - wanted));
    }
    return misses;
}
