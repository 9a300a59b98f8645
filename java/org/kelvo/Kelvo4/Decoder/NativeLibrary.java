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
import java.nio.file.Path;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
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
 * <p>Nothing damaged is loaded: the system's loader maps a library's segments from its file, and
 * a file cut short (a full disk, a damaged jar) makes the process crash where a segment runs past
 * its end. The packed copy must have the size and SHA-256 digest recorded beside it when the jar
 * was built, and so must the copy unpacked from it; an ELF file from elsewhere must hold every
 * segment and table its headers name. Any of these faults is an {@link UnsatisfiedLinkError} that
 * names it, and an unpacked copy is removed.
 *
 * <p>A failed load is not remembered: each use of a class that needs the library tries again and
 * throws the same error, with its reason.
 *
 * <p>Compiled for Java 8, like {@link KelvoDecoder}: 32-bit VMs are mostly Java 8.
 */
final class NativeLibrary {
  static final String PROPERTY = "kelvo4.library";
  private static final String FILE = "libKelvo4.so";
  private static final String WINDOWS_FILE = "Kelvo4.dll";

  /** The directories under {@code native/} that a jar may carry: those of platforms.txt. */
  static final String[] PLATFORMS = {
    "linux-x86_64", "linux-aarch64", "linux-x86", "linux-arm", "linux-s390x", "linux-ppc64le",
    "linux-riscv64", "windows-x86_64", "windows-x86"
  };

  /** The classes whose native methods the library must provide. */
  private static final String[] CLASSES = {
    "KelvoDecoder", "KelvoStreamDecoder", "KelvoStreamReader"
  };

  private static volatile boolean loaded;

  private NativeLibrary() {}

  /**
   * Loads the library unless an earlier call did. A failed load leaves nothing behind, so a later
   * call tries again.
   *
   * @throws UnsatisfiedLinkError if no library could be loaded, naming what was tried; the errors
   *     of earlier candidates are attached as suppressed
   */
  static void load() {
    if (loaded) return;
    synchronized (NativeLibrary.class) {
      if (loaded) return;
      load(System.getProperty(PROPERTY), System.getProperty("os.name", ""),
          System.getProperty("os.arch", ""), System.getProperty("java.library.path", ""));
      loaded = true;
    }
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
      switch (arch) {
        case "amd64":
        case "x86_64":
          return "windows-x86_64";
        case "x86": // what a 32-bit VM reports (sun.arch.data.model 32)
        case "i386":
        case "i486":
        case "i586":
        case "i686":
          return "windows-x86";
        default:
          return null;
      }
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
      case "ppc64le":
        return "linux-ppc64le";
      case "riscv64":
        return "linux-riscv64";
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
    byte[] bytes = resourceBytes(resource);
    byte[] digest = resourceBytes(resource + DIGEST);
    loadPacked(resource, bytes, new String(digest, StandardCharsets.US_ASCII).trim(),
        new File(System.getProperty("java.io.tmpdir")));
  }

  /** What is recorded beside each packed library: its SHA-256 digest in hex, a space, its size. */
  static final String DIGEST = ".sha256";

  static byte[] resourceBytes(String resource) throws IOException {
    try (InputStream in = NativeLibrary.class.getResourceAsStream(resource)) {
      if (in == null) throw new IOException(resource + " is missing from the jar");
      ByteArrayOutputStream out = new ByteArrayOutputStream();
      byte[] buffer = new byte[65536];
      for (int n; (n = in.read(buffer)) > 0; ) out.write(buffer, 0, n);
      return out.toByteArray();
    }
  }

  /** The SHA-256 digest in hex and the size of some bytes, as {@link #DIGEST} records them. */
  static String digest(byte[] bytes) {
    try {
      StringBuilder hex = new StringBuilder();
      for (byte b : MessageDigest.getInstance("SHA-256").digest(bytes)) hex.append(String.format("%02x", b & 0xff));
      return hex + " " + bytes.length;
    } catch (NoSuchAlgorithmException e) {
      throw new IllegalStateException(e); // every Java platform has SHA-256
    }
  }

