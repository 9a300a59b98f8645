package org.kelvo.Kelvo4.Decoder;

import static org.junit.jupiter.api.Assertions.*;

import java.awt.image.*;
import java.io.*;
import java.nio.*;
import java.nio.file.*;
import java.util.Arrays;
import java.util.concurrent.*;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicReference;
import org.junit.jupiter.api.*;
import org.junit.jupiter.api.function.Executable;
import org.junit.jupiter.api.io.TempDir;

// What the Java binding adds to the library's stream reader: its sources and outputs, and the
// exceptions the library's errors become (the library's checks of bad files are tested in C++).
class KelvoStreamReaderTest {
  static final int W = 40, H = 24, FRAMES = 10;
  @TempDir static Path dir;
  static Path file, piped; // piped: written to a pipe, its header gives no frame count
  static byte[][] expected; // kelvo-decode's frames

  static Process tool(String name, Object... args) throws IOException {
    String[] command = new String[args.length + 1];
    command[0] = Path.of(System.getProperty("kelvo4.tools"), name).toString();
    for (int i = 0; i < args.length; i++) command[i + 1] = args[i].toString();
    return new ProcessBuilder(command).redirectError(ProcessBuilder.Redirect.INHERIT).start();
  }

  @BeforeAll
  static void encode() throws Exception {
    file = dir.resolve("clip.klv");
    piped = dir.resolve("piped.klv");
    Path raw = dir.resolve("clip.rgb");
    Object[] clip = {"--clip", FRAMES, "--size", W + "x" + H, "--keyint", 4, "--quiet", "-o", file};
    assertEquals(0, tool("kelvo-encode", clip).waitFor());
    clip[clip.length - 1] = "-";
    Process p = tool("kelvo-encode", clip);
    Files.copy(p.getInputStream(), piped);
    assertEquals(0, p.waitFor());
    assertEquals(0, tool("kelvo-decode", "--quiet", file, raw).waitFor());
    byte[] all = Files.readAllBytes(raw);
    assertEquals(3 * W * H * FRAMES, all.length);
    expected = new byte[FRAMES][];
    for (int f = 0; f < FRAMES; f++) expected[f] = Arrays.copyOfRange(all, 3 * W * H * f, 3 * W * H * (f + 1));
  }

  static byte[] toRgb(int[] argb) {
    byte[] rgb = new byte[3 * argb.length];
    for (int i = 0; i < rgb.length; i++) rgb[i] = (byte) (argb[i / 3] >> (16 - 8 * (i % 3)));
    return rgb;
  }

  // Plays from `from` to the end as bytes, packed pixels, a caller's picture and a new picture in
  // turn; at the end every output is left as it was.
  static void assertFrames(KelvoStreamReader r, int from) throws IOException {
    byte[] rgb = new byte[3 * W * H];
    int[] argb = new int[W * H];
    BufferedImage image = new BufferedImage(W, H, BufferedImage.TYPE_INT_ARGB);
    for (int f = from; f < FRAMES; f++) {
      assertEquals(f, r.position());
      if (f % 4 == 0) assertTrue(r.next(rgb));
      else if (f % 4 == 1) assertTrue(r.next(argb));
      else if (f % 4 == 2) assertTrue(r.next(image));
      BufferedImage picture = f % 4 == 2 ? image : f % 4 == 3 ? r.nextImage() : null;
      byte[] got = picture != null ? toRgb(picture.getRGB(0, 0, W, H, null, 0, W)) : f % 4 == 1 ? toRgb(argb) : rgb;
      assertArrayEquals(expected[f], got, "frame " + f);
    }
    byte[] rgbBefore = rgb.clone();
    int[] argbBefore = argb.clone();
    assertFalse(r.next(rgb) || r.next(argb) || r.next(image));
    assertNull(r.nextImage());
    assertArrayEquals(rgbBefore, rgb);
    assertArrayEquals(argbBefore, argb);
  }

