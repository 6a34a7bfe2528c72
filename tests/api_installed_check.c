/* libsqn 1.3 as a C program sees it, built against the installed library
   only (pkg-config): the version macros, NULL players, the text form and
   its errors, where the song is and how long it lasts, seeking, muting and
   the rates accepted, and a game's calls (the time, events, cues, gain and
   jumps); with a second, ten-minute song, how long a seek to its end takes
   (reported, not judged: a busy machine makes it longer). Prints what it
   found and exits 0, or names what failed and exits 1.
     api_installed_check SONG.sqn [TEN-MINUTE-SONG.sqn] */
#define _POSIX_C_SOURCE 199309L

#include <sqn/sqn.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#if SQN_VERSION_MAJOR != 1 || SQN_VERSION_MINOR < 3
#error "libsqn 1.3 or later is needed"
#endif

static int failures = 0;

static void check(int ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "api_installed_check: %s\n", what);
        ++failures;
    }
}

static unsigned char *readSong(const char *path, size_t *size)
{
    FILE *file = fopen(path, "rb");
    unsigned char *bytes = NULL;
    if (file == NULL) {
        return NULL;
    }
    bytes = malloc(1 << 20);
    *size = bytes ? fread(bytes, 1, 1 << 20, file) : 0;
    fclose(file);
    return bytes;
}

