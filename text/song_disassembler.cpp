#include "song_disassembler.h"

#include "command_words.h"
#include "memory_read.h"
#include "note_names.h"
#include "output_format.h"
#include "pitch_table.h"
#include "song_event.h"
#include "song_map.h"
#include "timeline.h"

#include <cstdio>
#include <cstring>
#include <optional>

namespace {

// "1.0", "0.75", "1.9921875": a step count as a fraction of unity.
std::string volumeText(std::uint8_t steps)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.7f", steps / static_cast<double>(kUnityVolume));
    std::size_t length = std::strlen(text);
    while (length > 0 && text[length - 1] == '0' && text[length - 2] != '.') {
        --length;
    }
    return std::string(text, length);
}

std::string parameterText(const SongEvent& event)
{
    if (event.command == static_cast<std::uint8_t>(Command::SetPitch) && event.param < kPitchCount) {
        return noteName(static_cast<std::uint8_t>(event.param));
    }
    if (event.command == static_cast<std::uint8_t>(Command::SetVolume)) {
        return volumeText(static_cast<std::uint8_t>(event.param));
    }
    return std::to_string(event.param);
}

std::string timeText(std::uint64_t frame)
{
    char text[64];
    std::snprintf(text, sizeof text, "frame %llu, %.6f s", static_cast<unsigned long long>(frame),
                  static_cast<double>(frame) / kOutputRate);
    return text;
}

// What the renderer makes of an event besides taking it.
std::string remark(const SongEvent& event)
{
    if (event.voice == kMapVoice || event.voice == kMapMoreVoice) {
        return "; the music's map: not played";
    }
    if (event.voice >= kVoiceCount) {
        return "; no such voice: skipped";
    }
    if (!commandWord(event.command)) {
        return "; no such command: does nothing";
    }
    if (event.command == static_cast<std::uint8_t>(Command::SetPitch) && event.param >= kPitchCount) {
        return "; plays " + noteName(kPitchCount - 1);
    }
    return "";
}

// Passes a song's bytes on from `read`, remembering how many came after the
// header and the last two of them: the trailing bytes that complete no
// event.
class CountingRead {
public:
    explicit CountingRead(const ReadFn& read) : read_(read) {}

    bool operator()(void* destination, std::uint32_t size)
    {
        if (!read_(destination, size)) {
            return false;
        }
        const auto* bytes = static_cast<const std::uint8_t*>(destination);
        for (std::uint32_t i = 0; i < size; ++i) {
            last_[0] = last_[1];
            last_[1] = bytes[i];
        }
        count_ += size;
        return true;
    }

    // The bytes after the last whole event, the header being two bytes.
    std::string trailingStatement() const
    {
        const std::uint64_t trailing = count_ < 2 ? 0 : (count_ - 2) % 3;
        std::string text = "bytes";
        for (std::uint64_t i = 2 - trailing; i < 2; ++i) {
            text += ' ' + std::to_string(last_[i]);
        }
        return trailing == 0 ? std::string() : text;
    }

private:
    const ReadFn& read_;
    std::uint64_t count_ = 0;
    std::uint8_t last_[2] = {0, 0};
};

// "map tempo 140": a map record's statement, where writing it back gives its
// events exactly (otherwise its events are listed one by one).
std::optional<std::string> mapStatement(const std::vector<SongEvent>& events, const MapRecord& record)
{
    std::vector<std::uint8_t> data;
    const std::uint32_t value = record.value;
    switch (record.kind) {
    case MapKind::BeatsPerMinute:
    case MapKind::Cue:
        data = {static_cast<std::uint8_t>(value)};
        break;
    case MapKind::QuarterMicroseconds:
        data = {static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 8),
                static_cast<std::uint8_t>(value)};
        break;
    case MapKind::Meter:
        data = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(record.second)};
        break;
    case MapKind::Moment:
        data = {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
        break;
    case MapKind::CueName: {
        // The data after the index, up to its 0.
        std::string name;
        for (std::uint64_t i = record.event + 1; i < record.end; ++i) {
            name += static_cast<char>(events[i].command);
            name += static_cast<char>(events[i].param);
        }
        name = name.substr(0, name.find('\0'));
        if (!validCueName(name)) {
            return std::nullopt;
        }
        data = cueNameData(static_cast<std::uint8_t>(value), name);
        break;
    }
    }
    const std::vector<SongEvent> written = mapRecordEvents(record.kind, data);
    if (written.size() != record.end - record.event) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < written.size(); ++i) {
        const SongEvent& a = written[i];
        const SongEvent& b = events[record.event + i];
        if (a.voice != b.voice || a.command != b.command || a.param != b.param) {
            return std::nullopt;
        }
    }
    return mapRecordStatement(record.kind, data);
}

}  // namespace

