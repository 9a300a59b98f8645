package org.kelvo.Kelvo4.Decoder;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.nio.file.Files;
import java.nio.file.Paths;
import org.junit.jupiter.api.Test;

// Where the VM took libKelvo4.so from: the directory in kelvo4.libraryDir,
// that of the file named by kelvo4.library, java.library.path or the
// temporary directory the packed copy is extracted to.
class LibraryLoadTest {
  @Test
  void libraryComesFromExpectedPlace() throws Exception {
    String dir = System.getProperty("kelvo4.libraryDir");
    assumeTrue(dir != null, "kelvo4.libraryDir not set");
    new KelvoDecoder().reinitDLL(16, 16);  // a native method, linked

    String expected = Paths.get(dir).toRealPath() + "/";
    int mapped = 0;
    for (String line : Files.readAllLines(Paths.get("/proc/self/maps"))) {
      if (!line.contains("libKelvo4")) continue;
      assertTrue(line.substring(line.indexOf('/')).startsWith(expected), line);
      mapped++;
    }
    assertTrue(mapped > 0);
  }

  // The packed copy for each system the jar carries, by the VM's names.
  @Test
  void packedLibraryFollowsTheSystem() {
    assertEquals("/native/linux-x86_64/libKelvo4.so", NativeLibrary.resourceFor("Linux", "amd64"));
    assertEquals("/native/linux-aarch64/libKelvo4.so", NativeLibrary.resourceFor("Linux", "aarch64"));
    assertNull(NativeLibrary.resourceFor("Linux", "riscv64"));
    assertNull(NativeLibrary.resourceFor("Mac OS X", "aarch64"));
  }
}
