#include "mml_includes.h"

#include "mml_comments.h"
#include "printable.h"
#include "text_lines.h"

#include <algorithm>

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

class Splicer {
public:
    Splicer(const std::string& path, const MmlFileReader& read, MmlErrors& errors, MmlSplicedText& out)
        : read_(read), errors_(errors), out_(out), paths_{path}
    {
    }

    void splice(std::string_view raw, std::uint32_t file, std::vector<std::string>& chain)
    {
        MmlErrors local;
        const std::string blanked = withoutBlockComments(raw, local);
        const std::vector<std::string_view> rawLines = textLines(raw);
        const std::vector<std::string_view> lines = textLines(blanked);
        std::vector<std::size_t> spliced(lines.size() + 1, 0);  // each line's, in the spliced text
        for (std::size_t i = 0; i < lines.size() && !stopped_; ++i) {
            spliced[i + 1] = out_.lines.size() + 1;
            const std::string_view line = lines[i];
            std::size_t at = 0;
            while (at < line.size() && isBlank(line[at])) {
                ++at;
            }
            constexpr std::string_view kWord = "#include";
            const bool include = line.substr(at, kWord.size()) == kWord &&
                                 (at + kWord.size() == line.size() || isBlank(line[at + kWord.size()]));
            add(include ? std::string_view() : rawLines[i], include ? std::string_view() : line, file, i + 1);
            if (include) {
                includeAt(line, at, at + kWord.size(), spliced[i + 1], file, chain);
            }
        }
        for (const TextError& error : local.shown()) {
            errors_.add(spliced[std::min(error.line, lines.size())], error.column, error.message);
        }
    }

private:
    void add(std::string_view raw, std::string_view text, std::uint32_t file, std::size_t line)
    {
        if (out_.raw.size() + raw.size() + 1 > kMaxSplicedBytes) {
            errors_.add(out_.lines.size(), 1,
                        "expected at most " + std::to_string(kMaxSplicedBytes >> 20) +
                            " MiB of MML, files included, found more");
            stopped_ = true;
            return;
        }
        out_.raw.append(raw).push_back('\n');
        out_.text.append(text).push_back('\n');
        out_.lines.emplace_back(file, static_cast<std::uint32_t>(line));
    }

    // `#include "name"` at `line` of the spliced text.
    void includeAt(std::string_view text, std::size_t word, std::size_t after, std::size_t line, std::uint32_t file,
                   std::vector<std::string>& chain)
    {
        std::string_view rest = text.substr(after);
        rest = rest.substr(0, rest.find(';'));
        std::size_t at = 0;
        while (at < rest.size() && isBlank(rest[at])) {
            ++at;
        }
        std::size_t end = rest.size();
        while (end > at && isBlank(rest[end - 1])) {
            --end;
        }
        const std::string_view quoted = rest.substr(at, end - at);
        const std::size_t column = after + at + 1;
        if (quoted.size() < 3 || quoted.front() != '"' || quoted.back() != '"' ||
            quoted.substr(1, quoted.size() - 2).find('"') != std::string_view::npos) {
            std::string found = "the end of the line";
            if (!quoted.empty()) {
                found = "'";
                found += printablePrefix(quoted, kMaxQuotedBytes);
                found += "'";
            }
            errors_.add(line, column, "expected a file name in double quotes after #include, found " + found);
            return;
        }
        const std::string name(quoted.substr(1, quoted.size() - 2));
        if (!read_) {
            errors_.add(line, word + 1, "expected no #include here, where no file can be read, found \"" +
                                            printable(name) + "\"");
            return;
        }
        if (chain.size() > kMaxIncludeDepth) {
            errors_.add(line, word + 1,
                        "expected files included at most " + std::to_string(kMaxIncludeDepth) +
                            " deep, found \"" + printable(name) + "\" deeper");
            return;
        }
        if (out_.files.size() >= kMaxIncludedFiles + 1) {
            errors_.add(line, word + 1,
                        "expected at most " + std::to_string(kMaxIncludedFiles) + " files included, found more");
            return;
        }
        std::string shown;
        std::string bytes;
        std::string why;
        if (!read_(paths_[file], name, shown, bytes, why)) {
            errors_.add(line, column, "cannot include \"" + printable(name) + "\": " + why);
            return;
        }
        if (std::find(chain.begin(), chain.end(), shown) != chain.end()) {
            errors_.add(line, column, "expected a file that does not include itself, found \"" + printable(name) +
                                          "\" inside " + printable(chain.back()));
            return;
        }
        out_.files.push_back(shown);
        paths_.push_back(shown);
        chain.push_back(shown);
        splice(bytes, static_cast<std::uint32_t>(out_.files.size() - 1), chain);
        chain.pop_back();
    }

    const MmlFileReader& read_;
    MmlErrors& errors_;
    MmlSplicedText& out_;
    std::vector<std::string> paths_;  // each file's, as the reader takes it: the one given first
    bool stopped_ = false;
};

}  // namespace

void MmlSplicedText::place(std::size_t& line, std::string& file) const
{
    if (line == 0 || line > lines.size()) {
        return;
    }
    const auto& [index, original] = lines[line - 1];
    file = files[index];
    line = original;
}

MmlSplicedText spliceIncludes(std::string_view text, const std::string& path, const MmlFileReader& read,
                              MmlErrors& errors)
{
    MmlSplicedText out;
    std::vector<std::string> chain{path};
    Splicer(path, read, errors, out).splice(text, 0, chain);
    // The last line had no line end.
    if (!out.text.empty()) {
        out.text.pop_back();
        out.raw.pop_back();
    }
    return out;
}