bool disassembleSong(const ReadFn& read, const TextSink& write)
{
    CountingRead counting(read);
    std::uint8_t header[2] = {0, 0};
    if (!counting(&header[0], 1)) {
        return true;  // an empty file is an empty text
    }
    if (!counting(&header[1], 1)) {
        return write(textLine("bytes " + std::to_string(header[0]), "shorter than a header: sqn2wav fails to load it"));
    }

    SongPlayer player;
    player.sampleRate = static_cast<float>(kOutputRate);
    player.looping = false;
    int delivered = 0;
    const bool loaded = player.load([&](void* destination, std::uint32_t size) {
        // The header once more, then the rest of the song.
        if (delivered < 2 && size == 1) {
            *static_cast<std::uint8_t*>(destination) = header[delivered++];
            return true;
        }
        return counting(destination, size);
    });

    char rowText[64];
    std::snprintf(rowText, sizeof rowText, "a row is %.9g s", player.rowDuration);
    bool ok = write(textLine("tempo " + std::to_string(header[0]) + " " + std::to_string(header[1]),
                         loaded ? rowText : "a zero byte: sqn2wav fails to load this song"));
    const auto trailingBytes = [&] {
        const std::string trailing = counting.trailingStatement();
        return trailing.empty() || write(textLine(trailing, "trailing bytes: no event"));
    };
    if (!loaded) {
        // Still every event, so that the text assembles to the same bytes.
        std::uint8_t record[3];
        while (ok && counting(&record[0], 1) && counting(&record[1], 1) && counting(&record[2], 1)) {
            ok = write(textLine(eventStatement({record[0], record[1], record[2]}), ""));
        }
        return ok && trailingBytes();
    }

    // Map records as statements of their own, their events one line.
    const SongMap map = SongMap::read(player.events);
    std::uint64_t coveredTo = 0;  // events up to here belong to a record written already
    const auto line = [&](std::uint64_t event, const std::string& comment) {
        if (event < coveredTo) {
            return true;
        }
        if (const MapRecord* record = map.at(event)) {
            if (const std::optional<std::string> statement = mapStatement(player.events, *record)) {
                coveredTo = record->end;
                return write(textLine(*statement, comment + "; the music's map: not played"));
            }
        }
        const SongEvent& e = player.events[event];
        return write(textLine(eventStatement(e), comment + remark(e)));
    };
    // Events are taken in file order, so each line can go out as soon as
    // the sequencer reaches its event.
    std::uint64_t next = 0;
    const Timeline timeline = computeTimeline(player, kBlockFrames, [&](std::uint64_t event, std::uint64_t frame) {
        ok = ok && line(event, timeText(frame));
        next = event + 1;
    });
    for (; next < player.events.size() && ok; ++next) {
        ok = line(next, "not reached: the output ends first");
    }
    ok = ok && trailingBytes();

    char summary[256];
    std::snprintf(summary, sizeof summary, "# ends in %s; sqn2wav writes %llu blocks, %llu frames, %.6f s\n",
                  timeText(timeline.finishedAt).c_str(), static_cast<unsigned long long>(timeline.frames / kBlockFrames),
                  static_cast<unsigned long long>(timeline.frames), static_cast<double>(timeline.frames) / kOutputRate);
    ok = ok && write(summary);
    if (timeline.frames * kOutputFrameBytes > kMaxDataBytes) {
        ok = ok && write("# longer than a WAV file can hold: sqn2wav stops with \"failed to write pcm frames.\"\n");
    }
    return ok;
}

std::string eventStatement(const SongEvent& event)
{
    const char* word = commandWord(event.command);
    return (word ? std::string(word) : std::to_string(event.command)) + " " + std::to_string(event.voice) + " " +
           parameterText(event);
}

std::string textLine(const std::string& statement, const std::string& comment)
{
    std::string out = statement;
    if (!comment.empty()) {
        constexpr std::size_t kCommentColumn = 24;
        out.append(statement.size() < kCommentColumn ? kCommentColumn - statement.size() : 1, ' ');
        out += "# " + comment;
    }
    out += '\n';
    return out;
}

std::string disassembleSong(const std::vector<std::uint8_t>& bytes)
{
    std::string text;
    disassembleSong(memoryRead(bytes.data(), bytes.size()), [&text](std::string_view piece) {
        text += piece;
        return true;
    });
    return text;
}

std::string mapRecordStatement(MapKind kind, const std::vector<std::uint8_t>& data)
{
    const auto at = [&data](std::size_t i) { return i < data.size() ? static_cast<std::uint32_t>(data[i]) : 0u; };
    switch (kind) {
    case MapKind::BeatsPerMinute:
        return "map tempo " + std::to_string(at(0));
    case MapKind::QuarterMicroseconds:
        return "map tempo-us " + std::to_string(at(0) << 16 | at(1) << 8 | at(2));
    case MapKind::Meter:
        return "map meter " + std::to_string(at(0)) + " " + std::to_string(at(1));
    case MapKind::Moment:
        return "map moment " + std::to_string(static_cast<std::int16_t>(static_cast<std::uint16_t>(at(0) << 8 | at(1))));
    case MapKind::Cue:
        return "map cue " + std::to_string(at(0));
    case MapKind::CueName: {
        std::string name(data.begin() + (data.empty() ? 0 : 1), data.end());
        return "map cue-name " + std::to_string(at(0)) + " " + name.substr(0, name.find('\0'));
    }
    }
    return "";
}
