package org.kelvo.Kelvo4.Decoder;

import static org.junit.jupiter.api.Assertions.*;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.File;
import java.nio.file.*;
import java.util.Arrays;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

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
      {"s390x", "s390x"}, {"ppc64le", "ppc64le"}, {"riscv64", "riscv64"}, {"ppc64", null},
      {"loongarch64", null}
    };
    for (String[] p : platforms) {
      String expected = p[1] == null ? null : "/native/linux-" + p[1] + "/libKelvo4.so";
      assertEquals(expected, NativeLibrary.resourceFor("Linux", p[0]), p[0]);
    }
    assertNull(NativeLibrary.resourceFor("Mac OS X", "aarch64"));
    for (String os : new String[] {"Windows 10", "Windows Server 2022"}) {
      assertEquals("/native/windows-x86_64/Kelvo4.dll", NativeLibrary.resourceFor(os, "amd64"), os);
      assertEquals("/native/windows-x86/Kelvo4.dll", NativeLibrary.resourceFor(os, "x86"), os);
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
    String onPath =
        refusal(() -> NativeLibrary.load(null, "Linux", "loongarch64", Paths.get(old).getParent().toString()));
    for (String message : new String[] {named, onPath}) {
      assertTrue(message.startsWith(old + " "), message);
      assertTrue(message.contains("Java_org_kelvo_Kelvo4_Decoder_KelvoStreamDecoder_open"), message);
      assertTrue(message.contains("Java_org_kelvo_Kelvo4_Decoder_KelvoStreamReader_nextRgb"), message);
      assertFalse(message.contains("KelvoDecoder_reinitDLL"), message);
    }
    boolean packed = NativeLibrary.class.getResource(NativeLibrary.resourceFor(os, arch)) != null;
    String carries = "no libKelvo4.so for linux-loongarch64: the jar carries "
        + (packed ? NativeLibrary.platform(os, arch) : "none");
    String none = refusal(() -> NativeLibrary.load(null, "Linux", "loongarch64", "/nonexistent"));
    assertTrue(none.startsWith(carries), none);
  }

  // A library cut short (a full disk, a damaged jar) is refused before the system's loader maps
  // it, which would crash the VM: the packed copy by its digest, leaving no unpacked copy, and a
  // file named or on the path by its segments.
  @Test
  void damagedLibraryIsRefused(@TempDir Path tmp) throws Exception {
    String os = System.getProperty("os.name");
    String resource = NativeLibrary.resourceFor(os, System.getProperty("os.arch"));
    assumeTrue(resource != null && NativeLibrary.class.getResource(resource) != null, "no packed library");
    byte[] bytes = NativeLibrary.resourceBytes(resource);
    String digest = new String(NativeLibrary.resourceBytes(resource + NativeLibrary.DIGEST), "US-ASCII").trim();
    assertEquals(NativeLibrary.digest(bytes), digest);
    byte[] cut = Arrays.copyOf(bytes, bytes.length / 2);
    String packed = refusal(() -> {
      try {
        NativeLibrary.loadPacked(resource, cut, digest, tmp.toFile());
      } catch (java.io.IOException e) {
        throw new AssertionError(e);
      }
    });
    assertTrue(packed.startsWith(resource + " in the jar is damaged: its SHA-256 digest and size are "), packed);
    assertEquals(0, tmp.toFile().list().length);
    assumeTrue(!os.startsWith("Windows"), "the check of segments is for ELF files");
    File named = Files.write(tmp.resolve("libKelvo4.so"), cut).toFile();
    String message = refusal(() -> NativeLibrary.load(named.getPath(), os, "ppc64le", ""));
    assertTrue(message.startsWith(named.getAbsolutePath() + " is damaged: segment "), message);
    assertTrue(message.contains("runs past the end of the file, at " + cut.length + " bytes"), message);
  }

  // A device or a pipe named as the library is refused before it is read: /dev/zero would be
  // read without end, a pipe wait for a writer.
  @Test
  void aDeviceOrPipeIsNoLibrary(@TempDir Path tmp) throws Exception {
    Path fifo = tmp.toAbsolutePath().resolve("fifo");
    assumeTrue(new ProcessBuilder("mkfifo", fifo.toString()).start().waitFor() == 0, "no mkfifo");
    for (String named : new String[] {"/dev/zero", fifo.toString()}) {
      String message = refusal(() -> NativeLibrary.load(named, "Linux", "loongarch64", ""));
      assertTrue(message.startsWith("cannot load " + named + ": it is not a regular file"), message);
    }
  }

  private static String refusal(Runnable load) {
    return assertThrows(UnsatisfiedLinkError.class, load::run).getMessage();
  }
}
