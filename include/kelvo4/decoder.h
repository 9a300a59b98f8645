/* Independent decoders: each handle owns its size, frames, table, scratch and
 * worker threads, so several streams decode at once and one stream can use
 * several cores. Every frame is bit for bit what the process-wide decoder of
 * Kelvo4.h gives for the same calls.
 *
 * Errors are negative errno values, named by enum kelvo4_error;
 * kelvo4_decoder_error gives the message of a handle's last failure. A call
 * that fails changes nothing unless its comment says otherwise. A null handle
 * gives KELVO4_ERROR_ARGUMENT. Every length is counted in bytes. One handle
 * is used by one thread at a time; distinct handles need no coordination. */
#ifndef KELVO4_DECODER_H
#define KELVO4_DECODER_H

#include <errno.h> /* the codes the functions return, negated */
#include <stddef.h>
#include <stdint.h>

/* The version of these headers; kelvo4_version() gives the library's. */
#define KELVO4_VERSION_MAJOR 1
#define KELVO4_VERSION_MINOR 1
#define KELVO4_VERSION_PATCH 0
#define KELVO4_VERSION (KELVO4_VERSION_MAJOR * 10000 + KELVO4_VERSION_MINOR * 100 + KELVO4_VERSION_PATCH)

/* What the library exports. */
#if defined(_WIN32)
#if defined(KELVO4_BUILDING)
#define KELVO4_API __declspec(dllexport)
#else
#define KELVO4_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define KELVO4_API __attribute__((visibility("default")))
#else
#define KELVO4_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The library's version, encoded as KELVO4_VERSION is: a program built
 * against these headers can check that the library it runs with is at least
 * as new. */
KELVO4_API int kelvo4_version(void);

/* What a failing call returns: negated errno values of this platform, named
 * here so that callers and bindings need not know the platform's numbers.
 * Opening a file can also return the errno of its failure (-ENOENT, -EACCES,
 * -EISDIR, ...), and a read function's own negative value is passed on. */
enum kelvo4_error {
  KELVO4_ERROR_ARGUMENT = -EINVAL,   /* a bad argument; nothing happened */
  KELVO4_ERROR_MEMORY = -ENOMEM,     /* memory ran out */
  KELVO4_ERROR_THREAD = -EAGAIN,     /* a thread could not be started */
  KELVO4_ERROR_MALFORMED = -EBADMSG, /* a stream malformed or corrupt */
  KELVO4_ERROR_READ = -EIO,          /* a read failed */
  KELVO4_ERROR_NO_FRAME = -ERANGE,   /* a seek to a frame the stream does not have */
  KELVO4_ERROR_BACKWARDS = -ESPIPE,  /* a seek backwards where the stream reads only forwards */
  KELVO4_ERROR_TOO_LARGE = -EFBIG    /* a picture larger than the reader accepts */
};

/* Output formats of converted frames. */
typedef enum kelvo4_format {
  KELVO4_RGB24 = 0, /* three bytes per pixel, as kelvo4_decoder_decode writes them */
  KELVO4_ARGB32 = 1, /* packed 0xFFRRGGBB pixels (uint32_t, four bytes), as kelvo4_decoder_decode_argb writes them */
  /* Not formats: they make the type hold every int, so that a value a C
   * caller passes is refused with -EINVAL rather than being undefined where
   * the library reads it. */
  KELVO4_FORMAT_INT_MIN_ = -0x7FFFFFFF - 1,
  KELVO4_FORMAT_INT_MAX_ = 0x7FFFFFFF
} kelvo4_format;

typedef struct kelvo4_decoder kelvo4_decoder;

/* The most threads one decoder may use. */
#define KELVO4_MAX_THREADS 64

/* How a handle is opened, for kelvo4_decoder_open_with and the
 * kelvo4_stream_open_*_with calls. The caller sets size to
 * sizeof(kelvo4_settings) and zeroes what it does not set, so that a later
 * version can add fields at the end, zero meaning what it means today:
 *   kelvo4_settings settings = {.size = sizeof settings, .threads = 4};
 * (in C++: kelvo4_settings settings{}; settings.size = sizeof settings;).
 * A null pointer gives every default. */
typedef struct kelvo4_settings {
  size_t size;        /* set by the caller: the bytes of its struct */
  int threads;        /* 0 or 1: the calling thread only; N > 1: N threads, as for the open functions */
  int64_t max_pixels; /* streams: the largest picture accepted (0: KELVO4_DEFAULT_MAX_PIXELS, negative: all
                         the format allows), as for kelvo4_stream_open_file_limited; decoders ignore it */
} kelvo4_settings;

/* The bytes of the settings of 1.1, the first version that has them: the
 * smallest size the open calls accept. It never changes. A larger size is
 * accepted when every byte beyond the fields this library knows is zero: a
 * setting a newer program asks for is refused (-EINVAL, naming it), never
 * ignored. */
#define KELVO4_SETTINGS_SIZE_1_1 (offsetof(kelvo4_settings, max_pixels) + sizeof(int64_t))

/* Creates a decoder of width x height at the initial frame (0, 128, 128), with
 * an all-zero table. threads = 1 decodes on the calling thread only; N > 1
 * starts N - 1 workers here, which share each frame's 16-row bands with the
 * caller until kelvo4_decoder_close. Returns 0 and sets *out; -EINVAL for a
 * null out, threads outside 1..KELVO4_MAX_THREADS or a size that reinit
 * refuses; -ENOMEM when memory runs out; -EAGAIN when a thread cannot be
 * started. On failure *out (when out is not null) is set to null and
 * kelvo4_decoder_error(NULL) gives the message. */
