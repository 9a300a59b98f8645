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
import java.util.concurrent.atomic.AtomicInteger;
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
 * <p><b>Closing and cancelling.</b> {@link #close} may be called from any thread, also while
 * another is inside {@code next} or {@code seek} waiting for the {@code InputStream}: it
 * interrupts the thread inside {@code read} and closes the {@code InputStream}, which between
 * them end a blocked read in streams that heed either ({@code PipedInputStream} heeds the
 * interrupt, a socket's stream its closing), and returns without waiting for the call; that
 * call then throws an {@code IOException} saying the reader was closed. When that read ran on
 * the calling thread, its interrupt flag is as it was before once the call returns. A read that
 * heeds neither, such as a {@code FileInputStream} over a pipe ({@code System.in} among them),
 * ends only when data arrives or the writer closes its end: until then the call waits, and so
 * does the worker of a reader that was forgotten; a forgotten reader's threads end once its
 * stream does. The {@code InputStream}'s {@code read} may close the reader too; any other call
 * of the reader from inside that {@code read} throws {@code IllegalStateException}.
 *
 * <p><b>Size.</b> A stream whose pictures have more than {@code maxPixels} pixels
 * ({@link #DEFAULT_MAX_PIXELS} unless a constructor is given another limit) is refused as its
 * header is read, before anything is allocated for it: a few bytes of a stream can ask for
 * gigabytes of frames.
 *
 * <p><b>Native memory.</b> A reader holds its frames and threads in native memory until
 * {@link #close}. One that is never closed is freed after it has been garbage collected, which
 * may be much later or never: close it.
 */
public final class KelvoStreamReader implements Closeable {
  /** The most pixels a picture may have for a reader opened without a limit: 8192 x 8192. */
  public static final long DEFAULT_MAX_PIXELS = 8192L * 8192;

  // Bytes an InputStream is read in at most per read call.
  private static final int SCRATCH_BYTES = 1 << 16;

  private final State state;
  private final Cleaner.Cleanable cleanable;
  private final int width, height, codedWidth, codedHeight, version;
  private final double frameRate;
  private final String damage;
  private final String name;  // in messages: the file, or "stream" as the library names one

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
    this(file, threads, 0);
  }

  /**
   * Opens a stream file, as {@link #KelvoStreamReader(Path, int)} does, accepting pictures of at
   * most {@code maxPixels} pixels.
   *
   * @param file the stream file
   * @param threads threads decoding each frame, 1 to {@link KelvoStreamDecoder#MAX_THREADS}
   * @param maxPixels the most pixels (width x height) a picture may have; 0 for
   *     {@link #DEFAULT_MAX_PIXELS}, negative for whatever the format allows
   * @throws IOException if the file cannot be read, its header or index is malformed, or its
   *     pictures have more pixels than {@code maxPixels}
   */
  public KelvoStreamReader(Path file, int threads, long maxPixels) throws IOException {
    this(Objects.requireNonNull(file, "file"), null, threads, maxPixels);
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
    this(in, threads, 0);
  }

  /**
   * Reads a stream in order, as {@link #KelvoStreamReader(InputStream, int)} does, accepting
   * pictures of at most {@code maxPixels} pixels.
   *
   * @param in the stream's bytes from its first on
   * @param threads threads decoding each frame, 1 to {@link KelvoStreamDecoder#MAX_THREADS}
   * @param maxPixels the most pixels (width x height) a picture may have; 0 for
   *     {@link #DEFAULT_MAX_PIXELS}, negative for whatever the format allows
   * @throws IOException if it cannot be read, the header is malformed, or its pictures have more
   *     pixels than {@code maxPixels}
   */
  public KelvoStreamReader(InputStream in, int threads, long maxPixels) throws IOException {
    this(null, Objects.requireNonNull(in, "in"), threads, maxPixels);
  }

  private KelvoStreamReader(Path file, InputStream in, int threads, long maxPixels) throws IOException {
    NativeLibrary.load();
    name = in == null ? file.toString() : "stream";
    Guard guard = in == null ? null : new Guard(in);
    long opened = in == null
        ? openFile(file.toFile().getPath().getBytes(StandardCharsets.UTF_8), threads, maxPixels)
        : openStream(new BufferedInputStream(guard), new byte[SCRATCH_BYTES], threads, maxPixels);
    state = new State(opened, guard);
    try {
      cleanable = KelvoStreamDecoder.CLEANER.register(this, state);
    } catch (Throwable t) {
      close(opened);
      throw t;
    }
    damage = damage(opened);
    Info info = info(opened);
    width = (int) info.width;
    height = (int) info.height;
    codedWidth = (int) info.codedWidth;
    codedHeight = (int) info.codedHeight;
    frameRate = info.rateDen == 0 ? 0 : (double) info.rateNum / info.rateDen;
    version = (int) info.version;
    state.count = (int) Math.min(info.frameCount, Integer.MAX_VALUE);
    state.keys = keys(opened);
    try {
      if (info.frameCount > Integer.MAX_VALUE) {
        cleanable.clean();
        throw new IOException(
            name + ": " + info.frameCount + " frames, more than a reader counts");
      }
    } finally {
      // Not collected, and so not cleaned, while the lines above use its handle.
      Reference.reachabilityFence(this);
    }
  }

  // Refuses a call on a closed reader, as the calls into the library do.
  private void open() {
    if (state.closed) throw new IllegalStateException("reader closed");
  }

  /**
   * Returns the picture width.
   *
   * @return the width in pixels
   */
  public int width() {
    open();
    return width;
  }

  /**
   * Returns the picture height.
   *
   * @return the height in pixels
   */
  public int height() {
    open();
    return height;
  }

  /**
   * Returns the width the frames are coded at.
   *
   * @return the picture width, rounded up to 16 from version 2 on
   */
  public int codedWidth() {
    open();
    return codedWidth;
  }

  /**
   * Returns the height the frames are coded at.
   *
   * @return the picture height, rounded up to 16 from version 2 on
   */
  public int codedHeight() {
    open();
    return codedHeight;
  }

  /**
   * Returns the stream format version.
   *
   * @return the version the header states
   */
  public int version() {
    open();
    return version;
  }

  /**
   * Returns the frame rate.
   *
   * @return frames per second, or 0 when the stream does not give one
   */
  public double frameRate() {
    open();
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
    open();
    return damage;
  }

  /**
   * Returns the number of frames. Always known for a file.
   *
   * @return the count, or -1 when it is not known (a stream written to a pipe and read from an
   *     {@code InputStream}, until its end has been read)
   */
  public int frameCount() {
    return state.apply(this, h -> state.count = (int) info(h).frameCount);
  }

  /**
   * Returns where the reader is.
   *
   * @return the number of the frame the next {@code next} call decodes
   */
  public int position() {
    return state.apply(this, h -> state.position = Math.toIntExact(position(h)));
  }

  /**
   * Returns the numbers of the key frames, ascending: every one for a file, those read so far for
   * an {@code InputStream}. {@link #seek} starts decoding at one of them.
   *
   * @return a new array of the key frame numbers
   */
  public int[] keyFrames() {
    return state.apply(this, h -> state.keys = keys(h)).clone();
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
    return play(h -> state.played(nextArgb(h, argb), h));
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
    return play(h -> state.played(nextRgb(h, rgb), h));
  }

  /**
   * Decodes the next frame straight into the pixels of {@code image}, without a copy: a picture
   * of type {@code TYPE_INT_RGB} or {@code TYPE_INT_ARGB}, of the picture's size, whose raster
   * may have padding at the end of each row or be part of a larger one (a {@code getSubimage}).
   * The array elements outside the picture's pixels are left as they are.
   *
   * @param image receives the frame
   * @return false, leaving {@code image} as it was, at the end of the stream
   * @throws IOException if the frame cannot be read or is malformed
   * @throws IllegalArgumentException if {@code image} is not such a picture
   * @throws IllegalStateException if the reader is closed
   */
  public boolean next(BufferedImage image) throws IOException {
    Objects.requireNonNull(image, "image");
    WritableRaster raster = image.getRaster();
    SampleModel model = raster.getSampleModel();
    int type = image.getType();
    if ((type != BufferedImage.TYPE_INT_RGB && type != BufferedImage.TYPE_INT_ARGB) || image.getWidth() != width
        || image.getHeight() != height || !(raster.getDataBuffer() instanceof DataBufferInt)
        || !(model instanceof SinglePixelPackedSampleModel)) {
      throw new IllegalArgumentException("needs a " + width + "x" + height + " TYPE_INT_RGB or TYPE_INT_ARGB picture");
    }
    DataBufferInt buffer = (DataBufferInt) raster.getDataBuffer();
    int stride = ((SinglePixelPackedSampleModel) model).getScanlineStride();
    // The element of the picture's top-left pixel.
    long offset = buffer.getOffset() + (long) stride * (raster.getMinY() - raster.getSampleModelTranslateY())
        + raster.getMinX() - raster.getSampleModelTranslateX();
    int[] data = buffer.getData();
    if (offset < 0 || stride < width || height > 0 && offset + (long) stride * (height - 1) + width > data.length) {
      throw new IllegalArgumentException("a raster whose rows lie outside its array");
    }
    return play(h -> state.played(nextArgbInto(h, data, (int) offset, width, height, stride), h));
  }

  /**
   * Decodes the next frame into a new {@code TYPE_INT_RGB} picture.
   *
   * @return the picture, or null at the end of an intact stream
   * @throws IOException if the frame cannot be read or is malformed; on a damaged file, after
   *     its last intact frame, with the {@link #damage} message
   * @throws IllegalStateException if the reader is closed
   */
  public BufferedImage nextImage() throws IOException {
    return play(h -> {
      // Allocated before the end is known: on a damaged file the call after the last intact
      // frame must throw the damage, as next does, not stop at the count of intact frames.
      BufferedImage image = new BufferedImage(width, height, BufferedImage.TYPE_INT_RGB);
      return state.played(nextArgb(h, pixels(image)), h) ? image : null;
    });
  }

  /**
   * Makes {@code frame} the next frame decoded. A file reader decodes on from where it is when no
   * key frame lies between, and otherwise from the last key frame at or before {@code frame}; the
   * frames before {@code frame} are decoded without being converted. A stream reader only moves
   * forward. Seeking to {@link #frameCount} makes the next {@code next} report the end.
   *
   * @param frame the frame the next {@code next} decodes, 0 to {@link #frameCount}
   * @throws IOException if a frame on the way cannot be read or is malformed, a stream ends
   *     before {@code frame} ({@link EOFException}), or {@code frame} lies beyond the intact
   *     frames of a damaged file (naming the {@link #damage} as the reason, as the library does:
   *     {@code "clip.klv: no frame 10: the file has 2 intact frames, then truncated at ..."})
   * @throws IllegalArgumentException if {@code frame} is negative or beyond the frame count of an
   *     intact stream
   * @throws UnsupportedOperationException if a stream reader is asked to go back
   * @throws IllegalStateException if the reader is closed
   */
  public void seek(int frame) throws IOException {
    play(h -> {
      int count = frameCount();
      if (damage != null && frame > count) {
        seekTo(h, frame); // refused by the library, which names the damage as the reason
        throw new IOException(damage);
      }
      if (frame < 0 || count >= 0 && frame > count) {
        // As the library says it for a seek it refuses.
        throw new IllegalArgumentException(name + ": no frame " + frame + " (the stream has "
            + (count >= 0 ? count : "an unknown number of") + " frames)");
      }
      seekTo(h, frame);
      state.position = frame;
      return null;
    });
  }

  /**
   * Closes the stream a reader was given, then frees the decoder and its threads. Closing again
   * does nothing; after it every other method throws {@code IllegalStateException}, as a closed
   * {@link KelvoStreamDecoder}'s do. From another
   * thread, while a call waits for the {@code InputStream}, it returns without waiting for that
   * call, which then throws an {@code IOException}; the decoder is freed as the call returns.
   *
   * @throws IOException if closing the {@code InputStream} fails
   */
  @Override
  public void close() throws IOException {
    if (state.closed) return;
    // Reads are refused before a call that sees the reader closed frees it.
    if (state.input != null) state.input.shut();
    state.closed = true;
    try {
      if (state.input != null) state.input.shutAndClose();
    } finally {
      cleanable.clean();
    }
  }

  // Runs a call that reads the stream: one that fails while the reader is closed throws the
  // IOException that says so.
  private <T> T play(NativeHandle.Call<T, IOException> call) throws IOException {
    return state.apply(this, h -> {
      try {
        return call.apply(h);
      } catch (IOException | RuntimeException e) {
        if (state.closed) throw closedWhileReading(e);
        throw e;
      }
    });
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

  // What a call that failed while the reader was closed throws, with the failure as its cause.
  private static IOException closedWhileReading(Exception e) {
    return new IOException("stream: the reader was closed while it was reading", e);
  }

  private static int[] keys(long handle) {
    long[] keys = keyFrames(handle);
    int[] out = new int[keys.length];
    for (int i = 0; i < keys.length; i++) out[i] = Math.toIntExact(keys[i]);
    return out;
  }

  // What a reader's calls, its close and its cleaning action share. It refers to no reader, so
  // that a forgotten one can be collected; the cleaning action (run) never waits.
  private static final class State extends NativeHandle implements Runnable {
    final Guard input; // null for a file
    volatile boolean closed;
    // What the reader last answered, for after close.
    volatile int position, count;
    volatile int[] keys;

    State(long handle, Guard input) {
      super(handle, "reader closed");
      this.input = input;
    }

    @Override
    long enterOrClosed() {
      if (input != null && input.reader == Thread.currentThread()) {
        throw new IllegalStateException("a reader may not be used from inside its own InputStream's read");
      }
      return super.enterOrClosed();
    }

    @Override
    boolean isOpen() {
      return !closed && handle != 0;
    }

    // A close that found the lock held leaves the freeing to whoever holds it.
    @Override
    void leave() {
      super.leave();
      if (closed) free();
    }

    // The result of a next call, or when the reader was closed while the call waited for its
    // end, the IOException that says so: the InputStream's end may have been its closing.
    boolean played(boolean frame, long h) throws IOException {
      position = Math.toIntExact(position(h));
      if (!frame && closed) throw closedWhileReading(null);
      return frame;
    }

    @Override
    public void run() {
      closed = true;
      if (input != null) input.shut();
      free();
    }

    // Frees the native reader, unless a call is using it (it frees it as it leaves). Closing it
    // joins its worker: when that is inside read, it is done on a thread of its own.
    void free() {
      if (!lock.tryLock()) return;
      try {
        if (lock.getHoldCount() > 1 || handle == 0) return;
        long h = handle;
        handle = 0;
        boolean handedOver = false;
        try {
          position = Math.toIntExact(position(h));
          if (input == null || input.reading.get() == 0) {
            // These wait for the worker, which is not inside read.
            count = (int) info(h).frameCount;
            keys = keys(h);
          } else {
            Thread closer = new Thread(() -> {
              input.closeQuietly();
              close(h);
            }, "kelvo4 stream reader close");
            closer.setDaemon(true);
            closer.start();
            handedOver = true;
          }
        } finally {
          if (!handedOver) close(h);
        }
      } finally {
        lock.unlock();
      }
    }
  }

  // The InputStream as the library reads it: refused once the reader is closed, with the reads
  // in progress counted and their thread known, and checked for returning more than was asked.
  private static final class Guard extends InputStream {
    private final InputStream in;
    final AtomicInteger reading = new AtomicInteger();
    volatile Thread reader; // the thread inside in.read, if one is
    private volatile boolean shut;
    private boolean inClosed; // guarded by this
    private boolean woken; // guarded by this: reader was interrupted by shutAndClose

    Guard(InputStream in) {
      this.in = in;
    }

    @Override
    public int read() throws IOException {
      byte[] one = new byte[1];
      return read(one, 0, 1) < 1 ? -1 : one[0] & 0xff;
    }

    @Override
    public int read(byte[] b, int off, int len) throws IOException {
      reading.incrementAndGet();
      boolean wasInterrupted = Thread.currentThread().isInterrupted();
      try {
        synchronized (this) {
          if (shut) throw new IOException("stream: the reader is closed");
          reader = Thread.currentThread();
        }
        int n = in.read(b, off, len);
        if (n > len) {
          throw new IOException("stream: the InputStream's read returned " + n + " bytes where at most " + len
              + " were asked for");
        }
        return n;
      } finally {
        synchronized (this) {
          reader = null;
          // Whoever called the reader gets its thread back with the flag as it was.
          if (woken && !wasInterrupted) Thread.interrupted();
          woken = false;
        }
        reading.decrementAndGet();
      }
    }

    // No more reads.
    void shut() {
      shut = true;
    }

    // No more reads, the thread inside read interrupted and the InputStream closed: one or the
    // other ends a read that waits in most streams (PipedInputStream heeds only the interrupt).
    void shutAndClose() throws IOException {
      synchronized (this) {
        shut = true;
        // Not the thread closing it from inside its own read: that read goes on as it was.
        if (reader != null && reader != Thread.currentThread() && !woken) {
          woken = true;
          reader.interrupt();
        }
        if (inClosed) return;
        inClosed = true;
      }
      in.close();
    }

    void closeQuietly() {
      try {
        shutAndClose();
      } catch (IOException | RuntimeException e) {
        // a forgotten reader's stream: nobody to tell
      }
    }

    @Override
    public void close() {
      // The library never closes its input; the reader does, through shut.
    }
  }

  // The stream's facts as the library states them, filled in by the native info by name.
  static final class Info {
    long width, height, codedWidth, codedHeight, rateNum, rateDen, version;
    long frameCount; // -1 when not known
  }

  private static Info info(long handle) {
    Info info = new Info();
    info(handle, info);
    return info;
  }

  // A stream's InputStream and scratch array are the library's from openStream to close: its
  // worker may read ahead through them between calls (with threads > 1). Failures throw the
  // exception for the library's error, with its message, or what the InputStream threw.

  // The file's name as UTF-8 bytes, without a terminating NUL.
  private static native long openFile(byte[] path, int threads, long maxPixels) throws IOException;

  private static native long openStream(InputStream in, byte[] scratch, int threads, long maxPixels)
      throws IOException;

  private static native void close(long handle);

  private static native void info(long handle, Info info);

  private static native long position(long handle);

  private static native String damage(long handle);

  private static native long[] keyFrames(long handle);

  private static native boolean nextRgb(long handle, byte[] rgb) throws IOException;

  private static native boolean nextArgb(long handle, int[] argb) throws IOException;

  private static native boolean nextArgbInto(long handle, int[] argb, int offset, int width, int height,
      int stride) throws IOException;

  private static native void seekTo(long handle, long frame) throws IOException;
}
