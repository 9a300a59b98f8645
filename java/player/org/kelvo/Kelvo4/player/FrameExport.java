package org.kelvo.Kelvo4.player;

import java.awt.image.BufferedImage;
import java.awt.image.DataBufferInt;
import java.io.DataInputStream;
import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import java.util.stream.Collectors;
import java.util.stream.Stream;
import javax.imageio.ImageIO;
import org.kelvo.Kelvo4.Decoder.KelvoStreamReader;

/**
 * The player without a window: decodes every frame once to warm up, then again, timed, writing
 * PNG files, the contact sheet and the PSNR of each frame against the source. Only one frame, the
 * current source picture and the sheet's half-size tiles are held, whatever the stream's length.
 */
final class FrameExport {
  /** Every this many frames one tile on the contact sheet. */
  static final int SHEET_STEP = 5;
  static final int SHEET_COLUMNS = 4;

  private FrameExport() {}

  static void run(Path stream, int threads, Path sourcePath, Path folder, Path sheetPath) throws IOException {
    try (KelvoStreamReader reader = new KelvoStreamReader(stream, threads)) {
      int w = reader.width(), h = reader.height(), count = reader.frameCount();
      BufferedImage image = new BufferedImage(w, h, BufferedImage.TYPE_INT_RGB);
      int[] pixels = ((DataBufferInt) image.getRaster().getDataBuffer()).getData();
      // The first pass warms up the JIT and the JNI path; the second, timed, must give the same
      // pictures, since seek(0) restarts from the same key frame.
      long warm = 0;
      while (reader.next(pixels)) warm = warm * 1_000_003 + hash(pixels);
      reader.seek(0);

      if (folder != null) Files.createDirectories(folder);
      ImageIO.setUseCache(false); // write straight to the files, without a temporary cache file
      try (Source source = sourcePath == null ? null : new Source(sourcePath, w, h, count)) {
        BufferedImage sheet = sheetPath == null ? null : newSheet(w, h, count);
        System.out.printf("%s: %d frames of %dx%d (coded %dx%d, version %d)%n", stream, count, w, h,
            reader.codedWidth(), reader.codedHeight(), reader.version());
        long start = System.nanoTime(), decodeNanos = 0, timed = 0;
        double sum = 0, min = Double.POSITIVE_INFINITY;
        for (int f = 0; ; f++) {
          long t = System.nanoTime();
          if (!reader.next(pixels)) break;
          decodeNanos += System.nanoTime() - t;
          timed = timed * 1_000_003 + hash(pixels);
          if (source != null) {
            double p = psnr(source.next(), pixels);
            System.out.printf("frame %3d: PSNR %.2f dB%n", f, p);
            sum += p;
            min = Math.min(min, p);
          }
          if (folder != null) ImageIO.write(image, "png", folder.resolve(String.format("frame_%06d.png", f)).toFile());
          if (sheet != null && f % SHEET_STEP == 0) addTile(sheet, pixels, w, h, f);
        }
        if (timed != warm) throw new IllegalStateException("the frames decoded differently twice");
        if (sheet != null) ImageIO.write(sheet, "png", sheetPath.toFile());
        long totalNanos = System.nanoTime() - start;

        if (source != null && count > 0) {
          System.out.printf("mean PSNR %.2f dB (RGB, min %.2f dB) against %s%n", sum / count, min, sourcePath);
        }
        System.out.printf("decode: %d frames in %.1f ms, %.0f frames/s (reader.next calls only: reading,"
            + " decompressing, decoding; after a warm-up pass)%n", count, decodeNanos / 1e6,
            count / (decodeNanos / 1e9));
        System.out.printf("total: %.1f ms, %.0f frames/s (decode, PSNR, PNG writing)%n", totalNanos / 1e6,
            count / (totalNanos / 1e9));
        if (folder != null) System.out.printf("wrote %s/frame_000000.png ... frame_%06d.png%n", folder, count - 1);
        if (sheet != null) System.out.printf("wrote %s%n", sheetPath);
      }
    }
  }

