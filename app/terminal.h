#pragma once

#include <memory>
#include <optional>
#include <string>

// The terminal sqnplay runs in, when both standard input and standard
// output are one: keys are read as they are pressed, without echo, and one
// status line is redrawn in place. The terminal's settings are restored on
// destruction. Elsewhere (a script, a pipe) it does nothing.
class Terminal {
public:
    Terminal();
    ~Terminal();
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    bool active() const { return active_; }

    // A key pressed within `milliseconds`, or nothing (also when a signal
    // cut the wait short).
    std::optional<char> readKey(int milliseconds);

    // Redraws the status line.
    void status(const std::string& line);

    // Clears the status line, so that other output starts on a clean line.
    void clearStatus();

    // Gives the terminal its settings back now (and does nothing after).
    void restore();

private:
    bool active_ = false;
    bool shown_ = false;
    struct Saved;
    std::unique_ptr<Saved> saved_;  // the settings to restore
};
