package org.kelvo.Kelvo4.Decoder;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.lang.management.ManagementFactory;
import java.util.Arrays;
import java.util.Random;
import org.junit.jupiter.api.Test;

// The process-wide decoder through the VM: what it ignores and what it
// refuses. Its frames are compared with a stream decoder's in
// KelvoStreamDecoderTest, the glue's JNI calls in tests/jni.
class KelvoDecoderTest {
  private final KelvoDecoder decoder = new KelvoDecoder();

  static float[] table(float dc, float ac) {
    float[] t = new float[64];
    Arrays.fill(t, ac);
    t[0] = dc;
    return t;
  }

  static byte[] filled(int length, int value) {
    byte[] a = new byte[length];
    Arrays.fill(a, (byte) value);
    return a;
  }

  // A 16x16 payload whose four luma blocks have DC `luma` and whose c1 and c2
  // blocks have DC `c1` and `c2`: with a DC factor of 8 each is the value its
  // block adds to every sample.
  static byte[] dcPayload(int luma, int c1, int c2) {
    byte[] p = new byte[384];
    for (int b = 0; b < 4; b++) p[64 * b] = (byte) luma;
    p[256] = (byte) c1;
    p[320] = (byte) c2;
    return p;
  }

  static void assertPixels(byte[] out, int first, int second, int third) {
    byte[] pixel = {(byte) first, (byte) second, (byte) third};
    for (int i = 0; i < out.length; i += 3) assertArrayEquals(pixel, Arrays.copyOfRange(out, i, i + 3), "byte " + i);
  }

  static byte[] randomPayload(int w, int h, long seed) {
    byte[] p = new byte[w * h + w * h / 2];
    Random r = new Random(seed);
    for (int k = 0; k < p.length; k++) p[k] = (byte) (k % 64 < 10 ? r.nextInt(31) - 15 : 0);
    return p;
  }

  @Test
  void runsUnderCheckJni() {
    assertTrue(ManagementFactory.getRuntimeMXBean().getInputArguments().contains("-Xcheck:jni"));
  }

  // Decodes frames A and B of a random 32x16 stream, with `between` run after A,
  // and returns B's output.
  byte[] frameBAfter(Runnable between, boolean convertA) {
    decoder.reinitDLL(32, 16);
    decoder.setQuantizationTable(table(3.5f, 3.5f));
    decoder.decodeFrame(randomPayload(32, 16, 1), convertA ? new byte[1536] : null, convertA);
    between.run();
    byte[] out = new byte[1536];
    decoder.decodeFrame(randomPayload(32, 16, 2), out, true);
    return out;
  }

  // Ignored calls and refused sizes leave the sequence as it was. Which JNI
  // calls the glue makes for each is checked in tests/jni.
  @Test
  void ignoredCallsHaveNoEffect() {
    byte[] out = filled(1536, 0x5A), good = randomPayload(32, 16, 3);
    byte[] actual = frameBAfter(() -> {
      decoder.decodeFrame(new byte[767], out, true);
      decoder.decodeFrame(null, out, true);
      decoder.decodeFrame(good, new byte[1537], true);
      decoder.decodeFrame(good, null, true);
      decoder.setQuantizationTable(new float[63]);
      decoder.setQuantizationTable(null);
      // 3 * 32768 * 21846 is just above 2^31.
      for (int[] s : new int[][] {{-1, 16}, {16, -1}, {32768, 21846}})
        assertThrows(IllegalArgumentException.class, () -> decoder.reinitDLL(s[0], s[1]));
    }, true);
    assertArrayEquals(filled(1536, 0x5A), out);
    assertArrayEquals(frameBAfter(() -> {}, true), actual);
    // Without conversion the output is not needed, and the frame still counts.
    assertArrayEquals(actual, frameBAfter(() -> {}, false));
  }
}
