/* A C program outside the project, built against the installed headers:
 * writes every frame of a stream file as raw rgb24 through the stream API
 * (to compare with kelvo-decode's), and decodes one frame through a decoder
 * handle. */
#include <kelvo4/stream.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
  kelvo4_stream* s = NULL;
  kelvo4_stream_info info = {.size = sizeof info};
  kelvo4_decoder* d = NULL;
  signed char payload[384] = {0}, output[768];
  unsigned char* rgb;
  size_t bytes;
  long frames = 0;
  int rc;
  FILE* out;
  if (argc != 3 || kelvo4_version() != KELVO4_VERSION) return 2;
  if (kelvo4_stream_open_file(&s, argv[1], 2) != 0) {
    fprintf(stderr, "%s\n", kelvo4_stream_error(NULL));
    return 1;
  }
  kelvo4_stream_get_info(s, &info);
  bytes = 3 * (size_t)info.width * (size_t)info.height;
  rgb = malloc(bytes);
  out = fopen(argv[2], "wb");
  if (rgb == NULL || out == NULL) return 1;
  while ((rc = kelvo4_stream_next(s, rgb, bytes, KELVO4_RGB24)) == 1 && fwrite(rgb, 1, bytes, out) == bytes) ++frames;
  if (rc < 0) fprintf(stderr, "%s\n", kelvo4_stream_error(s));
  kelvo4_stream_close(&s);
  free(rgb);
  if (fclose(out) != 0 || rc != 0) return 1;
  /* The initial frame converts to (0, 0, 255). */
  if (kelvo4_decoder_open(&d, 16, 16, 1) != 0 || kelvo4_decoder_payload_length(d) != 384 ||
      kelvo4_decoder_decode(d, payload, 384, output, 768, 1) != 0 || (unsigned char)output[2] != 255)
    return 1;
  kelvo4_decoder_close(&d);
  printf("c consumer: %ld frames\n", frames);
  return 0;
}
