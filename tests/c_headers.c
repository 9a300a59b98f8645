/* The public C headers, together, as C99 with -pedantic: a build that breaks
 * them for C fails here. */
#include <kelvo4/decoder.h>
#include <kelvo4/stream.h>
#include <kelvo4/vrel_dct.h>

int kelvo4_c_headers(short* block, kelvo4_stream* s);

int kelvo4_c_headers(short* block, kelvo4_stream* s) {
  kelvo4_stream_info info = {.size = sizeof info};
  Vrel_Dct16_MMX(block);
  Vrel_IDct16_MMX(block);
  return kelvo4_stream_get_info(s, &info) + kelvo4_version();
}
