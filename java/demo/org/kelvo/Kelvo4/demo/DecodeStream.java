package org.kelvo.Kelvo4.demo;

import java.awt.image.BufferedImage;
import java.awt.image.DataBufferInt;
import java.io.DataInputStream;
import java.io.IOException;
import java.io.InputStream;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.stream.Collectors;
import java.util.stream.Stream;
import javax.imageio.ImageIO;
import org.kelvo.Kelvo4.Decoder.KelvoStreamDecoder;

/**
 * Decodes a stream file written by {@code kelvo-encode} through {@link KelvoStreamDecoder}, writes
 * every frame as a PNG (the three output bytes of a pixel read as red, green, blue) and a contact
 * sheet, and reports the PSNR against the source frames and the decode speed.
 *
 * <p>Usage: {@code java -jar Kelvo4-demo.jar [--threads N] [--source CLIP] [--sheet PNG] STREAM
 * FOLDER}. N threads decode each frame (default 1). CLIP is the folder of PNG pictures or the raw
 * rgb24 file the stream was coded from; without it no PSNR is printed. The contact sheet goes to
 * {@code contact_sheet.png} beside FOLDER by default.
 */
public final class DecodeStream {
  /** Bytes before the first frame: magic, version, width, height, 64 float32 factors. */
  static final int HEADER_BYTES = 272;
  /** Every this many frames one tile on the contact sheet. */
  static final int SHEET_STEP = 5;
  static final int SHEET_COLUMNS = 4;

  /** A parsed stream file. */
  static final class Clip {
    int width, height;
    final float[] table = new float[64];
    final List<byte[]> payloads = new ArrayList<>();
  }

  public static void main(String[] args) throws IOException {
    Path source = null, sheet = null;
    int threads = 1;
    List<String> names = new ArrayList<>();
    for (int i = 0; i < args.length; i++) {
      if (args[i].equals("--source") && i + 1 < args.length) source = Paths.get(args[++i]);
      else if (args[i].equals("--sheet") && i + 1 < args.length) sheet = Paths.get(args[++i]);
      else if (args[i].equals("--threads") && i + 1 < args.length) threads = threadCount(args[++i]);
      else if (args[i].startsWith("-")) usage("unknown option " + args[i]);
      else names.add(args[i]);
    }
    if (names.size() != 2) usage("need a stream and an output folder");
    Path folder = Paths.get(names.get(1));
    if (sheet == null) sheet = folder.resolveSibling("contact_sheet.png");

    Clip clip;
    List<byte[]> originals = null;
    try {
      clip = readStream(Paths.get(names.get(0)));
      if (source != null) originals = readSource(source, clip.width, clip.height, clip.payloads.size());
    } catch (IOException e) {
      System.err.println("Kelvo4-demo: " + e.getMessage());
      System.exit(1);
      return;
    }
    int count = clip.payloads.size(), w = clip.width, h = clip.height;
    Files.createDirectories(folder);
    ImageIO.setUseCache(false); // write straight to the files, without a temporary cache file

    // The first pass warms up the JIT and the JNI path; the second is timed and must decode the
    // same pictures, since the decoder restarts from the same initial frame. It decodes straight
    // into the pixels of the pictures written out.
    int[][] warm = new int[count][w * h];
    long start, decodeNanos;
    BufferedImage[] images = new BufferedImage[count];
    int[][] frames = new int[count][];
    try (KelvoStreamDecoder decoder = new KelvoStreamDecoder(w, h, threads)) {
      decodeAll(decoder, clip, warm);
      start = System.nanoTime();
      for (int f = 0; f < count; f++) {
        images[f] = new BufferedImage(w, h, BufferedImage.TYPE_INT_RGB);
        frames[f] = ((DataBufferInt) images[f].getRaster().getDataBuffer()).getData();
      }
      decodeNanos = decodeAll(decoder, clip, frames);
    }
    for (int f = 0; f < count; f++) {
      if (!Arrays.equals(frames[f], warm[f])) throw new IllegalStateException("frame " + f + " decoded differently twice");
    }

    System.out.printf("%s: %d frames of %dx%d%n", names.get(0), count, w, h);
    double sum = 0, min = Double.POSITIVE_INFINITY;
    for (int f = 0; f < count; f++) {
      ImageIO.write(images[f], "png", folder.resolve(String.format("frame_%06d.png", f)).toFile());
      if (originals != null) {
        double p = psnr(originals.get(f), frames[f]);
        System.out.printf("frame %3d: PSNR %.2f dB%n", f, p);
        sum += p;
        min = Math.min(min, p);
      }
    }
    ImageIO.write(contactSheet(frames, w, h), "png", sheet.toFile());
    long totalNanos = System.nanoTime() - start;

    if (originals != null) {
      System.out.printf("mean PSNR %.2f dB (RGB, min %.2f dB) against %s%n", sum / count, min, source);
    }
    System.out.printf("decode: %d frames in %.1f ms, %.0f frames/s (decodeFrame calls only, after a warm-up pass)%n",
        count, decodeNanos / 1e6, count / (decodeNanos / 1e9));
    System.out.printf("total: %.1f ms, %.0f frames/s (decode, PSNR, PNG writing)%n",
        totalNanos / 1e6, count / (totalNanos / 1e9));
    System.out.printf("wrote %s/frame_000000.png ... frame_%06d.png and %s%n", folder, count - 1, sheet);
  }

