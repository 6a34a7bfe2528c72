#pragma once

#include "song_map.h"
#include "song_player.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Takes the text a line at a time; false when it could not, which ends the
// listing.
using TextSink = std::function<bool(std::string_view line)>;

// Writes the text form of the song that `read` delivers, each event
// commented with the output frame and time at which the renderer's
// sequencer takes it, and the song's rendered length at the end. Lines go
// out as the sequencer reaches their events, so only the song's events are
// held, never the text. False when `write` failed.
bool disassembleSong(const ReadFn& read, const TextSink& write);

// One event as a statement of the text form, as sqndis writes it:
// "pitch 0 G5", "volume 1 0.75", "note 4 0".
std::string eventStatement(const SongEvent& event);

// A line of the text form: the statement, then "# comment" lined up at
// column 25 (if there is one), then the line break.
std::string textLine(const std::string& statement, const std::string& comment);

// The same for a song held in memory, as one string.
std::string disassembleSong(const std::vector<std::uint8_t>& bytes);

// The text form's statement for a map record of `kind` holding `data`
// ("map tempo 140", "map cue-name 0 verse").
std::string mapRecordStatement(MapKind kind, const std::vector<std::uint8_t>& data);
