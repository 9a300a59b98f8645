/* Stream files: reading the files kelvo-encode writes, from a file or from a
 * caller's read function (a pipe, a socket, a Java InputStream), and playing
 * them frame by frame through a decoder of the stream's own.
 *
 * Every size, count and offset the file states is checked against the bytes
 * there are (or, from a read function, read in steps as they arrive) before
 * anything is allocated for it. A malformed, truncated or unreadable stream
 * makes a call fail with a negative errno value (named by enum kelvo4_error
 * in decoder.h), and kelvo4_stream_error gives the message, which names the
 * file (or the name the caller gave), the frame and the byte offset where the
 * fault is:
 *   -EINVAL   a bad argument (null pointer, wrong length, unknown format,
 *             region or stride, threads outside 1..KELVO4_MAX_THREADS,
 *             settings refused); nothing happened
 *   -EBADMSG  the stream is malformed or corrupt
 *   -EIO      a read failed (a read function's own negative value is passed
 *             on as it is), or a read function returned more than asked
 *   -ERANGE   seek to a frame the stream does not have (past the intact
 *             frames of a damaged file: the message names the damage)
 *   -ESPIPE   seek backwards in a stream read through a read function
 *   -EFBIG    a picture larger than the reader accepts (see
 *             kelvo4_stream_open_file_limited)
 *   -ENOMEM, -EAGAIN (a thread could not be started), or the errno of
 *             opening the file (-ENOENT, -EACCES, -EISDIR, ...)
 * After a failure other than -EINVAL the stream keeps failing the same way;
 * a file stream recovers by a successful kelvo4_stream_seek. A damaged file
 * plays every intact frame before the damage (see kelvo4_stream_damage).
 *
 * One stream is used by one thread at a time; streams share nothing. */
#ifndef KELVO4_STREAM_H
#define KELVO4_STREAM_H

#include "decoder.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct kelvo4_stream kelvo4_stream;

/* Filled by kelvo4_stream_get_info. The caller sets size to
 * sizeof(kelvo4_stream_info) first, so that later versions can add fields
 * at the end without breaking programs built with these headers (a newer
 * library fills the fields an older program's struct has room for):
 *   kelvo4_stream_info info = {.size = sizeof info};
 * (in C++: kelvo4_stream_info info{}; info.size = sizeof info;). */
typedef struct kelvo4_stream_info {
  size_t size;                   /* set by the caller: the bytes of its struct */
  int width, height;             /* the picture, what kelvo4_stream_next writes */
  int coded_width, coded_height; /* what the frames are coded at: each side rounded up to 16 */
  uint32_t rate_num, rate_den;   /* frames per second as a fraction; 0/0 when the stream gives none */
  int64_t frame_count;           /* -1 when not known (a stream written to a pipe, read through a read function) */
  int64_t key_frames;            /* the key frames: all of a file's, those read so far through a read function */
  int version;                   /* the stream format version */
} kelvo4_stream_info;

/* The bytes of the struct of 1.0, up to the end of its last field (its
 * padding differs by platform): the smallest size kelvo4_stream_get_info
 * accepts. It never changes. */
#define KELVO4_STREAM_INFO_SIZE_1_0 (offsetof(kelvo4_stream_info, version) + sizeof(int))

/* Reads up to length bytes into buffer. Returns how many it read (fewer only
 * at the end of the stream, 0 there; more than length is a fault of the read
 * function, and fails the read with -EIO), or a negative errno value. The library
 * calls it on the thread that opened the stream or calls kelvo4_stream_*,
 * and, for a stream opened with threads > 1, on the stream's worker thread
 * too; never two calls at once, never after it has failed, and never after
 * kelvo4_stream_close has returned. */
typedef ptrdiff_t (*kelvo4_stream_read_fn)(void* user, void* buffer, size_t length);

/* Opens a stream file and reads its header and its key frame index (or, when
 * the file has none, its frame records' headers). threads = 1 plays on the
 * calling thread; N > 1 plays on N threads: the decoder's N - 1 and one that
 * reads and decompresses the next frame while a frame is decoded, then helps
 * decode it; they start here and are joined at close. The frames are the
 * same for every thread count. Returns 0 and sets *out; on
 * failure *out is null and kelvo4_stream_error(NULL) gives the message. */
KELVO4_API int kelvo4_stream_open_file(kelvo4_stream** out, const char* path, int threads);

/* The most pixels (width x height) a picture may have for the open functions
 * without a limit of their own to accept its stream: 8192 x 8192, more than
 * any video has. The format allows up to about 715 million. */
#define KELVO4_DEFAULT_MAX_PIXELS ((int64_t)8192 * 8192)

/* Opens a stream read in order through read(user, ...), named `name` in
 * messages (null: "stream"). It cannot seek backwards; the frame count and
 * key frames are known as the header and the frames read so far give them.
 * With threads > 1 the worker reads one frame ahead of the one being
 * decoded (see kelvo4_stream_read_fn). Otherwise as
 * kelvo4_stream_open_file. */
KELVO4_API int kelvo4_stream_open_callback(kelvo4_stream** out, kelvo4_stream_read_fn read, void* user,
                                           const char* name, int threads);

/* As kelvo4_stream_open_file and kelvo4_stream_open_callback, accepting
 * pictures of at most max_pixels pixels (0: KELVO4_DEFAULT_MAX_PIXELS,
 * negative: all the format allows). A larger one is refused with -EFBIG as
 * the header is read, before anything is allocated for it: the bytes a
 * frame costs in the file say nothing of what it costs to decode. */
