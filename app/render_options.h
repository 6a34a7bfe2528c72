#pragma once

#include <cstddef>
#include <string>

// What sqn2wav's options ask of a render. Options come before the two
// operands (`sqn2wav --threads 1 in.sqn out.wav`), as `--name value` or
// `--name=value`, up to the first argument that is not one or up to `--`;
// what follows the two operands is ignored, so that a command line without
// options means what it always did.
struct RenderOptions {
    std::size_t threads = 0;  // threads to render on, 1 … kMaxRenderThreads; 0: as many as pay
};

inline constexpr std::size_t kMaxRenderThreads = 8;

struct RenderCommand {
    RenderOptions options;
    int firstOperand = 1;  // index in argv of the input's name
    std::string error;     // set for a bad option: the line to print, without the program's name
};

RenderCommand parseRenderCommand(int argc, char** argv);