  // A picture whose raster has ints after each row, and one inside a larger picture, get the
  // frame where their rasters keep it (the pixels next(int[]) gives); no other int changes.
  @Test
  void paddedRastersAndSubimagesTakeTheFrameInPlace() throws Exception {
    final int filler = 0x12345678, padded = W + 3, wide = W + 7;
    DirectColorModel rgb = new DirectColorModel(24, 0xFF0000, 0xFF00, 0xFF);
    DataBufferInt padding = new DataBufferInt(padded * H + 5);
    BufferedImage withPadding = new BufferedImage(rgb,
        Raster.createPackedRaster(padding, W, H, padded, rgb.getMasks(), null), false, null);
    BufferedImage large = new BufferedImage(wide, H + 5, BufferedImage.TYPE_INT_ARGB);
    BufferedImage inside = large.getSubimage(3, 2, W, H);
    int[][] arrays = {padding.getData(), ((DataBufferInt) large.getRaster().getDataBuffer()).getData()};
    for (int[] a : arrays) Arrays.fill(a, filler);
    int[] argb = new int[W * H];
    try (KelvoStreamReader plain = new KelvoStreamReader(file); KelvoStreamReader r = new KelvoStreamReader(file, 2)) {
      for (int f = 0; f < FRAMES; f++) {
        assertTrue(plain.next(argb));
        assertTrue(r.next(f % 2 == 0 ? withPadding : inside));
        int[] data = arrays[f % 2];
        int offset = f % 2 == 0 ? 0 : 2 * wide + 3, stride = f % 2 == 0 ? padded : wide;
        for (int i = 0; i < data.length; i++) {
          int y = (i - offset) / stride, x = (i - offset) % stride;
          boolean pixel = i >= offset && y < H && x < W;
          assertEquals(pixel ? argb[y * W + x] : filler, data[i], "frame " + f + " int " + i);
        }
      }
    }
  }

  @Test
  void filesAndInputStreamsGiveTheDecodeToolsFrames() throws Exception {
    for (int threads = 1; threads <= 2; threads++) {
      try (KelvoStreamReader r = new KelvoStreamReader(file, threads)) {
        assertArrayEquals(new int[] {W, H, 48, 32, 3, FRAMES}, new int[] {r.width(), r.height(), r.codedWidth(),
            r.codedHeight(), r.version(), r.frameCount()});
        assertEquals(30.0, r.frameRate());
        assertArrayEquals(new int[] {0, 4, 8}, r.keyFrames());
        assertFrames(r, 0);
        r.seek(5);
        assertFrames(r, 5);
      }
      try (KelvoStreamReader r = new KelvoStreamReader(Files.newInputStream(piped), threads)) {
        assertEquals(-1, r.frameCount());
        r.seek(3);
        assertFrames(r, 3);
        assertEquals(FRAMES, r.frameCount());
        assertArrayEquals(new int[] {0, 4, 8}, r.keyFrames());
      }
    }
  }