KELVO4_API int kelvo4_stream_open_file_limited(kelvo4_stream** out, const char* path, int threads,
                                               int64_t max_pixels);
KELVO4_API int kelvo4_stream_open_callback_limited(kelvo4_stream** out, kelvo4_stream_read_fn read, void* user,
                                                   const char* name, int threads, int64_t max_pixels);

/* The open calls the four above are shorthands for: settings->threads (0 or
 * 1: the calling thread only) and settings->max_pixels as threads and
 * max_pixels there; a null settings gives one thread and
 * KELVO4_DEFAULT_MAX_PIXELS. -EINVAL, with the message, also for settings
 * that kelvo4_decoder_open_with refuses. */
KELVO4_API int kelvo4_stream_open_file_with(kelvo4_stream** out, const char* path, const kelvo4_settings* settings);
KELVO4_API int kelvo4_stream_open_callback_with(kelvo4_stream** out, kelvo4_stream_read_fn read, void* user,
                                                const char* name, const kelvo4_settings* settings);

/* What the stream holds, as far as it is known now: fills each field of
 * *info that lies wholly within info->size bytes, leaving size and anything
 * else as it is, so that a program built against older headers (a smaller
 * struct) or newer ones (a larger struct) is served. -EINVAL for a null
 * stream or info, or an info->size below KELVO4_STREAM_INFO_SIZE_1_0. */
KELVO4_API int kelvo4_stream_get_info(const kelvo4_stream* s, kelvo4_stream_info* info);

/* Decodes the next frame and writes it, cropped to the picture size, rows
 * without gaps, as format: KELVO4_RGB24 takes out_length = 3 * width * height
 * bytes, KELVO4_ARGB32 4 * width * height bytes (uint32_t pixels). With a null
 * out and an out_length of 0 the frame is decoded without being written.
 * Returns 1 when it decoded a frame, 0 at the end of the stream (out
 * untouched), or a negative errno value. */
KELVO4_API int kelvo4_stream_next(kelvo4_stream* s, void* out, size_t out_length, enum kelvo4_format format);

/* kelvo4_stream_next into the top-left out_width x out_height pixels (at
 * most the picture's) of a larger surface: row y starts stride bytes after
 * row y - 1, and the output checked, written and left as
 * kelvo4_decoder_decode_into does it (a null out with an out_length of 0
 * decodes without writing). kelvo4_stream_next is the shorthand for the
 * picture's size and rows without gaps. */
KELVO4_API int kelvo4_stream_next_into(kelvo4_stream* s, void* out, size_t out_length, enum kelvo4_format format,
                                       int out_width, int out_height, size_t stride);

/* Reads whatever the next frame needs without decoding it: 1 when a frame
 * follows (the next kelvo4_stream_next decodes it), 0 at the end of the
 * stream, or a negative errno value, as kelvo4_stream_next would return. For
 * a caller that allocates its output only once there is a frame to write. */
KELVO4_API int kelvo4_stream_peek(kelvo4_stream* s);

/* Makes `frame` (0 .. frame_count; frame_count: the end) the frame the next
 * kelvo4_stream_next decodes. The frames before it are decoded without being
 * written: on from where the stream is when no key frame lies between, else
 * from the last key frame at or before it. A stream read through a read
 * function only moves forward. */
KELVO4_API int kelvo4_stream_seek(kelvo4_stream* s, int64_t frame);

/* The number of the frame kelvo4_stream_next decodes next; -1 for a null
 * stream, and only then: the call does not fail otherwise. */
KELVO4_API int64_t kelvo4_stream_position(const kelvo4_stream* s);

/* Writes the numbers of the first min(capacity, count) key frames, ascending,
 * to frames (which may be null for a capacity of 0) and returns count, the
 * number known (see kelvo4_stream_info); -1 for a null stream, and only
 * then. Waiting for the stream's worker thread is the one step that could
 * fail (a fault of the system's threads, which a working system never
 * shows): that gives -EIO, frames untouched. */
KELVO4_API int64_t kelvo4_stream_key_frames(const kelvo4_stream* s, int64_t* frames, int64_t capacity);

/* Damage found in a file when it was opened (a missing, cut or inconsistent
 * key frame index, or an index offset or entry the records disagree with; a
 * record cut short or malformed): the message that
 * kelvo4_stream_next gives after the last intact frame, e.g. "clip.klv:
 * truncated at byte 53575, frame 14: 3244 of 3493 bytes". The file then
 * plays, and seeks, over its intact frames (frame_count counts them). Null
 * for an intact file, a null stream, and a stream read through a read
 * function, whose damage shows when it is read. Valid until the stream is
 * closed. A corrupt compressed payload shows only when its frame is read. */
KELVO4_API const char* kelvo4_stream_damage(const kelvo4_stream* s);

/* The message of the stream's last failure ("" when there was none), valid
 * until the next call on the stream. For a null stream: the message of the
 * last open that failed on the calling thread. */
KELVO4_API const char* kelvo4_stream_error(const kelvo4_stream* s);

/* Stops the stream's threads, frees everything and sets *s to null.
 * Null-safe. */
KELVO4_API void kelvo4_stream_close(kelvo4_stream** s);

#ifdef __cplusplus
}
#endif

#endif
