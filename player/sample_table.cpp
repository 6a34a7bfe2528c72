#include "sample_table.h"

SampleTable makeSampleTable(const SampleBuffer& sample)
{
    SampleTable table;
    const std::uint64_t n = sample.frameCount();
    if (n == 0 || n > SampleTable::kMaxFrames) {
        return table;
    }
    const std::size_t channels = sample.layout == ChannelLayout::Stereo ? 2 : 1;
    for (std::size_t c = 0; c < channels; ++c) {
        std::vector<float>& values = table.values[c];
        std::vector<float>& steps = table.steps[c];
        values.assign(n + SampleTable::kPadding, 0.0f);
        steps.assign(n + SampleTable::kPadding, 0.0f);
        for (std::uint64_t i = 0; i < n; ++i) {
            const StereoFrame frame = sample.readFrame(i);
            values[i] = c == 0 ? frame.left : frame.right;
        }
        for (std::uint64_t i = 0; i < n; ++i) {
            steps[i] = values[i + 1 == n ? 0 : i + 1] - values[i];
        }
    }
    // Two equal channels (the built-in hits are such) are mixed as one:
    // the same reads and operations give the same values for both.
    if (channels == 2 && table.values[1] == table.values[0]) {
        table.values[1].clear();
        table.steps[1].clear();
    }
    table.source = sample.data;
    table.frames = n;
    return table;
}