  @Test
  void errorsBecomeJavaExceptionsWithTheLibrarysMessage() throws Exception {
    Path missing = dir.resolve("missing.klv");
    NoSuchFileException gone = assertThrows(NoSuchFileException.class, () -> new KelvoStreamReader(missing));
    assertTrue(gone.getMessage().startsWith(missing + ": "), gone.getMessage());
    assertThrows(IllegalArgumentException.class, () -> new KelvoStreamReader(file, 0));
    IOException large = assertThrows(IOException.class, () -> new KelvoStreamReader(file, 1, W * H - 1));
    assertTrue(large.getMessage().endsWith(": a picture of 40x24 is more than the 959 pixels this reader is set to"
        + " accept"), large.getMessage());
    new KelvoStreamReader(Files.newInputStream(file), 1, W * H).close();

    // Frame 1's record (after frame 0's record header, table and payload) gets impossible flags.
    byte[] bytes = Files.readAllBytes(file);
    int at = 48 + 8 + 256 + ByteBuffer.wrap(bytes).order(ByteOrder.LITTLE_ENDIAN).getInt(52);
    bytes[at] = 0x7F;
    Path bad = Files.write(dir.resolve("bad.klv"), bytes);
    try (KelvoStreamReader r = new KelvoStreamReader(bad)) {
      assertTrue(r.next(new byte[3 * W * H]));
      IOException e = assertThrows(IOException.class, () -> r.next(new int[W * H]));
      assertEquals(IOException.class, e.getClass());
      assertTrue(e.getMessage().startsWith(bad + ": frame 1 at byte " + at + ": "), e.getMessage());
      assertEquals(bad + ": no frame " + (FRAMES + 1) + " (the stream has " + FRAMES + " frames)",
          assertThrows(IllegalArgumentException.class, () -> r.seek(FRAMES + 1)).getMessage());
      r.seek(8); // a file reader goes on from a key frame after the fault
      assertFrames(r, 8);
    }
    // Cut inside frame 1's record: frame 0 plays, then the damage, named at open.
    Path cut = Files.write(dir.resolve("cut.klv"), Arrays.copyOf(Files.readAllBytes(file), at + 300));
    try (KelvoStreamReader r = new KelvoStreamReader(cut)) {
      assertTrue(r.damage().startsWith(cut + ": truncated at byte " + (at + 300) + ", frame 1: 300 of "), r.damage());
      assertEquals(1, r.frameCount());
      byte[] rgb = new byte[3 * W * H];
      assertTrue(r.next(rgb));
      assertArrayEquals(expected[0], rgb);
      // Every way on past the intact frames names the damage, none ends as an intact stream.
      assertEquals(r.damage(), assertThrows(IOException.class, r::nextImage).getMessage());
      assertEquals(r.damage(), assertThrows(IOException.class, () -> r.next(rgb)).getMessage());
      assertEquals(cut + ": no frame 2: the file has 1 intact frames, then " + r.damage().substring(cut.toString().length() + 2),
          assertThrows(IOException.class, () -> r.seek(2)).getMessage());
    }
    try (KelvoStreamReader r = new KelvoStreamReader(Files.newInputStream(piped))) {
      r.seek(5);
      assertThrows(UnsupportedOperationException.class, () -> r.seek(4));
      assertThrows(IllegalArgumentException.class, () -> r.seek(-1));
      EOFException eof = assertThrows(EOFException.class, () -> r.seek(FRAMES + 1));
      assertTrue(eof.getMessage().startsWith("stream: "), eof.getMessage());
    }
  }

  @Test
  void anInputStreamsOwnExceptionComesOut() throws Exception {
    byte[] bytes = Files.readAllBytes(piped);
    for (int threads : new int[] {1, 2}) {
      for (int limit : new int[] {20, bytes.length / 2}) { // in the header, among the frames
        IOException failure = new IOException("unplugged");
        InputStream in = new InputStream() { // the first `limit` bytes, then the failure
          int done;

          @Override
          public int read() throws IOException {
            if (done == limit) throw failure;
            return bytes[done++] & 0xFF;
          }
        };
        assertSame(failure, assertThrows(IOException.class, () -> {
          try (KelvoStreamReader r = new KelvoStreamReader(in, threads)) {
            while (r.next(new byte[3 * W * H])) continue;
          }
        }));
      }
    }
  }

  @Test
  void aClosedReaderClosesItsStreamAndRefusesEveryCall() throws Exception {
    InputStream in = Files.newInputStream(piped);
    KelvoStreamReader r = new KelvoStreamReader(in);
    r.seek(2);
    Closeable closeable = r;
    closeable.close();
    r.close(); // again: nothing
    assertThrows(IOException.class, in::read); // closed
    Executable[] calls = {() -> r.next(new byte[3 * W * H]), () -> r.next(new int[W * H]), r::nextImage,
        () -> r.seek(3), r::position, r::keyFrames, r::width};
    for (Executable call : calls) assertThrows(IllegalStateException.class, call);
  }

  // InputStreams that turn on the reader they feed. Each case must end, within its time, in an
  // exception, never a crash of the VM or a hang.
  @Nested
  @Timeout(value = 30, threadMode = Timeout.ThreadMode.SEPARATE_THREAD)
  class HostileInputStreams {
    final byte[] bytes;
    final int frame1; // where frame 1's record starts
    final AtomicReference<KelvoStreamReader> reader = new AtomicReference<>();

    HostileInputStreams() throws IOException {
      bytes = Files.readAllBytes(piped);
      ByteBuffer b = ByteBuffer.wrap(bytes).order(ByteOrder.LITTLE_ENDIAN);
      frame1 = 48 + 8 + ((bytes[48] & 2) != 0 ? 256 : 0) + b.getInt(52);
    }

