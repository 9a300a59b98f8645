package org.kelvo.Kelvo4.player;

import java.io.BufferedOutputStream;
import java.io.IOException;
import java.io.OutputStream;
import java.nio.file.AccessDeniedException;
import java.nio.file.DirectoryNotEmptyException;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.FileSystemException;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.nio.file.attribute.BasicFileAttributes;
import java.nio.file.attribute.PosixFileAttributeView;
import java.nio.file.attribute.PosixFileAttributes;
import java.nio.file.attribute.PosixFilePermission;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.EnumSet;
import java.util.HashMap;
import java.util.Iterator;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.ThreadLocalRandom;

/**
 * Every file one run of the player writes, written so that nothing the user has is lost:
 *
 * <ul>
 *   <li>an input (the stream, the source and its pictures) is never written over, whatever name
 *       reaches it;
 *   <li>what is not a regular file (a pipe, a device, a folder) is never unlinked or replaced: a
 *       picture or a folder of pictures aimed at one is refused; so is a file this user may not
 *       write (on Windows, a read-only one);
 *   <li>each file is written under a short hidden name in the folder of the file it replaces
 *       (through a symbolic link, the file the link names) and renamed over it only when the
 *       run {@link #commit}s, so a failed or interrupted run leaves the old files whole; a
 *       replaced file keeps its mode and, where permitted, its owner and group;
 *   <li>a run that does not commit, or is interrupted, removes its temporaries and the folders
 *       it made. A rename that fails while the run commits leaves the files renamed before it
 *       in place.
 * </ul>
 *
 * Messages name the file and the reason.
 */
final class OutputFiles implements AutoCloseable {
  /** Writes one file's bytes. */
  interface Body {
    void writeTo(OutputStream out) throws IOException;
  }

  private final Map<Object, String> inputKeys = new HashMap<>(); // file key -> what it is, in messages
  private final Map<Path, String> inputs = new LinkedHashMap<>(); // inputs without a file key
  private final List<Pending> pending = new ArrayList<>(); // guarded by this
  private final List<Path> made = new ArrayList<>(); // folders made, outermost first, guarded by this
  private final Thread onInterrupt = new Thread(this::abandon, "kelvo4 player outputs");
  private boolean finished; // guarded by this

  OutputFiles() {
    Runtime.getRuntime().addShutdownHook(onInterrupt);
  }

  // A file to put in place: written as temporary, renamed over place (the target, or the file
  // an existing target's link names); messages name target.
  private static final class Pending {
    final Path temporary, place, target;

    Pending(Path temporary, Path place, Path target) {
      this.temporary = temporary;
      this.place = place;
      this.target = target;
    }
  }

  /** Names a file read by this run, never to be written: {@code what} is how messages call it. */
  void input(Path file, String what) {
    try {
      Object key = Files.readAttributes(file, BasicFileAttributes.class).fileKey();
      if (key != null) inputKeys.put(key, what);
      else inputs.put(file, what);
    } catch (IOException e) {
      // nothing there to keep
    }
  }

  /**
   * Refuses {@code target} as the place of {@code what} when it is an input, not a regular file,
   * or a file this user may not write.
   */
  void check(Path target, String what) throws IOException {
    if (!Files.exists(target)) return;
    refuseInput(target);
    if (!Files.isRegularFile(target)) {
      throw new IOException(target + ": is " + kind(target) + ", not a regular file; not writing " + what + " into it");
    }
    // Not replaced either: on Windows the rename would fail on it, elsewhere it would succeed.
    if (!Files.isWritable(target)) throw new IOException(target + ": cannot write: permission denied");
  }

  /** The folder pictures go into: made, with the folders it needs, unless it is one already. */
  synchronized void folder(Path folder) throws IOException {
    if (Files.exists(folder)) {
      refuseInput(folder);
      if (!Files.isDirectory(folder)) {
        throw new IOException(folder + ": is " + kind(folder) + ", not a folder; not writing pictures into it");
      }
      return;
    }
    List<Path> missing = new ArrayList<>();
    for (Path p = folder.toAbsolutePath(); p != null && !Files.exists(p); p = p.getParent()) missing.add(0, p);
    for (Path p : missing) {
      try {
        Files.createDirectory(p);
      } catch (IOException e) {
        throw failure(p, "cannot make the folder", e);
      }
      made.add(p);
    }
  }

  /** Writes {@code target}'s new bytes under a temporary name; {@link #commit} puts them in place. */
  void write(Path target, Body body) throws IOException {
    check(target, "a picture");
    Path temporary = temporary(target, Files.exists(target) ? target.toRealPath() : target);
    try (OutputStream out = new BufferedOutputStream(Files.newOutputStream(temporary))) {
      body.writeTo(out);
    } catch (IOException e) {
      throw failure(target, "cannot write", e);
    }
  }

