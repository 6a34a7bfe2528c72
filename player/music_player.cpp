#include "music_player.h"

#include "loop_timing.h"
#include "memory_read.h"
#include "timeline.h"

#include <algorithm>

namespace {

constexpr std::uint64_t kEffectBlockFrames = 512;  // sqn2wav's blocks

// The frames an effect sounds for: as sqn2wav renders it alone, in whole
// 512-frame blocks up to the one its song ends in.
std::uint64_t effectLength(const SongPlayer& song)
{
    SongPlayer player;
    player.loadFrom(song);
    player.looping = false;
    return computeTimeline(player, kEffectBlockFrames).frames;
}

}  // namespace

bool MusicPlayer::open(const std::uint8_t* bytes, std::size_t size, float rate)
{
    music_.sampleRate = rate;
    if (!music_.load(memoryRead(bytes, size))) {
        return false;
    }
    music_.looping = false;
    length_ = computeTimeline(music_, 1).finishedAt + 1;
    music_.restart();
    music_.looping = true;
    song_.loadFrom(music_);
    timing_ = loopTiming(song_);
    cues_ = cueStates(song_);
    return true;
}

std::unique_ptr<MusicPlayer::Effect> MusicPlayer::loadEffect(const std::uint8_t* bytes, std::size_t size,
                                                             unsigned voices) const
{
    auto effect = std::make_unique<Effect>();
    effect->song.sampleRate = song_.sampleRate;
    if (!effect->song.load(memoryRead(bytes, size))) {
        return nullptr;
    }
    effect->song.looping = false;
    for (std::size_t v = 0; v < kVoiceCount; ++v) {
        effect->voices[v] = ((voices >> v) & 1u) != 0;
        effect->song.muted[v] = !effect->voices[v];
    }
    effect->length = effectLength(effect->song);
    return effect;
}

void MusicPlayer::setLooping(bool looping)
{
    music_.looping = looping;
}

void MusicPlayer::setMuted(std::size_t voice, bool muted)
{
    if (voice < kVoiceCount) {
        muted_[voice] = muted;
    }
}

void MusicPlayer::setGain(float gain)
{
    gain_ = gain;
    fade_ = {};
}

void MusicPlayer::fade(float to, std::uint64_t frames)
{
    if (frames == 0) {
        setGain(to);
        return;
    }
    fade_ = {gain_, to, frames, 0};
}

bool MusicPlayer::jump(std::size_t cue, JumpAt at)
{
    if (cue >= cues_.size() || !cues_[cue]) {
        return false;
    }
    jump_ = {true, cue, at};
    return true;
}

PlayState MusicPlayer::seekState(std::uint64_t frame, bool looping) const
{
    SongPlayer player = seekPlayer();
    seekIn(player, frame, looping);
    return playStateOf(player);
}

SongPlayer MusicPlayer::seekPlayer() const
{
    SongPlayer player;
    player.loadFrom(song_);
    return player;
}

void MusicPlayer::seekIn(SongPlayer& player, std::uint64_t frame, bool looping) const
{
    player.looping = looping;
    seekSong(player, frame, timing_);
}

void MusicPlayer::applySeek(std::uint64_t frame, const PlayState& state)
{
    applyPlayState(music_, state);
    offset_ = frame - music_.frame;
}

bool MusicPlayer::playEffect(std::unique_ptr<Effect> effect)
{
    if (effect->length > 0) {
        for (std::unique_ptr<Effect>& slot : effects_) {
            if (!slot) {
                slot = std::move(effect);
                return true;
            }
        }
    }
    retire(std::move(effect));  // no room, or nothing to play
    return false;
}

void MusicPlayer::retire(std::unique_ptr<Effect> effect)
{
    keep({frame(), MusicEventKind::EffectEnd, static_cast<unsigned>(effect->id), music_.placeAt(music_.frame)});
    for (std::unique_ptr<Effect>& slot : retired_) {
        if (!slot) {
            slot = std::move(effect);
            return;
        }
    }
    // Only where the caller never frees them: this one is freed here.
}

std::unique_ptr<MusicPlayer::Effect> MusicPlayer::takeRetired()
{
    for (std::unique_ptr<Effect>& slot : retired_) {
        if (slot) {
            return std::move(slot);
        }
    }
    return nullptr;
}

void MusicPlayer::takeJump()
{
    const std::uint64_t now = music_.frame + offset_;
    applyPlayState(music_, cues_[jump_.cue]->state);
    offset_ = now - music_.frame;
    jump_.pending = false;
}

float MusicPlayer::gainAt(std::uint64_t index) const
{
    if (index >= fade_.frames) {
        return fade_.to;
    }
    const float through = static_cast<float>(index) / static_cast<float>(fade_.frames);
    return fade_.from + (fade_.to - fade_.from) * through;
}

