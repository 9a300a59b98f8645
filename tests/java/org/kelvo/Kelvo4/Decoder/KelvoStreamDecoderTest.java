package org.kelvo.Kelvo4.Decoder;

import static org.junit.jupiter.api.Assertions.*;

import java.nio.*;
import java.util.*;
import java.util.concurrent.*;
import java.util.function.Consumer;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.function.Executable;

class KelvoStreamDecoderTest {
  // Width, height and threads of four streams, each of several 16-row bands.
  static final int[][] STREAMS = {{48, 32, 1}, {40, 40, 2}, {64, 48, 3}, {24, 72, 2}};
  static final int FRAMES = 5;

  static float[] table(int s) { return KelvoDecoderTest.table(3 + s, 2 + 0.5f * s); }

  static byte[] payload(int s, int f) {
    return KelvoDecoderTest.randomPayload(STREAMS[s][0], STREAMS[s][1], s * 10 + f);
  }

  // Restarts d on stream s and decodes it through arrays (way 0), direct buffers whose bytes start at
  // positions 7 and 11 of larger ones (1) or packed pixels (2). Frame 2 is not converted (null).
  static byte[][] run(KelvoStreamDecoder d, int s, int way) {
    int n = STREAMS[s][0] * STREAMS[s][1];
    d.reinit(STREAMS[s][0], STREAMS[s][1]);
    d.setQuantizationTable(table(s));
    ByteBuffer in = ByteBuffer.allocateDirect(n + n / 2 + 20), out = ByteBuffer.allocateDirect(3 * n + 20);
    byte[][] frames = new byte[FRAMES][];
    for (int f = 0; f < FRAMES; f++) {
      boolean convert = f != 2;
      byte[] p = payload(s, f), o = frames[f] = convert ? new byte[3 * n] : null;
      if (way == 0 || way == 2 && !convert) d.decodeFrame(p, o, convert);
      if (way == 1) {
        in.clear().position(7);
        in.put(p).flip().position(7);
        out.clear().position(11).limit(11 + 3 * n);
        d.decodeFrame(in, convert ? out : null, convert);
        assertEquals(in.limit(), in.position());
        assertEquals(convert ? out.limit() : 11, out.position());
        if (convert) out.position(11).get(o);
      } else if (way == 2 && convert) {
        int[] argb = new int[n];
        d.decodeFrame(p, argb);
        for (int i = 0; i < 3 * n; i++) o[i] = (byte) (argb[i / 3] >> (16 - 8 * (i % 3)));
        for (int pixel : argb) assertEquals(0xFF, pixel >>> 24);
      }
    }
    return frames;
  }

  // Each stream on its own, through arrays, then all at once, two of them through direct buffers
  // and packed pixels.
  @Test
  void fourStreamsAtOnceMatchEachAlone() throws Exception {
    byte[][][] alone = new byte[STREAMS.length][][];
    try (KelvoStreamDecoder d = new KelvoStreamDecoder(0, 0)) {
      for (int s = 0; s < STREAMS.length; s++) alone[s] = run(d, s, 0);
    }
    KelvoDecoder plain = new KelvoDecoder();
    plain.reinitDLL(48, 32);
    plain.setQuantizationTable(table(0));
    for (int f = 0; f < FRAMES; f++) {
      byte[] out = f == 2 ? null : new byte[3 * 48 * 32];
      plain.decodeFrame(payload(0, f), out, f != 2);
      assertArrayEquals(alone[0][f], out, "plain frame " + f);
    }

    ExecutorService pool = Executors.newFixedThreadPool(STREAMS.length);
    List<Future<?>> jobs = new ArrayList<>();
    for (int t = 0; t < STREAMS.length; t++) {
      final int s = t;
      jobs.add(pool.submit(() -> {
        try (KelvoStreamDecoder d = new KelvoStreamDecoder(16, 16, STREAMS[s][2])) {
          for (int round = 0; round < 300; round++) {
            byte[][] out = run(d, s, s % 3);
            for (int f = 0; f < FRAMES; f++) assertArrayEquals(alone[s][f], out[f], "stream " + s + " frame " + f);
          }
        }
        return null;
      }));
    }
    pool.shutdown();
    for (Future<?> job : jobs) job.get();
  }

