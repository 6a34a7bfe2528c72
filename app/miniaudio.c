/* miniaudio's implementation, compiled once on its own so that edits
   elsewhere rebuild quickly. Only the WAV encoder is used. */
#define MINIAUDIO_IMPLEMENTATION
#include <miniaudio.h>