  /**
   * Loads a packed library's bytes, which must match {@code expected} (as {@link #DIGEST} records
   * it), from a copy in {@code tmpDir}.
   */
  static void loadPacked(String resource, byte[] bytes, String expected, File tmpDir) throws IOException {
    String found = digest(bytes);
    if (!found.equals(expected)) {
      throw linkError(resource + " in the jar is damaged: its SHA-256 digest and size are " + found
          + ", the jar was built with " + expected, null);
    }
    boolean dll = resource.endsWith(".dll");
    File file = Files.createTempFile(tmpDir.toPath(), dll ? "Kelvo4-" : "libKelvo4", dll ? ".dll" : ".so")
        .toFile().getAbsoluteFile();
    if (dll) {
      File[] earlier = file.getParentFile().listFiles((dir, name) ->
          name.startsWith("Kelvo4-") && name.endsWith(".dll") && !name.equals(file.getName()));
      for (File old : earlier == null ? new File[0] : earlier) old.delete();
    }
    try {
      Files.write(file.toPath(), bytes);
      // What the loader maps is the file: it must hold every byte.
      if (!digest(Files.readAllBytes(file.toPath())).equals(expected)) {
        throw linkError("the copy of " + resource + " unpacked to " + file + " is not whole (is the disk full?)",
            null);
      }
      try {
        loadChecked(file, bytes, " (unpacked from " + resource + ")");
      } catch (UnsatisfiedLinkError e) {
        throw unpackedLoadFailed(e, file);
      }
    } finally {
      if (dll) {
        file.delete();  // fails while loaded: a later VM removes it
      } else {
        Files.deleteIfExists(file.toPath());
      }
    }
  }

  // A copy that is whole but cannot be mapped to run is most often in a folder mounted noexec.
  private static UnsatisfiedLinkError unpackedLoadFailed(UnsatisfiedLinkError e, File file) {
    String message = String.valueOf(e.getMessage());
    if (!message.contains("failed to map segment") && !message.contains("Operation not permitted")) return e;
    return linkError("cannot load " + file + ", unpacked from the jar: its folder does not let programs run from"
        + " it (mounted noexec?); set java.io.tmpdir to a folder that does, or name an installed library with -D"
        + PROPERTY + "=FILE (" + message + ")", e);
  }

  // No build of this library comes near this size; a file larger is not one, and is not read.
  private static final long MOST_BYTES = 1L << 30;

  private static byte[] read(File file) {
    try {
      // A device or a pipe named as the library would be read without end (/dev/zero) or wait
      // for a writer: only a regular file is read, and only one of a library's size.
      Path path = file.toPath();
      if (Files.exists(path) && !Files.isRegularFile(path)) {
        throw linkError("cannot load " + file + ": it is " + (Files.isDirectory(path) ? "a folder" : "not a regular"
            + " file but a device or a pipe") + ", and a library is a regular file", null);
      }
      if (Files.size(path) > MOST_BYTES) {
        throw linkError("cannot load " + file + ": " + Files.size(path) + " bytes is more than any library of"
            + " this kind holds", null);
      }
      return Files.readAllBytes(path);
    } catch (IOException e) {
      throw linkError("cannot read " + file + ": " + e, e);
    }
  }

  /**
   * Loads a file whose bytes hold every native this package needs, or that is no ELF file (the
   * system's loader judges those).
   */
  private static void loadChecked(File file, byte[] bytes, String origin) {
    Set<String> symbols;
    try {
      symbols = exportedSymbols(bytes);
    } catch (IllegalArgumentException damaged) {
      throw linkError(file + origin + " is damaged: " + damaged.getMessage(), null);
    }
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
    try {
      System.load(file.getPath());
    } catch (RuntimeException e) {
      if (!e.getClass().getName().equals("java.lang.IllegalCallerException")) throw e;
      throw nativeAccessDenied(e, file);
    }
  }

  /**
   * What a VM that denies this module native access throws from {@link System#load} (Java 24 and
   * later with {@code --illegal-native-access=deny}): an {@code IllegalCallerException}, which is
   * not known to Java 8, hence checked by name: as an {@link UnsatisfiedLinkError} that names the
   * option to add.
   */
  private static UnsatisfiedLinkError nativeAccessDenied(RuntimeException e, File file) {
    String module = moduleName();
    return linkError("cannot load " + file + ": this VM denies native access to "
        + (module == null ? "code on the class path" : "the module " + module) + "; run it with"
        + " --enable-native-access=" + (module == null ? "ALL-UNNAMED" : module) + " (" + e.getMessage() + ")", e);
  }

