package org.kelvo.Kelvo4.Decoder;

/**
 * Java face of the native video decoder {@code libKelvo4.so}.
 *
 * <p><b>One process-wide decoder.</b> The native library holds exactly one decoder state per
 * process. Every {@code KelvoDecoder} object is a handle to that same state: sizing, the
 * quantisation table and the frame history are shared by all of them. Calls from several threads
 * are serialised by a lock in the library, so they cannot corrupt the state, but frames from two
 * streams interleaved on one decoder predict from each other. To decode several streams, give
 * each its own {@link KelvoStreamDecoder}.
 *
 * <p><b>Use.</b> Call {@link #reinitDLL} with the frame size, {@link #setQuantizationTable} with
 * 64 factors, then {@link #decodeFrame} once per frame, in stream order. Each frame is predicted
 * from the previous decoded frame (the first one after {@code reinitDLL} from the initial frame,
 * which converts to the bytes 0, 0, 255 at every pixel) and the payload's residual is added on
 * top.
 *
 * <p><b>Payload</b> of a {@code width} x {@code height} frame, with {@code n = width * height}:
 * exactly {@code n + n / 2} bytes, all 8x8 blocks of 64 signed coefficients in zigzag order.
 * First the luma (c0) blocks, row by row of 8x8 pixel blocks; then, for each 16x16 macroblock in
 * the same order, one c1 and one c2 block at half resolution (each of their samples covers 2x2
 * pixels). Trailing bytes without a whole block are required but not read.
 *
 * <p><b>Output</b> picture: exactly {@code 3 * n} bytes, row by row from the top, three bytes per
 * pixel, no padding and no header. Each byte is an unsigned value 0..255; Java shows the values
 * 128..255 as negative, so read them with {@code b & 0xFF}.
 *
 * <p><b>Ignored calls.</b> A table that is not 64 long, a payload or output of another length, or
 * a {@code null} array where one is needed makes the call return silently without any effect:
 * nothing is decoded and the next frame still predicts from the last decoded one. Only
 * {@link #reinitDLL} throws.
 *
 * <p>The class loads {@code libKelvo4.so}: the file named by the system property
 * {@code kelvo4.library} when it is set, else the copy for its system packed in its jar, else the
 * first one on {@code java.library.path}. A file without the natives of every class of this
 * package (an older {@code libKelvo4.so}) is refused with an {@link UnsatisfiedLinkError} naming
 * those it lacks. This class and the loader run on Java 8.
 */
public class KelvoDecoder {
  /** Creates a handle to the process-wide decoder; it allocates nothing. */
  public KelvoDecoder() {
    NativeLibrary.load();
  }

  /**
   * Sizes the decoder and restarts the frame sequence: the history is dropped and the next frame
   * is predicted from the initial frame. The quantisation table is kept. Also valid with an
   * unchanged size, to restart a stream.
   *
   * @param width frame width in pixels, 0 or more
   * @param height frame height in pixels, 0 or more
   * @throws IllegalArgumentException if a size is negative or {@code 3 * width * height} is 2^31
   *     or more; the decoder is left as it was
   * @throws OutOfMemoryError if the frame buffers cannot be allocated; the decoder is then sized
   *     0 x 0 and accepts only empty payloads until the next successful {@code reinitDLL}
   */
  public native void reinitDLL(int width, int height);

  /**
   * Loads the 64 dequantisation factors, in natural row-major order of the 8x8 coefficient block
   * (not in zigzag order). Each value is truncated toward zero to a 16-bit integer; values out of
   * that range, infinities and NaN become -32768. The table applies to every block decoded
   * afterwards and survives {@link #reinitDLL}. Set it before the first frame.
   *
   * @param table 64 factors; any other length or {@code null} is ignored
   */
  public native void setQuantizationTable(float[] table);

  /**
   * Decodes the next frame and, when {@code convert} is set, writes it to {@code output}.
   *
   * @param payload the frame's {@code n + n / 2} coefficient bytes ({@code n = width * height});
   *     any other length or {@code null} makes the call do nothing
   * @param output receives {@code 3 * n} bytes when converting; when converting, any other length
   *     or {@code null} makes the call do nothing. Not looked at, and may be {@code null}, when
   *     {@code convert} is false
   * @param convert whether to write the decoded frame to {@code output}; the frame is decoded
   *     and becomes the reference for the next one either way
   */
  public native void decodeFrame(byte[] payload, byte[] output, boolean convert);
}
