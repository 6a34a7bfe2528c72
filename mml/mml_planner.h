#pragma once

#include "mml_parser.h"
#include "mml_result.h"
#include "mml_source.h"
#include "mml_tempo.h"

#include <array>
#include <cstddef>
#include <functional>
#include <string>

// Writes the song of channels read without error: the header, then every
// note as near its exact frame as the grid's rows and a few single frames
// reach (within a millisecond on the compiler's own grid), the steps of
// envelopes and arpeggios inside notes, held notes struck again unheard,
// the loop point and the end, each pass round the loop its exact length
// to the frame. Stops once the song outgrows what a song file holds.
// `lineName` names a note's MML line in the text form's comments.
void planMmlSong(MmlResult& result, const MmlSource& source, const std::array<MmlChannel, kMmlChannels>& channels,
                 const MmlTempoMap& tempo, const MmlChannel* looped, bool textForm,
                 const std::function<std::string(std::size_t)>& lineName);
