/* miniaudio's implementation, compiled once, on its own. */
#define MINIAUDIO_IMPLEMENTATION
#include <miniaudio.h>
