/* The public header compiles as strict C99 on its own. */
#include <sqn/sqn.h>

int api_header_check(void)
{
    sqn_player *player = sqn_player_open(NULL, 0, 48000);
    int16_t out[2];
    sqn_player_render_s16(player, out, 0);
    sqn_player_close(player);
    return sqn_version()[0] != '\0';
}
