#pragma once

// A test that runs the project's programs as a user would, in a temporary
// folder of its own, capturing their output streams and exit status.

#include "test_bytes.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;

struct Result {
    int status = -1;
    std::string out;
    std::string err;
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

    fs::path dir_;
};
