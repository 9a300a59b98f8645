package org.kelvo.Kelvo4.Decoder;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.awt.image.BufferedImage;
import java.io.ByteArrayInputStream;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

// The reader against kelvo-decode's raw frames. Run with a small heap: a size taken from a lying
// file before it is checked fails with OutOfMemoryError instead of an IOException.
class KelvoStreamReaderTest {
  static final int W = 40, H = 24, FRAMES = 10;
  @TempDir static Path dir;
  static Path v2;
  static byte[][] expected;

  static Path tool(String name) { return Path.of(System.getProperty("kelvo4.tools"), name); }

  static Process start(Object... args) throws IOException {
    String[] command = new String[args.length];
    for (int i = 0; i < args.length; i++) command[i] = args[i].toString();
    return new ProcessBuilder(command).redirectError(ProcessBuilder.Redirect.INHERIT).start();
  }

  // kelvo-decode's frames of w x h, of which there must be `frames`.
  static byte[][] decoded(Path stream, int w, int h, int frames) throws Exception {
    Path raw = dir.resolve(stream.getFileName() + ".rgb");
    assertEquals(0, start(tool("kelvo-decode"), "--quiet", stream, raw).waitFor());
    byte[] all = Files.readAllBytes(raw);
    assertEquals(3 * w * h * frames, all.length);
    byte[][] out = new byte[frames][];
    for (int f = 0; f < frames; f++) out[f] = Arrays.copyOfRange(all, 3 * w * h * f, 3 * w * h * (f + 1));
    return out;
  }

  static Process encode(Object... output) throws IOException {
    return start(tool("kelvo-encode"), "--clip", FRAMES, "--size", W + "x" + H, "--keyint", 4, "--quiet", output[0],
        output[1]);
  }

  @BeforeAll
  static void encode() throws Exception {
    v2 = dir.resolve("v2.klv");
    assertEquals(0, encode("-o", v2).waitFor());
    expected = decoded(v2, W, H, FRAMES);
  }

  static void assertFrames(KelvoStreamReader r, byte[][] frames, int from) throws IOException {
    byte[] rgb = new byte[frames[0].length];
    int[] argb = new int[rgb.length / 3];
    for (int f = from; f < frames.length; f++) {
      if (f % 2 == 0) {
        assertTrue(r.next(rgb));
      } else {
        assertTrue(r.next(argb));
        for (int i = 0; i < rgb.length; i++) rgb[i] = (byte) (argb[i / 3] >> (16 - 8 * (i % 3)));
      }
      assertArrayEquals(frames[f], rgb, "frame " + f);
    }
    assertFalse(r.next(rgb));
  }

  @Test
  void playsAndSeeksAsTheDecodeToolDoes() throws Exception {
    try (KelvoStreamReader r = new KelvoStreamReader(v2, 2)) {
      assertArrayEquals(new int[] {W, H, 48, 32, FRAMES, 2}, new int[] {r.width(), r.height(), r.codedWidth(),
          r.codedHeight(), r.frameCount(), r.version()});
      assertArrayEquals(new int[] {0, 4, 8}, r.keyFrames());
      assertEquals(30.0, r.frameRate());
      assertFrames(r, expected, 0);
      assertNull(r.nextImage());
      // Back to a key frame and on, forward across key frames, forward within one, to the end.
      for (int f : new int[] {7, 2, 9, 5, 4, 10, 0, 3, 6}) {
        r.seek(f);
        assertEquals(f, r.position());
        if (f < FRAMES) {
          BufferedImage image = r.nextImage();
          for (int i = 0; i < W * H; i++) {
            int pixel = image.getRGB(i % W, i / W);
            for (int k = 0; k < 3; k++) {
              assertEquals(expected[f][3 * i + k], (byte) (pixel >> (16 - 8 * k)), "seek " + f);
            }
          }
        }
      }
    }
    // Written to a pipe: no count or index in the header, the index after the frames.
    Path piped = dir.resolve("piped.klv");
    Process p = encode("-o", "-");
    Files.copy(p.getInputStream(), piped);
    assertEquals(0, p.waitFor());
    try (KelvoStreamReader r = new KelvoStreamReader(piped)) {
      assertEquals(FRAMES, r.frameCount());
      assertArrayEquals(new int[] {0, 4, 8}, r.keyFrames());
      r.seek(6);
      assertFrames(r, expected, 6);
    }
    try (KelvoStreamReader r = new KelvoStreamReader(Files.newInputStream(piped))) {
      assertEquals(-1, r.frameCount());
      r.seek(3);
      assertThrows(UnsupportedOperationException.class, () -> r.seek(2));
      assertFrames(r, expected, 3);
      assertArrayEquals(new int[] {0, 4, 8}, r.keyFrames());
    }
  }

