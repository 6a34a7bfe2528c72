#pragma once

// A test that runs the project's programs as a user would, in a temporary
// folder of its own, capturing their output streams and exit status.

#include "test_bytes.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;

inline constexpr uid_t kNobody = 65534;  // the user nobody

struct Result {
    int status = -1;
    std::string out;
    std::string err;
    long peakKilobytes = 0;  // the most memory the program held (started programs only)
};

class ProcessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() / (std::string("sqn2wav-") + info->name() + "-" +
                                            std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }

    void TearDown() override { fs::remove_all(dir_); }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    void writeFile(const std::string& name, const Bytes& bytes) const
    {
        std::ofstream(path(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }

    // Runs `program` with `args` (already quoted where needed) and captures
    // both streams.
    Result runProgram(const std::string& program, const std::string& args) const
    {
        const std::string out = path("stdout.txt");
        const std::string err = path("stderr.txt");
        const std::string command = program + " " + args + " >" + out + " 2>" + err;
        const int status = std::system(command.c_str());
        Result result;
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        const Bytes o = readFile(out);
        const Bytes e = readFile(err);
        result.out.assign(o.begin(), o.end());
        result.err.assign(e.begin(), e.end());
        return result;
    }

    // Signals as an interactive shell leaves them to the programs it starts,
    // whatever the suite itself was started with: a background job's
    // ignored SIGINT and SIGQUIT, say, would otherwise stay ignored in the
    // program, as they should there, and the tests that send them fail.
    static void startsAsFromAShell()
    {
        for (int signal = 1; signal < NSIG; ++signal) {
            struct sigaction action {};
            if (::sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) {
                ::signal(signal, SIG_DFL);
            }
        }
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
    }

    // Starts `args` (the program first) without a shell, its output streams
    // going to files, after `prepare` has run in the child (to set limits or
    // a umask there).
    pid_t start(const std::vector<std::string>& args, const std::function<void()>& prepare = {}) const
    {
        const std::string out = path("stdout.txt");
        const std::string err = path("stderr.txt");
        const pid_t pid = ::fork();
        if (pid == 0) {
            startsAsFromAShell();
            if (prepare) {
                prepare();
            }
            const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(o, 1);
            ::dup2(e, 2);
            std::vector<char*> argv;
            for (const std::string& arg : args) {
                argv.push_back(const_cast<char*>(arg.c_str()));
            }
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        return pid;
    }

    // Waits for a started program; a program ended by a signal gets the
    // status a shell would report, 128 + the signal.
    Result finish(pid_t pid) const
    {
        int status = 0;
        struct rusage usage {};
        ::wait4(pid, &status, 0, &usage);
        Result result;
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
        result.peakKilobytes = usage.ru_maxrss;
        const Bytes o = readFile(path("stdout.txt"));
        const Bytes e = readFile(path("stderr.txt"));
        result.out.assign(o.begin(), o.end());
        result.err.assign(e.begin(), e.end());
        return result;
    }

    Result runArgs(const std::vector<std::string>& args, const std::function<void()>& prepare = {}) const
    {
        return finish(start(args, prepare));
    }

    // Runs as the user nobody, for checks of what another user may do; to
    // be called in a started child, before anything else (a failure ends
    // the child with status 99).
    static void becomeNobody()
    {
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
            ::_exit(99);
        }
    }

    // `program` copied into this test's folder, which is opened to every
    // user, so that nobody can run it wherever the checkout lives (a home
    // or a mktemp -d folder others cannot enter). Empty, with the reason in
    // `why`, where that cannot be: not root, or a temporary folder nobody
    // cannot reach.
    std::string copyForNobody(const std::string& program, std::string& why) const
    {
        if (::geteuid() != 0) {
            why = "running as another user needs root";
            return "";
        }
        const fs::path copy = dir_ / fs::path(program).filename();
        fs::copy_file(program, copy, fs::copy_options::overwrite_existing);
        fs::permissions(copy, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
        fs::permissions(dir_, fs::perms::all);
        const pid_t pid = ::fork();
        if (pid == 0) {
            becomeNobody();
            ::_exit(::access(copy.c_str(), X_OK) == 0 ? 0 : 1);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            why = "the user nobody cannot reach " + dir_.string() + " (a private temporary folder?)";
            return "";
        }
        return copy.string();
    }

    // The names in a folder, hidden ones included, sorted.
    static std::vector<std::string> listing(const std::string& folder)
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path dir_;
};