  static long hash(int[] pixels) {
    long h = 0;
    for (int p : pixels) h = h * 31 + p;
    return h;
  }

  /** The source pictures, one at a time: a folder of PNG pictures in name order, or raw rgb24. */
  static final class Source implements AutoCloseable {
    private final int w, h;
    private final List<Path> pictures; // null for raw frames
    private final DataInputStream raw;
    private final byte[] rgb;
    private final int[] pixels;
    private int next;

    Source(Path path, int w, int h, int count) throws IOException {
      this.w = w;
      this.h = h;
      pixels = new int[w * h];
      int frames;
      if (Files.isDirectory(path)) {
        try (Stream<Path> list = Files.list(path)) {
          pictures = list.filter(p -> p.toString().endsWith(".png")).sorted().collect(Collectors.toList());
        }
        raw = null;
        rgb = null;
        frames = pictures.size();
      } else {
        pictures = null;
        frames = (int) Math.min(Integer.MAX_VALUE, Files.size(path) / (3L * w * h));
        rgb = new byte[3 * w * h];
        raw = new DataInputStream(Files.newInputStream(path));
      }
      if (frames < count) {
        close();
        throw new IOException(path + ": " + frames + " source frames for " + count + " coded frames");
      }
    }

    /** The next picture as packed 0xRRGGBB pixels. */
    int[] next() throws IOException {
      if (pictures != null) {
        Path p = pictures.get(next++);
        BufferedImage image = ImageIO.read(p.toFile());
        if (image == null || image.getWidth() != w || image.getHeight() != h) {
          throw new IOException(p + ": not a " + w + "x" + h + " picture");
        }
        return image.getRGB(0, 0, w, h, pixels, 0, w);
      }
      raw.readFully(rgb);
      for (int i = 0; i < pixels.length; i++) {
        pixels[i] = (rgb[3 * i] & 0xFF) << 16 | (rgb[3 * i + 1] & 0xFF) << 8 | rgb[3 * i + 2] & 0xFF;
      }
      return pixels;
    }

    @Override
    public void close() throws IOException {
      if (raw != null) raw.close();
    }
  }

  /** RGB PSNR over all channels of two packed pictures; 99 dB for identical ones. */
  static double psnr(int[] a, int[] b) {
    double sse = 0;
    for (int i = 0; i < a.length; i++) {
      for (int k = 0; k < 3; k++) {
        double d = channel(a[i], k) - channel(b[i], k);
        sse += d * d;
      }
    }
    return sse == 0 ? 99.0 : 10 * Math.log10(255.0 * 255.0 * 3 * a.length / sse);
  }

  /** Red (0), green (1) or blue (2) of a packed pixel. */
  static int channel(int pixel, int k) {
    return pixel >> (16 - 8 * k) & 0xFF;
  }

  static final int GAP = 4;

  /** A sheet with room for a half-size tile of every {@link #SHEET_STEP}th of count frames. */
  static BufferedImage newSheet(int w, int h, int count) {
    int tiles = Math.max(1, (count + SHEET_STEP - 1) / SHEET_STEP);
    int columns = Math.min(SHEET_COLUMNS, tiles), rows = (tiles + columns - 1) / columns;
    return new BufferedImage(GAP + columns * (Math.max(1, w / 2) + GAP), GAP + rows * (Math.max(1, h / 2) + GAP),
        BufferedImage.TYPE_INT_RGB);
  }

  /** Draws frame f at half size (means of 2x2 pixels) into its place, labelled with its number. */
  static void addTile(BufferedImage sheet, int[] pixels, int w, int h, int f) {
    int tw = Math.max(1, w / 2), th = Math.max(1, h / 2), t = f / SHEET_STEP;
    int columns = (sheet.getWidth() - GAP) / (tw + GAP);
    int x0 = GAP + t % columns * (tw + GAP), y0 = GAP + t / columns * (th + GAP);
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
    label(sheet, x0 + 2, y0 + 2, Integer.toString(f));
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
