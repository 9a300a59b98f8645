package org.kelvo.Kelvo4.soak;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.Arrays;
import java.util.Random;
import java.util.zip.CRC32;
import org.kelvo.Kelvo4.Decoder.KelvoDecoder;

/**
 * Long run of the decoder in one VM: thousands of frames, mostly 352x288 with conversion, in
 * segments that each restart the stream with reinitDLL, change sizes and tables, and mix in calls
 * that must be ignored or throw.
 *
 * <p>Checks: a segment of a given kind yields the same output checksum every time it runs, while
 * the ignored calls mixed into it move from run to run (so neither long running nor an ignored call
 * changes a single decoded byte); ignored calls leave the output array untouched; and the
 * process's resident memory after the warm-up stays within a fixed margin of its level at the end
 * of the warm-up. Exits with status 1 on any failure.
 *
 * <p>The margin of 4 MiB over the last three quarters of the run (300,000 frames and 7,500
 * restarts) fails a leak of more than about 14 bytes per frame or 560 bytes per segment, and any
 * leaked frame buffer (at least 3.3 KiB at the smallest size here, 594 KiB at 352x288). Flat runs
 * of the VM stay within 1 MiB of the warm-up level once the optimising compiler, whose work
 * memory comes and goes in steps of several MiB, is left out (see the test's VM options).
 *
 * <p>Properties: kelvo4.soak.segments (default 10000), kelvo4.soak.rssMarginKiB (default 4096).
 */
public final class Soak {
  private static final byte SENTINEL = 0x5A;
  private static final int FRAMES_PER_SEGMENT = 40;
  // Segment kinds: width, height, table, whether to convert every frame.
  private static final int[][] KINDS = {
    {352, 288, 0, 1}, {352, 288, 1, 1}, {176, 144, 0, 1}, {352, 288, 2, 0}, {17, 33, 1, 1}, {352, 288, 0, 1},
  };
  private static final int PAYLOADS_PER_SIZE = 6;

  private final KelvoDecoder decoder = new KelvoDecoder();
  private final float[][] tables = {realisticTable(), hostileTable(), wideTable()};
  private final float[] shortTable = new float[63];
  private final byte[][][] payloads = new byte[KINDS.length][][];
  private final byte[][] outputs = new byte[KINDS.length][];
  private final byte[] untouched;
  private final Long[] checksums = new Long[KINDS.length];
  private long accepted, ignored, thrown;

  private Soak() {
    int largest = 0;
    for (int k = 0; k < KINDS.length; k++) {
      int w = KINDS[k][0], h = KINDS[k][1];
      payloads[k] = new byte[PAYLOADS_PER_SIZE][];
      for (int p = 0; p < PAYLOADS_PER_SIZE; p++) payloads[k][p] = payload(w, h, p, 1000L * k + p);
      outputs[k] = new byte[3 * w * h];
      largest = Math.max(largest, 3 * w * h);
    }
    untouched = new byte[largest];
    Arrays.fill(untouched, SENTINEL);
  }

  static float[] realisticTable() {
    float[] t = new float[64];
    for (int i = 0; i < 64; i++) t[i] = 4 + (i / 8 + i % 8) * 1.5f;
    return t;
  }

  // NaN, infinities and values far outside 16 bits, beside ordinary factors.
  static float[] hostileTable() {
    float[] t = realisticTable();
    t[5] = Float.NaN;
    t[9] = Float.POSITIVE_INFINITY;
    t[20] = Float.NEGATIVE_INFINITY;
    t[33] = 1e9f;
    t[40] = -40000.5f;
    t[63] = 32767.9f;
    return t;
  }

  // Large factors: dequantised products wrap in 16 bits.
  static float[] wideTable() {
    float[] t = new float[64];
    Random r = new Random(3);
    for (int i = 0; i < 64; i++) t[i] = r.nextInt(4000) - 2000;
    return t;
  }

  // Kinds 0-1: small coefficients in the first scan positions; 2: dense random bytes;
  // 3: a lone DC value per block; 4: sparse anywhere; 5: all zero.
  static byte[] payload(int w, int h, int kind, long seed) {
    byte[] p = new byte[w * h + w * h / 2];
    Random r = new Random(seed);
    for (int i = 0; i < p.length; i++) {
      int k = i % 64;
      switch (kind) {
        case 0:
        case 1:
          p[i] = (byte) (k < 12 && r.nextInt(3) == 0 ? r.nextInt(31) - 15 : 0);
          break;
        case 2:
          p[i] = (byte) r.nextInt(256);
          break;
        case 3:
          p[i] = (byte) (k == 0 ? r.nextInt(256) : 0);
          break;
        case 4:
          p[i] = (byte) (r.nextInt(24) == 0 ? r.nextInt(256) : 0);
          break;
        default:
          p[i] = 0;
      }
    }
    return p;
  }

