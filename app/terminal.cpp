#include "terminal.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

struct Terminal::Saved {
    termios settings;
};

Terminal::Terminal()
{
    if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) {
        return;
    }
    saved_ = std::make_unique<Saved>();
    if (tcgetattr(STDIN_FILENO, &saved_->settings) != 0) {
        saved_.reset();
        return;
    }
    termios raw = saved_->settings;
    // Keys one at a time and unechoed; Ctrl-C still sends SIGINT.
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    active_ = true;
    std::fputs("\x1b[?25l", stdout);  // the cursor would flicker over the status line
}

Terminal::~Terminal()
{
    restore();
}

void Terminal::restore()
{
    if (active_) {
        clearStatus();
        std::fputs("\x1b[?25h", stdout);
        std::fflush(stdout);
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_->settings);
        active_ = false;
    }
}

std::optional<char> Terminal::readKey(int milliseconds)
{
    if (!active_) {
        return std::nullopt;
    }
    pollfd input{STDIN_FILENO, POLLIN, 0};
    if (poll(&input, 1, milliseconds) <= 0 || (input.revents & POLLIN) == 0) {
        return std::nullopt;
    }
    char key = 0;
    if (read(STDIN_FILENO, &key, 1) != 1) {
        return std::nullopt;
    }
    return key;
}

void Terminal::status(const std::string& line)
{
    if (!active_) {
        return;
    }
    std::printf("\r%s\x1b[K", line.c_str());
    std::fflush(stdout);
    shown_ = true;
}

void Terminal::clearStatus()
{
    if (active_ && shown_) {
        std::fputs("\r\x1b[K", stdout);
        std::fflush(stdout);
        shown_ = false;
    }
}
