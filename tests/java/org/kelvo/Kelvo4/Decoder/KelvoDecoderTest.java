package org.kelvo.Kelvo4.Decoder;

import static org.junit.jupiter.api.Assertions.*;

import java.lang.management.ManagementFactory;
import java.util.*;
import org.junit.jupiter.api.Test;

// Helpers for the Java tests. The process-wide decoder's frames are compared
// with a stream decoder's in KelvoStreamDecoderTest, its ignored and refused
// calls run in KelvoDecoderStressTest, the glue's JNI calls in tests/jni.
class KelvoDecoderTest {
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
}
