/* sqn-render <song.sqn> <output>: renders a song through libsqn, the way
   sqn2wav does (48000 Hz, LoopEnd ends the song, whole blocks of 512
   frames), into a WAV file when the output's name ends in ".wav" and into
   raw 16-bit little-endian stereo PCM otherwise. */
#include <sqn/sqn.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { kRate = 48000, kBlockFrames = 512 };

static void put_u32(unsigned char *at, uint32_t value)
{
    int i;
    for (i = 0; i < 4; ++i) {
        at[i] = (unsigned char)(value >> (8 * i));
    }
}

/* A 44-byte PCM WAV header for `data_bytes` of 16-bit stereo samples. */
static void wav_header(unsigned char header[44], uint32_t data_bytes)
{
    memcpy(header, "RIFF\0\0\0\0WAVEfmt \x10\0\0\0\x01\0\x02\0\0\0\0\0\0\0\0\0\x04\0\x10\0data\0\0\0\0", 44);
    put_u32(header + 4, 36 + data_bytes);
    put_u32(header + 24, kRate);
    put_u32(header + 28, kRate * 4);
    put_u32(header + 40, data_bytes);
}

int main(int argc, char **argv)
{
    FILE *in, *out;
    unsigned char *song = NULL, header[44];
    size_t size = 0, got;
    int16_t block[2 * kBlockFrames];
    uint32_t data_bytes = 0;
    sqn_player *player;
    int wav;

    if (argc != 3) {
        fprintf(stderr, "usage: %s <song.sqn> <output.wav|output.raw>\n", argv[0]);
        return 1;
    }
    in = fopen(argv[1], "rb");
    if (in == NULL) {
        perror(argv[1]);
        return 1;
    }
    do { /* the whole song file */
        unsigned char *grown = realloc(song, size + 65536);
        if (grown == NULL) {
            return 1;
        }
        song = grown;
        got = fread(song + size, 1, 65536, in);
        size += got;
    } while (got > 0);
    fclose(in);

    player = sqn_player_open(song, size, kRate); /* the bytes are copied */
    free(song);
    if (player == NULL) {
        fprintf(stderr, "%s: not a song\n", argv[1]);
        return 1;
    }
    sqn_player_set_looping(player, 0);

    out = fopen(argv[2], "wb");
    if (out == NULL) {
        perror(argv[2]);
        return 1;
    }
    wav = strlen(argv[2]) > 4 && strcmp(argv[2] + strlen(argv[2]) - 4, ".wav") == 0;
    if (wav) {
        wav_header(header, 0);
        fwrite(header, 1, sizeof header, out);
    }
    do { /* the block in which the song ends is written whole */
        sqn_player_render_s16(player, block, kBlockFrames);
        fwrite(block, sizeof block[0], 2 * kBlockFrames, out);
        data_bytes += sizeof block;
    } while (!sqn_player_finished(player));
    sqn_player_close(player);

    if (wav) {
        wav_header(header, data_bytes);
        fseek(out, 0, SEEK_SET);
        fwrite(header, 1, sizeof header, out);
    }
    if (ferror(out) || fclose(out) != 0) {
        perror(argv[2]);
        return 1;
    }
    return 0;
}
