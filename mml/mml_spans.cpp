#include "mml_spans.h"

#include "characters.h"
#include "mml_errors.h"
#include "mml_includes.h"
#include "mml_songs.h"
#include "text_lines.h"

#include <cstddef>

MmlSpans mmlSpans(std::string_view text, const std::string& song)
{
    MmlErrors errors;
    const MmlSplicedText spliced = spliceIncludes(text, {}, {}, errors);
    const std::string uncommented = mmlSongText(spliced.text, song, errors);
    const MmlSource source = splitMml(uncommented, errors);
    MmlBudget budget;
    MmlSpans spans;
    for (std::size_t voice = 0; voice < kMmlChannels; ++voice) {
        spans.channels[voice] = parseMmlChannel(source.channels[voice], source, budget, errors, true).spans;
    }
    spans.failed = errors.count() > 0;
    // Columns in characters of the lines as written, as an editor counts.
    std::string_view raw = spliced.raw;
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    if (raw.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
        raw.remove_prefix(kByteOrderMark.size());
    }
    const std::vector<std::string_view> lines = textLines(raw);
    for (std::vector<MmlSpan>& channel : spans.channels) {
        for (MmlSpan& span : channel) {
            if (span.place.line >= 1 && span.place.line <= lines.size()) {
                span.place.column = characterColumn(lines[span.place.line - 1], span.place.column);
            }
        }
    }
    return spans;
}