static double seconds(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

/* The quickest of three seeks to ten minutes into the song at `path`: a
   seek moves the sequencer and the playheads and mixes nothing. */
static void timeSeek(const char *path)
{
    size_t size = 0;
    unsigned char *song = readSong(path, &size);
    sqn_player *player = song ? sqn_player_open(song, size, 48000) : NULL;
    double best = 1e9;
    int run = 0;
    check(player != NULL && sqn_player_length(player) >= 600u * 48000, "the ten-minute song does not open");
    if (player != NULL) {
        for (run = 0; run < 3; ++run) {
            const double start = seconds();
            sqn_player_seek(player, 600u * 48000);
            if (seconds() - start < best) {
                best = seconds() - start;
            }
        }
        printf("api_installed_check: ten minutes sought in %.1f ms\n", 1000.0 * best);
    }
    sqn_player_close(player);
    free(song);
}

/* A game's calls: three beats a bar, a cue, events, the time, gain and a
   jump. */
static void checkGame(void)
{
    static const char music[] = "tempo 120 4\nmap cue-name 0 top\nmap meter 3 4\nloop-start 0 0\nmap cue 0\n"
                                "pitch 0 C5\nnote 0 4\nwait 0 12\nloop-end 0 0\n";
    sqn_player *player = sqn_player_open_text(music, strlen(music), 48000, NULL, 0);
    sqn_player *half = sqn_player_open_text(music, strlen(music), 48000, NULL, 0);
    static float a[2 * 48000];
    static float b[2 * 48000];
    sqn_event events[16];
    sqn_time time;
    size_t count = 0;
    size_t i = 0;
    unsigned beats = 0;
    unsigned cues = 0;
    check(player != NULL && half != NULL, "the game's song does not open");
    if (player == NULL || half == NULL) {
        return;
    }
    check(sqn_player_cue_index(player, "top") == 0 && strcmp(sqn_player_cue_name(player, 0), "top") == 0 &&
              sqn_player_loop_frame(player) == 1, /* the frame after the loop-start's own */
          "the cue or the loop point is not found");
    check(sqn_player_set_gain(half, 0.5f) == 0, "set_gain fails");
    sqn_player_render_f32(player, a, 48000);
    sqn_player_render_f32(half, b, 48000);
    for (i = 0; i < 2 * 48000; ++i) {
        check(b[i] == a[i] * 0.5f, "a gain of 0.5 is not half the mix");
        if (b[i] != a[i] * 0.5f) {
            break;
        }
    }
    count = sqn_player_poll_events(player, events, 16);
    for (i = 0; i < count; ++i) {
        beats += events[i].kind == SQN_EVENT_BEAT;
        cues += events[i].kind == SQN_EVENT_CUE && events[i].value == 0 && events[i].frame == 1;
    }
    check(cues == 1 && beats == 2, "a second at 120 is not a cue and two beats");
    check(sqn_player_time(player, &time) == 0 && time.frame == 48000 && time.bar == 1 && time.beat == 3 &&
              time.beats_per_bar == 3 && time.bpm == 120.0,
          "the time is not bar 1, beat 3 of three");
    check(sqn_player_jump(player, "top", SQN_AT_NOW) == 0 && sqn_player_jump(player, "none", SQN_AT_NOW) == -1 &&
              sqn_player_fade(player, 0.0f, 100) == 0,
          "jump or fade fails");
    sqn_player_close(half);
    sqn_player_close(player);
    check(sqn_player_time(NULL, &time) == -1 && sqn_player_loop_frame(NULL) == SQN_NO_LOOP &&
              sqn_player_poll_events(NULL, events, 16) == 0 && sqn_player_cue_name(NULL, 0) == NULL &&
              sqn_player_cue_index(NULL, "top") == -1 && sqn_player_set_gain(NULL, 1.0f) == -1 &&
              sqn_player_fade(NULL, 1.0f, 1) == -1 && sqn_player_jump(NULL, "top", SQN_AT_NOW) == -1 &&
              sqn_player_play_effect(NULL, music, 2, 1) == -1,
          "a NULL player is not nothing to a game's calls");
}

int main(int argc, char **argv)
{
    static const char text[] = "tempo 120 4\npitch 0 G5\nnote 0 4\nwait 0 4\nnote 4 0\nloop-end 0 0\n";
    static const char bad[] = "tempo 120 4\nnote 0 x\n";
    char error[80];
    char version[32];
    size_t size = 0;
    unsigned char *song = NULL;
    sqn_player *player = NULL;
    sqn_player *again = NULL;
    int16_t *all = NULL;
    int16_t next[2 * 1000];
    uint64_t length = 0;
    uint64_t frame = 0;

    if (argc < 2 || argc > 3 || (song = readSong(argv[1], &size)) == NULL) {
        fprintf(stderr, "usage: api_installed_check SONG.sqn [TEN-MINUTE-SONG.sqn]\n");
        return 1;
    }
    snprintf(version, sizeof version, "%d.%d.%d", SQN_VERSION_MAJOR, SQN_VERSION_MINOR, SQN_VERSION_PATCH);
    check(strcmp(version, sqn_version()) == 0, "the version macros are not the library's version");

    sqn_player_render_s16(NULL, NULL, 0);
    sqn_player_set_looping(NULL, 1);
    sqn_player_close(NULL);
    check(sqn_player_finished(NULL) == 0 && sqn_player_position(NULL) == 0 && sqn_player_length(NULL) == 0 &&
              sqn_player_loop_passes(NULL) == 0 && sqn_player_seek(NULL, 1) == -1,
          "a NULL player is not nothing");

    player = sqn_player_open_text(bad, strlen(bad), 48000, error, sizeof error);
    check(player == NULL && strcmp(error, "2:8: expected a gate length in rows, 0 \xE2\x80\xA6 255, found 'x'") == 0,
          "open_text does not report the first error with its line and column");
    player = sqn_player_open_text(text, strlen(text), 44100, error, sizeof error);
    check(player != NULL && error[0] == '\0', "open_text does not open the text form");
    check(sqn_player_set_muted(player, 5, 1) == 0 && sqn_player_set_muted(player, 6, 1) == -1 &&
              sqn_player_set_muted(NULL, 0, 1) == -1,
          "set_muted does not take voices 0 to 5 only");
    sqn_player_close(player);
    check(sqn_player_open(song, size, SQN_MIN_SAMPLE_RATE - 1) == NULL &&
              sqn_player_open(song, size, SQN_MAX_SAMPLE_RATE + 1) == NULL,
          "a rate outside SQN_MIN_SAMPLE_RATE to SQN_MAX_SAMPLE_RATE opens");

    /* Length: the frame in which the song ends. */
    player = sqn_player_open(song, size, 48000);
    check(player != NULL, "the song does not open");
    if (player == NULL) {
        return 1;
    }
    sqn_player_set_looping(player, 0);
    length = sqn_player_length(player);
    all = malloc(sizeof(int16_t) * 2 * (length + 1000));
    sqn_player_render_s16(player, all, length - 1);
    check(!sqn_player_finished(player), "finished before its length");
    sqn_player_render_s16(player, all + 2 * (length - 1), 1001);
    check(sqn_player_finished(player), "not finished at its length");
    check(sqn_player_position(player) == length + 1000, "the position is not the frames rendered");

    /* Seeking: what rendering from the start and dropping gives. */
    again = sqn_player_open(song, size, 48000);
    sqn_player_set_looping(again, 0);
    for (frame = 0; frame < length; frame += length / 7 + 1) {
        sqn_player_seek(again, frame);
        sqn_player_render_s16(again, next, 1000);
        check(memcmp(next, all + 2 * frame, sizeof next) == 0, "a seek differs from rendering and dropping");
    }
    sqn_player_close(again);
    sqn_player_close(player);
    free(all);
    free(song);
    checkGame();
    if (argc == 3) {
        timeSeek(argv[2]);
    }
    if (failures == 0) {
        printf("api_installed_check: libsqn %s: versions, NULL, text, length, seeks and a game's calls as documented\n",
               sqn_version());
    }
    return failures == 0 ? 0 : 1;
}
