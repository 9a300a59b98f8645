package org.kelvo.Kelvo4.Decoder;

import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.util.Locale;

/**
 * Loads {@code libKelvo4.so} once for the classes of this package, from the first of: the file
 * named by the system property {@code kelvo4.library}, when set (nothing else is tried then);
 * {@code System.loadLibrary("Kelvo4")} from {@code java.library.path}; the copy packed in the jar
 * for this system ({@code native/linux-x86_64/} or {@code native/linux-aarch64/}).
 */
final class NativeLibrary {
  static final String PROPERTY = "kelvo4.library";
  private static boolean loaded;

  private NativeLibrary() {}

  /**
   * Loads the library unless an earlier call did. A failed load leaves nothing behind, so a later
   * call tries again.
   *
   * @throws UnsatisfiedLinkError if no library could be loaded; the errors of the fallbacks are
   *     attached as suppressed
   */
  static synchronized void load() {
    if (loaded) return;
    String named = System.getProperty(PROPERTY);
    if (named != null) {
      // A file the user names is the one wanted: falling back to another copy would hide the
      // mistake.
      System.load(Path.of(named).toAbsolutePath().toString());
    } else {
      try {
        System.loadLibrary("Kelvo4");
      } catch (UnsatisfiedLinkError notOnPath) {
        try {
          loadEmbedded();
        } catch (IOException | UnsatisfiedLinkError embedded) {
          notOnPath.addSuppressed(embedded);
          throw notOnPath;
        }
      }
    }
    loaded = true;
  }

  /**
   * The jar resource of the library for a system, as the VM names it in {@code os.name} and
   * {@code os.arch}, or null when the jar carries none for it.
   */
  static String resourceFor(String osName, String osArch) {
    if (!osName.toLowerCase(Locale.ROOT).startsWith("linux")) return null;
    switch (osArch.toLowerCase(Locale.ROOT)) {
      case "amd64":
      case "x86_64":
        return "/native/linux-x86_64/libKelvo4.so";
      case "aarch64":
      case "arm64":
        return "/native/linux-aarch64/libKelvo4.so";
      default:
        return null;
    }
  }

  // The VM loads libraries from files only: copy the packed one out. Once it is mapped the file
  // can go, so no copy is left behind even when the VM does not exit normally.
  private static void loadEmbedded() throws IOException {
    String os = System.getProperty("os.name", "");
    String arch = System.getProperty("os.arch", "");
    String embedded = resourceFor(os, arch);
    if (embedded == null) {
      throw new IOException("no packed libKelvo4.so for " + os + "-" + arch);
    }
    try (InputStream in = NativeLibrary.class.getResourceAsStream(embedded)) {
      if (in == null) {
        throw new IOException("resource " + embedded + " missing from the class path");
      }
      Path file = Files.createTempFile("libKelvo4", ".so");
      try {
        Files.copy(in, file, StandardCopyOption.REPLACE_EXISTING);
        System.load(file.toAbsolutePath().toString());
      } finally {
        Files.deleteIfExists(file);
      }
    }
  }
}