KELVO4_API int kelvo4_decoder_open(kelvo4_decoder** out, int width, int height, int threads);

/* kelvo4_decoder_open with its threads taken from *settings (null: one
 * thread); kelvo4_decoder_open is the shorthand for settings of those
 * threads. -EINVAL, with the message, also for settings whose size is below
 * KELVO4_SETTINGS_SIZE_1_1 or that ask for what this library does not know. */
KELVO4_API int kelvo4_decoder_open_with(kelvo4_decoder** out, int width, int height,
                                        const kelvo4_settings* settings);

/* Resizes and restarts the sequence from the initial frame; the table stays.
 * -EINVAL for a negative size or 3 * width * height >= 2^31 (nothing
 * changes); -ENOMEM when the frames cannot be allocated, leaving the decoder
 * 0 x 0 and usable for a later reinit. */
KELVO4_API int kelvo4_decoder_reinit(kelvo4_decoder* d, int width, int height);

/* Loads the table from exactly 64 floats in natural order, each truncated
 * toward zero; out-of-range values, infinities and NaN give -32768.
 * -EINVAL for another count or a null pointer. */
KELVO4_API int kelvo4_decoder_set_table(kelvo4_decoder* d, const float* values, size_t count);

/* Decodes one frame payload of n + n / 2 bytes (n = width * height; the
 * bytes are the payload's signed samples) and, when convert is non-zero,
 * writes 3 * n bytes (three per pixel, row-major). The output is not looked
 * at when convert is zero. -EINVAL, without any effect, for a wrong length or
 * a null buffer where bytes are needed. */
KELVO4_API int kelvo4_decoder_decode(kelvo4_decoder* d, const void* payload, size_t payload_length, void* output,
                                     size_t output_length, int convert);

/* kelvo4_decoder_decode that writes the converted frame as n packed pixels
 * 0xFFRRGGBB (argb_length = 4 * n bytes), the three output bytes of a pixel
 * read as R, G and B. -EINVAL, without any effect, for a wrong length or a
 * null buffer. */
KELVO4_API int kelvo4_decoder_decode_argb(kelvo4_decoder* d, const void* payload, size_t payload_length, uint32_t* argb,
                                          size_t argb_length);

/* Decodes one frame like kelvo4_decoder_decode but converts only the
 * top-left out_width x out_height pixels (at most the decoder's size) into
 * output, rows without gaps: output_length is 3 * out_width * out_height bytes
 * for KELVO4_RGB24, 4 * out_width * out_height for KELVO4_ARGB32. For
 * streams coded at a size rounded up from the picture's. -EINVAL, without any
 * effect, for a bad format, region or length, or a null buffer. */
KELVO4_API int kelvo4_decoder_decode_region(kelvo4_decoder* d, const void* payload, size_t payload_length, void* output,
                                            enum kelvo4_format format, int out_width, int out_height,
                                            size_t output_length);

/* The decode call the three above forward to: decodes one frame and converts
 * the top-left out_width x out_height pixels (at most the decoder's size)
 * into output as format, row y starting stride bytes after row y - 1. stride
 * is at least out_width times the bytes of a pixel (3 or 4), any value
 * beyond (odd ones too: ARGB32 pixels are then written bytewise);
 * output_length is at least stride * (out_height - 1) + out_width times the
 * bytes of a pixel. The bytes between rows, and after the last, are never
 * written. With a null output and an output_length of 0 the frame is decoded
 * without being converted (format, region and stride are not looked at).
 * -EINVAL, without any effect, for a bad format, region, stride or length,
 * or a null buffer. */
KELVO4_API int kelvo4_decoder_decode_into(kelvo4_decoder* d, const void* payload, size_t payload_length,
                                          void* output, size_t output_length, enum kelvo4_format format,
                                          int out_width, int out_height, size_t stride);

/* The current frame: height rows of 3 * width signed 16-bit samples, one
 * (c0, c1, c2) triplet per pixel. Valid until the next call on this decoder;
 * null for a null decoder or one without samples. */
KELVO4_API const short* kelvo4_decoder_frame(const kelvo4_decoder* d);

/* Bytes in one frame payload of the decoder's size (width * height plus half
 * of it); 0 for a null decoder. */
KELVO4_API size_t kelvo4_decoder_payload_length(const kelvo4_decoder* d);

/* The size; both 0 for a null decoder. */
KELVO4_API int kelvo4_decoder_width(const kelvo4_decoder* d);
KELVO4_API int kelvo4_decoder_height(const kelvo4_decoder* d);

/* The message of the handle's last failure ("" when there was none), valid
 * until the next call on the handle: it names the argument that was refused
 * and what was expected, e.g. "payload of 100 bytes: a 16x16 frame takes 384".
 * For a null handle: the message of the last open that failed on the calling
 * thread. */
KELVO4_API const char* kelvo4_decoder_error(const kelvo4_decoder* d);

/* Stops the workers, frees everything and sets *d to null. Null-safe. */
KELVO4_API void kelvo4_decoder_close(kelvo4_decoder** d);

#ifdef __cplusplus
}
#endif

#endif
