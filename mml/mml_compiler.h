#pragma once

#include "mml_includes.h"
#include "mml_result.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Music Macro Language for the six voices: one line of letters a channel,
// as chiptune composers write it.
//
//   #title "Night Drive"              settings at the top (#composer, #tick, #rows)
//   @v1 = { 15 12 9 | 6 4 }           a volume envelope: a value 0–15 a tick
//   @a1 = { | 0 4 7 }                 an arpeggio: semitones over the note
//   $bass = o2 l8 [c c > c < c]2      a named phrase, used below as $bass
//   A t150 l8 o5 v12 q7 L cdeg >c<ag  channel A (voice 0): tempo, length, ...
//   B @v1 $bass k5 $bass              channel B (voice 1), plucked, moved up
//   EF r4 c r c                       E and F (voices 4 and 5, the two hits)
//
// A line starts with channel letters A–F (voices 0–5; E and F are the
// hits) and a space; several letters send the same text to each, and lines
// of one channel join up in order. Commands: c d e f g a b (with + or # for
// sharp, - for flat, then a length and dots), r (a rest), & or ^ (a tie: one
// longer note), o1–o8, < and > (an octave down and up), l (the default
// length), k±n (transpose), t (beats a minute, from that beat on, for every
// channel), v0–v15 (v15 is unity) or V0–V255 (the format's own 1/128
// steps), q1–q8 (the share of each note its gate holds), @vN and @aN (the
// instruments; 0 for none), [ … ]n (repeat n times, 2 if n is left out;
// nested; [a | b]n plays a b n−1 times, then a), L (the loop point: the
// song's end goes back to it) and $name.
//
// Lengths are 1, 2, 4, 8, 16, 32, 64 (whole to 64th notes) and the triplet
// lengths 3, 6, 12, 24, 48, with dots. Pitch: o4c is C4 (table index 21);
// D#2 … B8 are playable. Every note starts within a millisecond of its time
// (the rows are at most 2 ms, 255 a beat at the first tempo, and each wait
// is chosen for the frame it lands on); a note longer than a gate holds is
// struck again, unheard, before each gate closes.

struct MmlOptions {
    bool textForm = false;  // fill MmlResult::text, the song in the text form with bars, beats and MML lines
    std::string song = {};       // of a file of several (#song name), the one to compile; the first where empty
    std::string path = {};       // the file the text is, which #include names are relative to
    MmlFileReader readFile = {}; // reads what it includes; none where empty (an #include is then an error)
};

MmlResult compileMml(std::string_view text, const MmlOptions& options = {});

// The song's lines as the text form, comments lined up as sqndis lines them.
std::string mmlTextForm(const std::vector<MmlLine>& lines);

// Whether a file's name says it holds MML: it ends in ".mml", in any case.
bool namesMml(const std::string& path);
