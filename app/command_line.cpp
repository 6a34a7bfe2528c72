#include "command_line.h"

#include "file_bytes.h"
#include "printable.h"
#include "version.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

bool CommandLine::has(const std::string& name) const
{
    return value(name) != nullptr;
}

const std::string* CommandLine::value(const std::string& name) const
{
    const std::string* found = nullptr;
    for (const auto& option : options) {
        if (option.first == name) {
            found = &option.second;
        }
    }
    return found;
}

int usageError(const CommandLine& line, const ProgramText& text)
{
    std::fprintf(stderr, "usage: %s %s\n", line.program, text.operands);
    return 1;
}

int fileError(const CommandLine& line, const char* action, const std::string& file, int error)
{
    return fileError(line, action, file, std::strerror(error));
}

int fileError(const CommandLine& line, const char* action, const std::string& file, const char* reason)
{
    std::fprintf(stderr, "%s: %s %s: %s\n", line.program, action, printable(file).c_str(), reason);
    return 1;
}

int writeOutput(const CommandLine& line, const std::string& output, const std::vector<std::uint8_t>& bytes)
{
    if (output == "-") {
        if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() || std::fflush(stdout) != 0) {
            return fileError(line, "cannot write", "standard output", errno);
        }
        return 0;
    }
    return writeFileBytes(output.c_str(), bytes) ? 0 : fileError(line, "cannot write", output, errno);
}

int refuseSameFile(const CommandLine& line, const std::string& input, const std::string& output)
{
    return sameFile(input, output) ? fileError(line, "cannot write", output, "it is the input") : 0;
}

CommandLine parseCommandLine(int argc, char** argv, const ProgramText& text, const std::vector<OptionSpec>& options,
                             std::size_t least, std::size_t most)
{
    CommandLine line;
    line.program = argc > 0 && argv[0] != nullptr ? argv[0] : text.name;
    bool wrong = false;
    bool operandsOnly = false;
    for (int i = 1; i < argc && !wrong; ++i) {
        const std::string_view arg = argv[i];
        if (operandsOnly || arg == "-" || arg.empty() || arg[0] != '-') {
            line.operands.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            operandsOnly = true;
            continue;
        }
        if (arg == "--help") {
            std::printf("usage: %s %s\n%s", line.program, text.operands, text.help);
            line.exitStatus = std::fflush(stdout) == 0 ? 0 : 1;
            return line;
        }
        if (arg == "--version") {
            std::printf("%s %s\n", text.name, kVersion);
            line.exitStatus = std::fflush(stdout) == 0 ? 0 : 1;
            return line;
        }
        wrong = true;
        if (arg.substr(0, 2) != "--") {
            continue;
        }
        const std::string_view body = arg.substr(2);
        const std::size_t equals = body.find('=');
        const std::string_view name = body.substr(0, equals);
        for (const OptionSpec& known : options) {
            if (name != known.name) {
                continue;
            }
            if (!known.takesValue) {
                wrong = equals != std::string_view::npos;
                line.options.emplace_back(name, "");
            } else if (equals != std::string_view::npos) {
                wrong = false;
                line.options.emplace_back(name, body.substr(equals + 1));
            } else if (i + 1 < argc) {
                wrong = false;
                line.options.emplace_back(name, argv[++i]);
            }
            break;
        }
    }
    if (wrong || line.operands.size() < least || line.operands.size() > most) {
        line.exitStatus = usageError(line, text);
    }
    return line;
}
