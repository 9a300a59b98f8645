package org.kelvo.Kelvo4.Decoder;

import static org.kelvo.Kelvo4.Decoder.KelvoStreamDecoder.checkThreads;

import java.awt.image.BufferedImage;
import java.awt.image.DataBuffer;
import java.awt.image.DataBufferInt;
import java.awt.image.SampleModel;
import java.awt.image.SinglePixelPackedSampleModel;
import java.awt.image.WritableRaster;
import java.io.BufferedInputStream;
import java.io.EOFException;
import java.io.IOException;
import java.io.InputStream;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.channels.FileChannel;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.util.Arrays;
import java.util.Objects;

/**
 * Plays a stream file as {@code kelvo-encode} writes it, version 1 or 2: reads each frame's
 * record, table and payload (decompressing it where it is stored compressed), decodes it through
 * a {@link KelvoStreamDecoder} of its own at the coded size and crops the picture to the picture
 * size, as packed pixels, rgb24 bytes or a {@code BufferedImage}.
 *
 * <p><b>Sources.</b> A file ({@link Path}) can be read in any order: {@link #seek} goes to the
 * nearest key frame at or before the frame asked for. An {@link InputStream} is read in order
 * only; {@link #seek} then only moves forward.
 *
 * <p><b>Checks.</b> Every size, count and offset the stream states is checked against the bytes
 * there are (in a file), or against what the frame can need (in a stream, whose bytes are read
 * in steps until they are there), before anything is allocated for it: a lying header or record
 * cannot make the reader allocate more than the file holds. The decoder and the frame buffers
 * are made at the first frame read. A malformed or truncated stream throws {@link IOException}
 * whose message names the file (or "stream"), the frame and the byte offset where the fault is.
 * After such an error a file reader may {@link #seek} elsewhere; a stream reader can only be
 * closed.
 *
 * <p><b>Threads.</b> A reader is used by one thread at a time. Readers share nothing, so several
 * play several streams at once.
 */
public final class KelvoStreamReader implements AutoCloseable {
  static {
    NativeLibrary.load();
  }

  private static final int V1_HEADER = 272, V2_HEADER = 48, RECORD = 8, TABLE_BYTES = 256, ENTRY = 12;
  private static final int KEY = 1, TABLE = 2, COMPRESSED = 4;
  // The least one record can take: its header and one stored byte.
  private static final int MIN_RECORD = RECORD + 1;
  private static final int MAX_SIDE = 32768;
  private static final long UNKNOWN_COUNT = 0xFFFFFFFFL;
  // The most zstd expands a frame's bytes: a block of 128 KiB in a few bytes.
  private static final long MAX_EXPANSION = 32768;
  // Stream bytes are read in steps of at most this while the frame buffers are not yet made.
  private static final int STEP = 1 << 20;

  private final String name; // for messages
  private final FileChannel channel; // null for a stream
  private final InputStream in; // null for a file
  private final int threads;
  private final ByteBuffer scratch = ByteBuffer.allocate(TABLE_BYTES).order(ByteOrder.LITTLE_ENDIAN);
  private long fileSize = -1;

  private int version, width, height, codedWidth, codedHeight, payloadBytes;
  private double frameRate;
  private int count = -1;
  private long framesEnd = -1; // where the frames end (the index), -1 when not known
  private boolean hasIndex;

  private int position;
  private long offset; // of the record of frame `position`
  private boolean failed; // a stream reader stopped inside a record
  private boolean closed;

  // Key frames and their records, in frame order: from the index, or as the records are seen.
  private int[] keyFrame = new int[8];
  private long[] keyOffset = new long[8];
  private int keyCount;
  // Records of frames before scanFrame have been seen; scanOffset is the next one's (version 2).
  private int scanFrame;
  private long scanOffset;
  private int recordFlags, recordSize; // of the record readRecord read last

  private final float[] v1Table = new float[64];
  private final float[] table = new float[64];
  private boolean tablePending;
  private KelvoStreamDecoder decoder;
  private byte[] payload, stored;

