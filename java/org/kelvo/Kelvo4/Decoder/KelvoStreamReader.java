package org.kelvo.Kelvo4.Decoder;

import java.awt.image.BufferedImage;
import java.awt.image.DataBuffer;
import java.awt.image.DataBufferInt;
import java.awt.image.SampleModel;
import java.awt.image.SinglePixelPackedSampleModel;
import java.awt.image.WritableRaster;
import java.io.BufferedInputStream;
import java.io.Closeable;
import java.io.EOFException;
import java.io.IOException;
import java.io.InputStream;
import java.lang.ref.Cleaner;
import java.lang.ref.Reference;
import java.nio.charset.StandardCharsets;
import java.nio.file.AccessDeniedException;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.util.Objects;

/**
 * Plays a stream file as {@code kelvo-encode} writes it: the library reads each frame's record,
 * table and payload, decompresses it where it is stored compressed, decodes it through a decoder
 * of its own at the coded size and crops the picture to the picture size, as packed pixels, rgb24
 * bytes or a {@code BufferedImage}.
 *
 * <p><b>Sources.</b> A file ({@link Path}) can be read in any order: {@link #seek} goes to the
 * nearest key frame at or before the frame asked for. An {@link InputStream} is read in order
 * only; {@link #seek} then only moves forward. Its bytes are read on the thread that calls the
 * reader, during that call.
 *
 * <p><b>Checks.</b> Every size, count and offset the stream states is checked against the bytes
 * there are (in a file), or read in steps until they are there (in a stream), before anything is
 * allocated for it: a lying header or record cannot make the reader allocate more than the file
 * holds. A malformed or truncated stream throws {@link IOException} whose message names the file
 * (or "stream"), the frame and the byte offset where the fault is: the same words the library's
 * tools print. After such an error a file reader may {@link #seek} elsewhere; a stream reader can
 * only be closed.
 *
 * <p><b>Threads.</b> A reader is meant for one thread at a time; calls from several are run one
 * after the other. Readers share nothing, so several play several streams at once. With more
 * than one thread, the library decodes each frame on that many threads and reads and
 * decompresses the next frame meanwhile, on a thread of its own (attached to the VM as a daemon
 * thread named "kelvo4 stream reader"): an {@code InputStream} is then read from that thread
 * too, also between calls, so leave it to the reader until {@link #close}.
 *
 * <p><b>Native memory.</b> A reader holds its frames and threads in native memory until
 * {@link #close}. One that is never closed is freed after it has been garbage collected, which
 * may be much later or never: close it.
 */
public final class KelvoStreamReader implements Closeable {
  static {
    NativeLibrary.load();
  }

  // Bytes an InputStream is read in at most per read call.
  private static final int SCRATCH_BYTES = 1 << 16;

  private final Object lock = new Object();
  private final InputStream in; // null for a file
  private final Cleaner.Cleanable cleanable;
  private long handle; // 0 once closed
  private final int width, height, codedWidth, codedHeight, version;
  private final double frameRate;
  private final String damage;
  // Where a closed reader was.
  private int closedPosition, closedCount;
  private int[] closedKeys;

  /**
   * Opens a stream file with a decoder that runs on the calling thread.
   *
   * @param file the stream file
   * @throws NoSuchFileException if there is no such file
   * @throws AccessDeniedException if it may not be read
   * @throws IOException if the file cannot be read or its header or index is malformed
   * @throws UnsupportedOperationException if {@code file} is not on the default file system
   */
  public KelvoStreamReader(Path file) throws IOException {
    this(file, 1);
  }

  /**
   * Opens a stream file, reads and checks its header and its key frame index (or, without one,
   * the frame records' headers).
   *
   * @param file the stream file
   * @param threads threads decoding each frame, 1 to {@link KelvoStreamDecoder#MAX_THREADS}
   * @throws NoSuchFileException if there is no such file
   * @throws AccessDeniedException if it may not be read
   * @throws IOException if the file cannot be read or its header or index is malformed
   * @throws IllegalArgumentException if {@code threads} is out of range
   * @throws UnsupportedOperationException if {@code file} is not on the default file system
   */
  public KelvoStreamReader(Path file, int threads) throws IOException {
    this(Objects.requireNonNull(file, "file"), null, threads);
  }

