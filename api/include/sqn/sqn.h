/* sqn: plays .sqn songs (a tempo header and three-byte events for six
   voices with built-in sounds) inside a program, into buffers it owns, at
   any output rate. The output is bit for bit what the sqn2wav command
   writes for the same song at 48000 Hz.

   A player holds no global state and takes no locks: players are
   independent, each used by one thread at a time. Rendering never
   allocates, locks or does I/O, so it may run in a real-time audio
   callback. Nothing is thrown across this interface; failures are NULL.
   Valid C99 and C++. */
#ifndef SQN_SQN_H
#define SQN_SQN_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define SQN_API __attribute__((visibility("default")))
#else
#define SQN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct sqn_player sqn_player;

/* Loads a song from the bytes of a .sqn file (they are copied). NULL when the
   header is missing or holds a zero byte, when the song is longer than
   16 MiB, when sample_rate is 0, or when memory runs out. sample_rate:
   output frames a second, any from 1 up, e.g. 48000. */
SQN_API sqn_player *sqn_player_open(const void *song, size_t size, unsigned sample_rate);
SQN_API void sqn_player_close(sqn_player *player); /* NULL is fine */

/* 1 (the default): LoopEnd jumps back to the loop point and the song plays
   on; 0: LoopEnd ends the song, as sqn2wav renders it. */
SQN_API void sqn_player_set_looping(sqn_player *player, int looping);

/* Renders exactly `frames` interleaved stereo frames into `out` (2 × frames
   values, left then right). The 16-bit values are limited to ±32767; the
   float ones are the unclamped mix they are converted from, full scale
   ±1.0. Rendering may go on after the song has ended (what still sounds
   plays out); sqn2wav stops after the 512-frame block in which
   sqn_player_finished turned 1. */
SQN_API void sqn_player_render_s16(sqn_player *player, int16_t *out, size_t frames);
SQN_API void sqn_player_render_f32(sqn_player *player, float *out, size_t frames); /* unclamped mix */

SQN_API int sqn_player_finished(const sqn_player *player); /* 1 once the song has ended */
SQN_API const char *sqn_version(void);                     /* "MAJOR.MINOR.PATCH" */

#ifdef __cplusplus
}
#endif

#endif
