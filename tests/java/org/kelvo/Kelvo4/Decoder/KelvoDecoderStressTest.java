package org.kelvo.Kelvo4.Decoder;

import static org.junit.jupiter.api.Assertions.*;

import java.util.*;
import java.util.concurrent.*;
import java.util.concurrent.atomic.*;
import org.junit.jupiter.api.Test;

// Threads drive the one decoder at once while others force collections. Each
// decoding thread has a frame size of its own and restarts its stream with
// reinitDLL, so a decode of its stream is either accepted and predicted only
// from its own frames (and must equal the result of the stream run alone,
// without the calls to be ignored), or ignored because another thread
// re-sized the decoder (and leaves the output as it was). Once ignored, the
// rest of that round is ignored too.
class KelvoDecoderStressTest {
  // Every size has its own pixel count, so no payload fits another thread's size.
  static final int[][] SIZES = {{16, 16}, {32, 16}, {24, 24}, {16, 40}};
  static final int FRAMES = 3;
  static final float[] TABLE = KelvoDecoderTest.table(8, 2.5f);

  // Stream t from its start on d, with fresh arrays each time, so the collector has movable objects
  // to deal with around the critical regions; with `ignored`, calls that must change nothing
  // (wrong lengths, null arrays) between the good ones.
  static byte[][] run(KelvoDecoder d, int t, boolean ignored) {
    int w = SIZES[t][0], h = SIZES[t][1];
    d.reinitDLL(w, h);
    d.setQuantizationTable(TABLE);
    if (ignored) {
      d.setQuantizationTable(new float[65]);
      d.setQuantizationTable(null);
    }
    byte[][] out = new byte[FRAMES][];
    for (int f = 0; f < FRAMES; f++) {
      byte[] payload = KelvoDecoderTest.randomPayload(w, h, 100 * t + f);
      out[f] = KelvoDecoderTest.filled(3 * w * h, 0x5A);
      d.decodeFrame(payload, out[f], true);
      if (!ignored) continue;
      d.decodeFrame(new byte[payload.length + 1], out[f], true);
      d.decodeFrame(null, out[f], true);
      d.decodeFrame(payload, new byte[3 * w * h - 1], true);
      d.decodeFrame(payload, null, true);
    }
    return out;
  }

  @Test
  void concurrentCallsMatchSingleThreadedRun() throws Exception {
    KelvoDecoder shared = new KelvoDecoder();
    // 3 * 32768 * 21846 is just above 2^31.
    for (int[] s : new int[][] {{-1, 16}, {16, -1}, {32768, 21846}})
      assertThrows(IllegalArgumentException.class, () -> shared.reinitDLL(s[0], s[1]));
    byte[][][] reference = new byte[SIZES.length][][];
    for (int t = 0; t < SIZES.length; t++) reference[t] = run(shared, t, false);

    AtomicBoolean stop = new AtomicBoolean();
    AtomicLong accepted = new AtomicLong();
    ExecutorService pool = Executors.newFixedThreadPool(SIZES.length + 2);
    List<Future<?>> jobs = new ArrayList<>();
    for (int t = 0; t < SIZES.length; t++) {
      final int id = t;
      jobs.add(pool.submit(() -> {
        KelvoDecoder d = new KelvoDecoder();
        byte[] untouched = KelvoDecoderTest.filled(reference[id][0].length, 0x5A);
        while (!stop.get()) {
          byte[][] out = run(d, id, true);
          boolean open = true;
          for (int f = 0; f < FRAMES; f++) {
            if (open && Arrays.equals(out[f], reference[id][f])) {
              accepted.incrementAndGet();
            } else {
              assertArrayEquals(untouched, out[f], "thread " + id + " frame " + f);
              open = false;
            }
          }
        }
        return null;
      }));
    }
    for (int g = 0; g < 2; g++) {
      jobs.add(pool.submit(() -> {
        byte[][] keep = new byte[64][];
        for (int i = 0; !stop.get(); i++) keep[i & 63] = new byte[1024 * (1 + i % 256)];
        return keep.length;
      }));
    }
    Thread.sleep(3000);
    stop.set(true);
    pool.shutdown();
    for (Future<?> job : jobs) job.get();
    assertTrue(accepted.get() >= 100, "too few accepted decodes: " + accepted.get());
  }
}
