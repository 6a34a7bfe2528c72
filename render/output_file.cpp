#include "output_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// A signal handler can reach nothing but static storage, so the hidden file
// being written is named here as well as in its OutputFile. The programs
// write one output at a time; a second one at once would not be cleaned up
// on a signal (it is still removed on every failure).
char pendingPath[PATH_MAX];
volatile sig_atomic_t pending = 0;

// Every signal that ends the process by default and can be caught.
constexpr int kCleanupSignals[] = {SIGINT,  SIGTERM, SIGHUP,    SIGQUIT, SIGPIPE, SIGUSR1,
                                   SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU};
constexpr std::size_t kSignalCount = sizeof kCleanupSignals / sizeof kCleanupSignals[0];
struct sigaction previousActions[kSignalCount];
struct sigaction previousFileSizeAction;

extern "C" void removePendingAndExit(int signal)
{
    if (pending != 0) {
        unlink(pendingPath);
    }
    // The status a shell gives a program ended by the signal.
    _exit(128 + signal);
}

void watchSignals()
{
    for (std::size_t i = 0; i < kSignalCount; ++i) {
        sigaction(kCleanupSignals[i], nullptr, &previousActions[i]);
        // A signal the caller chose to ignore (nohup) stays ignored.
        if (previousActions[i].sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction action {};
        action.sa_handler = removePendingAndExit;
        sigemptyset(&action.sa_mask);
        sigaction(kCleanupSignals[i], &action, nullptr);
    }
}

void restoreSignals()
{
    for (std::size_t i = 0; i < kSignalCount; ++i) {
        sigaction(kCleanupSignals[i], &previousActions[i], nullptr);
    }
}

// Where a chain of symbolic links from `path` ends: the first name on it
// that is not a link, which may not exist yet. Empty for a chain that goes
// round (or is too long to follow).
std::string linkEnd(const std::string& path)
{
    constexpr int kMaxLinks = 40;  // as the kernel follows them
    std::string current = path;
    for (int links = 0; links <= kMaxLinks; ++links) {
        struct stat st {};
        if (lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            return current;
        }
        std::string target(PATH_MAX, '\0');
        const ssize_t length = readlink(current.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
            return "";
        }
        target.resize(static_cast<std::size_t>(length));
        // A relative link is relative to the folder it is in.
        const std::size_t slash = current.rfind('/');
        current = target.front() == '/' || slash == std::string::npos ? target : current.substr(0, slash + 1) + target;
    }
    return "";
}

mode_t creationMode()
{
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

}  // namespace

CleanupSignalsHeld::CleanupSignalsHeld(Pipe pipe)
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kCleanupSignals) {
        if (signal != SIGPIPE || pipe == Pipe::held) {
            sigaddset(&set, signal);
        }
    }
    pthread_sigmask(SIG_BLOCK, &set, &saved_);
}

CleanupSignalsHeld::~CleanupSignalsHeld()
{
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}

OutputFile::~OutputFile()
{
    discard();
}

bool OutputFile::open(const char* path)
{
    discard();
    path_ = path;

    // A file that goes past a file-size limit is a failed write to report,
    // not a reason to die with the hidden file left behind.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGXFSZ, &ignore, &previousFileSizeAction);

    struct stat existing {};
    if (lstat(path, &existing) != 0) {
        if (errno == ENOENT) {
            return openNew();
        }
        file_ = std::fopen(path, "wb");
        return file_ != nullptr;
    }
    if (S_ISLNK(existing.st_mode)) {
        // The link stays a link: the file it leads to is replaced, or made
        // where it does not exist yet, by a hidden file beside it.
        if (stat(path, &existing) == 0) {
            char* target = realpath(path, nullptr);
            if (target != nullptr) {
                path_ = target;
                std::free(target);
            } else {
                existing.st_mode = 0;
            }
        } else if (errno == ENOENT && !(path_ = linkEnd(path)).empty() && lstat(path_.c_str(), &existing) != 0 &&
                   errno == ENOENT) {
            return openNew();
        } else {
            existing.st_mode = 0;  // a loop of links, or one that cannot be followed: as it is
        }
    }
    if (!S_ISREG(existing.st_mode)) {
        // A pipe, a device or a folder: as it is.
        file_ = std::fopen(path, "wb");
        return file_ != nullptr;
    }
    // Refused exactly where writing the file itself would be.
    if (faccessat(AT_FDCWD, path_.c_str(), W_OK, AT_EACCESS) != 0) {
        return false;
    }
    const int fd = makeHidden();
    if (fd < 0) {
        // Never written in place: a failure would destroy the old file.
        return false;
    }
    if (fchown(fd, existing.st_uid, existing.st_gid) != 0) {
        // Another user's file: the new one stays ours, with the old one's
        // permission bits.
    }
    return openHidden(fd, existing.st_mode & 07777);
}

bool OutputFile::openNew()
{
    const int fd = makeHidden();
    if (fd < 0) {
        // Nothing of the user's is at the path: a file system that cannot
        // make the hidden file may still take the path itself.
        const int error = errno;
        file_ = std::fopen(path_.c_str(), "wb");
        if (file_ == nullptr) {
            errno = error;
        }
        return file_ != nullptr;
    }
    return openHidden(fd, creationMode());
}

bool OutputFile::openHidden(int fd, mode_t mode)
{
    if (fchmod(fd, mode) != 0 || (file_ = fdopen(fd, "wb")) == nullptr) {
        const int error = errno;
        ::close(fd);
        discard();
        errno = error;
        return false;
    }
    return true;
}

int OutputFile::makeHidden()
{
    const std::size_t slash = path_.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path_.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path_ : path_.substr(slash + 1);
    // ".NAME.XXXXXX" is seven bytes longer than the name: for a name near
    // the file system's limit, a short hidden name of the program's own.
    for (const std::string& pattern : {folder + "." + name + ".XXXXXX", folder + ".sqn.XXXXXX"}) {
        if (name.empty() || pattern.size() >= sizeof pendingPath) {
            errno = ENAMETOOLONG;
            continue;
        }
        std::string hidden = pattern;
        const CleanupSignalsHeld held;
        const int fd = mkostemp(hidden.data(), O_CLOEXEC);
        if (fd >= 0) {
            std::memcpy(pendingPath, hidden.c_str(), hidden.size() + 1);
            pending = 1;
            watchSignals();
            temporary_ = hidden;
            return fd;
        }
        if (errno != ENAMETOOLONG) {
            return -1;
        }
    }
    return -1;
}

bool OutputFile::commit()
{
    if (file_ == nullptr) {
        return false;
    }
    bool written = std::ferror(file_) == 0;
    int error = written ? 0 : EIO;
    if (std::fflush(file_) != 0 && written) {
        written = false;
        error = errno;
    }
    if (std::fclose(file_) != 0 && written) {
        written = false;
        error = errno;
    }
    file_ = nullptr;
    if (!temporary_.empty() && written) {
        const CleanupSignalsHeld held;
        if (std::rename(temporary_.c_str(), path_.c_str()) == 0) {
            pending = 0;
            restoreSignals();
            temporary_.clear();
        } else {
            written = false;
            error = errno;
        }
    }
    discard();
    errno = error;
    return written;
}

void OutputFile::discard()
{
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
    if (!temporary_.empty()) {
        const CleanupSignalsHeld held;
        unlink(temporary_.c_str());
        pending = 0;
        restoreSignals();
        temporary_.clear();
    }
    if (!path_.empty()) {
        sigaction(SIGXFSZ, &previousFileSizeAction, nullptr);
        path_.clear();
    }
}
