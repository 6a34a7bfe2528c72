/* miniaudio's implementation, compiled once on its own so that edits
   elsewhere rebuild quickly. The WAV encoder writes sqn2wav's files; the
   device API plays sqnplay's sound. */
#define MINIAUDIO_IMPLEMENTATION
#include <miniaudio.h>
