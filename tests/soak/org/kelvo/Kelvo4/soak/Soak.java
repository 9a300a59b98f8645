package org.kelvo.Kelvo4.soak;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.Arrays;
import java.util.List;
import java.util.Random;
import java.util.function.BiConsumer;
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
  private static final int FRAMES_PER_SEGMENT = 40;
  // Segment kinds: width, height, table, whether to convert every frame.
  private static final int[][] KINDS = {
    {352, 288, 0, 1}, {352, 288, 1, 1}, {176, 144, 0, 1}, {352, 288, 1, 0}, {17, 33, 1, 1}, {352, 288, 0, 1},
  };

  private final KelvoDecoder decoder = new KelvoDecoder();
  private final float[][] tables = new float[2][64];
  private final byte[][][] payloads = new byte[KINDS.length][3][];
  private final Long[] checksums = new Long[KINDS.length];
  private long ignored;

  // Calls that must be ignored (or throw) without any effect, given a payload
  // of the right length and an output filled with a sentinel.
  private final List<BiConsumer<byte[], byte[]>> ignoredCalls =
      List.of(
          (good, probe) -> decoder.decodeFrame(Arrays.copyOf(good, good.length + 1), probe, true),
          (good, probe) -> decoder.decodeFrame(good, Arrays.copyOf(probe, probe.length - 1), true),
          (good, probe) -> decoder.decodeFrame(null, probe, true),
          (good, probe) -> decoder.decodeFrame(good, null, true),
          (good, probe) -> decoder.setQuantizationTable(new float[63]),
          (good, probe) -> expectRejected(-1, 288));

  private Soak() {
    Random r = new Random(3);
    for (int i = 0; i < 64; i++) {
      tables[0][i] = 4 + (i / 8 + i % 8) * 1.5f;
      tables[1][i] = r.nextInt(4000) - 2000; // dequantised products wrap in 16 bits
    }
    for (int k = 0; k < KINDS.length; k++) {
      for (int p = 0; p < 3; p++) payloads[k][p] = payload(KINDS[k][0] * KINDS[k][1], 1 + 5 * p, r);
    }
  }

  // A payload of n pixels: bytes of any value in the first 12 scan positions
  // of a block, `density` of them in 12 set.
  static byte[] payload(int n, int density, Random r) {
    byte[] p = new byte[n + n / 2];
    for (int i = 0; i < p.length; i++) p[i] = (byte) (i % 64 < 12 && r.nextInt(12) < density ? r.nextInt(256) : 0);
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

  private void expectRejected(int w, int h) {
    try {
      decoder.reinitDLL(w, h);
    } catch (IllegalArgumentException expected) {
      return;
    }
    throw new AssertionError("reinitDLL(" + w + ", " + h + ") did not throw");
  }

  // Runs one segment of the given kind; `run` moves the ignored calls to other frames.
  private void segment(int kind, int run) {
    int w = KINDS[kind][0], h = KINDS[kind][1], table = KINDS[kind][2];
    byte[] out = new byte[3 * w * h];
    decoder.reinitDLL(w, h);
    decoder.setQuantizationTable(tables[table]);
    CRC32 crc = new CRC32();
    for (int f = 0; f < FRAMES_PER_SEGMENT; f++) {
      if (f == FRAMES_PER_SEGMENT / 2) decoder.setQuantizationTable(tables[1 - table]);
      byte[] good = payloads[kind][(f + kind) % 3];
      if ((f + run) % 3 == 0) {
        byte[] probe = new byte[out.length];
        Arrays.fill(probe, (byte) 0x5A);
        byte[] untouched = probe.clone();
        int which = (f + run) / 3 % ignoredCalls.size();
        ignoredCalls.get(which).accept(good, probe);
        check(Arrays.equals(probe, untouched), "ignored call " + which + " wrote output");
        ignored++;
      }
      boolean convert = KINDS[kind][3] == 1 || f % 8 == 7;
      decoder.decodeFrame(good, convert ? out : null, convert);
      if (convert) crc.update(out);
    }
    if (checksums[kind] == null) checksums[kind] = crc.getValue();
    check(checksums[kind] == crc.getValue(), "segment kind " + kind + " run " + run + " decoded differently");
  }

  public static void main(String[] args) throws IOException {
    int segments = Integer.getInteger("kelvo4.soak.segments", 10000);
    long margin = Long.getLong("kelvo4.soak.rssMarginKiB", 4096);
    int warmup = segments / 4;
    Soak soak = new Soak();
    long start = System.nanoTime(), baseline = 0, peak = 0;
    for (int s = 0; s < segments; s++) {
      soak.segment(s % KINDS.length, s / KINDS.length);
      if (s + 1 == warmup) {
        System.gc();
        baseline = residentKiB();
      }
      if (s + 1 >= warmup) peak = Math.max(peak, residentKiB());
      if ((s + 1) % (segments / 10) == 0) System.out.printf("soak: segment %d, VmRSS %d KiB%n", s + 1, residentKiB());
    }
    double seconds = (System.nanoTime() - start) / 1e9;
    long frames = (long) segments * FRAMES_PER_SEGMENT;
    System.out.printf("soak: %d segments, %d frames decoded, %d ignored calls, %.1f s (%.0f frames/s)%n", segments,
        frames, soak.ignored, seconds, frames / seconds);
    System.out.printf("soak: VmRSS after warm-up %d KiB, max %d, at end %d; growth %d KiB (limit %d KiB)%n", baseline,
        peak, residentKiB(), peak - baseline, margin);
    check(peak - baseline <= margin, "resident memory grew by " + (peak - baseline) + " KiB");
  }
}
