package org.kelvo.Kelvo4.Decoder;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
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

  // The packed copy for each system the jar may carry, by the VM's names.
  @Test
  void packedLibraryFollowsTheSystem() {
    String[][] platforms = {
      {"amd64", "x86_64"}, {"x86_64", "x86_64"}, {"aarch64", "aarch64"}, {"arm64", "aarch64"},
      {"i386", "x86"}, {"i686", "x86"}, {"x86", "x86"}, {"arm", "arm"}, {"armv7l", "arm"},
      {"s390x", "s390x"}, {"riscv64", null}, {"ppc64le", null}
    };
    for (String[] p : platforms) {
      String expected = p[1] == null ? null : "/native/linux-" + p[1] + "/libKelvo4.so";
      assertEquals(expected, NativeLibrary.resourceFor("Linux", p[0]), p[0]);
    }
    assertNull(NativeLibrary.resourceFor("Mac OS X", "aarch64"));
    for (String os : new String[] {"Windows 10", "Windows Server 2022"}) {
      assertEquals("/native/windows-x86_64/Kelvo4.dll", NativeLibrary.resourceFor(os, "amd64"), os);
      assertNull(NativeLibrary.resourceFor(os, "x86"), os);
      assertNull(NativeLibrary.resourceFor(os, "aarch64"), os);
    }
  }

  // An old libKelvo4.so (kelvo4.oldLibrary) with KelvoDecoder's natives only is refused, named or
  // found on the path for a system the jar has nothing for, with the natives it lacks; with no
  // library at all, the error names the platforms the jar carries. Nothing is loaded.
  @Test
  void oldLibraryIsRefused() {
    String old = System.getProperty("kelvo4.oldLibrary");
    assumeTrue(old != null, "kelvo4.oldLibrary not set");
    String os = System.getProperty("os.name");
    String arch = System.getProperty("os.arch");
    String named = refusal(() -> NativeLibrary.load(old, os, arch, ""));
    String onPath = refusal(() -> NativeLibrary.load(null, "Linux", "ppc64le", Paths.get(old).getParent().toString()));
    for (String message : new String[] {named, onPath}) {
      assertTrue(message.startsWith(old + " "), message);
      assertTrue(message.contains("Java_org_kelvo_Kelvo4_Decoder_KelvoStreamDecoder_open"), message);
      assertTrue(message.contains("Java_org_kelvo_Kelvo4_Decoder_KelvoStreamReader_nextRgb"), message);
      assertFalse(message.contains("KelvoDecoder_reinitDLL"), message);
    }
    boolean packed = NativeLibrary.class.getResource(NativeLibrary.resourceFor(os, arch)) != null;
    String carries = "no libKelvo4.so for linux-ppc64le: the jar carries "
        + (packed ? NativeLibrary.platform(os, arch) : "none");
    String none = refusal(() -> NativeLibrary.load(null, "Linux", "ppc64le", "/nonexistent"));
    assertTrue(none.startsWith(carries), none);
  }

  private static String refusal(Runnable load) {
    return assertThrows(UnsatisfiedLinkError.class, load::run).getMessage();
  }
}