  static void usage(String problem) {
    System.err.println("Kelvo4-demo: " + problem);
    System.err.println("usage: java -jar Kelvo4-demo.jar [--threads N] [--source CLIP] [--sheet PNG] STREAM FOLDER");
    System.exit(2);
  }

  static int threadCount(String text) {
    int n;
    try {
      n = Integer.parseInt(text);
    } catch (NumberFormatException e) {
      n = 0;
    }
    if (n < 1 || n > KelvoStreamDecoder.MAX_THREADS) {
      usage("--threads needs a whole number from 1 to " + KelvoStreamDecoder.MAX_THREADS + ", not '" + text + "'");
    }
    return n;
  }

  /**
   * Restarts the decoder with the stream's size and table and decodes every frame into
   * {@code out}, which holds the packed 0xFFRRGGBB pixels of one picture per frame.
   *
   * @return the nanoseconds spent inside {@code decodeFrame}
   */
  static long decodeAll(KelvoStreamDecoder decoder, Clip clip, int[][] out) {
    decoder.reinit(clip.width, clip.height);
    decoder.setQuantizationTable(clip.table);
    long nanos = 0;
    for (int f = 0; f < out.length; f++) {
      long t = System.nanoTime();
      decoder.decodeFrame(clip.payloads.get(f), out[f]);
      nanos += System.nanoTime() - t;
    }
    return nanos;
  }

  /**
   * Reads a stream file: "KLV4", version 1, width, height, 64 float32 factors, then whole frame
   * payloads of {@code n + n / 2} bytes ({@code n = width * height}), all little-endian.
   *
   * @throws IOException for an unreadable or malformed file, naming the byte offset
   */
  static Clip readStream(Path path) throws IOException {
    byte[] data = Files.readAllBytes(path);
    ByteBuffer in = ByteBuffer.wrap(data).order(ByteOrder.LITTLE_ENDIAN);
    if (data.length < HEADER_BYTES) throw malformed(path, data.length, "truncated header");
    if (data[0] != 'K' || data[1] != 'L' || data[2] != 'V' || data[3] != '4') throw malformed(path, 0, "bad magic");
    if (in.getInt(4) != 1) throw malformed(path, 4, "unknown version " + in.getInt(4));
    Clip clip = new Clip();
    clip.width = in.getInt(8);
    clip.height = in.getInt(12);
    if (clip.width < 1 || clip.height < 1 || clip.width > 32768 || clip.height > 32768
        || 3L * clip.width * clip.height >= 1L << 31) {
      throw malformed(path, 8, "impossible size " + clip.width + "x" + clip.height);
    }
    for (int i = 0; i < 64; i++) {
      clip.table[i] = in.getFloat(16 + 4 * i);
      if (!Float.isFinite(clip.table[i])) throw malformed(path, 16 + 4 * i, "non-finite factor");
    }
    int n = clip.width * clip.height, size = n + n / 2;
    for (int at = HEADER_BYTES; at < data.length; at += size) {
      if (data.length - at < size) throw malformed(path, at, "short frame " + clip.payloads.size());
      clip.payloads.add(Arrays.copyOfRange(data, at, at + size));
    }
    if (clip.payloads.isEmpty()) throw malformed(path, HEADER_BYTES, "no frames");
    return clip;
  }

  static IOException malformed(Path path, long offset, String what) {
    return new IOException(path + ": at byte " + offset + ": " + what);
  }

  /**
   * Reads the first {@code count} source frames as rgb24: from a folder of PNG pictures in name
   * order, or from a file of raw rgb24 frames.
   */
  static List<byte[]> readSource(Path source, int w, int h, int count) throws IOException {
    List<byte[]> frames = new ArrayList<>();
    if (Files.isDirectory(source)) {
      List<Path> pictures;
      try (Stream<Path> list = Files.list(source)) {
        pictures = list.filter(p -> p.toString().endsWith(".png")).sorted().limit(count).collect(Collectors.toList());
      }
      for (Path p : pictures) {
        BufferedImage image = ImageIO.read(p.toFile());
        if (image == null || image.getWidth() != w || image.getHeight() != h) {
          throw new IOException(p + ": not a " + w + "x" + h + " picture");
        }
        frames.add(toRgb(image));
      }
    } else {
      try (InputStream file = Files.newInputStream(source)) {
        DataInputStream in = new DataInputStream(file);
        for (int f = 0; f < count && file.available() > 0; f++) {
          byte[] rgb = new byte[3 * w * h];
          in.readFully(rgb);
          frames.add(rgb);
        }
      }
    }
    if (frames.size() < count) {
      throw new IOException(source + ": " + frames.size() + " source frames for " + count + " coded frames");
    }
    return frames;
  }

