package org.kelvo.Kelvo4.player;

import static org.junit.jupiter.api.Assertions.*;
import static org.junit.jupiter.api.Assumptions.assumeFalse;

import java.io.*;
import java.nio.*;
import java.nio.charset.StandardCharsets;
import java.nio.file.*;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.*;
import java.util.concurrent.TimeUnit;
import java.util.regex.*;
import java.util.stream.Collectors;
import org.junit.jupiter.api.*;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;
import org.kelvo.Kelvo4.Decoder.KelvoStreamReader;

// Run on an X display of 640x480 (xvfb-run): the player, started paused at a frame, must show
// that frame where it says the picture is, in a screenshot taken by xwd: pixel for pixel when it
// fits, scaled down whole, with the controls on screen, when it is larger than the screen.
class PlayerScreenTest {
  static final int SCREEN_W = 640, SCREEN_H = 480;
  static final Pattern PAUSED = Pattern.compile(
      "paused at frame (\\d+), picture at (\\d+),(\\d+) (\\d+)x(\\d+), controls at (\\d+),(\\d+) (\\d+)x(\\d+)");
  @TempDir Path dir;

  static Process start(ProcessBuilder.Redirect out, String... command) throws Exception {
    return new ProcessBuilder(command).redirectOutput(out).redirectError(ProcessBuilder.Redirect.INHERIT).start();
  }

  // Not under -Xcheck:jni: the JDK's own font code draws its warnings. The library's calls are
  // checked in this VM, which decodes the frames expected.
  static ProcessBuilder player(String... args) {
    List<String> command = new ArrayList<>(List.of(Path.of(System.getProperty("java.home"), "bin", "java").toString(),
        "-Djava.library.path=" + System.getProperty("java.library.path"), "-jar",
        System.getProperty("kelvo4.playerJar")));
    command.addAll(List.of(args));
    return new ProcessBuilder(command);
  }

  Path encode(int w, int h, int frames) throws Exception {
    Path clip = dir.resolve("clip.klv");
    String encoder = Path.of(System.getProperty("kelvo4.tools"), "kelvo-encode").toString();
    assertEquals(0, start(ProcessBuilder.Redirect.INHERIT, encoder, "--clip", "" + frames, "--size", w + "x" + h,
        "--keyint", "3", "--quiet", "-o", clip.toString()).waitFor());
    return clip;
  }

  // The player paused at frame f (past a key frame when it fits, pixel for pixel; larger than the
  // screen, scaled down whole) and the screen: the picture and the controls on it, the picture of
  // the stream's aspect, at 1:1 when it fits, its pixels within tolerance (mean difference per
  // channel) of the frame scaled down by area.
  @ParameterizedTest
  @CsvSource({"100, 70, 8, 5, 0", "1280, 720, 2, 1, 4"})
  void pausedFrameIsOnScreen(int w, int h, int frames, int f, double tolerance) throws Exception {
    Path clip = encode(w, h, frames), shot = dir.resolve("shot.xwd");
    int[] frame = new int[w * h];
    try (KelvoStreamReader r = new KelvoStreamReader(clip)) {
      r.seek(f);
      assertTrue(r.next(frame));
    }
    Process player = player("--start", "" + f, "--paused", clip.toString())
        .redirectError(ProcessBuilder.Redirect.INHERIT).start();
    try (BufferedReader out = new BufferedReader(new InputStreamReader(player.getInputStream()))) {
      // Printed once the window shows the frame; the test's timeout bounds the wait.
      String line = out.readLine();
      assertNotNull(line, "the player exited without showing a frame");
      Matcher m = PAUSED.matcher(line);
      assertTrue(m.matches() && Integer.parseInt(m.group(1)) == f, line);
      int[] at = new int[8];
      for (int i = 0; i < 8; i++) at[i] = Integer.parseInt(m.group(i + 2));
      int x0 = at[0], y0 = at[1], pw = at[2], ph = at[3];
      assertTrue(x0 + pw <= SCREEN_W && y0 + ph <= SCREEN_H, "picture off screen: " + line);
      assertTrue(at[4] + at[6] <= SCREEN_W && at[5] + at[7] <= SCREEN_H && at[5] >= y0 + ph, "controls: " + line);
      assertTrue(w <= SCREEN_W && h <= SCREEN_H ? pw == w && ph == h : Math.abs(pw * h - ph * w) <= Math.max(w, h),
          "picture " + pw + "x" + ph + " for " + w + "x" + h);
      int[] want = scaled(frame, w, h, pw, ph);
      double wrong = difference(shot, x0, y0, pw, ph, want);
      // The server may show the picture a moment after the toolkit sent it.
      for (long end = System.nanoTime() + 10_000_000_000L; wrong > tolerance && System.nanoTime() < end; ) {
        Thread.sleep(200);
        wrong = difference(shot, x0, y0, pw, ph, want);
      }
      assertTrue(wrong <= tolerance, "mean difference " + wrong + " from frame " + f + " in the picture at " + line);
    } finally {
      player.destroy();
      player.waitFor(10, TimeUnit.SECONDS);
    }
  }

