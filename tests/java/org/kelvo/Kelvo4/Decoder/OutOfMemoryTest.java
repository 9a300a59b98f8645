package org.kelvo.Kelvo4.Decoder;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import org.junit.jupiter.api.Test;

// Runs in a VM whose address space is limited (kelvo4.limitedMemory set), so
// that frame buffers of the largest supported size cannot be allocated.
class OutOfMemoryTest {
  @Test
  void failedAllocationThrowsAndLeavesUnsizedDecoder() {
    assumeTrue(System.getProperty("kelvo4.limitedMemory") != null, "kelvo4.limitedMemory not set");
    KelvoDecoder d = new KelvoDecoder();
    d.reinitDLL(16, 16);
    d.setQuantizationTable(KelvoDecoderTest.table(8, 0));
    // 3 * 26754 * 26754 is just below 2^31: a supported size of 4 GiB a frame.
    assertThrows(OutOfMemoryError.class, () -> d.reinitDLL(26754, 26754));

    // Sized 0 x 0 now: only empty arrays are taken.
    byte[] out = new byte[768];
    d.decodeFrame(new byte[384], out, true);
    assertArrayEquals(new byte[768], out);
    d.decodeFrame(new byte[0], new byte[0], true);

    d.reinitDLL(16, 16);
    d.decodeFrame(KelvoDecoderTest.dcPayload(10, -128, -128), out, true);
    KelvoDecoderTest.assertPixels(out, 10, 10, 10);
  }

  @Test
  void streamDecoderFailedAllocationThrowsAndLeavesItUnsized() {
    assumeTrue(System.getProperty("kelvo4.limitedMemory") != null, "kelvo4.limitedMemory not set");
    int live = KelvoStreamDecoder.liveHandles();
    assertThrows(OutOfMemoryError.class, () -> new KelvoStreamDecoder(26754, 26754, 2));
    assertEquals(live, KelvoStreamDecoder.liveHandles());
    try (KelvoStreamDecoder d = new KelvoStreamDecoder(16, 16, 2)) {
      d.setQuantizationTable(KelvoDecoderTest.table(8, 0));
      assertThrows(OutOfMemoryError.class, () -> d.reinit(26754, 26754));
      assertEquals(0, d.width() + d.height());
      d.decodeFrame(new byte[0], new byte[0], true);
      d.reinit(16, 16);
      byte[] out = new byte[768];
      d.decodeFrame(KelvoDecoderTest.dcPayload(10, -128, -128), out, true);
      KelvoDecoderTest.assertPixels(out, 10, 10, 10);
    }
  }
}
