#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The command-line conventions the companion programs share: `--help` and
// `--version` on standard output with status 0, the usage line on standard
// error with status 1 for a wrong command line, options as `--name value`
// or `--name=value`, `--` before operands that start with a dash, and `-`
// as an operand (standard input or output, as each program says).

struct ProgramText {
    const char* name;      // the program's own name, where argv[0] is missing
    const char* operands;  // after the name on the usage line: "<input.txt> <output.sqn>"
    const char* help;      // what --help prints after the usage line
};

struct OptionSpec {
    const char* name;  // without the dashes: "rows-per-beat"
    bool takesValue;
};

struct CommandLine {
    const char* program = "";  // as invoked, for messages
    std::vector<std::pair<std::string, std::string>> options;  // in order given; value empty for flags
    std::vector<std::string> operands;
    // Set when the program is done already: 0 after --help or --version,
    // 1 after a wrong command line (the usage line printed).
    std::optional<int> exitStatus;

    bool has(const std::string& name) const;
    const std::string* value(const std::string& name) const;  // the last one given
};

// Reads the command line, which must hold between `least` and `most`
// operands.
CommandLine parseCommandLine(int argc, char** argv, const ProgramText& text, const std::vector<OptionSpec>& options,
                             std::size_t least, std::size_t most);

// Prints the usage line on standard error and returns 1.
int usageError(const CommandLine& line, const ProgramText& text);

// "cannot read FILE: REASON" and the like, one line on standard error after
// the program's name, the reason from errno or given. The name is shown with
// its control characters escaped. Returns 1.
int fileError(const CommandLine& line, const char* action, const std::string& file, int error);
int fileError(const CommandLine& line, const char* action, const std::string& file, const char* reason);

// Writes a program's output: to standard output for "-", else as a file
// replaced whole (see OutputFile). 0, or 1 with the failure reported.
int writeOutput(const CommandLine& line, const std::string& output, const std::vector<std::uint8_t>& bytes);

// Refuses an output that is the input before either is touched: "cannot
// write FILE: it is the input". 1 when refused, 0 otherwise.
int refuseSameFile(const CommandLine& line, const std::string& input, const std::string& output);