    // The piped stream in pieces of at most 64 bytes. The first read at or past byte `at` runs
    // `act` first, which may say what that read returns instead (-1, or more than was asked).
    class Hostile extends InputStream {
      final CountDownLatch waiting = new CountDownLatch(1), closed = new CountDownLatch(1);
      final int at;
      final Act act;
      int done;
      boolean acted;

      Hostile(int at, Act act) {
        this.at = at;
        this.act = act;
      }

      @Override
      public int read() {
        throw new AssertionError("read single bytes");
      }

      @Override
      public int read(byte[] b, int off, int len) throws IOException {
        if (done >= at && !acted) {
          acted = true;
          Integer instead = act.run(this, len);
          if (instead != null) return instead;
        }
        int n = Math.min(Math.min(len, 64), bytes.length - done);
        if (n <= 0) return -1;
        System.arraycopy(bytes, done, b, off, n);
        done += n;
        return n;
      }

      @Override
      public void close() {
        closed.countDown();
      }

      // Waits until closed, as a socket's read does.
      void waitForClose() {
        waiting.countDown();
        try {
          closed.await();
        } catch (InterruptedException e) {
          Thread.currentThread().interrupt();
        }
      }
    }

    KelvoStreamReader open(InputStream in, int threads) throws IOException {
      KelvoStreamReader r = new KelvoStreamReader(in, threads);
      reader.set(r);
      return r;
    }

    Exception playToTheEnd(KelvoStreamReader r) {
      return assertThrows(Exception.class, () -> {
        while (r.next(new byte[3 * W * H])) continue;
      });
    }

    @Test
    void readClosesTheReader() throws Exception {
      for (int threads : new int[] {1, 2}) {
        boolean[] interrupted = {false};
        KelvoStreamReader r = open(new Hostile(frame1 + 500, (in, len) -> {
          reader.get().close();
          interrupted[0] = Thread.currentThread().isInterrupted(); // not by its own close
          return null;
        }), threads);
        Exception e = playToTheEnd(r);
        assertFalse(interrupted[0]);
        assertTrue(e instanceof IOException || e instanceof IllegalStateException, e.toString());
        assertThrows(IllegalStateException.class, () -> r.next(new byte[3 * W * H]));
      }
    }

    @Test
    void readCallsBackIntoTheReader() throws Exception {
      Act[] calls = {(in, len) -> {
        reader.get().next(new byte[3 * W * H]);
        return null;
      }, (in, len) -> {
        reader.get().seek(9);
        return null;
      }, (in, len) -> reader.get().frameCount()};
      for (int threads : new int[] {1, 2}) {
        for (Act call : calls) {
          KelvoStreamReader r = open(new Hostile(frame1 + 500, call), threads);
          Exception e = playToTheEnd(r);
          assertEquals(IllegalStateException.class, e.getClass(), e.toString());
          assertTrue(e.getMessage().contains("inside its own InputStream's read"), e.getMessage());
          r.close();
        }
      }
    }

    @Test
    void aReadThatReturnsMoreThanAskedIsNamed() {
      IOException e = assertThrows(IOException.class, () -> open(new Hostile(0, (in, len) -> len + 1), 1));
      assertTrue(e.getMessage().matches("stream: the InputStream's read returned \\d+ bytes where at most \\d+ were"
          + " asked for"), e.getMessage());
    }

