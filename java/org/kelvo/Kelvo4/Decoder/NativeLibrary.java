package org.kelvo.Kelvo4.Decoder;

import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.util.ArrayList;
import java.util.HashSet;
import java.util.List;
import java.util.Locale;
import java.util.Set;
import java.util.TreeSet;

/**
 * Loads {@code libKelvo4.so} ({@code Kelvo4.dll} on Windows) once for the classes of this package,
 * from the first of: the file named by the system property {@code kelvo4.library}, when set
 * (nothing else is tried then); the copy packed in the jar for this system
 * ({@code native/linux-x86_64/}, {@code native/windows-x86_64/} and so on); the first such file on
 * {@code java.library.path}, when the jar has none for this system or its copy cannot be loaded.
 *
 * <p>The packed copy comes before {@code java.library.path} because an application moving up
 * from an older {@code libKelvo4.so} usually still has that one on the path, and it exports only
 * {@link KelvoDecoder}'s natives. So before any file is loaded, its ELF dynamic symbols are read
 * and compared with the JNI names of this package's native methods: a file that lacks some is
 * refused with an {@link UnsatisfiedLinkError} that names them, rather than loaded to fail at the
 * first call into a newer class.
 *
 * <p>Compiled for Java 8, like {@link KelvoDecoder}: 32-bit VMs are mostly Java 8.
 */
final class NativeLibrary {
  static final String PROPERTY = "kelvo4.library";
  private static final String FILE = "libKelvo4.so";
  private static final String WINDOWS_FILE = "Kelvo4.dll";

  /** The directories under {@code native/} that a jar may carry, as the build names them. */
  static final String[] PLATFORMS = {
    "linux-x86_64", "linux-aarch64", "linux-x86", "linux-arm", "linux-s390x", "windows-x86_64"
  };

  /** The classes whose native methods the library must provide. */
  private static final String[] CLASSES = {
    "KelvoDecoder", "KelvoStreamDecoder", "KelvoStreamReader"
  };

  private static boolean loaded;

  private NativeLibrary() {}

  /**
   * Loads the library unless an earlier call did. A failed load leaves nothing behind, so a later
   * call tries again.
   *
   * @throws UnsatisfiedLinkError if no library could be loaded, naming what was tried; the errors
   *     of earlier candidates are attached as suppressed
   */
  static synchronized void load() {
    if (loaded) return;
    load(System.getProperty(PROPERTY), System.getProperty("os.name", ""),
        System.getProperty("os.arch", ""), System.getProperty("java.library.path", ""));
    loaded = true;
  }

  /** {@link #load()} with the properties it reads given, for the tests. */
  static void load(String named, String osName, String osArch, String libraryPath) {
    if (named != null) {
      // A file the user names is the one wanted: falling back to another copy would hide the
      // mistake.
      File file = new File(named).getAbsoluteFile();
      loadChecked(file, read(file), "");
      return;
    }
    UnsatisfiedLinkError packedFailure = null;
    String resource = resourceFor(osName, osArch);
    if (resource != null && NativeLibrary.class.getResource(resource) != null) {
      try {
        loadPacked(resource);
        return;
      } catch (UnsatisfiedLinkError e) {
        packedFailure = e;
      } catch (IOException e) {
        packedFailure = linkError("cannot unpack " + resource + ": " + e, e);
      }
    }
    File onPath = findOnPath(libraryPath, fileName(osName));
    if (onPath == null) {
      if (packedFailure != null) throw packedFailure;
      throw linkError("no " + fileName(osName) + " for " + platformName(osName, osArch) + ": the jar carries "
          + carried() + ", and java.library.path (" + libraryPath + ") holds none; name one with -D"
          + PROPERTY + "=FILE", null);
    }
    try {
      loadChecked(onPath, read(onPath), " (on java.library.path)");
    } catch (UnsatisfiedLinkError e) {
      if (packedFailure != null) e.addSuppressed(packedFailure);
      throw e;
    }
  }

