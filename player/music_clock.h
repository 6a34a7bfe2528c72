#pragma once

#include <cstdint>

// Where a song stands in its music: bars and beats through its tempo
// changes and meters, from the frames in which the sequencer takes its map
// records (frames as SongPlayer::frame counts them). Positions are quarter
// notes from the song's start; a beat is the meter's note value (a quarter
// unless said otherwise). Plain data, part of a player's state.
struct MusicClock {
    double anchorFrame = 0.0;        // a frame, and …
    double anchorQuarter = 0.0;      // … the quarter notes from the start that fall in it
    double framesPerQuarter = 24000.0;
    double meterQuarter = 0.0;       // where the meter took effect
    std::uint64_t meterBar = 1;      // the bar that begins there, from 1
    std::uint32_t beatsPerBar = 4;   // 1 … 255
    std::uint32_t noteValue = 4;     // a beat's note: 4 a quarter, 8 an eighth

    // A clock at frame 0: `quarterBeatsPerMinute` at `rate` frames a second.
    static MusicClock start(double quarterBeatsPerMinute, double rate);

    double quarterAt(double frame) const;
    double frameOfQuarter(double quarter) const;
    double quartersPerBeat() const { return 4.0 / static_cast<double>(noteValue); }
    // Beats a minute of the meter's beat.
    double beatsPerMinute(double rate) const;

    // A new tempo from `frame` on (a quarter `framesPerQuarter` frames).
    void setTempo(double frame, double framesPerQuarterNow);
    // A new meter from `frame` on, a bar beginning there (as a MIDI file's
    // time signature does): one the old meter began there already, or
    // else the next, the bar cut short counted.
    void setMeter(double frame, std::uint32_t beats, std::uint32_t value);

    // Everything moved on by `frames` (a jump back to a loop point, a seek
    // going round whole passes).
    void shift(double frames);

    struct Place {
        std::uint64_t bar;    // from 1
        std::uint32_t beat;   // from 1
        double phase;         // into the beat, 0 ≤ x < 1
        std::int64_t index;   // beats since the meter took effect
    };
    Place placeAt(double frame) const;
    // The bar and beat of beat `index` since the meter took effect (its
    // phase 0).
    Place placeOfBeat(std::int64_t index) const;

    // Where beat `index` since the meter took effect falls: in quarter
    // notes from the start, and in frames, exactly.
    double beatQuarter(std::int64_t index) const
    {
        return meterQuarter + static_cast<double>(index) * quartersPerBeat();
    }
    double exactBeatFrame(std::int64_t index) const;
};