  @Test
  void readsVersion1() throws Exception {
    int w = 24, h = 8, n = w * h;
    ByteBuffer b = ByteBuffer.allocate(272 + 3 * (n + n / 2)).order(ByteOrder.LITTLE_ENDIAN);
    b.put("KLV4".getBytes()).putInt(1).putInt(w).putInt(h);
    for (int i = 0; i < 64; i++) b.putFloat(i == 0 ? 400 : 3); // frames far from saturating
    for (int i = 272; i < b.capacity(); i++) b.put(i, (byte) ((i * 7919 % 13) - 6));
    Path v1 = Files.write(dir.resolve("v1.klv"), b.array());
    try (KelvoStreamReader r = new KelvoStreamReader(v1)) {
      assertEquals(3, r.frameCount());
      r.seek(2);
      r.seek(1);
      assertFrames(r, decoded(v1, w, h, 3), 1);
    }
  }

  // Each kind of bad file throws, naming the file, the frame and the offset, before anything
  // large is allocated.
  @Test
  void malformedFilesThrowWithTheirPlace() throws Exception {
    byte[] good = Files.readAllBytes(v2);
    ByteBuffer g = ByteBuffer.wrap(good).order(ByteOrder.LITTLE_ENDIAN);
    long[] at = new long[FRAMES + 1];
    at[0] = 48;
    for (int f = 0; f < FRAMES; f++) {
      at[f + 1] = at[f] + 8 + ((good[(int) at[f]] & 2) != 0 ? 256 : 0) + g.getInt((int) at[f] + 4);
    }
    int index = (int) g.getLong(36), data1 = (int) at[1] + 8 + ((good[(int) at[1]] & 2) != 0 ? 256 : 0);
    assertEquals(4, good[(int) at[1]] & 4, "frame 1 compressed");

    ByteBuffer huge = ByteBuffer.allocate(48 + 8 + 256).order(ByteOrder.LITTLE_ENDIAN);
    huge.put(good, 0, 48).putInt(8, 16384).putInt(12, 16384).putInt(16, 16384).putInt(20, 16384);
    huge.putInt(32, -1).putLong(36, 0).put(48, (byte) 3).putInt(52, 16384 * 16384 / 2 * 3);
    assertFails(huge.array(), "frame 0 at byte 48: stored size");
    try (KelvoStreamReader r = new KelvoStreamReader(new ByteArrayInputStream(huge.array()))) {
      IOException e = assertThrows(IOException.class, () -> r.seek(1));
      assertTrue(e.getMessage().startsWith("stream: frame 0 at byte 312: truncated"), e.getMessage());
    }
    byte[] b = good.clone();
    ByteBuffer.wrap(b).order(ByteOrder.LITTLE_ENDIAN).putInt((int) at[9] + 4, g.getInt((int) at[9] + 4) + 40);
    assertFails(b, "frame 9 at byte " + at[9] + ": stored size");
    b = good.clone();
    b[16] = 64;
    assertFails(b, "at byte 16: coded size 64x32");
    b = good.clone();
    b[data1] ^= 0x55;
    assertFails(b, "frame 1 at byte " + data1 + ": compressed payload is not a zstd frame");
    b = good.clone();
    b[index + 8 + 12] = 0;
    assertFails(b, "at byte " + (index + 8 + 12) + ": bad index entry 1");
    b = good.clone();
    b[(int) at[2]] = 0x7F;
    assertFails(b, "frame 2 at byte " + at[2] + ": bad record flags");
  }

  static void assertFails(byte[] bytes, String where) throws IOException {
    Path file = Files.write(dir.resolve("bad.klv"), bytes);
    IOException e = assertThrows(IOException.class, () -> {
      try (KelvoStreamReader r = new KelvoStreamReader(file)) {
        while (r.next(new byte[3 * r.width() * r.height()])) continue;
      }
    });
    assertTrue(e.getMessage().startsWith(file + ": " + where), e.getMessage());
  }
}
