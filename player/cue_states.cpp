#include "cue_states.h"

#include <algorithm>

std::vector<std::optional<CueState>> cueStates(const SongPlayer& song)
{
    std::vector<std::optional<CueState>> cues;
    std::vector<std::uint64_t> records;  // the cue records' first events
    for (const MapRecord& record : song.map.records) {
        if (record.kind == MapKind::Cue) {
            if (cues.size() <= record.value) {
                cues.resize(record.value + 1);
            }
            records.push_back(record.event);
        }
    }
    if (records.empty()) {
        return cues;
    }
    // Where each is first taken: the sequencer followed, looping, to the
    // end of the first pass after the loop point (later passes repeat it).
    SongPlayer player;
    player.loadFrom(song);
    player.looping = true;
    player.loopLimit = UINT64_MAX;
    player.fade = {};
    const float dt = 1.0f / player.sampleRate;
    std::vector<std::pair<std::uint64_t, std::uint32_t>> found;  // (frame, cue index)
    std::vector<bool> seen(cues.size(), false);
    const auto taken = [&](std::uint64_t from, std::uint64_t to, std::uint64_t frame) {
        for (auto at = std::lower_bound(records.begin(), records.end(), from); at != records.end() && *at < to; ++at) {
            const MapRecord* record = player.map.at(*at);
            if (record != nullptr && !seen[record->value]) {
                seen[record->value] = true;
                found.emplace_back(frame, record->value);
            }
        }
    };
    for (std::uint64_t frame = 0; player.loopPasses < 2 && !player.sequencerDone(); ++frame) {
        const std::uint64_t before = player.position;
        const std::uint64_t passes = player.loopPasses;
        player.frame = frame;
        player.tick(dt);
        if (player.loopPasses != passes) {
            // Up to the LoopEnd that went back.
            std::uint64_t end = before;
            while (end < player.events.size() &&
                   !(player.events[end].voice < kVoiceCount &&
                     player.events[end].command == static_cast<std::uint8_t>(Command::LoopEnd))) {
                ++end;
            }
            taken(before, end + 1, frame);
        } else {
            taken(before, player.position, frame);
        }
        frame += player.skipWait(dt, UINT64_MAX);
    }
    // The states, a seek to each in turn.
    std::sort(found.begin(), found.end());
    SongPlayer seeker;
    seeker.loadFrom(song);
    seeker.looping = true;
    seeker.loopLimit = UINT64_MAX;
    seeker.fade = {};
    for (const auto& [frame, index] : found) {
        seeker.skip(frame - seeker.frame);
        cues[index] = CueState{frame, playStateOf(seeker)};
    }
    return cues;
}
