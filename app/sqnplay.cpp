// sqnplay [options] <song>: plays a song on the default output device, on
// and on through its loop, or once; reloads it when the file changes.

#include "audio_device.h"
#include "capture_writer.h"
#include "command_line.h"
#include "file_watch.h"
#include "output_format.h"
#include "playback.h"
#include "printable.h"
#include "song_clock.h"
#include "song_file.h"
#include "song_loader.h"
#include "terminal.h"

#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>

namespace {

constexpr ProgramText kText{
    "sqnplay", "[options] <song>",
    "Plays a song on the default output device at 48000 Hz: to its LoopEnd, back\n"
    "to its loop point, and on until you quit.\n"
    "  <song>            a .sqn file, a song in the text form (a name ending in .txt)\n"
    "                    or in MML (a name ending in .mml)\n"
    "  --once            play the song once (LoopEnd ends it), then exit\n"
    "  --watch           reload the song whenever its file changes, starting it over;\n"
    "                    a song with errors is reported and waited for\n"
    "  --backend NAME    null (no sound, for tests), alsa, pulseaudio or jack;\n"
    "                    otherwise the first that works\n"
    "  --latency MS      sound held in the device's buffer, 10 … 2000 ms (100): more\n"
    "                    rides out a busier machine, less answers keys and --watch sooner\n"
    "  --capture FILE    write the first 60 s played to FILE as raw 16-bit\n"
    "                    little-endian stereo frames, as they play (for tests)\n"
    "  --song NAME       of an MML file of several songs (#song NAME), the one to\n"
    "                    play; the first without it\n"
    "  --help            show this help\n"
    "  --version         show the version\n"
    "Keys, on a terminal: space pauses and resumes, 1-6 mute and unmute the voices\n"
    "(channels A-F), q or Ctrl-C quits.\n"};

constexpr std::size_t kCaptureFrames = 60 * kOutputRate;
constexpr int kTickMilliseconds = 100;  // status line redraws
constexpr int kWatchTicks = 2;          // file checks every 200 ms; a change counts once settled

volatile sig_atomic_t quitRequested = 0;

extern "C" void requestQuit(int)
{
    quitRequested = 1;
}

void watchQuitSignals()
{
    struct sigaction action {};
    action.sa_handler = requestQuit;
    sigemptyset(&action.sa_mask);  // no SA_RESTART: the wait for a key ends at once
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
}

void report(Terminal& terminal, const std::vector<std::string>& lines)
{
    terminal.clearStatus();
    for (const std::string& line : lines) {
        std::fprintf(stderr, "%s\n", line.c_str());
    }
}

// "playing tune.mml  0:12.3  pass 2  bar 5, beat 3  muted 2 5": the time,
// the pass and where in the song it is, as a musician counts it.
std::string statusLine(const std::string& song, const Playback::Status& status, const SongClock& clock,
                       const Playback& playback)
{
    const double seconds = static_cast<double>(status.frames) / kOutputRate;
    const auto minutes = static_cast<long long>(seconds / 60.0);
    const SongClock::BarBeat where = clock.at(status.frames);
    char line[320];
    std::snprintf(line, sizeof line, "%s %s  %lld:%04.1f  pass %llu  bar %llu, beat %llu",
                  playback.paused() ? "paused " : "playing", song.c_str(), minutes,
                  seconds - 60.0 * static_cast<double>(minutes), static_cast<unsigned long long>(status.pass + 1),
                  static_cast<unsigned long long>(where.bar), static_cast<unsigned long long>(where.beat));
    std::string text = line;
    std::string muted;
    for (std::size_t v = 0; v < kVoiceCount; ++v) {
        if (playback.muted(v)) {
            muted += ' ';
            muted += static_cast<char>('1' + v);
        }
    }
    if (!muted.empty()) {
        text += "  muted" + muted;
    }
    return text;
}

}  // namespace

