#include "render_options.h"

#include "printable.h"

#include <cstdlib>
#include <string_view>

namespace {

// A whole number least … most written plainly: digits only, no sign, no
// blanks, not too long to be one.
bool wholeNumber(const std::string& text, unsigned long least, unsigned long most, unsigned long& value)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    value = std::strtoul(text.c_str(), nullptr, 10);
    return value >= least && value <= most;
}

}  // namespace

RenderCommand parseRenderCommand(int argc, char** argv)
{
    RenderCommand command;
    int i = 1;
    for (; i < argc && argv[i] != nullptr; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg.size() < 3 || arg.substr(0, 2) != "--") {
            break;
        }
        const std::string_view body = arg.substr(2);
        const std::size_t equals = body.find('=');
        const std::string name(body.substr(0, equals));
        std::string value;
        if (equals != std::string_view::npos) {
            value = std::string(body.substr(equals + 1));
        } else if (i + 1 < argc && argv[i + 1] != nullptr) {
            value = argv[++i];
        } else {
            command.error = "--" + printable(name) + " needs a value";
            return command;
        }
        unsigned long number = 0;
        if (name == "threads") {
            if (!wholeNumber(value, 1, kMaxRenderThreads, number)) {
                command.error = "--threads takes a whole number of threads, 1 … " + std::to_string(kMaxRenderThreads) +
                                ", found '" + printablePrefix(value, 32) + "'";
                return command;
            }
            command.options.threads = number;
        } else {
            command.error = "no option --" + printablePrefix(name, 32) + " (options: --threads N)";
            return command;
        }
    }
    command.firstOperand = i;
    return command;
}
