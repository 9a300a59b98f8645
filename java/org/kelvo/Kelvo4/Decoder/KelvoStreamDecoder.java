package org.kelvo.Kelvo4.Decoder;

import java.lang.ref.Cleaner;
import java.nio.ByteBuffer;
import java.nio.ReadOnlyBufferException;
import java.util.Objects;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * A decoder of its own for one stream: its size, quantisation table, frame history and worker
 * threads belong to it alone. Several streams decode at once, each on its own
 * {@code KelvoStreamDecoder}, with no lock between them; one stream can use several cores. Every
 * frame is bit for bit what {@link KelvoDecoder} gives for the same calls, whatever the thread
 * count. The payload and output formats are those described there.
 *
 * <p><b>Use.</b> Create it with the frame size, call {@link #setQuantizationTable} with 64
 * factors, then one {@code decodeFrame} per frame in stream order, and {@link #close} it (or use
 * try-with-resources). {@link #reinit} resizes it or restarts the stream.
 *
 * <p><b>Errors.</b> Misuse throws the standard exceptions: {@code NullPointerException} for a
 * missing array or buffer, {@code IllegalArgumentException} for a wrong length, an unsupported
 * size or thread count, or a heap buffer where a direct one is needed,
 * {@code ReadOnlyBufferException} for a read-only output buffer, and
 * {@code IllegalStateException} for any use after {@link #close}. Running out of memory or
 * threads throws {@code OutOfMemoryError}. A call that throws changes nothing: no array or buffer
 * is written, and the next frame still predicts from the last decoded one. The one exception is
 * a {@link #reinit} that runs out of memory, which leaves the decoder sized 0 x 0.
 *
 * <p><b>Threads.</b> Calls on one decoder are serialised: from several threads they run one
 * after the other, in an order that is up to those threads.
 *
 * <p><b>Native memory.</b> Each decoder holds its frames in native memory, and its worker
 * threads, until {@link #close}. A decoder that is never closed is freed after it has been
 * garbage collected, but only then, which may be much later or never: close it.
 */
public final class KelvoStreamDecoder implements AutoCloseable {
  /** The most threads one decoder may use. */
  public static final int MAX_THREADS = 64;

  // Also frees the stream readers' native memory.
  static final Cleaner CLEANER = Cleaner.create();
  private static final AtomicInteger LIVE = new AtomicInteger();

  private final NativeHandle state;
  private final Cleaner.Cleanable cleanable;
  private int width, height; // guarded by state.lock
  private int payloadLength; // bytes of a frame payload, as the library counts them

  /**
   * Creates a decoder of {@code width} x {@code height} that decodes on the calling thread only.
   *
   * @param width frame width in pixels, 0 or more
   * @param height frame height in pixels, 0 or more
   * @throws IllegalArgumentException if a size is negative or {@code 3 * width * height} is 2^31
   *     or more
   * @throws OutOfMemoryError if the frames cannot be allocated
   */
  public KelvoStreamDecoder(int width, int height) {
    this(width, height, 1);
  }

  /**
   * Creates a decoder of {@code width} x {@code height} at the initial frame, with an all-zero
   * table. With {@code threads} above 1 it starts {@code threads - 1} worker threads, which share
   * the work of each frame with the calling thread until {@link #close}.
   *
   * @param width frame width in pixels, 0 or more
   * @param height frame height in pixels, 0 or more
   * @param threads threads working on each frame, the caller included: 1 to {@link #MAX_THREADS}
   * @throws IllegalArgumentException if a size is negative, {@code 3 * width * height} is 2^31 or
   *     more, or {@code threads} is outside 1 to {@link #MAX_THREADS}
   * @throws OutOfMemoryError if the frames cannot be allocated or a worker thread cannot be
   *     started (as {@link Thread#start} reports it); nothing is left allocated or running
   */
  public KelvoStreamDecoder(int width, int height, int threads) {
    NativeLibrary.load();
    checkSize(width, height);
    long opened = open(width, height, checkThreads(threads));
    LIVE.incrementAndGet();
    try {
      cleanable = CLEANER.register(this, new Release(opened));
    } catch (Throwable t) {
      new Release(opened).run();
      throw t;
    }
    state = new NativeHandle(opened, "decoder closed");
    this.width = width;
    this.height = height;
    payloadLength = payloadLength(opened);
  }

  /**
   * Resizes the decoder and restarts the stream: the next frame is predicted from the initial
   * frame. The table is kept. Also valid with an unchanged size, to restart a stream.
   *
   * @param width frame width in pixels, 0 or more
   * @param height frame height in pixels, 0 or more
   * @throws IllegalArgumentException if a size is negative or {@code 3 * width * height} is 2^31
   *     or more; nothing changes
   * @throws IllegalStateException if the decoder is closed
   * @throws OutOfMemoryError if the frames cannot be allocated; unlike other failures this one
   *     leaves the decoder sized 0 x 0 (it keeps its table and accepts only empty payloads until
   *     the next successful {@code reinit})
   */
  public void reinit(int width, int height) {
    checkSize(width, height);
    state.run(this, d -> {
      try {
        reinit(d, width, height);
      } catch (OutOfMemoryError e) {
        this.width = this.height = 0; // as the library leaves it
        throw e;
      } finally {
        payloadLength = payloadLength(d);
      }
      this.width = width;
      this.height = height;
    });
  }

  /**
   * Loads the 64 dequantisation factors in natural row-major order of the 8x8 block, each
   * truncated toward zero to 16 bits; values out of that range, infinities and NaN become
   * -32768. The table applies to every later frame and survives {@link #reinit}.
   *
   * @param table exactly 64 factors
   * @throws NullPointerException if {@code table} is null; nothing changes
   * @throws IllegalArgumentException if {@code table} is not 64 long; nothing changes
   * @throws IllegalStateException if the decoder is closed
   */
  public void setQuantizationTable(float[] table) {
    Objects.requireNonNull(table, "table");
    checkLength("table", table.length, 64);
    state.run(this, d -> setTable(d, table));
  }

  /**
   * Decodes the next frame and, when {@code convert} is set, writes it to {@code output} as
   * {@code 3 * n} bytes, three per pixel, row by row ({@code n = width * height}).
   *
   * @param payload the frame's {@code n + n / 2} coefficient bytes
   * @param output receives the {@code 3 * n} bytes when converting; not looked at, and may be
   *     null, when {@code convert} is false
   * @param convert whether to write the frame; it is decoded and predicts the next one either way
   * @throws NullPointerException if {@code payload}, or when converting {@code output}, is null;
   *     nothing changes
   * @throws IllegalArgumentException if a length is wrong; nothing changes
   * @throws IllegalStateException if the decoder is closed
   */
  public void decodeFrame(byte[] payload, byte[] output, boolean convert) {
    Objects.requireNonNull(payload, "payload");
    if (convert) Objects.requireNonNull(output, "output");
    state.run(this, d -> {
      checkLength("payload", payload.length, payloadLength);
      if (convert) checkLength("output", output.length, 3 * width * height);
      decode(d, payload, convert ? output : null, convert);
    });
  }

  /**
   * Decodes the next frame from and into direct buffers, which the native code reads and writes
   * in place. The payload is the {@code payload}'s remaining bytes, from its position to its
   * limit; the frame is written from {@code output}'s position on, and its remaining must be
   * exactly the frame's size. On success the payload's position moves to its limit and, when
   * converting, the output's position moves on by {@code 3 * n} (to its limit); the limits do not
   * change.
   *
   * @param payload a direct buffer with exactly {@code n + n / 2} bytes remaining
   *     ({@code n = width * height}); it may be read-only
   * @param output a writable direct buffer with exactly {@code 3 * n} bytes remaining when
   *     converting, not overlapping the payload's bytes; not looked at, and may be null, when
   *     {@code convert} is false
   * @param convert whether to write the frame; it is decoded and predicts the next one either way
   * @throws NullPointerException if {@code payload}, or when converting {@code output}, is null;
   *     nothing changes
   * @throws IllegalArgumentException if a buffer needed is not direct, a remaining count is
   *     wrong, or the output overlaps the payload; nothing changes
   * @throws ReadOnlyBufferException if converting into a read-only {@code output}; nothing
   *     changes
   * @throws IllegalStateException if the decoder is closed
   */
  public void decodeFrame(ByteBuffer payload, ByteBuffer output, boolean convert) {
    checkDirect("payload", Objects.requireNonNull(payload, "payload"));
    if (convert) {
      checkDirect("output", Objects.requireNonNull(output, "output"));
      if (output.isReadOnly()) throw new ReadOnlyBufferException();
    }
    state.run(this, d -> {
      int outputLength = convert ? 3 * width * height : 0;
      int payloadAt = payload.position(), outputAt = convert ? output.position() : 0;
      checkLength("payload remaining", payload.limit() - payloadAt, payloadLength);
      if (convert) checkLength("output remaining", output.limit() - outputAt, outputLength);
      decodeDirect(d, payload, payloadAt, payloadLength, convert ? output : null, outputAt, outputLength, convert);
      payload.position(payloadAt + payloadLength);
      if (convert) output.position(outputAt + outputLength);
    });
  }

  /**
   * Decodes the next frame and writes it as {@code n} packed pixels {@code 0xFFRRGGBB}, row by
   * row, the three bytes of a pixel read as red, green and blue: the layout of the data of a
   * {@code BufferedImage} of type {@code TYPE_INT_RGB} or {@code TYPE_INT_ARGB}.
   *
   * @param payload the frame's {@code n + n / 2} coefficient bytes ({@code n = width * height})
   * @param argb receives the {@code n} pixels
   * @throws NullPointerException if an array is null; nothing changes
   * @throws IllegalArgumentException if a length is wrong; nothing changes
   * @throws IllegalStateException if the decoder is closed
   */
  public void decodeFrame(byte[] payload, int[] argb) {
    Objects.requireNonNull(payload, "payload");
    Objects.requireNonNull(argb, "argb");
    state.run(this, d -> {
      checkLength("payload", payload.length, payloadLength);
      checkLength("argb", argb.length, width * height);
      decodeArgb(d, payload, argb);
    });
  }

  /**
   * Decodes the next frame like {@link #decodeFrame(byte[], byte[], boolean)} but converts only its
   * top-left {@code width} x {@code height} pixels, rows without gaps: {@code 3 * width * height}
   * bytes. For streams coded at a size rounded up from the picture's, cropped without a copy.
   *
   * @param payload the frame's {@code n + n / 2} coefficient bytes ({@code n} the decoder's pixels)
   * @param rgb receives the region's {@code 3 * width * height} bytes
   * @param width region width, 0 to {@link #width()}
   * @param height region height, 0 to {@link #height()}
   * @throws NullPointerException if an array is null; nothing changes
   * @throws IllegalArgumentException if the region is larger than the frame or a length is wrong;
   *     nothing changes
   * @throws IllegalStateException if the decoder is closed
   */
  public void decodeRegion(byte[] payload, byte[] rgb, int width, int height) {
    decodeRegion(payload, Objects.requireNonNull(rgb, "rgb"), rgb.length, 3, width, height);
  }

  /**
   * Decodes the next frame like {@link #decodeFrame(byte[], int[])} but converts only its top-left
   * {@code width} x {@code height} pixels, as packed {@code 0xFFRRGGBB} pixels, rows without gaps.
   *
   * @param payload the frame's {@code n + n / 2} coefficient bytes ({@code n} the decoder's pixels)
   * @param argb receives the region's {@code width * height} pixels
   * @param width region width, 0 to {@link #width()}
   * @param height region height, 0 to {@link #height()}
   * @throws NullPointerException if an array is null; nothing changes
   * @throws IllegalArgumentException if the region is larger than the frame or a length is wrong;
   *     nothing changes
   * @throws IllegalStateException if the decoder is closed
   */
  public void decodeRegion(byte[] payload, int[] argb, int width, int height) {
    decodeRegion(payload, Objects.requireNonNull(argb, "argb"), argb.length, 1, width, height);
  }

  private void decodeRegion(byte[] payload, Object output, int length, int perPixel, int width, int height) {
    Objects.requireNonNull(payload, "payload");
    state.run(this, d -> {
      if (width < 0 || height < 0 || width > this.width || height > this.height) {
        throw new IllegalArgumentException(
            "region " + width + "x" + height + " outside the frame of " + this.width + "x" + this.height);
      }
      checkLength("payload", payload.length, payloadLength);
      checkLength(perPixel == 3 ? "rgb" : "argb", length, perPixel * width * height);
      if (output instanceof byte[]) {
        decodeRegion(d, payload, (byte[]) output, width, height);
      } else {
        decodeRegionArgb(d, payload, (int[]) output, width, height);
      }
    });
  }

  /**
   * Returns the frame width.
   *
   * @return the width in pixels (0 after a {@link #reinit} that ran out of memory)
   * @throws IllegalStateException if the decoder is closed
   */
  public int width() {
    return state.apply(this, d -> width);
  }

  /**
   * Returns the frame height.
   *
   * @return the height in pixels (0 after a {@link #reinit} that ran out of memory)
   * @throws IllegalStateException if the decoder is closed
   */
  public int height() {
    return state.apply(this, d -> height);
  }

  /**
   * Stops the worker threads and frees the native memory. Waits for a call running on another
   * thread to finish. Closing again does nothing; any other call afterwards throws
   * {@code IllegalStateException}.
   */
  @Override
  public void close() {
    state.applyOr(this, () -> null, d -> {
      state.handle = 0;
      cleanable.clean();
      return null;
    });
  }

  /** Native decoders not yet freed, by {@link #close} or by the cleaner. */
  static int liveHandles() {
    return LIVE.get();
  }

  private static int checkThreads(int threads) {
    if (threads < 1 || threads > MAX_THREADS) {
      throw new IllegalArgumentException("threads " + threads + " outside 1.." + MAX_THREADS);
    }
    return threads;
  }

  private static void checkSize(int width, int height) {
    if (!sizeSupported(width, height)) {
      throw new IllegalArgumentException("unsupported frame size " + width + "x" + height);
    }
  }

  private static void checkLength(String what, int length, int expected) {
    if (length != expected) throw new IllegalArgumentException(what + " " + length + ", needs " + expected);
  }

  private static void checkDirect(String what, ByteBuffer buffer) {
    if (!buffer.isDirect()) throw new IllegalArgumentException(what + " is not a direct buffer");
  }

  // The cleaning action holds the handle only: holding the decoder would keep it reachable.
  private static final class Release implements Runnable {
    private final long handle;

    Release(long handle) {
      this.handle = handle;
    }

    @Override
    public void run() {
      close(handle);
      LIVE.decrementAndGet();
    }
  }

  // The natives throw the exceptions documented above, with messages that name the public method.

  private static native long open(int width, int height, int threads);

  private static native void close(long handle);

  private static native void reinit(long handle, int width, int height);

  // Bytes of a frame payload at the decoder's size.
  private static native int payloadLength(long handle);

  // Whether the library decodes frames of this size.
  private static native boolean sizeSupported(int width, int height);

  private static native void setTable(long handle, float[] table);

  // output is null unless convert is set.
  private static native void decode(long handle, byte[] payload, byte[] output, boolean convert);

  // The buffers' bytes from position to position + length; output is null unless convert is set.
  private static native void decodeDirect(long handle, ByteBuffer payload, int payloadPosition, int payloadLength,
      ByteBuffer output, int outputPosition, int outputLength, boolean convert);

  private static native void decodeArgb(long handle, byte[] payload, int[] argb);

  // The top-left width x height pixels of the frame.
  private static native void decodeRegion(long handle, byte[] payload, byte[] rgb, int width, int height);

  private static native void decodeRegionArgb(long handle, byte[] payload, int[] argb, int width, int height);
}