  /** RGB PSNR over all bytes of an rgb24 picture and a packed one; 99 dB for identical ones. */
  static double psnr(byte[] rgb, int[] pixels) {
    double sse = 0;
    for (int i = 0; i < rgb.length; i++) {
      double d = (rgb[i] & 0xFF) - channel(pixels[i / 3], i % 3);
      sse += d * d;
    }
    return sse == 0 ? 99.0 : 10 * Math.log10(255.0 * 255.0 * rgb.length / sse);
  }

  /** Red (0), green (1) or blue (2) of a packed pixel. */
  static int channel(int pixel, int k) {
    return pixel >> (16 - 8 * k) & 0xFF;
  }

  static byte[] toRgb(BufferedImage image) {
    int[] pixels = image.getRGB(0, 0, image.getWidth(), image.getHeight(), null, 0, image.getWidth());
    byte[] rgb = new byte[3 * pixels.length];
    for (int i = 0; i < pixels.length; i++) {
      rgb[3 * i] = (byte) (pixels[i] >> 16);
      rgb[3 * i + 1] = (byte) (pixels[i] >> 8);
      rgb[3 * i + 2] = (byte) pixels[i];
    }
    return rgb;
  }

  /** Every {@link #SHEET_STEP}th frame at half size in a grid, each labelled with its number. */
  static BufferedImage contactSheet(int[][] frames, int w, int h) {
    int tw = Math.max(1, w / 2), th = Math.max(1, h / 2), gap = 4;
    int tiles = (frames.length + SHEET_STEP - 1) / SHEET_STEP;
    int columns = Math.min(SHEET_COLUMNS, tiles), rows = (tiles + columns - 1) / columns;
    BufferedImage sheet = new BufferedImage(gap + columns * (tw + gap), gap + rows * (th + gap), BufferedImage.TYPE_INT_RGB);
    for (int t = 0; t < tiles; t++) {
      int[] pixels = frames[t * SHEET_STEP];
      int x0 = gap + t % columns * (tw + gap), y0 = gap + t / columns * (th + gap);
      for (int y = 0; y < th; y++) {
        for (int x = 0; x < tw; x++) {
          int pixel = 0;
          for (int k = 0; k < 3; k++) {
            // Mean of the 2x2 source pixels (a lone pixel when the size is 1).
            int sum = 0;
            for (int d = 0; d < 4; d++) {
              int sx = Math.min(2 * x + d % 2, w - 1), sy = Math.min(2 * y + d / 2, h - 1);
              sum += channel(pixels[sy * w + sx], k);
            }
            pixel = pixel << 8 | (sum + 2) / 4;
          }
          sheet.setRGB(x0 + x, y0 + y, pixel);
        }
      }
      label(sheet, x0 + 2, y0 + 2, Integer.toString(t * SHEET_STEP));
    }
    return sheet;
  }

  // Digits 0-9 as 3x5 bitmaps, rows from the top. Drawn by hand so that no font is needed.
  static final String[] DIGITS = {
    "111101101101111", "010110010010111", "111001111100111", "111001111001111", "101101111001001",
    "111100111001111", "111100111101111", "111001001001001", "111101111101111", "111101111001111"
  };

  /** Writes {@code text} (digits only) in white at twice the bitmap size on a black box. */
  static void label(BufferedImage image, int x0, int y0, String text) {
    int scale = 2, advance = 4 * scale;
    for (int y = 0; y < 7 * scale && y0 + y < image.getHeight(); y++) {
      for (int x = 0; x < text.length() * advance + scale && x0 + x < image.getWidth(); x++) {
        image.setRGB(x0 + x, y0 + y, 0);
      }
    }
    for (int c = 0; c < text.length(); c++) {
      String bits = DIGITS[text.charAt(c) - '0'];
      for (int i = 0; i < 15; i++) {
        if (bits.charAt(i) != '1') continue;
        for (int d = 0; d < scale * scale; d++) {
          int x = x0 + scale + c * advance + i % 3 * scale + d % scale;
          int y = y0 + scale + i / 3 * scale + d / scale;
          if (x < image.getWidth() && y < image.getHeight()) image.setRGB(x, y, 0xFFFFFF);
        }
      }
    }
  }
}