  /**
   * The directory under {@code native/} of the library for a system, as the VM names it in
   * {@code os.name} and {@code os.arch}, or null for a system no build is made for.
   */
  static String platform(String osName, String osArch) {
    String arch = osArch.toLowerCase(Locale.ROOT);
    if (isWindows(osName)) {
      return arch.equals("amd64") || arch.equals("x86_64") ? "windows-x86_64" : null;
    }
    if (!osName.toLowerCase(Locale.ROOT).startsWith("linux")) return null;
    switch (arch) {
      case "amd64":
      case "x86_64":
        return "linux-x86_64";
      case "aarch64":
      case "arm64":
        return "linux-aarch64";
      case "x86":
      case "i386":
      case "i486":
      case "i586":
      case "i686":
        return "linux-x86";
      case "arm":
      case "armv7":
      case "armv7l":
      case "armhf":
        return "linux-arm";
      case "s390x":
        return "linux-s390x";
      default:
        return null;
    }
  }

  /** The jar resource of the library for a system, or null when none is built for it. */
  static String resourceFor(String osName, String osArch) {
    String platform = platform(osName, osArch);
    return platform == null ? null : "/native/" + platform + "/" + fileName(osName);
  }

  private static boolean isWindows(String osName) {
    return osName.toLowerCase(Locale.ROOT).startsWith("windows");
  }

  /** The library's file name on a system, as {@link System#mapLibraryName} gives it there. */
  private static String fileName(String osName) {
    return isWindows(osName) ? WINDOWS_FILE : FILE;
  }

  private static String platformName(String osName, String osArch) {
    String platform = platform(osName, osArch);
    if (platform != null) return platform;
    String os = osName.toLowerCase(Locale.ROOT).startsWith("linux") ? "linux" : osName;
    return os + "-" + osArch;
  }

  /** The platforms whose library the class path holds, by probing their resource names. */
  private static String carried() {
    List<String> found = new ArrayList<>();
    for (String platform : PLATFORMS) {
      String file = platform.startsWith("windows-") ? WINDOWS_FILE : FILE;
      if (NativeLibrary.class.getResource("/native/" + platform + "/" + file) != null) {
        found.add(platform);
      }
    }
    return found.isEmpty() ? "none" : String.join(", ", found);
  }

  /** The first file of this name in the directories of a search path, or null. */
  private static File findOnPath(String libraryPath, String name) {
    for (String dir : libraryPath.split(File.pathSeparator, -1)) {
      File file = new File(dir.isEmpty() ? "." : dir, name);  // as the VM reads an empty entry
      if (file.isFile()) return file.getAbsoluteFile();
    }
    return null;
  }

  // The VM loads libraries from files only: copy the packed one out. Once it is mapped the file
  // can go, so no copy is left behind even when the VM does not exit normally. Windows keeps a
  // loaded DLL's file until the process ends: there the copies of earlier VMs are removed instead
  // (those still loaded stay).
  private static void loadPacked(String resource) throws IOException {
    byte[] bytes;
    try (InputStream in = NativeLibrary.class.getResourceAsStream(resource)) {
      if (in == null) throw new IOException("resource missing");
      ByteArrayOutputStream out = new ByteArrayOutputStream();
      byte[] buffer = new byte[65536];
      for (int n; (n = in.read(buffer)) > 0; ) out.write(buffer, 0, n);
      bytes = out.toByteArray();
    }
    boolean dll = resource.endsWith(".dll");
    File file = Files.createTempFile(dll ? "Kelvo4-" : "libKelvo4", dll ? ".dll" : ".so").toFile()
        .getAbsoluteFile();
    if (dll) {
      File[] earlier = file.getParentFile().listFiles((dir, name) ->
          name.startsWith("Kelvo4-") && name.endsWith(".dll") && !name.equals(file.getName()));
      for (File old : earlier == null ? new File[0] : earlier) old.delete();
    }
    try {
      Files.write(file.toPath(), bytes);
      loadChecked(file, bytes, " (unpacked from " + resource + ")");
    } finally {
      if (dll) {
        file.delete();  // fails while loaded: a later VM removes it
      } else {
        Files.deleteIfExists(file.toPath());
      }
    }
  }

  private static byte[] read(File file) {
    try {
      return Files.readAllBytes(file.toPath());
    } catch (IOException e) {
      throw linkError("cannot read " + file + ": " + e, e);
    }
  }

  /** Loads a file whose bytes hold every native this package needs, or whose symbols are unknown. */
  private static void loadChecked(File file, byte[] bytes, String origin) {
    Set<String> symbols = exportedSymbols(bytes);
    if (symbols != null) {
      List<String> missing = new ArrayList<>();
      for (String name : requiredSymbols()) {
        if (!symbols.contains(name)) missing.add(name);
      }
      if (!missing.isEmpty()) {
        throw linkError(file + origin + " lacks the natives " + String.join(", ", missing)
            + ": it is older than these classes", null);
      }
    }
    System.load(file.getPath());
  }

