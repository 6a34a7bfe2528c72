#pragma once

#include "render_plan.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// What sqn2wav's options ask of a render: passes through the loop, a fade,
// the voices heard, the threads. Options come before the two operands
// (`sqn2wav --loops 3 --fade 8 in.sqn out.wav`), as `--name value` or
// `--name=value`, up to the first argument that is not one or up to `--`;
// what follows the two operands is ignored, so that a command line without
// options means what it always did.
struct RenderOptions {
    RenderPlan plan;          // --loops (1 … kMaxLoops), --fade, --voices
    std::size_t threads = 0;  // threads to render on, 1 … kMaxRenderThreads; 0: as many as pay
};

inline constexpr std::size_t kMaxRenderThreads = 8;
inline constexpr std::uint64_t kMaxLoops = 65535;
inline constexpr double kMaxFadeSeconds = 600.0;

struct RenderCommand {
    RenderOptions options;
    int firstOperand = 1;  // index in argv of the input's name
    std::string error;     // set for a bad option: the line to print, without the program's name
};

RenderCommand parseRenderCommand(int argc, char** argv);
