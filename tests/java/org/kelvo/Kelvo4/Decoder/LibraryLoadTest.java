package org.kelvo.Kelvo4.Decoder;

import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.List;
import java.util.stream.Collectors;
import org.junit.jupiter.api.Test;

// Where the VM took libKelvo4.so from: the directory in kelvo4.libraryDir,
// either java.library.path or the temporary directory the packed copy is
// extracted to.
class LibraryLoadTest {
  @Test
  void libraryComesFromExpectedPlaceAndDecodes() throws Exception {
    String dir = System.getProperty("kelvo4.libraryDir");
    assumeTrue(dir != null, "kelvo4.libraryDir not set");
    KelvoDecoder d = new KelvoDecoder();
    d.reinitDLL(16, 16);
    byte[] out = new byte[768];
    d.decodeFrame(new byte[384], out, true);
    KelvoDecoderTest.assertPixels(out, 0, 0, 255);

    Path expected = Paths.get(dir).toRealPath();
    List<String> mapped = Files.readAllLines(Paths.get("/proc/self/maps")).stream()
                              .filter(l -> l.contains("libKelvo4"))
                              .map(l -> l.substring(l.indexOf('/')))
                              .collect(Collectors.toList());
    assertFalse(mapped.isEmpty());
    for (String file : mapped) assertTrue(file.startsWith(expected + "/"), file);
  }
}
