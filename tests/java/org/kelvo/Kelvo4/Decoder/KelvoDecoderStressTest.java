package org.kelvo.Kelvo4.Decoder;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicLong;
import org.junit.jupiter.api.Test;

// Threads drive the one decoder at once while others force collections. Each
// decoding thread has a frame size of its own and restarts its stream with
// reinitDLL, so a decode of its stream is either accepted and predicted only
// from its own frames (and must equal the single-threaded result), or ignored
// because another thread re-sized the decoder (and leaves the output as it
// was). Once ignored, the rest of that round is ignored too.
class KelvoDecoderStressTest {
  // Every size has its own pixel count, so no payload fits another thread's size.
  static final int[][] SIZES = {{16, 16}, {32, 16}, {24, 24}, {16, 40}};
  static final int FRAMES = 3;
  static final long MILLIS = 3000;
  static final byte SENTINEL = 0x5A;

  static float[] table() {
    float[] t = new float[64];
    Arrays.fill(t, 2.5f);
    t[0] = 8;
    return t;
  }

  static byte[][] expected(KelvoDecoder d, int w, int h, byte[][] payloads) {
    d.reinitDLL(w, h);
    d.setQuantizationTable(table());
    byte[][] out = new byte[FRAMES][3 * w * h];
    for (int f = 0; f < FRAMES; f++) d.decodeFrame(payloads[f], out[f], true);
    return out;
  }

  @Test
  void concurrentCallsMatchSingleThreadedRun() throws Exception {
    KelvoDecoder shared = new KelvoDecoder();
    byte[][][] payloads = new byte[SIZES.length][FRAMES][];
    byte[][][] reference = new byte[SIZES.length][][];
    for (int t = 0; t < SIZES.length; t++) {
      for (int f = 0; f < FRAMES; f++)
        payloads[t][f] = KelvoDecoderTest.randomPayload(SIZES[t][0], SIZES[t][1], 100 * t + f);
      reference[t] = expected(shared, SIZES[t][0], SIZES[t][1], payloads[t]);
      byte[] sentinel = new byte[reference[t][0].length];
      Arrays.fill(sentinel, SENTINEL);
      for (byte[] r : reference[t]) assertTrue(!Arrays.equals(r, sentinel));
    }

    AtomicBoolean stop = new AtomicBoolean();
    AtomicLong accepted = new AtomicLong(), ignored = new AtomicLong();
    ExecutorService pool = Executors.newFixedThreadPool(SIZES.length + 2);
    List<Future<?>> jobs = new ArrayList<>();
    for (int t = 0; t < SIZES.length; t++) {
      final int id = t;
      jobs.add(
          pool.submit(
              () -> {
                KelvoDecoder d = new KelvoDecoder();
                int w = SIZES[id][0], h = SIZES[id][1];
                float[] table = table();
                while (!stop.get()) {
                  d.reinitDLL(w, h);
                  d.setQuantizationTable(table);
                  d.setQuantizationTable(new float[65]);
                  boolean open = true;
                  for (int f = 0; f < FRAMES; f++) {
                    // Fresh arrays each time, so the collector has movable
                    // objects to deal with around the critical regions.
                    byte[] payload = payloads[id][f].clone();
                    byte[] out = new byte[3 * w * h];
                    Arrays.fill(out, SENTINEL);
                    d.decodeFrame(payload, out, true);
                    d.decodeFrame(new byte[payload.length + 1], out, true);
                    if (open && Arrays.equals(out, reference[id][f])) {
                      accepted.incrementAndGet();
                      continue;
                    }
                    byte[] untouched = new byte[out.length];
                    Arrays.fill(untouched, SENTINEL);
                    assertArrayEquals(untouched, out, "thread " + id + " frame " + f);
                    open = false;
                    ignored.incrementAndGet();
                  }
                }
                return null;
              }));
    }
    for (int g = 0; g < 2; g++) {
      jobs.add(
          pool.submit(
              () -> {
                byte[][] keep = new byte[64][];
                int i = 0;
                while (!stop.get()) keep[i++ & 63] = new byte[1024 * (1 + (i % 256))];
                return keep.length;
              }));
    }
    Thread.sleep(MILLIS);
    stop.set(true);
    pool.shutdown();
    for (Future<?> job : jobs) job.get();
    System.out.printf("stress: %d decodes accepted, %d ignored%n", accepted.get(), ignored.get());
    if (accepted.get() < 100) fail("too few accepted decodes: " + accepted.get());
  }
}
