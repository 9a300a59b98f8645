/* The public C headers, together, as C99 with -pedantic: a build that breaks
 * them for C fails here. */
#include <kelvo4/decoder.h>
#include <kelvo4/stream.h>
#include <kelvo4/vrel_dct.h>

int kelvo4_c_headers(short* block, kelvo4_stream* s);

int kelvo4_c_headers(short* block, kelvo4_stream* s) {
  kelvo4_stream_info info = {.size = sizeof info};
  kelvo4_settings settings = {sizeof settings, 2, 0};
  unsigned char out[2 * 8] = {0};
  Vrel_Dct16_MMX(block);
  Vrel_IDct16_MMX(block);
  return kelvo4_stream_get_info(s, &info) + kelvo4_version() + (int)(KELVO4_STREAM_INFO_SIZE_1_0 % 2) +
         (int)(KELVO4_SETTINGS_SIZE_1_1 % 2) + kelvo4_stream_open_file_with(&s, "a.klv", &settings) +
         kelvo4_stream_next_into(s, out, sizeof out, KELVO4_ARGB32, 1, 2, 8);
}