    // Close from another thread returns at once, and the call that waited in read fails saying
    // why, whether the read then throws or ends the stream (and through nextImage too).
    @Test
    void closeEndsAReadThatWaits() throws Exception {
      AtomicReference<Thread> playing = new AtomicReference<>();
      ExecutorService player = Executors.newSingleThreadExecutor(task -> {
        playing.set(new Thread(task));
        return playing.get();
      });
      try {
        for (int threads : new int[] {1, 2}) {
          boolean ends = threads == 2;
          Hostile in = new Hostile(frame1 + 500, (self, len) -> {
            self.waitForClose();
            if (ends) return -1;
            throw new IOException("stream closed");
          });
          KelvoStreamReader r = open(in, threads);
          AtomicInteger frames = new AtomicInteger();
          Future<Exception> played = player.submit(() -> {
            Exception e = ends ? assertThrows(Exception.class, () -> {
              while (r.nextImage() != null) frames.incrementAndGet();
            }) : playToTheEnd(r);
            // The read (1 thread) was interrupted, and kept the flag: the caller gets it as it was.
            return Thread.interrupted() ? new Exception("interrupt flag left set") : e;
          });
          assertTrue(in.waiting.await(10, TimeUnit.SECONDS));
          // With 2 threads the worker waits in read, reading ahead: close once the player's call
          // after the one whole frame waits for it (a close between calls, or during the call that
          // decodes that frame, is refused by the call that follows).
          while (ends && frames.get() == 0 || !insideNative(playing.get())) Thread.sleep(1);
          long start = System.nanoTime();
          r.close();
          assertTrue(System.nanoTime() - start < TimeUnit.SECONDS.toNanos(2));
          Exception e = played.get(10, TimeUnit.SECONDS);
          assertEquals(IOException.class, e.getClass(), e.toString());
          assertEquals("stream: the reader was closed while it was reading", e.getMessage());
        }
      } finally {
        player.shutdownNow();
      }
    }

    // A PipedInputStream's read wakes on an interrupt only: close ends it whether it runs on the
    // caller's thread or on the reader's worker.
    @Test
    void closeEndsAPipedRead() throws Exception {
      for (int threads : new int[] {1, 2}) {
        PipedInputStream in = new PipedInputStream(bytes.length);
        new PipedOutputStream(in).write(bytes, 0, frame1 - 100); // this thread, the writer, lives on
        KelvoStreamReader r = open(in, threads);
        FutureTask<Exception> played = new FutureTask<>(() -> playToTheEnd(r));
        Thread player = new Thread(played);
        player.start();
        while (!insideNative(player)) Thread.sleep(1);
        r.close();
        assertEquals("stream: the reader was closed while it was reading", played.get(2, TimeUnit.SECONDS).getMessage());
      }
    }

    // Whether a thread waits in the reader, in a next call: its read waits (1 thread), or it
    // waits for the worker (2 threads).
    boolean insideNative(Thread t) {
      return Arrays.stream(t.getStackTrace()).anyMatch(e -> e.isNativeMethod()
          && e.getClassName().endsWith("KelvoStreamReader") && e.getMethodName().startsWith("next"));
    }

    // Readers forgotten while their worker waits in read: the shared Cleaner does not wait for
    // them, and still frees the decoders forgotten after them. Half wait in a PipedInputStream
    // (this thread, its writer, lives on), which only an interrupt ends.
    @Test
    void forgottenReadersDoNotHoldUpTheCleaner() throws Exception {
      for (int i = 0; i < 20; i++) {
        Hostile in = new Hostile(frame1 + 500, (self, len) -> {
          self.waitForClose();
          return -1;
        });
        PipedInputStream piped = new PipedInputStream(bytes.length);
        new PipedOutputStream(piped).write(bytes, 0, frame1 + 500);
        KelvoStreamReader r = new KelvoStreamReader(i % 2 == 0 ? in : piped, 2);
        assertTrue(r.next(new byte[3 * W * H])); // the worker reads on, into frame 1, and waits
        if (i % 2 == 0) assertTrue(in.waiting.await(10, TimeUnit.SECONDS));
      }
      for (int i = 0; i < 20; i++) new KelvoStreamDecoder(16, 16);
      long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(20);
      while ((KelvoStreamDecoder.liveHandles() > 0 || readerThreads() > 0) && System.nanoTime() < deadline) {
        System.gc();
        Thread.sleep(50);
      }
      assertEquals(0, KelvoStreamDecoder.liveHandles());
      assertEquals(0, readerThreads()); // no worker left in read, nor a thread joining one
    }

    long readerThreads() {
      return Thread.getAllStackTraces().keySet().stream().filter(t -> t.getName().startsWith("kelvo4")).count();
    }
  }

  interface Act {
    Integer run(HostileInputStreams.Hostile in, int len) throws IOException;
  }
}