std::size_t MusicPlayer::renderChunk(std::size_t frames)
{
    if (jump_.pending && jump_.at == JumpAt::Now) {
        takeJump();
    }
    // The effects sounding take their voices from the music; a chunk ends
    // where one of them does.
    std::size_t span = frames;
    std::array<bool, kVoiceCount> taken{};
    for (const std::unique_ptr<Effect>& effect : effects_) {
        if (effect) {
            span = static_cast<std::size_t>(std::min<std::uint64_t>(span, effect->length - effect->played));
            for (std::size_t v = 0; v < kVoiceCount; ++v) {
                taken[v] = taken[v] || effect->voices[v];
            }
        }
    }
    for (std::size_t v = 0; v < kVoiceCount; ++v) {
        music_.muted[v] = muted_[v] || taken[v];
    }
    music_.stopAt = UINT64_MAX;
    music_.stopAtLoopEnd = jump_.pending && jump_.at == JumpAt::LoopEnd;
    music_.stopAtMusic = !jump_.pending              ? SongPlayer::StopAtMusic::None
                         : jump_.at == JumpAt::Beat ? SongPlayer::StopAtMusic::Beat
                         : jump_.at == JumpAt::Bar  ? SongPlayer::StopAtMusic::Bar
                                                    : SongPlayer::StopAtMusic::None;
    passed_.clear();
    std::size_t done = static_cast<std::size_t>(music_.renderMix(left_.data(), right_.data(), span, &passed_));
    const bool boundary = jump_.pending && jump_.at != JumpAt::Now &&
                          (done < span || (music_.stopAt != UINT64_MAX && music_.frame >= music_.stopAt));
    music_.stopAt = UINT64_MAX;
    music_.stopAtLoopEnd = false;
    music_.stopAtMusic = SongPlayer::StopAtMusic::None;
    for (std::size_t i = 0; i < passed_.count; ++i) {
        MusicEvent event = passed_.items[i];
        event.frame += offset_;
        keep(event);
    }
    if (boundary) {
        takeJump();
        if (done == 0) {
            return 0;  // the jump was due now: the caller renders on from the cue
        }
    }
    for (std::unique_ptr<Effect>& effect : effects_) {
        if (!effect) {
            continue;
        }
        effect->song.renderMix(effectLeft_.data(), effectRight_.data(), done);
        for (std::size_t i = 0; i < done; ++i) {
            left_[i] += effectLeft_[i];
            right_[i] += effectRight_[i];
        }
        effect->played += done;
        if (effect->played >= effect->length) {
            retire(std::move(effect));
        }
    }
    if (gain_ != 1.0f || fade_.frames > 0) {
        for (std::size_t i = 0; i < done; ++i) {
            const float gain = fade_.frames > 0 ? gainAt(fade_.done + i) : gain_;
            left_[i] *= gain;
            right_[i] *= gain;
        }
        if (fade_.frames > 0) {
            fade_.done += done;
            if (fade_.done >= fade_.frames) {
                gain_ = fade_.to;
                fade_ = {};
            }
        }
    }
    return done;
}

void MusicPlayer::renderPlanar(float* left, float* right, std::size_t frames)
{
    std::size_t done = 0;
    while (done < frames) {
        const std::size_t got = renderChunk(std::min<std::size_t>(frames - done, kMaxMixFrames));
        std::copy_n(left_.data(), got, left + done);
        std::copy_n(right_.data(), got, right + done);
        done += got;
    }
}

void MusicPlayer::render(SampleBuffer& buffer)
{
    const std::uint64_t frames = buffer.frameCount();
    std::uint64_t done = 0;
    while (done < frames) {
        const std::size_t got = renderChunk(static_cast<std::size_t>(std::min<std::uint64_t>(frames - done, kMaxMixFrames)));
        if (buffer.format == SampleFormat::S16 && buffer.layout == ChannelLayout::Stereo) {
            writeMixS16Stereo(buffer.data + 4 * done, left_.data(), right_.data(), got);
        } else {
            buffer.writeFrames(done, left_.data(), right_.data(), got);
        }
        done += got;
    }
}

void MusicPlayer::keep(const MusicEvent& event)
{
    if (keptCount_ == kKeptEvents) {
        keptFirst_ = (keptFirst_ + 1) % kKeptEvents;  // the oldest goes
        --keptCount_;
    }
    kept_[(keptFirst_ + keptCount_++) % kKeptEvents] = event;
}

std::size_t MusicPlayer::pollEvents(MusicEvent* out, std::size_t max)
{
    const std::size_t count = std::min(max, keptCount_);
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = kept_[(keptFirst_ + i) % kKeptEvents];
    }
    keptFirst_ = (keptFirst_ + count) % kKeptEvents;
    keptCount_ -= count;
    return count;
}

MusicPlayer::Time MusicPlayer::time() const
{
    const SongPlayer& music = music_;
    const MusicClock::Place place = music.clock.placeAt(static_cast<double>(music.frame));
    return {music.frame + offset_,
            music.loopPasses,
            place.bar,
            place.beat,
            place.phase,
            music.clock.beatsPerMinute(static_cast<double>(music.sampleRate)),
            music.clock.beatsPerBar};
}
