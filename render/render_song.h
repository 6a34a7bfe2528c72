#pragma once

#include "render_parts.h"

#include <cstddef>
#include <cstdint>

class WavWriter;
struct SongPlayer;

// Renders the loaded `player` into the open `writer` to the block in which
// it finishes (its looping off, or limited), or `frames` frames where given
// (a fade past the last pass), on `threads` threads where the song is long
// enough to share (see RenderParts): the same bytes on any number.
// `minPartFrames` is the shortest stretch worth a thread (tests pass less).
// Whether every frame was written; the writer is not finished.
bool renderSong(SongPlayer& player, WavWriter& writer, std::size_t threads, std::uint64_t frames = 0,
                std::uint64_t minPartFrames = RenderParts::kMinPartFrames);
