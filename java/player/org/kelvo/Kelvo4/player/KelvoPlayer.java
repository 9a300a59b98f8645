package org.kelvo.Kelvo4.player;

import java.awt.GraphicsEnvironment;
import java.io.BufferedOutputStream;
import java.io.FileDescriptor;
import java.io.FileOutputStream;
import java.io.FilterOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.PrintStream;
import java.io.UnsupportedEncodingException;
import java.nio.charset.Charset;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.stream.Stream;
import org.kelvo.Kelvo4.Decoder.KelvoStreamDecoder;
import org.kelvo.Kelvo4.Decoder.KelvoStreamReader;

/**
 * Plays a stream file written by {@code kelvo-encode} through {@link KelvoStreamReader}: in a
 * window, or, given an output folder or {@code --headless}, into PNG files and a contact sheet
 * with the PSNR against the source and the decode speed. The stream {@code -} is read from
 * standard input, in order, and so is a named pipe. Files are written through {@link OutputFiles}.
 *
 * <pre>
 * java -jar Kelvo4-player.jar [--threads N] [--start F] [--paused] STREAM
 * java -jar Kelvo4-player.jar [--threads N] [--source CLIP] [--sheet PNG] [--headless] STREAM [FOLDER]
 * </pre>
 */
public final class KelvoPlayer {
  // The decoding threads unless told: the machine's cores, at most the decoder's limit.
  static final int DEFAULT_THREADS =
      Math.max(1, Math.min(Runtime.getRuntime().availableProcessors(), KelvoStreamDecoder.MAX_THREADS));

  static final String USAGE = "usage: java -jar Kelvo4-player.jar [--threads N] [--start F] [--paused] STREAM\n"
      + "       java -jar Kelvo4-player.jar [--threads N] [--source CLIP] [--sheet PNG] [--headless] STREAM [FOLDER]\n"
      + "Plays STREAM (a stream file, '-' for standard input; a named pipe is read in order, as '-' is) in a\n"
      + "window or, given a FOLDER or --headless, decodes it into FOLDER/frame_000000.png, ... and\n"
      + "FOLDER/contact_sheet.png, and reports the decode speed.\n"
      + "  --threads N   decoding threads, 1 to 64 (default: the machine's cores, " + DEFAULT_THREADS + " here)\n"
      + "  --start F     in the window: start at frame F\n"
      + "  --paused      in the window: start paused\n"
      + "  --source CLIP the pictures the stream was made from (a folder of PNG files, or raw rgb24 frames of\n"
      + "                the stream's size): each frame's PSNR against them is printed\n"
      + "  --sheet PNG   write the contact sheet, a half-size tile of every fifth frame, to PNG (with a\n"
      + "                FOLDER, FOLDER/contact_sheet.png unless named)\n"
      + "  --headless    decode without a window; with no FOLDER it writes no file at all, or only the\n"
      + "                --sheet PNG when one is given (speed and PSNR are printed)\n"
      + "Files are written under a temporary name beside their place and put there when all are whole (should\n"
      + "a rename then fail, those put there before it stay). The stream, the source and its pictures, a pipe,\n"
      + "a device, a folder and a file you may not write are never written over: such an output is refused.\n"
      + "On a damaged stream (truncated, a corrupt record, a bad index entry) the pictures of the intact frames\n"
      + "are written and kept, the damage is named on standard error, and the exit status is 1. On any other\n"
      + "failure (an output that cannot be written, a full disk, bad arguments) or an interrupt, everything\n"
      + "the run created is removed and files that were there before are left as they were.\n"
      + "Keys in the window: space pauses, left/right step a frame when paused,\n"
      + "1 switches between fitting the window and actual pixels, f full screen, Escape leaves it.";

  // What standard input is open on, on Linux.
  static final Path STANDARD_INPUT = Paths.get("/proc/self/fd/0");

  private KelvoPlayer() {}

  public static void main(String[] args) {
    // Any failure not foreseen below is still one line, not a stack trace.
    Thread.setDefaultUncaughtExceptionHandler((thread, e) -> {
      System.err.println("Kelvo4-player: " + oneLine(e));
      System.exit(1);
    });
    StandardOutput out = StandardOutput.install();
    try {
      play(args);
    } catch (RuntimeException | Error e) {
      System.err.println("Kelvo4-player: " + oneLine(e));
      System.exit(1);
    }
    // What it printed is checked as any file it writes.
    if (System.out.checkError()) {
      IOException failure = out.failure;
      String reason = failure == null || failure.getMessage() == null ? "I/O error" : failure.getMessage();
      System.err.println("Kelvo4-player: standard output: write failed: " + reason);
      System.exit(1);
    }
  }

  // Standard output with its first failure kept, which a PrintStream only flags.
  static final class StandardOutput extends FilterOutputStream {
    volatile IOException failure;

    private StandardOutput() {
      super(new FileOutputStream(FileDescriptor.out));
    }

    static StandardOutput install() {
      StandardOutput out = new StandardOutput();
      String encoding = System.getProperty("stdout.encoding",
          System.getProperty("sun.stdout.encoding", Charset.defaultCharset().name()));
      try {
        System.setOut(new PrintStream(new BufferedOutputStream(out), true, encoding));
      } catch (UnsupportedEncodingException e) {
        System.setOut(new PrintStream(new BufferedOutputStream(out), true));
      }
      return out;
    }

    @Override
    public void write(byte[] b, int off, int len) throws IOException {
      try {
        out.write(b, off, len);
      } catch (IOException e) {
        if (failure == null) failure = e;
        throw e;
      }
    }

    @Override
    public void write(int b) throws IOException {
      write(new byte[] {(byte) b}, 0, 1);
    }
  }

