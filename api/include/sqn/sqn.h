/* sqn: plays .sqn songs (a tempo header and three-byte events for six
   voices with built-in sounds) inside a program, into buffers it owns, at
   any output rate. The output is bit for bit what the sqn2wav command
   writes for the same song at 48000 Hz.

   Music for games: a song tells its bars, beats, loop and cues as events;
   it jumps to a cue at the next beat, bar or loop end; sound effects play
   over it on voices it gives up meanwhile; a gain and fades shape it.

   Threads: one thread renders a player (the audio callback). Any other
   thread may meanwhile call sqn_player_set_muted, _set_looping, _set_gain,
   _fade, _jump, _seek and _play_effect: each is queued without a lock and
   takes effect at the start of the next render call, in the order made; a
   render never waits, allocates, locks or does I/O. The queries (_time,
   _poll_events, _finished, _position, _loop_passes and those of the song)
   may be called from any thread too; _poll_events from one at a time.
   Open and close a player from the thread that owns it, with no render
   running. A player holds no global state: players are independent.

   Nothing is thrown across this interface; failures are NULL or -1. Every
   function that takes a player accepts NULL and then does nothing:
   rendering writes nothing, queries return 0, calls return -1. Valid C99
   and C++. */
#ifndef SQN_SQN_H
#define SQN_SQN_H

#include <stddef.h>
#include <stdint.h>

/* The version of this header, for compile-time checks; sqn_version() gives
   the library's at run time. */
#define SQN_VERSION_MAJOR 1
#define SQN_VERSION_MINOR 3
#define SQN_VERSION_PATCH 0

/* On Windows, programs that link the static libsqn.a define SQN_STATIC;
   those that use sqn.dll define nothing. */
#if defined(_WIN32)
#if defined(SQN_BUILDING_DLL)
#define SQN_API __declspec(dllexport)
#elif defined(SQN_STATIC)
#define SQN_API
#else
#define SQN_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define SQN_API __attribute__((visibility("default")))
#else
#define SQN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct sqn_player sqn_player;

/* The output rates a player accepts, in frames a second: every rate a sound
   card or a browser plays at, from telephone-quality rates to 768 kHz. At
   any of them every wait and note lasts its exact length in frames, and
   opening or seeking costs the events passed, not the frames. */
#define SQN_MIN_SAMPLE_RATE 1000
#define SQN_MAX_SAMPLE_RATE 768000

/* Loads a song from the bytes of a .sqn file (they are copied). NULL when the
   header is missing or holds a zero byte, when the song is longer than
   16 MiB, when sample_rate is outside SQN_MIN_SAMPLE_RATE …
   SQN_MAX_SAMPLE_RATE, or when memory runs out. sample_rate: output frames a
   second, e.g. 48000. */
SQN_API sqn_player *sqn_player_open(const void *song, size_t size, unsigned sample_rate);

/* Like sqn_player_open, from the text form that sqnasm reads (size bytes of
   text, which need not be terminated). On failure NULL and, where error is
   not NULL, the first error as "line:column: message" in error (cut to
   error_size bytes, always terminated; "" on success). */
SQN_API sqn_player *sqn_player_open_text(const char *text, size_t size, unsigned sample_rate, char *error,
                                         size_t error_size);

SQN_API void sqn_player_close(sqn_player *player);

/* 1 (the default): LoopEnd jumps back to the loop point and the song plays
   on; 0: LoopEnd ends the song, as sqn2wav renders it. */
SQN_API void sqn_player_set_looping(sqn_player *player, int looping);

/* (1.2) Mutes voice 0 … 5 (muted non-zero) or lets it be heard again (0):
   a muted voice plays on unheard, keeping its time, so that it comes back
   in exactly where it would be. From the next render on. 0, or -1 for a
   NULL player or a voice above 5. */
SQN_API int sqn_player_set_muted(sqn_player *player, unsigned voice, int muted);

/* (1.3) The gain of the mix, before it becomes 16-bit samples or floats: 1
   (the default) is sqn2wav's output exactly, 0.5 half of it. From the next
   render on; a fade under way stops. 0, or -1 for a NULL player or a gain
   that is not finite. */
SQN_API int sqn_player_set_gain(sqn_player *player, float gain);

/* (1.3) Moves the gain from where it is to `to_gain` over `frames` frames
   of the next renders, evenly, frame by frame (the same calls give the
   same output); 0 frames sets it at once. 0, or -1 for a NULL player or a
   gain that is not finite. */
SQN_API int sqn_player_fade(sqn_player *player, float to_gain, uint64_t frames);

/* Renders exactly `frames` interleaved stereo frames into `out` (2 × frames
   values, left then right). The float values are the unclamped mix, full
   scale ±1.0; each 16-bit value is made from its float x as
   (int16_t)(clamp(x, -1.0f, 1.0f) * 32767.0f) in single precision,
   truncated toward zero (a NaN counts as +1.0), so -32768 never occurs: a
   caller converting the floats itself gets sqn2wav's samples by doing the
   same. Rendering may go on after the song has ended (what still sounds
   plays out); sqn2wav stops after the 512-frame block in which
   sqn_player_finished turned 1. */
SQN_API void sqn_player_render_s16(sqn_player *player, int16_t *out, size_t frames);
SQN_API void sqn_player_render_f32(sqn_player *player, float *out, size_t frames); /* unclamped mix */

SQN_API int sqn_player_finished(const sqn_player *player); /* 1 once the song has ended */

