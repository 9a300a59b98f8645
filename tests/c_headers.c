/* The public C headers, together, as C99 with -pedantic: a build that breaks
 * them for C fails here. The suite calls kelvo4_c_peek_frames. */
#include <errno.h>
#include <kelvo4/decoder.h>
#include <kelvo4/stream.h>
#include <kelvo4/vrel_dct.h>

int kelvo4_c_headers(short* block, kelvo4_stream* s);
int kelvo4_c_peek_frames(const char* path);

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

/* The frames of a stream file as peek tells them: 1 (twice, reading nothing
 * more) before each frame, then 0; -EINVAL for no stream. The count, or -1
 * for the first answer that differs. */
int kelvo4_c_peek_frames(const char* path) {
  kelvo4_stream* s = NULL;
  int frames = 0, rc;
  if (kelvo4_stream_peek(NULL) != -EINVAL || kelvo4_stream_open_file(&s, path, 1) != 0) return -1;
  while ((rc = kelvo4_stream_peek(s)) == 1 && kelvo4_stream_peek(s) == 1 &&
         kelvo4_stream_next(s, NULL, 0, KELVO4_RGB24) == 1)
    ++frames;
  kelvo4_stream_close(&s);
  return rc == 0 ? frames : -1;
}