  // Status 1, and what the player wrote on standard error after its name.
  String refused(String... args) throws Exception {
    return refused(player(args).redirectOutput(ProcessBuilder.Redirect.DISCARD));
  }

  String refused(ProcessBuilder player) throws Exception {
    Process p = player.start();
    String err = new String(p.getErrorStream().readAllBytes(), StandardCharsets.UTF_8);
    assertEquals(1, p.waitFor(), err);
    assertTrue(err.startsWith("Kelvo4-player: "), err);
    return err.substring("Kelvo4-player: ".length());
  }

  @Test
  void startBeyondTheEndIsRefused() throws Exception {
    Path clip = encode(100, 70, 8);
    assertEquals(clip + ": no frame 999 (the stream has 8 frames)\n", refused("--start", "999", "" + clip));
  }

  // Read from standard input and cut short: every frame before the cut is written, then the
  // reader's message and status 1.
  @Test
  void damagedStreamWritesTheIntactFramesThenFails() throws Exception {
    Path clip = encode(100, 70, 8), cut = dir.resolve("cut.klv"), frames = dir.resolve("frames");
    byte[] bytes = Files.readAllBytes(clip);
    Files.write(cut, Arrays.copyOf(bytes, bytes.length * 2 / 3));
    String err = refused(player("-", "" + frames).redirectInput(cut.toFile())
        .redirectOutput(ProcessBuilder.Redirect.DISCARD));
    Matcher m = Pattern.compile("stream: truncated at byte \\d+, frame (\\d+): .*\n").matcher(err);
    assertTrue(m.matches(), err);
    int intact = Integer.parseInt(m.group(1));
    assertTrue(intact > 0);
    try (var written = Files.list(frames)) {
      assertEquals(intact + 1, written.count()); // and contact_sheet.png
    }
    assertTrue(Files.exists(frames.resolve(String.format("frame_%06d.png", intact - 1))));
  }

  // Headless, no display needed: no input, pipe or folder is written over, a replaced file keeps
  // its mode, nothing is written unasked, a failed run leaves nothing behind; a pipe is read as
  // standard input is, a folder is no stream.
  @Nested
  class Outputs {
    Path fifo() throws Exception {
      Path fifo = dir.resolve("fifo");
      assertEquals(0, start(ProcessBuilder.Redirect.INHERIT, "mkfifo", fifo.toString()).waitFor());
      return fifo;
    }

    @Test
    void inputsAndPipesAreNotWrittenOver() throws Exception {
      Path clip = encode(100, 70, 8), vf = Files.createDirectory(dir.resolve("vf")), inVf = vf.resolve("frame_000003.png");
      byte[] bytes = Files.readAllBytes(clip);
      Files.write(inVf, bytes);
      Path fifo = fifo();
      assertEquals(clip + ": is the stream being played; not overwriting it\n",
          refused("--sheet", clip.toString(), "--headless", clip.toString()));
      assertEquals(inVf + ": is the stream being played; not overwriting it\n", refused(inVf.toString(), vf.toString()));
      assertEquals(fifo + ": is a named pipe, not a regular file; not writing a contact sheet into it\n",
          refused("--sheet", fifo.toString(), "--headless", clip.toString()));
      assertEquals(fifo + ": is a named pipe, not a folder; not writing pictures into it\n", refused("" + clip, "" + fifo));
      assertEquals(clip + ": is the stream being played; not overwriting it\n", refused(player("--headless", "--sheet",
          "" + clip, "-").redirectInput(clip.toFile()).redirectOutput(ProcessBuilder.Redirect.DISCARD)));
      Path picture = Files.write(Files.createDirectory(dir.resolve("src")).resolve("frame_000001.png"), bytes);
      assertEquals(picture + ": is a picture of the source being compared; not overwriting it\n",
          refused("--source", "" + picture.getParent(), "--sheet", "" + picture, "--headless", "" + clip));
      assertEquals("standard output: write failed: No space left on device\n",
          refused(player("--help").redirectOutput(new File("/dev/full"))));
      assertArrayEquals(bytes, Files.readAllBytes(clip));
      assertArrayEquals(bytes, Files.readAllBytes(inVf));
      assertEquals(List.of(inVf), Files.list(vf).collect(Collectors.toList())); // no frames, no temporaries
      assertTrue(Files.exists(fifo) && !Files.isRegularFile(fifo));
    }

