package org.kelvo.Kelvo4.Decoder;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

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

  @Test
  void concurrentCallsMatchSingleThreadedRun() throws Exception {
    KelvoDecoder shared = new KelvoDecoder();
    float[] table = KelvoDecoderTest.table(8, 2.5f);
    byte[][][] payloads = new byte[SIZES.length][FRAMES][];
    byte[][][] reference = new byte[SIZES.length][FRAMES][];
    for (int t = 0; t < SIZES.length; t++) {
      int w = SIZES[t][0], h = SIZES[t][1];
      shared.reinitDLL(w, h);
      shared.setQuantizationTable(table);
      for (int f = 0; f < FRAMES; f++) {
        payloads[t][f] = KelvoDecoderTest.randomPayload(w, h, 100 * t + f);
        reference[t][f] = new byte[3 * w * h];
        shared.decodeFrame(payloads[t][f], reference[t][f], true);
      }
    }

    AtomicBoolean stop = new AtomicBoolean();
    AtomicLong accepted = new AtomicLong();
    ExecutorService pool = Executors.newFixedThreadPool(SIZES.length + 2);
    List<Future<?>> jobs = new ArrayList<>();
    for (int t = 0; t < SIZES.length; t++) {
      final int id = t, w = SIZES[t][0], h = SIZES[t][1];
      jobs.add(pool.submit(() -> {
        KelvoDecoder d = new KelvoDecoder();
        while (!stop.get()) {
          d.reinitDLL(w, h);
          d.setQuantizationTable(table);
          d.setQuantizationTable(new float[65]);
          boolean open = true;
          for (int f = 0; f < FRAMES; f++) {
            // Fresh arrays each time, so the collector has movable objects to
            // deal with around the critical regions.
            byte[] out = KelvoDecoderTest.filled(3 * w * h, 0x5A);
            d.decodeFrame(payloads[id][f].clone(), out, true);
            d.decodeFrame(new byte[payloads[id][f].length + 1], out, true);
            if (open && Arrays.equals(out, reference[id][f])) {
              accepted.incrementAndGet();
            } else {
              assertArrayEquals(KelvoDecoderTest.filled(3 * w * h, 0x5A), out, "thread " + id + " frame " + f);
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