  /**
   * The JNI names of the native methods of this package's classes, by the short form the VM
   * looks up first: {@code Java_}, the class name and the method name, each with {@code _}
   * written {@code _1} and the package separators as {@code _}. A class the VM cannot load (a
   * newer one on a Java 8 VM) cannot call into the library either, and is left out.
   */
  static Set<String> requiredSymbols() {
    Set<String> names = new TreeSet<>();
    for (String simple : CLASSES) {
      String name = NativeLibrary.class.getName().replace("NativeLibrary", simple);
      Method[] methods;
      try {
        methods = Class.forName(name, false, NativeLibrary.class.getClassLoader()).getDeclaredMethods();
      } catch (ClassNotFoundException | LinkageError e) {
        continue;
      }
      for (Method method : methods) {
        if (Modifier.isNative(method.getModifiers())) {
          names.add("Java_" + mangle(name) + "_" + mangle(method.getName()));
        }
      }
    }
    return names;
  }

  private static String mangle(String name) {
    StringBuilder out = new StringBuilder();
    for (char c : name.toCharArray()) {
      if (c == '.') {
        out.append('_');
      } else if (c == '_') {
        out.append("_1");
      } else if (c < 128 && Character.isLetterOrDigit(c)) {
        out.append(c);
      } else {
        out.append(String.format("_0%04x", (int) c));
      }
    }
    return out.toString();
  }

  /**
   * The names of the symbols an ELF shared object defines for others (the dynamic symbol table,
   * without undefined and local entries), or null when the bytes are not such a file or hold no
   * section headers. Reads 32- and 64-bit files of either byte order; the library for each
   * platform the jar carries is one of those.
   */
  static Set<String> exportedSymbols(byte[] elf) {
    try {
      ByteBuffer b = ByteBuffer.wrap(elf);
      if (elf.length < 52 || b.getInt(0) != 0x7f454c46) return null;  // "\177ELF"
      boolean wide = elf[4] == 2;  // ELFCLASS64
      b.order(elf[5] == 2 ? ByteOrder.BIG_ENDIAN : ByteOrder.LITTLE_ENDIAN);
      // Header: where the section headers are, their size and number.
      int sections = offset(b, wide, 0x28, 0x20);
      int headerSize = b.getShort(wide ? 0x3a : 0x2e) & 0xffff;
      int count = b.getShort(wide ? 0x3c : 0x30) & 0xffff;
      for (int i = 0; i < count; i++) {
        int header = sections + i * headerSize;
        if (b.getInt(header + 4) != 11) continue;  // SHT_DYNSYM
        int table = offset(b, wide, header + 0x18, header + 0x10);
        int size = offset(b, wide, header + 0x20, header + 0x14);
        int entry = offset(b, wide, header + 0x38, header + 0x24);
        // Its sh_link is the section of the names.
        int linked = sections + b.getInt(header + (wide ? 0x28 : 0x18)) * headerSize;
        int names = offset(b, wide, linked + 0x18, linked + 0x10);
        Set<String> symbols = new HashSet<>();
        for (int s = table; entry > 0 && s + entry <= table + size; s += entry) {
          int bind = (b.get(s + (wide ? 4 : 12)) & 0xff) >> 4;
          int section = b.getShort(s + (wide ? 6 : 14)) & 0xffff;
          if (section == 0 || bind == 0) continue;  // undefined, or STB_LOCAL
          int start = names + b.getInt(s);
          int end = start;
          while (elf[end] != 0) end++;
          symbols.add(new String(elf, start, end - start, StandardCharsets.ISO_8859_1));
        }
        return symbols;
      }
      return null;
    } catch (RuntimeException malformed) {
      return null;  // let the VM's loader judge the file
    }
  }

  /** A file offset or size: 8 bytes at {@code at64} in a 64-bit file, else 4 at {@code at32}. */
  private static int offset(ByteBuffer b, boolean wide, int at64, int at32) {
    return Math.toIntExact(wide ? b.getLong(at64) : b.getInt(at32) & 0xffffffffL);
  }

  private static UnsatisfiedLinkError linkError(String message, Throwable cause) {
    UnsatisfiedLinkError error = new UnsatisfiedLinkError(message);
    if (cause != null) error.initCause(cause);
    return error;
  }
}
