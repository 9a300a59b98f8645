package org.kelvo.Kelvo4.Decoder;

import static org.junit.jupiter.api.Assertions.*;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import org.junit.jupiter.api.Test;

// Runs in a VM whose address space is limited (kelvo4.limitedMemory set), so
// that frame buffers of the largest supported size cannot be allocated.
class OutOfMemoryTest {
  @Test
  void failedAllocationThrowsAndLeavesDecodersUnsized() {
    assumeTrue(System.getProperty("kelvo4.limitedMemory") != null, "kelvo4.limitedMemory not set");
    KelvoDecoder plain = new KelvoDecoder();
    plain.reinitDLL(16, 16);
    plain.setQuantizationTable(KelvoDecoderTest.table(8, 0));
    // 3 * 26754 * 26754 is just below 2^31: a supported size of 4 GiB a frame.
    assertThrows(OutOfMemoryError.class, () -> plain.reinitDLL(26754, 26754));

    // Sized 0 x 0 now: only empty arrays are taken.
    byte[] out = new byte[768];
    plain.decodeFrame(new byte[384], out, true);
    assertArrayEquals(new byte[768], out);
    plain.decodeFrame(new byte[0], new byte[0], true);

    plain.reinitDLL(16, 16);
    plain.decodeFrame(KelvoDecoderTest.dcPayload(10, -128, -128), out, true);
    assertArrayEquals(KelvoDecoderTest.filled(768, 10), out);

    // The same for a stream decoder, at open and at reinit.
    int live = KelvoStreamDecoder.liveHandles();
    assertThrows(OutOfMemoryError.class, () -> new KelvoStreamDecoder(26754, 26754, 2));
    assertEquals(live, KelvoStreamDecoder.liveHandles());
    try (KelvoStreamDecoder stream = new KelvoStreamDecoder(16, 16, 2)) {
      stream.setQuantizationTable(KelvoDecoderTest.table(8, 0));
      assertThrows(OutOfMemoryError.class, () -> stream.reinit(26754, 26754));
      assertEquals(0, stream.width() + stream.height());
      stream.decodeFrame(new byte[0], new byte[0], true);
      stream.reinit(16, 16);
      out = new byte[768];
      stream.decodeFrame(KelvoDecoderTest.dcPayload(10, -128, -128), out, true);
      assertArrayEquals(KelvoDecoderTest.filled(768, 10), out);
    }
  }
}