int main(int argc, char** argv)
{
    const CommandLine line = parseCommandLine(
        argc, argv, kText,
        {{"once", false}, {"watch", false}, {"backend", true}, {"latency", true}, {"capture", true}, {"song", true}}, 1,
        1);
    if (line.exitStatus) {
        return *line.exitStatus;
    }
    const std::string backend = line.value("backend") ? *line.value("backend") : "";
    if (!backend.empty() && !AudioDevice::knownBackend(backend)) {
        std::fprintf(stderr, "%s: no backend '%s': null, alsa, pulseaudio or jack\n", line.program,
                     printable(backend).c_str());
        return usageError(line, kText);
    }
    int latency = AudioDevice::kDefaultLatencyMilliseconds;
    if (const std::string* value = line.value("latency")) {
        char* end = nullptr;
        const long milliseconds = value->size() <= 5 ? std::strtol(value->c_str(), &end, 10) : 0;
        if (value->empty() || end == nullptr || *end != '\0' || milliseconds < AudioDevice::kMinLatencyMilliseconds ||
            milliseconds > AudioDevice::kMaxLatencyMilliseconds) {
            std::fprintf(stderr, "%s: --latency takes a whole number of milliseconds, 10 … 2000\n", line.program);
            return usageError(line, kText);
        }
        latency = static_cast<int>(milliseconds);
    }
    const std::string& path = line.operands[0];
    const bool once = line.has("once");
    const std::string* capture = line.value("capture");
    if (capture && refuseSameFile(line, path, *capture) != 0) {
        return 1;
    }
    CaptureWriter captureFile;
    if (capture && !captureFile.open(*capture)) {
        return fileError(line, "cannot write", *capture, errno);
    }

    const bool watching = line.has("watch");
    const std::string songName = line.value("song") ? *line.value("song") : "";
    LoadedSong song = loadSongFile(path, static_cast<float>(kOutputRate), false, songName);
    Terminal terminal;
    if (!song.player) {
        report(terminal, song.errors);
        // Watching, the song may yet be fixed: it is waited for.
        if (!watching) {
            return 1;
        }
    }
    report(terminal, song.warnings);
    std::string title = song.title;
    SongClock clock = song.clock;
    watchQuitSignals();
    Playback playback(!once, capture ? kCaptureFrames : 0);
    bool waiting = !song.player;  // for a song that loads
    if (song.player) {
        playback.play(std::move(song.player));
    }
    AudioDevice device;
    if (!device.start(backend, playback, latency)) {
        terminal.clearStatus();
        std::fprintf(stderr,
                     "%s: failed to open audio device.\n"
                     "%s: no sound server or sound card answered; try --backend pulseaudio, alsa or jack, "
                     "or --backend null --capture FILE to play without sound\n",
                     line.program, line.program);
        return 1;
    }

    FileWatch watch(path);
    SongLoader loader;
    bool reloadWanted = false;
    const std::string name = printable(path.substr(path.rfind('/') + 1));
    for (int tick = 1; quitRequested == 0; ++tick) {
        if (terminal.active()) {
            const auto key = terminal.readKey(kTickMilliseconds);
            if (key == ' ') {
                playback.setPaused(!playback.paused());
            } else if (key && *key >= '1' && *key <= '6') {
                const auto voice = static_cast<std::size_t>(*key - '1');
                playback.setMuted(voice, !playback.muted(voice));
            } else if (key == 'q' || key == 'Q') {
                break;
            }
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(kTickMilliseconds));
        }
        playback.collect();
        if (capture && !captureFile.write(playback.captured())) {
            break;
        }
        // A change seen while the last one loads is loaded after it.
        if (watching && tick % kWatchTicks == 0 && watch.changed()) {
            reloadWanted = true;
        }
        if (reloadWanted && loader.start(path, static_cast<float>(kOutputRate), songName)) {
            reloadWanted = false;
        }
        if (std::optional<LoadedSong> reloaded = loader.take()) {
            if (reloaded->player) {
                playback.play(std::move(reloaded->player));
                title = reloaded->title;
                clock = reloaded->clock;
                report(terminal, reloaded->warnings);
                report(terminal, {"sqnplay: " + std::string(waiting ? "loaded " : "reloaded ") + printable(path)});
                waiting = false;
            } else {
                report(terminal, reloaded->errors);
            }
        }
        const Playback::Status status = playback.status();
        const std::string shown = title.empty() ? name : printable(title) + " (" + name + ")";
        terminal.status(waiting ? "waiting for " + shown + " to be saved without errors"
                                : statusLine(shown, status, clock, playback));
        if (once && status.ended) {
            // The last block is in the device's buffer: let it play out.
            std::this_thread::sleep_for(std::chrono::duration<double>(device.latency()));
            break;
        }
    }
    device.stop();
    terminal.clearStatus();
    int status = 0;
    if (capture && !captureFile.finish(playback.captured())) {
        status = fileError(line, "cannot write", *capture, errno);
    }
    if (loader.running()) {
        // A reload still reading is not waited for: the program ends now,
        // without running the destructors its thread may yet need.
        std::fflush(stdout);
        std::fflush(stderr);
        terminal.restore();
        std::_Exit(status);
    }
    return status;
}