  /** Puts every file written in place, keeping the mode and owner of those it replaces. */
  synchronized void commit() throws IOException {
    if (finished) throw new IOException("interrupted");
    for (Iterator<Pending> i = pending.iterator(); i.hasNext(); ) {
      Pending p = i.next();
      check(p.target, "a picture"); // again: the folder may have changed meanwhile
      try {
        if (Files.exists(p.place)) keepAttributes(p.place, p.temporary);
        Files.move(p.temporary, p.place, StandardCopyOption.ATOMIC_MOVE);
      } catch (IOException e) {
        throw failure(p.target, "cannot replace", e);
      }
      i.remove(); // placed: no temporary left to remove
    }
    made.clear();
    finished = true;
  }

  /** Removes what a run that did not commit left: its temporaries and the folders it made. */
  synchronized void abandon() {
    if (finished) return;
    finished = true;
    for (Pending p : pending) {
      try {
        Files.deleteIfExists(p.temporary);
      } catch (IOException e) {
        // nothing more to do on the way out
      }
    }
    for (int i = made.size() - 1; i >= 0; i--) {
      try {
        Files.deleteIfExists(made.get(i));
      } catch (DirectoryNotEmptyException e) {
        // someone else's files went in meanwhile: theirs to keep
      } catch (IOException e) {
        // nothing more to do on the way out
      }
    }
  }

  @Override
  public void close() {
    abandon();
    try {
      Runtime.getRuntime().removeShutdownHook(onInterrupt);
    } catch (IllegalStateException e) {
      // the VM is shutting down, and runs abandon itself
    }
  }

  private void refuseInput(Path target) throws IOException {
    String what = inputKeys.isEmpty() ? null
        : inputKeys.get(Files.readAttributes(target, BasicFileAttributes.class).fileKey());
    if (what != null) throw new IOException(target + ": is " + what + "; not overwriting it");
    for (Map.Entry<Path, String> in : inputs.entrySet()) {
      if (Files.exists(in.getKey()) && Files.isSameFile(target, in.getKey())) {
        throw new IOException(target + ": is " + in.getValue() + "; not overwriting it");
      }
    }
  }

  // A new, empty file in the folder of place (target, or the file target's link names) under a
  // short name, so that any name a folder can hold can be a target. Readable by its owner only until it is put in place, when a replaced file
  // is there to give it its mode; a new target gets what the system gives a new file.
  private Path temporary(Path target, Path place) throws IOException {
    Path folder = place.toAbsolutePath().getParent();
    boolean posix = Files.getFileAttributeView(folder, PosixFileAttributeView.class) != null;
    boolean replacing = Files.exists(place);
    synchronized (this) {
      if (finished) throw new IOException(target + ": not written, the run was interrupted");
      for (int tries = 0; ; tries++) {
        Path temporary = folder.resolve(String.format(".k%06d.tmp", ThreadLocalRandom.current().nextInt(1_000_000)));
        try {
          if (posix && replacing) {
            Files.createFile(temporary, PosixFilePermissions.asFileAttribute(
                EnumSet.of(PosixFilePermission.OWNER_READ, PosixFilePermission.OWNER_WRITE)));
          } else {
            Files.createFile(temporary);
          }
        } catch (FileAlreadyExistsException e) {
          if (tries < 100) continue;
          throw failure(target, "cannot write", e);
        } catch (IOException e) {
          throw failure(target, "cannot write", e);
        }
        pending.add(new Pending(temporary, place, target));
        return temporary;
      }
    }
  }

  private static void keepAttributes(Path from, Path to) throws IOException {
    PosixFileAttributeView view = Files.getFileAttributeView(to, PosixFileAttributeView.class);
    if (view == null) return; // Windows: a read-only file, the one attribute to keep, is refused
    PosixFileAttributes old = Files.readAttributes(from, PosixFileAttributes.class);
    try {
      view.setGroup(old.group());
      view.setOwner(old.owner());
    } catch (IOException e) {
      // not permitted (only root gives a file away): the new file stays this user's
    }
    view.setPermissions(old.permissions()); // after the owner, whose change may clear set-id bits
  }

  // What a path that is not a regular file is, in words.
  private static String kind(Path path) {
    if (Files.isDirectory(path)) return "a folder";
    try {
      int type = (Integer) Files.getAttribute(path, "unix:mode") & 0170000;
      if (type == 0010000) return "a named pipe";
      if (type == 0020000 || type == 0060000) return "a device";
      if (type == 0140000) return "a socket";
    } catch (IOException | UnsupportedOperationException | IllegalArgumentException e) {
      // a system without that attribute
    }
    return "something else";
  }

  // An IOException naming the file, what failed and why, in the system's words.
  static IOException failure(Path file, String doing, Throwable e) {
    Throwable root = e;
    while (root.getCause() != null && root.getCause() != root) root = root.getCause();
    String reason;
    if (root instanceof AccessDeniedException) reason = "permission denied";
    else if (root instanceof NoSuchFileException) reason = "no such folder";
    else if (root instanceof FileSystemException && ((FileSystemException) root).getReason() != null) {
      reason = ((FileSystemException) root).getReason();
    } else reason = String.valueOf(root.getMessage());
    return new IOException(file + ": " + doing + ": " + reason, e);
  }
}