  // Frame B of a 32x16 stream on two threads, with `between` run after frame A.
  static byte[] frameBAfter(Consumer<KelvoStreamDecoder> between) {
    try (KelvoStreamDecoder d = new KelvoStreamDecoder(32, 16, 2)) {
      d.setQuantizationTable(KelvoDecoderTest.table(3.5f, 3.5f));
      d.decodeFrame(KelvoDecoderTest.randomPayload(32, 16, 1), new byte[1536], true);
      between.accept(d);
      byte[] out = new byte[1536];
      d.decodeFrame(KelvoDecoderTest.randomPayload(32, 16, 2), out, true);
      return out;
    }
  }

  @Test
  void misuseThrowsAndChangesNothing() {
    byte[] good = KelvoDecoderTest.randomPayload(32, 16, 3), out = KelvoDecoderTest.filled(1536, 0x5A);
    ByteBuffer in = ByteBuffer.allocateDirect(768).put(good).flip(), direct = ByteBuffer.allocateDirect(1536);
    List<Consumer<KelvoStreamDecoder>> illegal = List.of(d -> d.decodeFrame(new byte[767], out, true),
        d -> d.decodeFrame(good, new byte[1537], true), d -> d.decodeFrame(good, new int[511]),
        d -> d.decodeFrame(ByteBuffer.wrap(good), direct, true),
        d -> d.decodeFrame(in, ByteBuffer.allocate(1536), true),
        d -> d.decodeFrame(in.duplicate().limit(767), null, false),
        d -> d.decodeFrame(in, ByteBuffer.allocateDirect(1537), true),
        d -> d.setQuantizationTable(new float[65]), d -> d.reinit(-1, 16), d -> d.reinit(32768, 21846),
        d -> new KelvoStreamDecoder(-1, 16, 1).close(), d -> new KelvoStreamDecoder(32768, 21846, 1).close(),
        d -> new KelvoStreamDecoder(16, 16, 0).close(), d -> new KelvoStreamDecoder(16, 16, 65).close());
    List<Consumer<KelvoStreamDecoder>> nulls = List.of(d -> d.decodeFrame(null, out, true),
        d -> d.decodeFrame(good, null, true), d -> d.decodeFrame(good, (int[]) null),
        d -> d.decodeFrame(null, direct, true), d -> d.decodeFrame(in, null, true), d -> d.setQuantizationTable(null));
    byte[] actual = frameBAfter(d -> {
      for (Consumer<KelvoStreamDecoder> c : illegal) assertThrows(IllegalArgumentException.class, () -> c.accept(d));
      for (Consumer<KelvoStreamDecoder> c : nulls) assertThrows(NullPointerException.class, () -> c.accept(d));
      assertThrows(ReadOnlyBufferException.class, () -> d.decodeFrame(in, direct.asReadOnlyBuffer(), true));
      // Only the native side sees that the output would overwrite the payload; it throws as Java would.
      assertEquals("decodeFrame: arguments refused", assertThrows(IllegalArgumentException.class,
          () -> d.decodeFrame(direct.duplicate().limit(768), direct, true)).getMessage());
    });
    assertArrayEquals(frameBAfter(d -> {}), actual);
    assertArrayEquals(KelvoDecoderTest.filled(1536, 0x5A), out);
    assertEquals(0, in.position());
  }

  // Closed twice, then every call throws. (A decoder never closed is freed once collected:
  // KelvoStreamReaderTest.forgottenReadersDoNotHoldUpTheCleaner.)
  @Test
  void closeFreesOnceAndRefusesEveryCall() {
    int live = KelvoStreamDecoder.liveHandles();
    KelvoStreamDecoder d = new KelvoStreamDecoder(16, 16, 2);
    d.close();
    d.close();
    assertEquals(live, KelvoStreamDecoder.liveHandles());
    List<Executable> calls = List.of(() -> d.reinit(16, 16), () -> d.setQuantizationTable(new float[64]),
        () -> d.decodeFrame(new byte[384], new byte[768], true), () -> d.decodeFrame(new byte[384], new int[256]),
        () -> d.decodeFrame(ByteBuffer.allocateDirect(384), null, false), d::width, d::height);
    for (Executable call : calls) assertThrows(IllegalStateException.class, call);
  }
}
