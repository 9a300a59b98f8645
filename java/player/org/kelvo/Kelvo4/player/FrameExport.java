package org.kelvo.Kelvo4.player;

import java.awt.Graphics2D;
import java.awt.image.BufferedImage;
import java.awt.image.DataBufferInt;
import java.io.DataInputStream;
import java.io.EOFException;
import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.stream.Collectors;
import java.util.stream.Stream;
import javax.imageio.ImageIO;
import org.kelvo.Kelvo4.Decoder.KelvoStreamReader;

/**
 * The player without a window: decodes every frame once to warm up, then again, timed, writing
 * PNG files, the contact sheet and the PSNR of each frame against the source. Only one frame, the
 * current source picture and the sheet's half-size tiles are held, whatever the stream's length.
 * A stream that cannot seek back (standard input, a pipe) is decoded once, without the warm-up
 * pass. Every file goes through {@link OutputFiles}, put in place only once all are written. A
 * damaged frame ends the run after the frames before it and the sheet of them have been put in
 * place: the reader's exception comes out once the summary has been printed. A stream damaged
 * before its first frame, and any other failure, leave the files as they were before the run.
 */
final class FrameExport {
  /** Every this many frames one tile on the contact sheet. */
  static final int SHEET_STEP = 5;
  static final int SHEET_COLUMNS = 4;

  private FrameExport() {}

  static void run(KelvoStreamReader reader, String name, boolean seekable, Path sourcePath, Path folder,
      Path sheetPath, OutputFiles out) throws IOException {
    // Refused before any work: an output that is an input or not a regular file.
    if (sheetPath != null) out.check(sheetPath, "a contact sheet");
    if (folder != null) out.folder(folder);
    int w = reader.width(), h = reader.height(), count = reader.frameCount();
    BufferedImage image = new BufferedImage(w, h, BufferedImage.TYPE_INT_RGB);
    int[] pixels = ((DataBufferInt) image.getRaster().getDataBuffer()).getData();
    // The first pass warms up the JIT and the JNI path; the second, timed, must give the same
    // pictures, since seek(0) restarts from the same key frame. Both stop at a damaged frame.
    long warm = 0;
    if (seekable) {
      try {
        while (reader.next(pixels)) warm = warm * 1_000_003 + hash(pixels);
      } catch (IOException e) {
        // met again, and reported, in the timed pass
      }
      reader.seek(0);
    }

    ImageIO.setUseCache(false); // write straight to the files, without a temporary cache file
    IOException damage = null;
    try (Source source = sourcePath == null ? null : new Source(sourcePath, w, h, count)) {
      List<BufferedImage> tiles = new ArrayList<>();
      System.out.printf("%s: %s of %dx%d (coded %dx%d, version %d)%n", name,
          count >= 0 ? count + (count == 1 ? " frame" : " frames") : "an unknown number of frames", w, h, reader.codedWidth(),
          reader.codedHeight(), reader.version());
      long start = System.nanoTime(), decodeNanos = 0, timed = 0;
      double sum = 0, min = Double.POSITIVE_INFINITY;
      int f = 0; // frames decoded
      for (; ; f++) {
        long t = System.nanoTime();
        try {
          if (!reader.next(pixels)) break;
        } catch (IOException e) {
          damage = e;
          break;
        }
        decodeNanos += System.nanoTime() - t;
        timed = timed * 1_000_003 + hash(pixels);
        if (source != null) {
          double p = psnr(source.next(), pixels);
          System.out.printf("frame %3d: PSNR %.2f dB%n", f, p);
          sum += p;
          min = Math.min(min, p);
        }
        if (folder != null) out.write(folder.resolve(String.format("frame_%06d.png", f)), png(image));
        if (sheetPath != null && f % SHEET_STEP == 0) tiles.add(tile(pixels, w, h, f));
      }
      if (seekable && timed != warm) throw new IllegalStateException("the frames decoded differently twice");
      // Damaged before its first frame: nothing intact to keep, so nothing is put in place (a
      // sheet of no tiles would replace the old one) and the folders made for the run go again.
      if (damage != null && f == 0) throw damage;
      if (sheetPath != null) out.write(sheetPath, png(sheet(tiles)));
      out.commit();
      long totalNanos = System.nanoTime() - start;

      if (source != null && f > 0) {
        System.out.printf("mean PSNR %.2f dB (RGB, min %.2f dB) against %s%n", sum / f, min, sourcePath);
      }
      System.out.printf("decode: %d frame%s in %.1f ms, %.0f frames/s (reader.next calls only: reading,"
          + " decompressing, decoding; %s)%n", f, f == 1 ? "" : "s", decodeNanos / 1e6, f / (decodeNanos / 1e9),
          seekable ? "after a warm-up pass" : "one pass, the stream cannot be read twice");
      List<String> work = new ArrayList<>(List.of("decode"));
      if (source != null) work.add("PSNR");
      if (folder != null) work.add("PNG writing");
      if (sheetPath != null) work.add("contact sheet");
      System.out.printf("total: %.1f ms, %.0f frames/s (%s)%n", totalNanos / 1e6, f / (totalNanos / 1e9),
          String.join(", ", work));
      if (folder != null && f > 0) System.out.printf("wrote %s/frame_000000.png ... frame_%06d.png%n", folder, f - 1);
      if (sheetPath != null) System.out.printf("wrote %s%n", sheetPath);
    }
    if (damage != null) throw damage;
  }

