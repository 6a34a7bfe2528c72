/* sqn-game <song.sqn>: a game's music, without the game. miniaudio plays
   the song on its audio thread; this loop, the game's, polls what the music
   passes, asks for a jump to the cue "ending" at the bar after bar 2,
   plays a jingle over the music when it gets there, and fades out once the
   jingle has played. Each thing is printed as the music reaches it.
   Built with the examples (examples/arcade.mml has the cue). */
#define _POSIX_C_SOURCE 199309L
#include <sqn/sqn.h>

#include <miniaudio.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

enum { kRate = 48000 };

/* A jingle on voices 0 and 4: two short notes and a long one over a hit. */
static const unsigned char kJingle[] = {
    150, 4,                                   /* tempo 150, 4 rows a beat */
    0, 4, 49, 0, 3, 128, 0, 2, 1, 0, 1, 1,    /* pitch 0 E6, volume 0 1.0, note 0 1, wait 0 1 */
    0, 4, 54, 0, 2, 1, 0, 1, 1,               /* pitch 0 A6, note 0 1, wait 0 1 */
    0, 4, 58, 0, 2, 4, 4, 2, 0, 0, 1, 4,      /* pitch 0 C#7, note 0 4, note 4 0, wait 0 4 */
    0, 6, 0,                                  /* loop-end 0 0 */
};

/* The audio thread: the music and whatever plays over it. */
static void audio(ma_device *device, void *out, const void *in, ma_uint32 frames)
{
    (void)in;
    sqn_player_render_f32((sqn_player *)device->pUserData, (float *)out, frames);
}

static unsigned char *read_file(const char *path, size_t *size)
{
    FILE *file = fopen(path, "rb");
    unsigned char *bytes = NULL;
    long length;
    if (file == NULL || fseek(file, 0, SEEK_END) != 0 || (length = ftell(file)) < 0 || fseek(file, 0, SEEK_SET) != 0 ||
        (bytes = malloc((size_t)length + 1)) == NULL || fread(bytes, 1, (size_t)length, file) != (size_t)length) {
        free(bytes);
        bytes = NULL;
    }
    if (file != NULL) {
        fclose(file);
    }
    *size = bytes != NULL ? (size_t)length : 0;
    return bytes;
}

int main(int argc, char **argv)
{
    size_t size;
    unsigned char *song = argc == 2 ? read_file(argv[1], &size) : NULL;
    sqn_player *music = song != NULL ? sqn_player_open(song, size, kRate) : NULL;
    free(song);
    if (music == NULL || sqn_player_cue_index(music, "ending") < 0) {
        fprintf(stderr, "usage: sqn-game <song.sqn>, a song with a cue named ending\n");
        sqn_player_close(music);
        return 1;
    }

    ma_device_config config = ma_device_config_init(ma_device_type_playback);
    config.playback.format = ma_format_f32;
    config.playback.channels = 2;
    config.sampleRate = kRate;
    config.dataCallback = audio;
    config.pUserData = music;
    ma_device device;
    if (ma_device_init(NULL, &config, &device) != MA_SUCCESS) {
        fprintf(stderr, "sqn-game: no sound device\n");
        sqn_player_close(music);
        return 1;
    }
    ma_device_start(&device);

    /* The game's loop: what the music passed since the last look, then
       the rest of the game's frame. */
    uint64_t faded = UINT64_MAX; /* the frame the fade ends in */
    int asked = 0;
    for (;;) {
        sqn_time now;
        sqn_event events[32];
        size_t count;
        sqn_player_time(music, &now);
        while ((count = sqn_player_poll_events(music, events, 32)) > 0) {
            for (size_t i = 0; i < count && events[i].frame < faded; ++i) {
                const sqn_event *e = &events[i];
                if (e->kind == SQN_EVENT_BAR) {
                    printf("bar %u\n", e->value);
                    if (e->value == 2 && !asked) {
                        sqn_player_jump(music, "ending", SQN_AT_BAR);
                        printf("jump to ending at the next bar\n");
                        asked = 1;
                    }
                } else if (e->kind == SQN_EVENT_CUE) {
                    const char *name = sqn_player_cue_name(music, e->value);
                    printf("cue %s\n", name);
                    if (strcmp(name, "ending") == 0 && sqn_player_play_effect(music, kJingle, sizeof kJingle, 0x11) >= 0) {
                        printf("jingle\n");
                    }
                } else if (e->kind == SQN_EVENT_EFFECT_END) {
                    printf("jingle played: fading out\n");
                    sqn_player_fade(music, 0.0f, kRate);
                    faded = e->frame + kRate;
                }
            }
        }
        fflush(stdout);
        if (now.frame >= faded) {
            break;
        }
        const struct timespec frame = {0, 10 * 1000 * 1000};
        nanosleep(&frame, NULL);
    }
    ma_device_uninit(&device);
    sqn_player_close(music);
    printf("done\n");
    return 0;
}