  static long residentKiB() throws IOException {
    for (String line : Files.readAllLines(Paths.get("/proc/self/status"))) {
      if (line.startsWith("VmRSS:")) return Long.parseLong(line.replaceAll("[^0-9]", ""));
    }
    throw new IOException("no VmRSS in /proc/self/status");
  }

  static void check(boolean ok, String what) {
    if (!ok) throw new AssertionError(what);
  }

  // One call that must be ignored (or throw) without any effect; `which` picks it.
  private void ignoredCall(int which, int kind, byte[] good, byte[] out) {
    byte[] probe = Arrays.copyOf(untouched, out.length);
    int other = (kind + 1) % KINDS.length;
    if (KINDS[other][0] * KINDS[other][1] == KINDS[kind][0] * KINDS[kind][1]) other = 2;
    switch (which) {
      case 0:
        decoder.decodeFrame(payloads[other][0], probe, true);
        break;
      case 1:
        decoder.decodeFrame(Arrays.copyOf(good, good.length + 1), probe, true);
        break;
      case 2:
        decoder.decodeFrame(good, Arrays.copyOf(probe, probe.length - 1), true);
        break;
      case 3:
        decoder.decodeFrame(null, probe, true);
        break;
      case 4:
        decoder.decodeFrame(good, null, true);
        break;
      case 5:
        decoder.setQuantizationTable(shortTable);
        decoder.setQuantizationTable(null);
        break;
      case 6:
        try {
          decoder.reinitDLL(-1, 288);
          throw new AssertionError("reinitDLL(-1, 288) did not throw");
        } catch (IllegalArgumentException expected) {
          thrown++;
        }
        try {
          decoder.reinitDLL(40000, 20000);
          throw new AssertionError("reinitDLL(40000, 20000) did not throw");
        } catch (IllegalArgumentException expected) {
          thrown++;
        }
        break;
      default:
        return;
    }
    ignored++;
    check(Arrays.equals(probe, Arrays.copyOf(untouched, probe.length)), "ignored call " + which + " wrote output");
  }

  // Runs one segment of the given kind; `run` moves the ignored calls around.
  private void segment(int kind, int run) {
    int w = KINDS[kind][0], h = KINDS[kind][1];
    boolean alwaysConvert = KINDS[kind][3] == 1;
    byte[] out = outputs[kind];
    decoder.reinitDLL(w, h);
    decoder.setQuantizationTable(tables[KINDS[kind][2]]);
    CRC32 crc = new CRC32();
    for (int f = 0; f < FRAMES_PER_SEGMENT; f++) {
      if (f == FRAMES_PER_SEGMENT / 2) decoder.setQuantizationTable(tables[(KINDS[kind][2] + 1) % 3]);
      byte[] good = payloads[kind][(f + kind) % PAYLOADS_PER_SIZE];
      if ((f + run) % 3 == 0) ignoredCall((f + run) / 3 % 8, kind, good, out);
      boolean convert = alwaysConvert || f % 8 == 7;
      decoder.decodeFrame(good, convert ? out : null, convert);
      accepted++;
      if (convert) crc.update(out);
    }
    long sum = crc.getValue();
    if (checksums[kind] == null) checksums[kind] = sum;
    check(checksums[kind] == sum, "segment kind " + kind + " run " + run + " decoded differently");
  }

  public static void main(String[] args) throws Exception {
    int segments = Integer.getInteger("kelvo4.soak.segments", 10000);
    long margin = Long.getLong("kelvo4.soak.rssMarginKiB", 4096);
    int warmup = segments / 4;
    Soak soak = new Soak();
    long start = System.nanoTime();
    long baseline = 0, peak = 0, low = Long.MAX_VALUE, atWarmup = 0;
    try {
      for (int s = 0; s < segments; s++) {
        soak.segment(s % KINDS.length, s / KINDS.length);
        if (s + 1 == warmup) {
          System.gc();
          baseline = residentKiB();
          atWarmup = baseline;
        }
        if ((s + 1) % (segments / 10) == 0) {
          System.out.printf("soak: segment %d, VmRSS %d KiB%n", s + 1, residentKiB());
        }
        if (s + 1 >= warmup) {
          long rss = residentKiB();
          peak = Math.max(peak, rss);
          low = Math.min(low, rss);
        }
      }
    } catch (AssertionError e) {
      System.out.println("soak FAILED: " + e.getMessage());
      System.exit(1);
    }
    long end = residentKiB();
    double seconds = (System.nanoTime() - start) / 1e9;
    System.out.printf(
        "soak: %d segments, %d frames decoded, %d ignored calls (%d threw), %.1f s (%.0f frames/s)%n",
        segments, soak.accepted, soak.ignored, soak.thrown, seconds, soak.accepted / seconds);
    System.out.printf(
        "soak: VmRSS after warm-up %d KiB, min %d, max %d, at end %d; growth %d KiB (limit %d KiB)%n",
        atWarmup, low, peak, end, peak - baseline, margin);
    if (peak - baseline > margin) {
      System.out.println("soak FAILED: resident memory grew by " + (peak - baseline) + " KiB");
      System.exit(1);
    }
  }
}
