#include "song_disassembler.h"

#include "command_words.h"
#include "memory_read.h"
#include "note_names.h"
#include "output_format.h"
#include "pitch_table.h"
#include "song_event.h"
#include "timeline.h"

#include <cstdio>
#include <cstring>

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

    // Events are taken in file order, so each line can go out as soon as
    // the sequencer reaches its event.
    std::uint64_t next = 0;
    const Timeline timeline = computeTimeline(player, kBlockFrames, [&](std::uint64_t event, std::uint64_t frame) {
        const SongEvent& e = player.events[event];
        ok = ok && write(textLine(eventStatement(e), timeText(frame) + remark(e)));
        next = event + 1;
    });
    for (; next < player.events.size() && ok; ++next) {
        const SongEvent& e = player.events[next];
        ok = write(textLine(eventStatement(e), "not reached: the output ends first" + remark(e)));
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