  /**
   * Reads a stream in order, with a decoder that runs on the calling thread.
   *
   * @param in the stream's bytes from its first on; the reader closes it on {@link #close}
   * @throws IOException if it cannot be read or the header is malformed
   */
  public KelvoStreamReader(InputStream in) throws IOException {
    this(in, 1);
  }

  /**
   * Reads a stream in order and checks its header. The reader takes the stream over and closes
   * it on {@link #close}; when this constructor throws, the stream is left to the caller. An
   * exception that {@code in} throws comes out of the reader's call as it is.
   *
   * @param in the stream's bytes from its first on
   * @param threads threads decoding each frame, 1 to {@link KelvoStreamDecoder#MAX_THREADS}
   * @throws IOException if it cannot be read or the header is malformed
   * @throws IllegalArgumentException if {@code threads} is out of range
   */
  public KelvoStreamReader(InputStream in, int threads) throws IOException {
    this(null, new BufferedInputStream(Objects.requireNonNull(in, "in")), threads);
  }

  private KelvoStreamReader(Path file, InputStream in, int threads) throws IOException {
    this.in = in;
    long opened = in == null ? openFile(file.toFile().getPath().getBytes(StandardCharsets.UTF_8), threads)
        : openStream(in, new byte[SCRATCH_BYTES], threads);
    try {
      cleanable = KelvoStreamDecoder.CLEANER.register(this, () -> close(opened));
    } catch (Throwable t) {
      close(opened);
      throw t;
    }
    handle = opened;
    damage = damage(opened);
    long[] info = info(opened);
    width = (int) info[0];
    height = (int) info[1];
    codedWidth = (int) info[2];
    codedHeight = (int) info[3];
    frameRate = info[5] == 0 ? 0 : (double) info[4] / info[5];
    version = (int) info[8];
    if (info[6] > Integer.MAX_VALUE) {
      cleanable.clean();
      throw new IOException((in == null ? file : "stream") + ": " + info[6] + " frames, more than a reader counts");
    }
  }

  /**
   * Returns the picture width.
   *
   * @return the width in pixels
   */
  public int width() {
    return width;
  }

  /**
   * Returns the picture height.
   *
   * @return the height in pixels
   */
  public int height() {
    return height;
  }

  /**
   * Returns the width the frames are coded at.
   *
   * @return the picture width, rounded up to 16 from version 2 on
   */
  public int codedWidth() {
    return codedWidth;
  }

  /**
   * Returns the height the frames are coded at.
   *
   * @return the picture height, rounded up to 16 from version 2 on
   */
  public int codedHeight() {
    return codedHeight;
  }

  /**
   * Returns the stream format version.
   *
   * @return the version the header states
   */
  public int version() {
    return version;
  }

  /**
   * Returns the frame rate.
   *
   * @return frames per second, or 0 when the stream does not give one
   */
  public double frameRate() {
    return frameRate;
  }

  /**
   * Returns the damage found in a file when it was opened: a missing, cut or inconsistent key frame
   * index, or a frame record cut short or malformed. Such a file plays, and seeks, over its intact
   * frames ({@link #frameCount} counts them); the {@code next} call after the last of them throws
   * an {@code IOException} with this message.
   *
   * @return the message, e.g. {@code "clip.klv: truncated at byte 53575, frame 14: 3244 of 3493
   *     bytes"}, or null for an intact file and for an {@code InputStream}, whose damage shows when
   *     it is read
   */
  public String damage() {
    return damage;
  }

