/* sqn: plays .sqn songs (a tempo header and three-byte events for six
   voices with built-in sounds) inside a program, into buffers it owns, at
   any output rate. The output is bit for bit what the sqn2wav command
   writes for the same song at 48000 Hz.

   A player holds no global state and takes no locks: players are
   independent, each used by one thread at a time. Rendering, the queries
   and seeking never allocate, lock or do I/O, so they may run in a
   real-time audio callback (a seek costs a moment, not a render). Nothing
   is thrown across this interface; failures are NULL or -1. Every function
   that takes a player accepts NULL and then does nothing: rendering writes
   nothing, queries return 0, seeking returns -1. Valid C99 and C++. */
#ifndef SQN_SQN_H
#define SQN_SQN_H

#include <stddef.h>
#include <stdint.h>

/* The version of this header, for compile-time checks; sqn_version() gives
   the library's at run time. */
#define SQN_VERSION_MAJOR 1
#define SQN_VERSION_MINOR 2
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

/* (1.2) Mutes voice 0 … 5 (muted 1) or lets it be heard again (0): a muted
   voice plays on unheard, keeping its time, so that it comes back in
   exactly where it would be; a game's own mixer does any fading. From the
   next frame rendered on. Like every call on a player, not while another
   thread uses the same player; it never allocates or locks, so a real-time
   callback may call it between renders. 0, or -1 for a NULL player or a
   voice above 5. */
SQN_API int sqn_player_set_muted(sqn_player *player, unsigned voice, int muted);

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
   current looping setting. Fast: the frames skipped are not mixed (ten
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
