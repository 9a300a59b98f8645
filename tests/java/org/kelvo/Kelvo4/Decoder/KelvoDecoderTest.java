package org.kelvo.Kelvo4.Decoder;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.BufferedReader;
import java.io.InputStreamReader;
import java.lang.management.ManagementFactory;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.stream.Collectors;
import org.junit.jupiter.api.Test;

class KelvoDecoderTest {
  private final KelvoDecoder decoder = new KelvoDecoder();

  static float[] dcTable() {
    float[] t = new float[64];
    t[0] = 8;
    return t;
  }

  // Luma blocks with DC `luma`, c1 and c2 blocks with DC `c1` and `c2`: with a
  // DC factor of 8 each byte is the value its block adds to every sample.
  static byte[] dcPayload(int w, int h, int luma, int c1, int c2) {
    byte[] p = new byte[w * h + w * h / 2];
    int lumaBlocks = (w / 8) * (h / 8);
    int macroblocks = (w / 16) * (h / 16);
    for (int b = 0; b < lumaBlocks; b++) p[64 * b] = (byte) luma;
    for (int m = 0; m < macroblocks; m++) {
      p[64 * lumaBlocks + 128 * m] = (byte) c1;
      p[64 * lumaBlocks + 128 * m + 64] = (byte) c2;
    }
    return p;
  }

  static void assertPixels(byte[] out, int first, int second, int third) {
    for (int i = 0; i < out.length; i += 3) {
      assertEquals((byte) first, out[i], "byte " + i);
      assertEquals((byte) second, out[i + 1], "byte " + (i + 1));
      assertEquals((byte) third, out[i + 2], "byte " + (i + 2));
    }
  }

  static byte[] randomPayload(int w, int h, long seed) {
    byte[] p = new byte[w * h + w * h / 2];
    java.util.Random r = new java.util.Random(seed);
    for (int k = 0; k < p.length; k++) p[k] = (byte) (k % 64 < 10 ? r.nextInt(31) - 15 : 0);
    return p;
  }

  @Test
  void runsUnderCheckJni() {
    assertTrue(ManagementFactory.getRuntimeMXBean().getInputArguments().contains("-Xcheck:jni"));
  }

  @Test
  void dcFramesConvertToExpectedBytes() {
    decoder.reinitDLL(16, 16);
    decoder.setQuantizationTable(dcTable());
    byte[] out = new byte[768];
    decoder.decodeFrame(new byte[384], out, true);
    assertPixels(out, 0, 0, 255); // (0, 128, 128) everywhere

    // Each frame adds to the uniform prediction: luma 10, chroma to 0 gives
    // (10, 0, 0); then chroma 4 on c2 only gives (100, 0, 4).
    decoder.reinitDLL(16, 16);
    decoder.decodeFrame(dcPayload(16, 16, 10, -128, -128), out, true);
    assertPixels(out, 10, 10, 10);
    decoder.decodeFrame(dcPayload(16, 16, 90, 0, 4), out, true);
    assertPixels(out, 95, 100, 105);
    // Values above 127 read as negative bytes.
    decoder.decodeFrame(dcPayload(16, 16, 100, 0, -4), out, true);
    assertPixels(out, 200, 200, 200);
    assertEquals(-56, out[0]);
  }

  @Test
  void tableSurvivesReinitAndObjectsShareOneDecoder() {
    KelvoDecoder other = new KelvoDecoder();
    decoder.setQuantizationTable(dcTable());
    other.reinitDLL(16, 16);
    byte[] out = new byte[768];
    decoder.decodeFrame(dcPayload(16, 16, 10, -128, -128), out, true);
    assertPixels(out, 10, 10, 10);
    // The next frame on the other object predicts from this one.
    other.decodeFrame(dcPayload(16, 16, 5, 0, 0), out, true);
    assertPixels(out, 15, 15, 15);
  }

  // Decodes frames A and B of a random 32x16 stream, with `between` run after A,
  // and returns B's output.
  byte[] frameBAfter(Runnable between, boolean convertA) {
    decoder.reinitDLL(32, 16);
    float[] table = new float[64];
    Arrays.fill(table, 3.5f);
    decoder.setQuantizationTable(table);
    decoder.decodeFrame(randomPayload(32, 16, 1), convertA ? new byte[1536] : null, convertA);
    between.run();
    byte[] out = new byte[1536];
    decoder.decodeFrame(randomPayload(32, 16, 2), out, true);
    return out;
  }