  /**
   * Returns the number of frames. Always known for a file.
   *
   * @return the count, or -1 when it is not known (a stream written to a pipe and read from an
   *     {@code InputStream}, until its end has been read)
   */
  public int frameCount() {
    synchronized (lock) {
      try {
        return handle == 0 ? closedCount : (int) info(handle)[6];
      } finally {
        Reference.reachabilityFence(this);
      }
    }
  }

  /**
   * Returns where the reader is.
   *
   * @return the number of the frame the next {@code next} call decodes
   */
  public int position() {
    synchronized (lock) {
      try {
        return handle == 0 ? closedPosition : Math.toIntExact(position(handle));
      } finally {
        Reference.reachabilityFence(this);
      }
    }
  }

  /**
   * Returns the numbers of the key frames, ascending: every one for a file, those read so far for
   * an {@code InputStream}. {@link #seek} starts decoding at one of them.
   *
   * @return a new array of the key frame numbers
   */
  public int[] keyFrames() {
    synchronized (lock) {
      try {
        if (handle == 0) return closedKeys.clone();
        long[] keys = keyFrames(handle);
        int[] out = new int[keys.length];
        for (int i = 0; i < keys.length; i++) out[i] = Math.toIntExact(keys[i]);
        return out;
      } finally {
        Reference.reachabilityFence(this);
      }
    }
  }

  /**
   * Decodes the next frame into packed pixels {@code 0xFFRRGGBB}, row by row, the picture's size.
   *
   * @param argb receives {@code width() * height()} pixels
   * @return false, leaving {@code argb} as it was, at the end of the stream
   * @throws IOException if the frame cannot be read or is malformed
   * @throws IllegalArgumentException if {@code argb} has another length
   * @throws IllegalStateException if the reader is closed
   */
  public boolean next(int[] argb) throws IOException {
    checkLength(Objects.requireNonNull(argb, "argb").length, 1);
    synchronized (lock) {
      try {
        return nextArgb(ensureOpen(), argb);
      } finally {
        Reference.reachabilityFence(this);
      }
    }
  }

  /**
   * Decodes the next frame into rgb24 bytes, three per pixel (red, green, blue), row by row.
   *
   * @param rgb receives {@code 3 * width() * height()} bytes
   * @return false, leaving {@code rgb} as it was, at the end of the stream
   * @throws IOException if the frame cannot be read or is malformed
   * @throws IllegalArgumentException if {@code rgb} has another length
   * @throws IllegalStateException if the reader is closed
   */
  public boolean next(byte[] rgb) throws IOException {
    checkLength(Objects.requireNonNull(rgb, "rgb").length, 3);
    synchronized (lock) {
      try {
        return nextRgb(ensureOpen(), rgb);
      } finally {
        Reference.reachabilityFence(this);
      }
    }
  }

  /**
   * Decodes the next frame straight into the pixels of {@code image}, which must be of type
   * {@code TYPE_INT_RGB} or {@code TYPE_INT_ARGB}, of the picture's size, with a raster of its
   * own (not a sub-image).
   *
   * @param image receives the frame
   * @return false, leaving {@code image} as it was, at the end of the stream
   * @throws IOException if the frame cannot be read or is malformed
   * @throws IllegalArgumentException if {@code image} is not such a picture
   * @throws IllegalStateException if the reader is closed
   */
  public boolean next(BufferedImage image) throws IOException {
    return next(pixels(Objects.requireNonNull(image, "image")));
  }

  /**
   * Decodes the next frame into a new {@code TYPE_INT_RGB} picture.
   *
   * @return the picture, or null at the end of the stream
   * @throws IOException if the frame cannot be read or is malformed
   * @throws IllegalStateException if the reader is closed
   */
  public BufferedImage nextImage() throws IOException {
    synchronized (lock) {
      ensureOpen();
      int count = frameCount();
      if (count >= 0 && position() >= count) return null;
      BufferedImage image = new BufferedImage(width, height, BufferedImage.TYPE_INT_RGB);
      return next(image) ? image : null;
    }
  }