/* (1.3) Where the music is, at the next frame to be rendered. Bars and
   beats come from the song's tempo map and meter (which mml2sqn and
   mid2sqn write into it); a song without them counts its header's tempo,
   four beats a bar. */
typedef struct sqn_time {
    uint64_t frame;         /* frames since open, or since the last seek plus the frame it went to; jumps do not reset it */
    unsigned pass;          /* 0 before the loop point is first passed, then 1, 2, … */
    uint64_t bar;           /* from 1 */
    unsigned beat;          /* in its bar, from 1 */
    double beat_phase;      /* how far into the beat, 0 ≤ x < 1 */
    double bpm;             /* beats a minute */
    unsigned beats_per_bar;
} sqn_time;

/* Fills `time`; 0, or -1 for a NULL player or time. */
SQN_API int sqn_player_time(const sqn_player *player, sqn_time *time);

/* (1.3) The frame in which the loop point is first reached (the length of
   the song's intro), or SQN_NO_LOOP for a song without a loop. */
#define SQN_NO_LOOP UINT64_MAX
SQN_API uint64_t sqn_player_loop_frame(const sqn_player *player);

/* (1.3) What the renders passed: each event at the frame it falls in,
   counted as sqn_time's frame is. */
#define SQN_EVENT_BEAT 1 /* value: the beat in its bar, from 1 */
#define SQN_EVENT_BAR 2  /* value: the bar, from 1 (told with the bar's first beat) */
#define SQN_EVENT_LOOP 3 /* value: the pass, as the song goes back to its loop point */
#define SQN_EVENT_CUE 4  /* value: the cue's index */
#define SQN_EVENT_END 5  /* the song ended (looping off) */
#define SQN_EVENT_EFFECT_END 6 /* value: the id of an effect that has played out (or found no room) */
typedef struct sqn_event {
    uint64_t frame;
    int kind;
    unsigned value;
} sqn_event;

/* Takes up to `max` of the events the renders have passed since the last
   poll into `events`, oldest first, and returns how many (0 when there are
   none). A player keeps the last 4096 not yet polled. */
SQN_API size_t sqn_player_poll_events(sqn_player *player, sqn_event *events, size_t max);

/* (1.3) The song's cues (mml2sqn's !name, a MIDI file's markers): the name
   of cue `index` (NULL where there is none), and the index of the cue
   named `name` (-1 where there is none). */
SQN_API const char *sqn_player_cue_name(const sqn_player *player, unsigned index);
SQN_API int sqn_player_cue_index(const sqn_player *player, const char *name);

/* (1.3) Goes on from the cue named `cue` at the next boundary `at` is:
   at that frame the song plays on exactly as a seek to the cue would from
   there, bit for bit; the player's frames go on counting. A later jump
   replaces one not yet taken. 0, or -1 for a NULL player, a cue the song
   does not have (or never reaches), or an `at` not one of these. */
#define SQN_AT_NOW 0      /* the next render's first frame */
#define SQN_AT_BEAT 1     /* the next beat */
#define SQN_AT_BAR 2      /* the next bar */
#define SQN_AT_LOOP_END 3 /* where the song would go back to its loop point, or end */
SQN_API int sqn_player_jump(sqn_player *player, const char *cue, int at);

/* (1.3) Plays the song `song` (size bytes of a .sqn file, copied and loaded
   on the calling thread) once through the music's renders, from the next
   one on, on the voices whose bits are set in `voices` (bit 0 voice 0):
   the effect plays as sqn2wav renders it alone (its other voices silent),
   whole 512-frame blocks up to the one it ends in, and for as long, those
   voices of the music play on unheard, then come back in where they would
   be, as muting does. The output is the music with those voices muted for
   the effect's length, plus the effect. Up to eight sound at once. An id,
   0 or more, or -1 for a NULL player, bytes that are no song, or no
   voices. */
SQN_API int sqn_player_play_effect(sqn_player *music, const void *song, size_t size, unsigned voices);

/* The frame of the song the next render starts at: the frames rendered
   since open, or since the last seek plus the frame it went to. It counts
   every frame played, across loop passes too (not a place in the loop). */
SQN_API uint64_t sqn_player_position(const sqn_player *player);

/* Frames the song plays with looping off, up to and including the frame in
   which it ends (sqn_player_finished turns 1 after rendering it); the same
   for a player with looping on. */
SQN_API uint64_t sqn_player_length(const sqn_player *player);

/* Passes LoopEnd has jumped back to the loop point so far. */
SQN_API unsigned sqn_player_loop_passes(const sqn_player *player);

/* Plays on from `frame`: what is rendered next is bit for bit what rendering
   from the start and dropping `frame` frames gives, with the player's
   looping setting. Worked out on the calling thread and taken up at the
   start of the next render. Fast: the frames skipped are not mixed (ten
   minutes of a dense song in milliseconds). With looping off, a seek past
   the song's end costs no more than one to its end, however far (what
   follows is silence); with looping on, it goes round whole passes at
   once, so it costs the intro and two passes however far it goes (but for
   a song whose loop changes the pitch of a voice it never strikes while
   that voice still sounds from before the loop). 0, or -1 when player is
   NULL. */
SQN_API int sqn_player_seek(sqn_player *player, uint64_t frame);

SQN_API const char *sqn_version(void);                     /* "MAJOR.MINOR.PATCH" */

#ifdef __cplusplus
}
#endif

#endif