  /**
   * Opens a stream file with a decoder that runs on the calling thread.
   *
   * @param file the stream file
   * @throws IOException if the file cannot be read or its header or index is malformed
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
   * @throws IOException if the file cannot be read or its header or index is malformed
   * @throws IllegalArgumentException if {@code threads} is out of range
   */
  public KelvoStreamReader(Path file, int threads) throws IOException {
    this(checkThreads(threads), file.toString(), FileChannel.open(file, StandardOpenOption.READ), null);
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
   * it on {@link #close}; when this constructor throws, the stream is left to the caller.
   *
   * @param in the stream's bytes from its first on
   * @param threads threads decoding each frame, 1 to {@link KelvoStreamDecoder#MAX_THREADS}
   * @throws IOException if it cannot be read or the header is malformed
   * @throws IllegalArgumentException if {@code threads} is out of range
   */
  public KelvoStreamReader(InputStream in, int threads) throws IOException {
    this(checkThreads(threads), "stream", null, new BufferedInputStream(Objects.requireNonNull(in, "in")));
  }

  private KelvoStreamReader(int threads, String name, FileChannel channel, InputStream in) throws IOException {
    this.threads = threads;
    this.name = name;
    this.channel = channel;
    this.in = in;
    try {
      if (channel != null) fileSize = channel.size();
      readHeader();
    } catch (IOException | RuntimeException | Error e) {
      if (channel != null) channel.close();
      throw e;
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
   * @return the picture width, rounded up to 16 in version 2
   */
  public int codedWidth() {
    return codedWidth;
  }

  /**
   * Returns the height the frames are coded at.
   *
   * @return the picture height, rounded up to 16 in version 2
   */
  public int codedHeight() {
    return codedHeight;
  }

  /**
   * Returns the stream format version.
   *
   * @return 1 or 2
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
   * Returns the number of frames. Always known for a file.
   *
   * @return the count, or -1 when it is not known (a stream written to a pipe and read from an
   *     {@code InputStream})
   */
  public int frameCount() {
    return count;
  }

  /**
   * Returns where the reader is.
   *
   * @return the number of the frame the next {@code next} call decodes
   */
  public int position() {
    return position;
  }

  /**
   * Returns the numbers of the key frames, ascending: every one for a file, those read so far for
   * an {@code InputStream}. {@link #seek} starts decoding at one of them.
   *
   * @return a new array of the key frame numbers
   */
  public int[] keyFrames() {
    return Arrays.copyOf(keyFrame, keyCount);
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
    return advance(argb);
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
    return advance(rgb);
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
    return advance(pixels(Objects.requireNonNull(image, "image")));
  }

  /**
   * Decodes the next frame into a new {@code TYPE_INT_RGB} picture.
   *
   * @return the picture, or null at the end of the stream
   * @throws IOException if the frame cannot be read or is malformed
   * @throws IllegalStateException if the reader is closed
   */
  public BufferedImage nextImage() throws IOException {
    ensureOpen();
    if (count >= 0 && position >= count) return null;
    BufferedImage image = new BufferedImage(width, height, BufferedImage.TYPE_INT_RGB);
    return next(image) ? image : null;
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
    ensureOpen();
    if (frame < 0 || count >= 0 && frame > count) {
      throw new IllegalArgumentException("frame " + frame + " outside 0.." + count);
    }
    if (channel == null) {
      if (frame < position) {
        throw new UnsupportedOperationException(name + ": cannot seek back from frame " + position + " to " + frame);
      }
      while (position < frame) {
        if (!advance(null)) {
          throw new EOFException(name + ": seek to frame " + frame + ": the stream has " + position + " frames");
        }
      }
      return;
    }
    int i = Math.max(0, floor(keyFrame, keyCount, frame)), k = keyFrame[i];
    if (frame < position || k > position) {
      long at = keyOffset[i];
      // A key frame brings its table (version 2) or has the header's.
      if (version == 1) {
        System.arraycopy(v1Table, 0, table, 0, 64);
        tablePending = true;
      } else if (!readRecord(k, at) || (recordFlags & KEY) == 0) {
        throw fail(k, at, "the index names no key frame here");
      }
      position = k;
      offset = at;
    }
    while (position < frame) {
      if (!advance(null)) throw fail(position, offset, "the frames end before frame " + frame);
    }
  }

  /** Frees the decoder and closes the file or stream. Closing again does nothing. */
  @Override
  public void close() throws IOException {
    if (closed) return;
    closed = true;
    if (decoder != null) decoder.close();
    payload = stored = null;
    if (channel != null) channel.close();
    else in.close();
  }

  private void ensureOpen() {
    if (closed) throw new IllegalStateException("reader closed");
  }

  private void checkLength(int length, int perPixel) {
    ensureOpen();
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
    int[] argb = ((DataBufferInt) buffer).getData();
    checkLength(argb.length, 1);
    return argb;
  }

  private IOException fail(int frame, long at, String what) {
    return new IOException(name + ": " + (frame >= 0 ? "frame " + frame + " " : "") + "at byte " + at + ": " + what);
  }

  private void readHeader() throws IOException {
    ByteBuffer b = read(-1, 0, 16, "header");
    if (b.getInt(0) != 0x34564C4B) throw fail(-1, 0, "not a stream file (bad magic)");
    version = b.getInt(4);
    if (version != 1 && version != 2) throw fail(-1, 4, "unknown version " + Integer.toUnsignedString(version));
    width = b.getInt(8);
    height = b.getInt(12);
    if (width < 1 || height < 1 || width > MAX_SIDE || height > MAX_SIDE) {
      throw fail(-1, 8, "impossible size " + Integer.toUnsignedString(width) + "x" + Integer.toUnsignedString(height));
    }
    if (version == 1) {
      codedWidth = width;
      codedHeight = height;
      readV1();
    } else {
      readV2();
    }
  }

  private void checkCodedSize(long at) throws IOException {
    if (3L * codedWidth * codedHeight >= 1L << 31) {
      throw fail(-1, at, "impossible size " + codedWidth + "x" + codedHeight);
    }
    int n = codedWidth * codedHeight;
    payloadBytes = n + n / 2;
  }

  private void readV1() throws IOException {
    checkCodedSize(8);
    readFactors(-1, 16, v1Table);
    System.arraycopy(v1Table, 0, table, 0, 64);
    tablePending = true;
    addKey(0, V1_HEADER);
    offset = V1_HEADER;
    if (channel != null) {
      long bytes = fileSize - V1_HEADER, frames = bytes / payloadBytes;
      if (frames > Integer.MAX_VALUE - 1) throw fail(-1, V1_HEADER, "too many frames");
      if (bytes % payloadBytes != 0) {
        throw fail((int) frames, V1_HEADER + frames * payloadBytes,
            "short frame: " + bytes % payloadBytes + " of " + payloadBytes + " bytes");
      }
      count = (int) frames;
    }
  }

  private void readV2() throws IOException {
    ByteBuffer b = read(-1, 16, V2_HEADER - 16, "header");
    codedWidth = b.getInt(0);
    codedHeight = b.getInt(4);
    if (codedWidth != (width + 15) / 16 * 16 || codedHeight != (height + 15) / 16 * 16) {
      throw fail(-1, 16, "coded size " + Integer.toUnsignedString(codedWidth) + "x"
          + Integer.toUnsignedString(codedHeight) + " does not match the picture size " + width + "x" + height);
    }
    checkCodedSize(16);
    long num = Integer.toUnsignedLong(b.getInt(8)), den = Integer.toUnsignedLong(b.getInt(12));
    if ((num == 0) != (den == 0)) throw fail(-1, 24, "impossible frame rate " + num + "/" + den);
    frameRate = den == 0 ? 0 : (double) num / den;
    long frames = Integer.toUnsignedLong(b.getInt(16)), index = b.getLong(20);
    if (frames != UNKNOWN_COUNT) {
      if (frames > Integer.MAX_VALUE - 1) throw fail(-1, 32, "frame count " + frames + " too large");
      count = (int) frames;
    }
    if (index != 0 && (index < V2_HEADER || fileSize >= 0 && index > fileSize - RECORD)) {
      throw fail(-1, 36, "index offset " + Long.toUnsignedString(index) + " outside the "
          + (fileSize >= 0 ? fileSize + " bytes of the file" : "stream"));
    }
    offset = scanOffset = V2_HEADER;
    if (index != 0) framesEnd = index;
    if (channel == null) return;
    if (count >= 0 && (long) count * MIN_RECORD > (index != 0 ? index : fileSize) - V2_HEADER) {
      throw fail(-1, 32, "frame count " + count + " does not fit in the file of " + fileSize + " bytes");
    }
    if (index != 0) readIndex(index, false);
    if (index != 0 && count >= 0) return;
    // Without an index or a count, the record headers tell both.
    scan();
    if (count < 0) count = scanFrame;
    if (framesEnd < 0 && scanOffset != fileSize) {
      ByteBuffer tail = read(count, scanOffset, 4, "index");
      if (tail.getInt(0) != 0x5844494B) throw fail(count, scanOffset, "bytes after the last frame");
      readIndex(scanOffset, true);
    }
    framesEnd = scanOffset;
  }

  // Reads and checks the index at byte at, which ends the file. Its entries become the key
  // frames, or, once every record has been scanned, must equal those the records showed.
  private void readIndex(long at, boolean check) throws IOException {
    ByteBuffer b = read(-1, at, 8, "index");
    if (b.getInt(0) != 0x5844494B) throw fail(-1, at, "no key frame index here (bad magic)");
    long k = Integer.toUnsignedLong(b.getInt(4));
    if (8 + ENTRY * k != fileSize - at || count >= 0 && (k > count || (k == 0) != (count == 0))) {
      throw fail(-1, at + 4, k + " key frames do not fill the " + (fileSize - at) + " bytes of the index");
    }
    if (check && k != keyCount) throw fail(-1, at + 4, k + " key frames, the records show " + keyCount);
    int chunk = TABLE_BYTES / ENTRY;
    for (int i = 0; i < k; i++) {
      long entryAt = at + 8 + (long) ENTRY * i;
      if (i % chunk == 0) b = read(-1, entryAt, (int) Math.min(chunk, k - i) * ENTRY, "index");
      int frame = b.getInt(i % chunk * ENTRY);
      long record = b.getLong(i % chunk * ENTRY + 4);
      boolean bad = check ? frame != keyFrame[i] || record != keyOffset[i]
          : i == 0 ? frame != 0 || record != V2_HEADER
          : frame <= keyFrame[i - 1] || (count >= 0 && frame >= count)
              || record - keyOffset[i - 1] < (long) MIN_RECORD * (frame - keyFrame[i - 1]) || record > at - MIN_RECORD;
      if (bad) {
        throw fail(-1, entryAt, "bad index entry " + i + ": frame " + Integer.toUnsignedString(frame) + " at byte "
            + Long.toUnsignedString(record));
      }
      if (!check) addKey(frame, record);
    }
    hasIndex = true;
  }

  private void addKey(int frame, long at) {
    if (keyCount == keyFrame.length) {
      keyFrame = Arrays.copyOf(keyFrame, 2 * keyCount);
      keyOffset = Arrays.copyOf(keyOffset, 2 * keyCount);
    }
    keyFrame[keyCount] = frame;
    keyOffset[keyCount++] = at;
  }

  // The index of the last of the first n values at or below x; -1 when there is none.
  private static int floor(int[] values, int n, int x) {
    int i = Arrays.binarySearch(values, 0, n, x);
    return i >= 0 ? i : -i - 2;
  }

  // Reads the record headers to the end, noting the key frames.
  private void scan() throws IOException {
    while (readRecord(scanFrame, scanOffset)) noteRecord();
  }

  // Notes the record readRecord just read, that of frame scanFrame at scanOffset.
  private void noteRecord() throws IOException {
    boolean key = (recordFlags & KEY) != 0;
    if (!hasIndex) {
      if (key) addKey(scanFrame, scanOffset);
    } else {
      int i = floor(keyFrame, keyCount, scanFrame);
      if (key != (i >= 0 && keyFrame[i] == scanFrame) || key && keyOffset[i] != scanOffset) {
        throw fail(scanFrame, scanOffset, (key ? "key frame missing from" : "not a key frame, but in") + " the index");
      }
    }
    scanOffset += RECORD + ((recordFlags & TABLE) != 0 ? TABLE_BYTES : 0) + recordSize;
    scanFrame++;
  }

  // Reads the record header of frame f at byte at (version 2) into recordFlags and recordSize,
  // and checks it. Returns false where the frames end.
  private boolean readRecord(int f, long at) throws IOException {
    if (count >= 0 && f >= count) {
      if (framesEnd >= 0 && at != framesEnd) {
        throw fail(f, at, "the header's " + count + " frames end here, not at the index at byte " + framesEnd);
      }
      return false;
    }
    long end = framesEnd >= 0 ? framesEnd : fileSize;
    if (at == end) {
      if (count >= 0) throw fail(f, at, "the frames end here, after " + f + " of " + count);
      return false;
    }
    ByteBuffer b;
    if (channel == null && count < 0) {
      in.mark(RECORD);
      if (in.read() < 0) return false;
      in.reset();
    }
    b = read(f, at, RECORD, "record header");
    if (count < 0 && framesEnd < 0 && b.getInt(0) == 0x5844494B) {
      // The index of a stream written to a pipe, whose header could not say where it is.
      if (channel != null) readIndex(at, true);
      framesEnd = at;
      return false;
    }
    int flags = b.getInt(0), size = b.getInt(4);
    if ((flags & ~(KEY | TABLE | COMPRESSED)) != 0) {
      throw fail(f, at, String.format("bad record flags %08x", Integer.reverseBytes(flags)));
    }
    if (f == 0 && (flags & KEY) == 0) throw fail(f, at, "the first frame is not a key frame");
    if ((flags & (KEY | TABLE)) == KEY) throw fail(f, at, "a key frame without a table");
    // Payloads are compressed only where that makes them smaller.
    boolean compressed = (flags & COMPRESSED) != 0;
    long stored = Integer.toUnsignedLong(size), need = RECORD + ((flags & TABLE) != 0 ? TABLE_BYTES : 0) + stored;
    if (compressed ? stored == 0 || stored >= payloadBytes : stored != payloadBytes) {
      throw fail(f, at, "stored size " + stored + " for a payload of " + payloadBytes + " bytes");
    }
    if (end >= 0 && need > end - at) {
      throw fail(f, at, "stored size " + stored + " runs past the end of the frames at byte " + end);
    }
    if (compressed && payloadBytes > MAX_EXPANSION * stored + (1 << 17)) {
      throw fail(f, at, "corrupt compressed payload: " + stored + " bytes cannot hold " + payloadBytes);
    }
    recordFlags = flags;
    recordSize = size;
    return true;
  }

  private void readTable(int f, long at) throws IOException {
    readFactors(f, at, table);
    tablePending = true;
  }

  private void readFactors(int f, long at, float[] out) throws IOException {
    ByteBuffer b = read(f, at, TABLE_BYTES, "table");
    for (int i = 0; i < 64; i++) {
      float factor = b.getFloat(4 * i);
      if (!Float.isFinite(factor)) throw fail(f, at + 4 * i, "table factor " + i + " is " + factor);
      out[i] = factor;
    }
  }

  // Decodes frame `position` into out (int[] or byte[]), or without conversion for null.
  private boolean advance(Object out) throws IOException {
    ensureOpen();
    if (failed) throw fail(position, offset, "unreadable after the earlier error");
    try {
      return decodeNext(out);
    } catch (IOException | RuntimeException | Error e) {
      failed = channel == null;
      throw e;
    }
  }

  private boolean decodeNext(Object out) throws IOException {
    int f = position;
    long at = offset, dataAt = at;
    boolean key, compressed = false;
    int size = payloadBytes;
    if (version == 1) {
      if (count >= 0 ? f >= count : atEnd()) return false;
      key = f == 0;
    } else {
      if (!readRecord(f, at)) return false;
      if (f == scanFrame && at == scanOffset) noteRecord();
      key = (recordFlags & KEY) != 0;
      compressed = (recordFlags & COMPRESSED) != 0;
      size = recordSize;
      dataAt += RECORD;
      if ((recordFlags & TABLE) != 0) {
        readTable(f, dataAt);
        dataAt += TABLE_BYTES;
      }
    }
    if (compressed) {
      stored = readStored(f, dataAt, size, stored, false);
      unpack(f, dataAt, size);
    } else {
      payload = readStored(f, dataAt, size, payload, true);
    }
    if (decoder == null) decoder = new KelvoStreamDecoder(codedWidth, codedHeight, threads);
    else if (key) decoder.reinit(codedWidth, codedHeight);
    if (tablePending) {
      decoder.setQuantizationTable(table);
      tablePending = false;
    }
    if (out instanceof int[]) decoder.decodeRegion(payload, (int[]) out, width, height);
    else if (out instanceof byte[]) decoder.decodeRegion(payload, (byte[]) out, width, height);
    else decoder.decodeFrame(payload, null, false);
    position = f + 1;
    offset = dataAt + size;
    return true;
  }

  // True at a clean end of a stream: no byte left where a record would start.
  private boolean atEnd() throws IOException {
    if (channel != null) return offset == fileSize;
    in.mark(1);
    if (in.read() < 0) return true;
    in.reset();
    return false;
  }

  // Reads the size stored bytes at byte at into buffer, or into a new array when it is too
  // short (exactly the payload when raw). A stream's bytes are read in growing steps until they
  // are all there, so that a size it lies about allocates no more than the stream holds.
  private byte[] readStored(int f, long at, int size, byte[] buffer, boolean raw) throws IOException {
    if (buffer != null && buffer.length >= size) {
      readFully(f, at, buffer, 0, size, "payload");
      return buffer;
    }
    if (channel != null) {
      // A file holds the bytes: checked against its size.
      int grown = buffer == null ? 0 : (int) Math.min(payloadBytes, buffer.length + buffer.length / 2L);
      buffer = new byte[raw ? size : Math.max(size, grown)];
      readFully(f, at, buffer, 0, size, "payload");
      return buffer;
    }
    byte[] part = new byte[Math.min(size, STEP)];
    int done = 0;
    while (true) {
      readFully(f, at + done, part, done, part.length - done, "payload");
      done = part.length;
      if (done == size) return part;
      part = Arrays.copyOf(part, (int) Math.min(size, 2L * done));
    }
  }

  // Checks and decompresses the size compressed bytes of `stored` into the payload.
  private void unpack(int f, long at, int size) throws IOException {
    int rc = decompress(stored, size, null, payloadBytes);
    if (rc == 0) {
      if (payload == null) payload = new byte[payloadBytes];
      rc = decompress(stored, size, payload, payloadBytes);
    }
    switch (rc) {
      case 0:
        return;
      case -2:
        throw fail(f, at, "compressed payload is not a zstd frame");
      case -3:
        throw fail(f, at, "compressed payload does not hold exactly the " + payloadBytes + " payload bytes");
      case -4:
        throw fail(f, at, "bytes after the compressed payload's zstd frame");
      case -5:
        throw fail(f, at, "corrupt compressed payload");
      default:
        throw new IllegalStateException("decompress: error " + rc);
    }
  }

  // Reads n (at most 256) bytes at byte at into the scratch buffer.
  private ByteBuffer read(int f, long at, int n, String what) throws IOException {
    readFully(f, at, scratch.array(), 0, n, what);
    return scratch.clear();
  }

  // Reads n bytes of `what` at byte at: positioned in a file; the next n bytes of a stream, which
  // is at byte at.
  private void readFully(int f, long at, byte[] to, int from, int n, String what) throws IOException {
    int done = 0;
    while (done < n) {
      int got;
      try {
        got = channel != null ? channel.read(ByteBuffer.wrap(to, from + done, n - done), at + done)
            : in.read(to, from + done, n - done);
      } catch (IOException e) {
        throw fail(f, at + done, "cannot read " + what + ": " + e.getMessage());
      }
      if (got < 0) {
        throw fail(f, at, "truncated " + what + ": " + done + " of " + n + " bytes there");
      }
      done += got;
    }
  }

  // Decompresses the one zstd frame in the first srcLength bytes of src into dst, which must
  // take all of it: exactly dstLength bytes, as the frame header must state. With dst null it
  // only checks that. Returns 0, -1 for bad arguments, -2 for no zstd frame, -3 for a content
  // size that is missing or another, -4 for bytes after the frame, -5 for corrupt data.
  private static native int decompress(byte[] src, int srcLength, byte[] dst, int dstLength);
}