  /**
   * Makes {@code frame} the next frame decoded. A file reader decodes on from where it is when no
   * key frame lies between, and otherwise from the last key frame at or before {@code frame}; the
   * frames before {@code frame} are decoded without being converted. A stream reader only moves
   * forward. Seeking to {@link #frameCount} makes the next {@code next} report the end.
   *
   * @param frame the frame the next {@code next} decodes, 0 to {@link #frameCount}
   * @throws IOException if a frame on the way cannot be read or is malformed, or a stream ends
   *     before {@code frame} ({@link EOFException})
   * @throws IllegalArgumentException if {@code frame} is negative or beyond the frame count
   * @throws UnsupportedOperationException if a stream reader is asked to go back
   * @throws IllegalStateException if the reader is closed
   */
  public void seek(int frame) throws IOException {
    synchronized (lock) {
      try {
        long h = ensureOpen();
        int count = frameCount();
        if (frame < 0 || count >= 0 && frame > count) {
          throw new IllegalArgumentException("frame " + frame + " outside 0.." + (count >= 0 ? count : "the end"));
        }
        seekTo(h, frame);
      } finally {
        Reference.reachabilityFence(this);
      }
    }
  }

  /**
   * Frees the decoder and its threads, and closes the stream a reader was given. Closing again
   * does nothing; after it {@code next}, {@code nextImage} and {@code seek} throw
   * {@code IllegalStateException}, and the other methods answer as they did before.
   *
   * @throws IOException if closing the {@code InputStream} fails
   */
  @Override
  public void close() throws IOException {
    synchronized (lock) {
      if (handle == 0) return;
      closedPosition = position();
      closedCount = frameCount();
      closedKeys = keyFrames();
      handle = 0;
      cleanable.clean();
    }
    if (in != null) in.close();
  }

  private long ensureOpen() {
    if (handle == 0) throw new IllegalStateException("reader closed");
    return handle;
  }

  private void checkLength(int length, int perPixel) {
    if (length != perPixel * width * height) {
      throw new IllegalArgumentException("output " + length + ", needs " + perPixel * width * height);
    }
  }

  private int[] pixels(BufferedImage image) {
    WritableRaster raster = image.getRaster();
    DataBuffer buffer = raster.getDataBuffer();
    SampleModel model = raster.getSampleModel();
    int type = image.getType();
    if ((type != BufferedImage.TYPE_INT_RGB && type != BufferedImage.TYPE_INT_ARGB) || image.getWidth() != width
        || image.getHeight() != height || !(buffer instanceof DataBufferInt) || buffer.getOffset() != 0
        || raster.getSampleModelTranslateX() != 0 || raster.getSampleModelTranslateY() != 0
        || !(model instanceof SinglePixelPackedSampleModel)
        || ((SinglePixelPackedSampleModel) model).getScanlineStride() != width) {
      throw new IllegalArgumentException("needs a " + width + "x" + height + " TYPE_INT_RGB picture of its own");
    }
    return ((DataBufferInt) buffer).getData();
  }

  private static long[] info(long handle) {
    long[] info = new long[9];
    info(handle, info);
    return info;
  }

  // A stream's InputStream and scratch array are the library's from openStream to close: its
  // worker may read ahead through them between calls (with threads > 1). Failures throw the
  // exception for the library's error, with its message, or what the InputStream threw.

  // The file's name as UTF-8 bytes, without a terminating NUL.
  private static native long openFile(byte[] path, int threads) throws IOException;

  private static native long openStream(InputStream in, byte[] scratch, int threads) throws IOException;

  private static native void close(long handle);

  // Width, height, coded width, coded height, rate numerator and denominator, frame count (-1
  // when not known), key frames known, version.
  private static native void info(long handle, long[] info);

  private static native long position(long handle);

  private static native String damage(long handle);

  private static native long[] keyFrames(long handle);

  private static native boolean nextRgb(long handle, byte[] rgb) throws IOException;

  private static native boolean nextArgb(long handle, int[] argb) throws IOException;

  private static native void seekTo(long handle, long frame) throws IOException;
}