  // An exception as one line: its message, with its kind when the message alone says too little.
  static String oneLine(Throwable e) {
    String message = e.getMessage();
    if (message == null || message.isEmpty()) return e.toString();
    boolean plain = e instanceof IllegalArgumentException || e instanceof IllegalStateException
        || e instanceof UnsatisfiedLinkError || e instanceof UnsupportedOperationException;
    return (plain ? message : e.getClass().getSimpleName() + ": " + message).replace('\n', ' ');
  }

  static void play(String[] args) {
    Path source = null, sheet = null;
    int threads = DEFAULT_THREADS, start = 0;
    boolean headless = false, paused = false, started = false;
    List<String> names = new ArrayList<>();
    for (int i = 0; i < args.length; i++) {
      String arg = args[i];
      boolean valued = i + 1 < args.length;
      if (arg.equals("--source") && valued) source = Paths.get(args[++i]);
      else if (arg.equals("--sheet") && valued) sheet = Paths.get(args[++i]);
      else if (arg.equals("--threads") && valued) threads = number(arg, args[++i], 1, KelvoStreamDecoder.MAX_THREADS);
      else if (arg.equals("--start") && valued) {
        start = number(arg, args[++i], 0, Integer.MAX_VALUE);
        started = true;
      } else if (arg.equals("--paused")) paused = true;
      else if (arg.equals("--headless")) headless = true;
      else if (arg.equals("-h") || arg.equals("--help")) {
        System.out.println(USAGE);
        return;
      } else if (arg.equals("--version")) {
        // The version Kelvo4.jar's manifest states.
        System.out.println("Kelvo4-player " + KelvoStreamReader.class.getPackage().getImplementationVersion());
        return;
      } else if (arg.startsWith("-") && !arg.equals("-")) {
        usage("unknown option " + arg + (valued ? "" : " or a missing value"));
      } else names.add(arg);
    }
    if (names.size() == 2) headless = true;
    if (names.isEmpty() || names.size() > (headless ? 2 : 1)) usage("needs one stream, and an output folder or none");
    if (!headless && (source != null || sheet != null)) {
      usage("--source and --sheet go with an output folder or --headless");
    }
    if (headless && (started || paused)) usage("--start and --paused go with the window");
    if (!headless && GraphicsEnvironment.isHeadless()) {
      usage("no display to play on: give an output folder or --headless");
    }
    String name = names.get(0);
    Path file = name.equals("-") ? null : Paths.get(name);
    if (file != null && Files.isDirectory(file)) {
      System.err.println("Kelvo4-player: " + name + ": is a folder, not a stream file");
      System.exit(1);
    }
    // A named pipe (or a device) is read in order, as standard input is.
    boolean piped = file == null || Files.exists(file) && !Files.isRegularFile(file);
    try {
      KelvoStreamReader reader = file == null ? new KelvoStreamReader(System.in, threads)
          : piped ? openInOrder(file, threads) : new KelvoStreamReader(file, threads);
      if (headless) {
        Path folder = names.size() == 2 ? Paths.get(names.get(1)) : null;
        if (sheet == null && folder != null) sheet = folder.resolve("contact_sheet.png");
        try (reader; OutputFiles out = new OutputFiles()) {
          if (file != null) out.input(file, "the stream being played");
          // Standard input by what it is open on, where the system names that.
          else if (Files.exists(STANDARD_INPUT)) out.input(STANDARD_INPUT, "the stream being played");
          if (source != null) {
            out.input(source, "the source being compared");
            if (Files.isDirectory(source)) {
              try (Stream<Path> pictures = Files.list(source)) {
                pictures.forEach(p -> out.input(p, "a picture of the source being compared"));
              }
            }
          }
          FrameExport.run(reader, file == null ? "standard input" : name, !piped, source, folder, sheet, out);
        }
      } else {
        // Refused as kelvo-decode refuses it, in the reader's words (which name a piped stream
        // "stream"); a stream of unknown length ends in the seek.
        int count = reader.frameCount();
        if (count >= 0 && start >= count) {
          reader.close();
          throw new IOException(
              (piped ? "stream" : name) + ": no frame " + start + " (the stream has " + count + (count == 1 ? " frame)" : " frames)"));
        }
        reader.seek(start);
        PlayerWindow.open(reader, file == null ? "standard input" : file.getFileName().toString(), !piped, paused);
      }
    } catch (NoSuchFileException e) {
      // The reader's message names the file and the reason; the JDK's only the file.
      String message = e.getMessage();
      boolean bare = file != null && message.equals(file.toString());
      System.err.println("Kelvo4-player: " + message + (bare ? ": no such file" : ""));
      System.exit(1);
    } catch (IOException e) {
      System.err.println("Kelvo4-player: " + e.getMessage());
      System.exit(1);
    }
  }

  static KelvoStreamReader openInOrder(Path file, int threads) throws IOException {
    InputStream in = Files.newInputStream(file);
    try {
      return new KelvoStreamReader(in, threads);
    } catch (IOException | RuntimeException e) {
      in.close();
      throw e;
    }
  }

  static void usage(String problem) {
    System.err.println("Kelvo4-player: " + problem);
    System.err.println("Try 'java -jar Kelvo4-player.jar --help' for the options.");
    System.exit(2);
  }

  static int number(String option, String text, int min, int max) {
    try {
      int n = Integer.parseInt(text);
      if (n >= min && n <= max) return n;
    } catch (NumberFormatException e) {
      // reported below
    }
    usage(option + " needs a whole number from " + min + " to " + max + ", not '" + text + "'");
    return min;
  }
}