  /** The name of this class's module, or null on the class path or a VM without modules. */
  private static String moduleName() {
    try {
      Object module = Class.class.getMethod("getModule").invoke(NativeLibrary.class);
      return (String) module.getClass().getMethod("getName").invoke(module);
    } catch (ReflectiveOperationException | RuntimeException e) {
      return null;
    }
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
   * without undefined and local entries), or null when the bytes are no ELF file. Reads 32- and
   * 64-bit files of either byte order; the library for each platform the jar carries is one of
   * those. Every offset is checked against the bytes there are.
   *
   * @throws IllegalArgumentException naming the fault, for an ELF file that is cut short or whose
   *     headers name what it does not hold: its loadable segments, its section headers, its
   *     dynamic symbols and their names
   */
  static Set<String> exportedSymbols(byte[] elf) {
    if (elf.length < 4 || elf[0] != 0x7f || elf[1] != 'E' || elf[2] != 'L' || elf[3] != 'F') return null;
    Elf b = new Elf(elf);
    // The segments the loader maps, each within the file.
    long segments = b.word(0x20, 0x1c);
    int segmentSize = b.half(0x36, 0x2a), segmentCount = b.half(0x38, 0x2c);
    for (int i = 0; i < segmentCount; i++) {
      long header = segments + (long) i * segmentSize;
      if (b.u32(header) != 1) continue; // PT_LOAD
      long offset = b.word(header, 0x08, 0x04), size = b.word(header, 0x20, 0x10);
      b.within(offset, size, "segment " + i);
    }
    long sections = b.word(0x28, 0x20);
    int headerSize = b.half(0x3a, 0x2e), count = b.half(0x3c, 0x30);
    for (int i = 0; i < count; i++) {
      long header = sections + (long) i * headerSize;
      if (b.u32(header + 4) != 11) continue; // SHT_DYNSYM
      long table = b.word(header, 0x18, 0x10), size = b.word(header, 0x20, 0x14);
      long entry = b.word(header, 0x38, 0x24);
      b.within(table, size, "the dynamic symbol table");
      // Its sh_link is the section of the names.
      long linked = sections + b.u32(header + (b.wide ? 0x28 : 0x18)) * headerSize;
      long names = b.word(linked, 0x18, 0x10), namesSize = b.word(linked, 0x20, 0x14);
      b.within(names, namesSize, "the dynamic symbol names");
      if (entry < (b.wide ? 24 : 16)) throw new IllegalArgumentException("dynamic symbols of " + entry + " bytes");
      Set<String> symbols = new HashSet<>();
      for (long s = table; s + entry <= table + size; s += entry) {
        int bind = (b.u8(s + (b.wide ? 4 : 12))) >> 4;
        int section = b.u16(s + (b.wide ? 6 : 14));
        if (section == 0 || bind == 0) continue; // undefined, or STB_LOCAL
        long start = b.u32(s);
        if (start >= namesSize) throw new IllegalArgumentException("a symbol's name lies outside its table");
        int at = (int) (names + start), end = at;
        while (end < names + namesSize && elf[end] != 0) end++;
        if (end == names + namesSize) throw new IllegalArgumentException("a symbol's name runs off its table");
        symbols.add(new String(elf, at, end - at, StandardCharsets.ISO_8859_1));
      }
      return symbols;
    }
    throw new IllegalArgumentException("it has no dynamic symbol table");
  }

  /** Reads the fields of an ELF file, each checked to lie within its bytes. */
  private static final class Elf {
    final byte[] bytes;
    final boolean wide; // ELFCLASS64
    private final ByteBuffer b;

    Elf(byte[] bytes) {
      this.bytes = bytes;
      if (bytes.length < 52) throw new IllegalArgumentException("cut short, " + bytes.length + " bytes");
      wide = bytes[4] == 2;
      b = ByteBuffer.wrap(bytes).order(bytes[5] == 2 ? ByteOrder.BIG_ENDIAN : ByteOrder.LITTLE_ENDIAN);
    }

    void within(long offset, long size, String what) {
      if (offset < 0 || size < 0 || offset > bytes.length || size > bytes.length - offset) {
        throw new IllegalArgumentException(what + " (bytes " + offset + " to " + (offset + size) + ") runs past"
            + " the end of the file, at " + bytes.length + " bytes");
      }
    }

    private int at(long offset, int size) {
      within(offset, size, "a header field");
      return (int) offset;
    }

    int u8(long offset) {
      return b.get(at(offset, 1)) & 0xff;
    }

    int u16(long offset) {
      return b.getShort(at(offset, 2)) & 0xffff;
    }

    long u32(long offset) {
      return b.getInt(at(offset, 4)) & 0xffffffffL;
    }

    // A field of the file header: 2 bytes at at64 or at32.
    int half(int at64, int at32) {
      return u16(wide ? at64 : at32);
    }

    // An offset or size in the file header.
    long word(int at64, int at32) {
      return word(0, at64, at32);
    }

    // An offset or size in a header at `base`: 8 bytes at base + at64 in a 64-bit file, else 4
    // at base + at32; above 2^31 it cannot lie within any file read here.
    long word(long base, int at64, int at32) {
      long v = wide ? b.getLong(at(base + at64, 8)) : u32(base + at32);
      if (v < 0 || v > Integer.MAX_VALUE) throw new IllegalArgumentException("an offset of " + v);
      return v;
    }
  }

  private static UnsatisfiedLinkError linkError(String message, Throwable cause) {
    UnsatisfiedLinkError error = new UnsatisfiedLinkError(message);
    if (cause != null) error.initCause(cause);
    return error;
  }
}
