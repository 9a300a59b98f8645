package org.kelvo.Kelvo4.Decoder;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.lang.management.ManagementFactory;
import java.util.Arrays;
import java.util.Random;
import org.junit.jupiter.api.Test;

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

  // Each frame adds its DC values to the uniform prediction. Two objects drive
  // the one decoder, and the table set before reinitDLL stays.
  @Test
  void dcFramesThroughTwoObjectsSharingOneDecoder() {
    KelvoDecoder other = new KelvoDecoder();
    decoder.setQuantizationTable(table(8, 0));
    other.reinitDLL(16, 16);
    byte[] out = new byte[768];
    decoder.decodeFrame(new byte[384], out, true);
    assertPixels(out, 0, 0, 255); // (0, 128, 128)
    other.decodeFrame(dcPayload(10, -128, -128), out, true);
    assertPixels(out, 10, 10, 10); // (10, 0, 0)
    decoder.decodeFrame(dcPayload(90, 0, 4), out, true);
    assertPixels(out, 95, 100, 105); // (100, 0, 4)
    other.decodeFrame(dcPayload(100, 0, -4), out, true);
    assertPixels(out, 200, 200, 200); // (200, 0, 0)
    assertEquals(-56, out[0]); // bytes above 127 read as negative
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

  @Test
  void ignoredCallsHaveNoEffect() {
    byte[] expected = frameBAfter(() -> {}, true);
    byte[] out = filled(1536, 0x5A);
    byte[] good = randomPayload(32, 16, 3);
    byte[][][] badDecodes = {{new byte[767], out}, {new byte[769], out}, {null, out}, {good, new byte[1535]},
        {good, new byte[1537]}, {good, null}};
    // 3 * 32768 * 21846 is just above 2^31.
    int[][] badSizes = {{-1, 16}, {16, -1}, {32768, 21846}, {Integer.MAX_VALUE, Integer.MAX_VALUE}};
    byte[] actual = frameBAfter(() -> {
      for (byte[][] call : badDecodes) decoder.decodeFrame(call[0], call[1], true);
      decoder.decodeFrame(null, null, false);
      decoder.setQuantizationTable(new float[63]);
      decoder.setQuantizationTable(new float[65]);
      decoder.setQuantizationTable(null);
      for (int[] s : badSizes) assertThrows(IllegalArgumentException.class, () -> decoder.reinitDLL(s[0], s[1]));
    }, true);
    assertArrayEquals(filled(1536, 0x5A), out);
    assertArrayEquals(expected, actual);
    // Without conversion the output is not needed, and the frame still counts.
    assertArrayEquals(expected, frameBAfter(() -> {}, false));
  }

  // Frame 5 changes the table, frame 8 the size; every fourth frame is not
  // converted ("-"). The digests were taken from the same script run on the
  // C++ API.
  @Test
  void sequenceMatchesPlainDecoder() {
    float[][] tables = new float[2][64];
    for (int i = 0; i < 64; i++) {
      tables[0][i] = 1.0f + (i % 5) * 0.75f;
      tables[1][i] = tables[0][i] + 2;
    }
    StringBuilder digests = new StringBuilder();
    decoder.setQuantizationTable(tables[0]);
    int w = 48, h = 32;
    decoder.reinitDLL(w, h);
    for (int f = 0; f < 16; f++) {
      if (f == 8) decoder.reinitDLL(w = 40, h = 24);
      if (f == 5) decoder.setQuantizationTable(tables[1]);
      boolean convert = f % 4 != 3;
      byte[] out = convert ? new byte[3 * w * h] : null;
      decoder.decodeFrame(randomPayload(w, h, f), out, convert);
      digests.append(convert ? String.format(" %08x", Arrays.hashCode(out)) : " -");
    }
    assertEquals(" 7050a001 75d438f8 3e2603e9 - 324803b2 b1acc30b 22741fe0 - 959cd0f6 38d948e5 8512ad09 -"
            + " 001f48ba 57f99fd2 3d05f03f -",
        digests.toString());
  }
}