  @Test
  void ignoredCallsHaveNoEffect() {
    byte[] expected = frameBAfter(() -> {}, true);
    byte[] untouched = new byte[1536];
    Arrays.fill(untouched, (byte) 0x5A);
    byte[] out = untouched.clone();
    byte[] good = randomPayload(32, 16, 3);
    byte[] actual =
        frameBAfter(
            () -> {
              decoder.decodeFrame(new byte[767], out, true);
              decoder.decodeFrame(new byte[769], out, true);
              decoder.decodeFrame(null, out, true);
              decoder.decodeFrame(null, null, false);
              decoder.decodeFrame(good, new byte[1535], true);
              decoder.decodeFrame(good, new byte[1537], true);
              decoder.decodeFrame(good, null, true);
              decoder.setQuantizationTable(new float[63]);
              decoder.setQuantizationTable(new float[65]);
              decoder.setQuantizationTable(null);
              assertThrows(IllegalArgumentException.class, () -> decoder.reinitDLL(-1, 16));
              assertThrows(IllegalArgumentException.class, () -> decoder.reinitDLL(16, -1));
              assertThrows(IllegalArgumentException.class, () -> decoder.reinitDLL(40000, 20000));
              assertThrows(
                  IllegalArgumentException.class,
                  () -> decoder.reinitDLL(Integer.MAX_VALUE, Integer.MAX_VALUE));
            },
            true);
    assertArrayEquals(untouched, out);
    assertArrayEquals(expected, actual);
    // Without conversion the output is not needed, and the frame still counts.
    assertArrayEquals(expected, frameBAfter(() -> {}, false));
  }

  @Test
  void unsizedDecoderAcceptsOnlyEmptyFrames() {
    decoder.reinitDLL(0, 0);
    decoder.decodeFrame(new byte[0], new byte[0], true);
    byte[] out = {1, 2, 3};
    decoder.decodeFrame(new byte[1], out, true);
    assertArrayEquals(new byte[] {1, 2, 3}, out);
    decoder.reinitDLL(7, 0);
    decoder.decodeFrame(new byte[0], null, false);
  }

  // Frame 8 changes the size; frame 5 the table; every fourth frame is not
  // converted. Same script as java_reference.cpp.
  static List<String> sequence(KelvoDecoder d) {
    long[] state = {0x4B656C766F34L};
    java.util.function.IntSupplier next =
        () -> {
          state[0] = state[0] * 6364136223846793005L + 1442695040888963407L;
          return (int) (state[0] >>> 33);
        };
    List<String> lines = new ArrayList<>();
    d.setQuantizationTable(sequenceTable(0));
    int w = 48, h = 32;
    d.reinitDLL(w, h);
    for (int f = 0; f < 16; f++) {
      if (f == 8) d.reinitDLL(w = 40, h = 24);
      if (f == 5) d.setQuantizationTable(sequenceTable(2));
      byte[] payload = new byte[w * h + w * h / 2];
      for (int k = 0; k < payload.length; k++) {
        int p = k % 64, v = 0;
        if (p < 6) v = next.getAsInt() % 41 - 20;
        else if (p < 15 && next.getAsInt() % 4 == 0) v = next.getAsInt() % 7 - 3;
        payload[k] = (byte) v;
      }
      boolean convert = f % 4 != 3;
      byte[] out = convert ? new byte[3 * w * h] : null;
      d.decodeFrame(payload, out, convert);
      if (!convert) {
        lines.add("-");
        continue;
      }
      int hash = 0x811C9DC5;
      for (byte b : out) hash = (hash ^ (b & 0xFF)) * 16777619;
      lines.add(String.format("%08x", hash));
    }
    return lines;
  }

  static float[] sequenceTable(float offset) {
    float[] t = new float[64];
    for (int i = 0; i < 64; i++) t[i] = 1.0f + (i % 5) * 0.75f + offset;
    return t;
  }

  @Test
  void sequenceMatchesPlainDecoder() throws Exception {
    String tool = System.getProperty("kelvo4.reference");
    org.junit.jupiter.api.Assumptions.assumeTrue(tool != null, "kelvo4.reference not set");
    Process p = new ProcessBuilder(tool).redirectErrorStream(true).start();
    List<String> expected;
    try (BufferedReader r =
        new BufferedReader(new InputStreamReader(p.getInputStream(), StandardCharsets.US_ASCII))) {
      expected = r.lines().collect(Collectors.toList());
    }
    assertEquals(0, p.waitFor());
    assertEquals(16, expected.size());
    assertEquals(expected, sequence(decoder));
  }
}