    @Test
    void replacedFilesKeepTheirModeAndAFailedRunLeavesNothing() throws Exception {
      Path clip = encode(100, 70, 8), frames = Files.createDirectory(dir.resolve("frames"));
      Path first = Files.write(frames.resolve("frame_000000.png"), new byte[1]);
      Files.setPosixFilePermissions(first, PosixFilePermissions.fromString("rw-------"));
      Path linked = Files.write(dir.resolve("linked.png"), new byte[1]);
      Files.createSymbolicLink(frames.resolve("contact_sheet.png"), linked); // followed, as the tools do
      assertEquals(0, player(clip.toString(), frames.toString()).redirectOutput(ProcessBuilder.Redirect.DISCARD)
          .redirectError(ProcessBuilder.Redirect.INHERIT).start().waitFor());
      assertEquals("rw-------", PosixFilePermissions.toString(Files.getPosixFilePermissions(first)));
      assertTrue(Files.size(first) > 1 && Files.size(linked) > 1 && Files.isSymbolicLink(frames.resolve("contact_sheet.png")));
      assertFalse(Files.exists(dir.resolve("contact_sheet.png"))); // not beside the folder, unasked
      // The sheet cannot be written: the frames folder made for the run is gone again.
      Path made = dir.resolve("made"), sheet = dir.resolve("none/sheet.png");
      assertEquals(sheet + ": cannot write: no such folder\n", refused("--sheet", sheet.toString(), "" + clip, "" + made));
      assertFalse(Files.exists(made));
      // Damaged before its first frame: no sheet of no tiles over the old one, no folder made.
      byte[] sheetBytes = Files.readAllBytes(linked);
      Path cut = Files.write(dir.resolve("cut.klv"), Arrays.copyOf(Files.readAllBytes(clip), 100));
      assertTrue(refused("--sheet", "" + linked, "" + cut, "" + made).startsWith(cut + ": truncated at byte 100"));
      assertArrayEquals(sheetBytes, Files.readAllBytes(linked));
      assertFalse(Files.exists(made));
      Files.setPosixFilePermissions(frames, PosixFilePermissions.fromString("r-xr-xr-x"));
      try {
        assumeFalse(Files.isWritable(frames), "root may write anywhere");
        assertEquals(first + ": cannot write: permission denied\n", refused(clip.toString(), frames.toString()));
        Files.setPosixFilePermissions(frames, PosixFilePermissions.fromString("rwxr-xr-x"));
        Files.setPosixFilePermissions(first, PosixFilePermissions.fromString("r--r--r--")); // a file, not its folder
        assertEquals(first + ": cannot write: permission denied\n", refused(clip.toString(), frames.toString()));
      } finally {
        Files.setPosixFilePermissions(frames, PosixFilePermissions.fromString("rwxr-xr-x"));
      }
    }

    @Test
    void aPipeIsReadInOrderAndAFolderIsNoStream() throws Exception {
      Path clip = encode(100, 70, 8), fifo = fifo();
      Process p = player("--headless", fifo.toString()).redirectError(ProcessBuilder.Redirect.INHERIT).start();
      Files.write(fifo, Files.readAllBytes(clip));
      String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
      assertEquals(0, p.waitFor(), out);
      assertTrue(out.contains("decode: 8 frames"), out);
      assertEquals(dir + ": is a folder, not a stream file\n", refused("--headless", dir.toString()));
    }
  }

  // Each output pixel the mean of the input pixels its area covers.
  static int[] scaled(int[] in, int w, int h, int sw, int sh) {
    int[] out = new int[sw * sh];
    for (int y = 0; y < sh; y++) {
      for (int x = 0; x < sw; x++) {
        int x1 = x * w / sw, x2 = Math.max(x1 + 1, (x + 1) * w / sw);
        int y1 = y * h / sh, y2 = Math.max(y1 + 1, (y + 1) * h / sh);
        int pixel = 0;
        for (int k = 16; k >= 0; k -= 8) {
          int sum = 0;
          for (int v = y1; v < y2; v++) for (int u = x1; u < x2; u++) sum += in[v * w + u] >> k & 0xFF;
          pixel = pixel << 8 | (2 * sum + (x2 - x1) * (y2 - y1)) / (2 * (x2 - x1) * (y2 - y1));
        }
        out[y * sw + x] = pixel;
      }
    }
    return out;
  }

  // Mean absolute difference per channel between the screen (xwd's ZPixmap of 32-bit pixels)
  // at x0, y0 and want, w x h.
  static double difference(Path shot, int x0, int y0, int w, int h, int[] want) throws Exception {
    assertEquals(0, start(ProcessBuilder.Redirect.INHERIT, "xwd", "-root", "-silent", "-out", "" + shot).waitFor());
    ByteBuffer b = ByteBuffer.wrap(Files.readAllBytes(shot));
    assertEquals(32, b.getInt(44), "bits per pixel");
    assertArrayEquals(new int[] {0xFF0000, 0xFF00, 0xFF}, new int[] {b.getInt(56), b.getInt(60), b.getInt(64)});
    int data = b.getInt(0) + 12 * b.getInt(76), stride = b.getInt(48);
    b.order(b.getInt(28) == 0 ? ByteOrder.LITTLE_ENDIAN : ByteOrder.BIG_ENDIAN);
    long sum = 0;
    for (int i = 0; i < w * h; i++) {
      int got = b.getInt(data + (y0 + i / w) * stride + 4 * (x0 + i % w));
      for (int k = 0; k <= 16; k += 8) sum += Math.abs((got >> k & 0xFF) - (want[i] >> k & 0xFF));
    }
    return sum / (3.0 * w * h);
  }
}
