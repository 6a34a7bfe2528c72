#include "render_options.h"

#include "output_format.h"
#include "printable.h"

#include <cstdlib>
#include <optional>
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

// Seconds as digits with at most one point ("8", "2.5", ".5"), up to
// kMaxFadeSeconds, in frames at 48000 Hz (rounded to the nearest).
std::optional<std::uint64_t> fadeFrames(const std::string& text)
{
    const std::size_t point = text.find('.');
    const std::string whole = text.substr(0, point);
    const std::string part = point == std::string::npos ? "" : text.substr(point + 1);
    const auto digits = [](const std::string& s) { return s.find_first_not_of("0123456789") == std::string::npos; };
    if (text.empty() || text == "." || !digits(whole) || !digits(part) || whole.size() > 4 || part.size() > 6) {
        return std::nullopt;
    }
    // In millionths of a second, exactly, then frames.
    std::uint64_t micros = whole.empty() ? 0 : std::stoull(whole) * 1000000;
    if (!part.empty()) {
        micros += std::stoull(part + std::string(6 - part.size(), '0'));
    }
    if (micros > static_cast<std::uint64_t>(kMaxFadeSeconds * 1e6)) {
        return std::nullopt;
    }
    return (micros * kOutputRate + 500000) / 1000000;
}

// "0,4": the voices named, each 0 … 5.
std::optional<std::array<bool, kVoiceCount>> voiceList(const std::string& text)
{
    std::array<bool, kVoiceCount> heard{};
    if (text.empty() || text.front() == ',' || text.back() == ',') {
        return std::nullopt;
    }
    for (std::size_t at = 0; at < text.size(); at += 2) {
        const char c = text[at];
        if (c < '0' || c >= static_cast<char>('0' + kVoiceCount) || (at + 1 < text.size() && text[at + 1] != ',')) {
            return std::nullopt;
        }
        heard[static_cast<std::size_t>(c - '0')] = true;
    }
    return heard;
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
        const std::string found = ", found '" + printablePrefix(value, 32) + "'";
        if (name == "threads") {
            if (!wholeNumber(value, 1, kMaxRenderThreads, number)) {
                command.error = "--threads takes a whole number of threads, 1 … " + std::to_string(kMaxRenderThreads) + found;
                return command;
            }
            command.options.threads = number;
        } else if (name == "loops") {
            if (!wholeNumber(value, 1, kMaxLoops, number)) {
                command.error = "--loops takes a whole number of passes, 1 … " + std::to_string(kMaxLoops) + found;
                return command;
            }
            command.options.plan.loops = number;
        } else if (name == "fade") {
            const std::optional<std::uint64_t> frames = fadeFrames(value);
            if (!frames) {
                command.error = "--fade takes seconds, 0 … 600 (as 8 or 2.5)" + found;
                return command;
            }
            command.options.plan.fadeFrames = *frames;
        } else if (name == "voices") {
            const std::optional<std::array<bool, kVoiceCount>> heard = voiceList(value);
            if (!heard) {
                command.error = "--voices takes voices 0 … 5 with commas between them (as 0,4)" + found;
                return command;
            }
            for (std::size_t v = 0; v < kVoiceCount; ++v) {
                command.options.plan.muted[v] = !(*heard)[v];
            }
        } else {
            command.error = "no option --" + printablePrefix(name, 32) +
                            " (options: --loops N, --fade SECONDS, --voices LIST, --threads N)";
            return command;
        }
    }
    command.firstOperand = i;
    return command;
}
