package org.kelvo.Kelvo4.player;

import static org.junit.jupiter.api.Assertions.*;

import java.io.BufferedReader;
import java.io.InputStreamReader;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.concurrent.TimeUnit;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.kelvo.Kelvo4.Decoder.KelvoStreamReader;

// Run on an X display (xvfb-run): the player, started paused at a frame past a key frame, must
// show exactly that frame's pixels where it says the picture is, in a screenshot taken by xwd.
class PlayerScreenTest {
  static final int W = 100, H = 70, FRAME = 5;
  static final Pattern PAUSED = Pattern.compile("paused at frame (\\d+), picture at (\\d+),(\\d+)");
  @TempDir Path dir;

  static Process start(ProcessBuilder.Redirect out, String... command) throws Exception {
    return new ProcessBuilder(command).redirectOutput(out).redirectError(ProcessBuilder.Redirect.INHERIT).start();
  }

  @Test
  void pausedFrameIsOnScreenPixelForPixel() throws Exception {
    Path clip = dir.resolve("clip.klv"), shot = dir.resolve("shot.xwd");
    String encoder = Path.of(System.getProperty("kelvo4.tools"), "kelvo-encode").toString();
    assertEquals(0, start(ProcessBuilder.Redirect.INHERIT, encoder, "--clip", "8", "--size", W + "x" + H,
        "--keyint", "3", "--quiet", "-o", clip.toString()).waitFor());
    int[] want = new int[W * H];
    try (KelvoStreamReader r = new KelvoStreamReader(clip)) {
      r.seek(FRAME);
      assertTrue(r.next(want));
    }
    // Not under -Xcheck:jni: the JDK's own font code draws its warnings. The library's calls are
    // checked in this VM, which decodes the frame expected.
    String java = Path.of(System.getProperty("java.home"), "bin", "java").toString();
    String libraries = "-Djava.library.path=" + System.getProperty("java.library.path");
    Process player = start(ProcessBuilder.Redirect.PIPE, java, libraries, "-jar", System.getProperty("kelvo4.playerJar"),
        "--start", "" + FRAME, "--paused", clip.toString());
    try (BufferedReader out = new BufferedReader(new InputStreamReader(player.getInputStream()))) {
      // Printed once the window shows the frame; the test's timeout bounds the wait.
      String line = out.readLine();
      assertNotNull(line, "the player exited without showing a frame");
      Matcher m = PAUSED.matcher(line);
      assertTrue(m.matches() && Integer.parseInt(m.group(1)) == FRAME, line);
      int x0 = Integer.parseInt(m.group(2)), y0 = Integer.parseInt(m.group(3)), wrong = differences(shot, x0, y0, want);
      // The server may show the picture a moment after the toolkit sent it.
      for (long end = System.nanoTime() + 10_000_000_000L; wrong != 0 && System.nanoTime() < end; ) {
        Thread.sleep(200);
        wrong = differences(shot, x0, y0, want);
      }
      assertEquals(0, wrong, "pixels unlike frame " + FRAME + " in the picture at " + x0 + "," + y0);
    } finally {
      player.destroy();
      player.waitFor(10, TimeUnit.SECONDS);
    }
  }

  // Pixels of the screen (xwd's ZPixmap of 32-bit pixels) that differ from want at x0, y0.
  static int differences(Path shot, int x0, int y0, int[] want) throws Exception {
    assertEquals(0, start(ProcessBuilder.Redirect.INHERIT, "xwd", "-root", "-silent", "-out", "" + shot).waitFor());
    ByteBuffer b = ByteBuffer.wrap(Files.readAllBytes(shot));
    assertEquals(32, b.getInt(44), "bits per pixel");
    assertArrayEquals(new int[] {0xFF0000, 0xFF00, 0xFF}, new int[] {b.getInt(56), b.getInt(60), b.getInt(64)});
    int data = b.getInt(0) + 12 * b.getInt(76), stride = b.getInt(48), wrong = 0;
    b.order(b.getInt(28) == 0 ? ByteOrder.LITTLE_ENDIAN : ByteOrder.BIG_ENDIAN);
    for (int i = 0; i < W * H; i++) {
      if (((b.getInt(data + (y0 + i / W) * stride + 4 * (x0 + i % W)) ^ want[i]) & 0xFFFFFF) != 0) wrong++;
    }
    return wrong;
  }
}