  /** The picture as PNG bytes. */
  static OutputFiles.Body png(BufferedImage image) {
    return out -> {
      if (!ImageIO.write(image, "png", out)) throw new IOException("no PNG writer in this Java");
    };
  }

  static long hash(int[] pixels) {
    long h = 0;
    for (int p : pixels) h = h * 31 + p;
    return h;
  }

  /** The source pictures, one at a time: a folder of PNG pictures in name order, or raw rgb24. */
  static final class Source implements AutoCloseable {
    private final Path path;
    private final int w, h;
    private final List<Path> pictures; // null for raw frames
    private final DataInputStream raw;
    private final byte[] rgb;
    private final int[] pixels;
    private int next;

    Source(Path path, int w, int h, int count) throws IOException {
      this.path = path;
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
      if (count >= 0 && frames < count) {
        close();
        throw new IOException(path + ": " + frames + " source frames for " + count + " coded frames");
      }
    }

    /** The next picture as packed 0xRRGGBB pixels. */
    int[] next() throws IOException {
      if (pictures != null) {
        if (next == pictures.size()) throw new IOException(path + ": no source picture for frame " + next);
        Path p = pictures.get(next++);
        BufferedImage image = ImageIO.read(p.toFile());
        if (image == null || image.getWidth() != w || image.getHeight() != h) {
          throw new IOException(p + ": not a " + w + "x" + h + " picture");
        }
        return image.getRGB(0, 0, w, h, pixels, 0, w);
      }
      try {
        raw.readFully(rgb);
      } catch (EOFException e) {
        throw new IOException(path + ": no source frame " + next, e);
      }
      next++;
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

  /** The contact sheet: the tiles in rows of {@link #SHEET_COLUMNS}, in order. */
  static BufferedImage sheet(List<BufferedImage> tiles) {
    int n = Math.max(1, tiles.size()), columns = Math.min(SHEET_COLUMNS, n), rows = (n + columns - 1) / columns;
    int tw = tiles.isEmpty() ? 1 : tiles.get(0).getWidth(), th = tiles.isEmpty() ? 1 : tiles.get(0).getHeight();
    BufferedImage sheet =
        new BufferedImage(GAP + columns * (tw + GAP), GAP + rows * (th + GAP), BufferedImage.TYPE_INT_RGB);
    Graphics2D g = sheet.createGraphics();
    for (int t = 0; t < tiles.size(); t++) {
      g.drawImage(tiles.get(t), GAP + t % columns * (tw + GAP), GAP + t / columns * (th + GAP), null);
    }
    g.dispose();
    return sheet;
  }

  /** Frame f at half size (means of 2x2 pixels), labelled with its number. */
  static BufferedImage tile(int[] pixels, int w, int h, int f) {
    int tw = Math.max(1, w / 2), th = Math.max(1, h / 2);
    BufferedImage tile = new BufferedImage(tw, th, BufferedImage.TYPE_INT_RGB);
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
        tile.setRGB(x, y, pixel);
      }
    }
    label(tile, 2, 2, Integer.toString(f));
    return tile;
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
