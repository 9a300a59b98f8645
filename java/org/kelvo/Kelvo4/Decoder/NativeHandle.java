package org.kelvo.Kelvo4.Decoder;

import java.lang.ref.Reference;
import java.util.concurrent.locks.ReentrantLock;
import java.util.function.Supplier;

/**
 * A native handle and what every call on it goes through: its lock, so that calls run one after
 * the other; a refusal once it is closed; and its owner kept reachable until the call is done, so
 * that the owner's cleaner cannot free the handle under the call.
 */
class NativeHandle {
  /** A call on the open handle. */
  interface Call<T, E extends Exception> {
    T apply(long handle) throws E;
  }

  /** A call on the open handle that returns nothing. */
  interface Action<E extends Exception> {
    void run(long handle) throws E;
  }

  final ReentrantLock lock = new ReentrantLock();
  long handle; // guarded by lock; 0 once closed
  private final String closedMessage;

  NativeHandle(long handle, String closedMessage) {
    this.handle = handle;
    this.closedMessage = closedMessage;
  }

  /**
   * Runs {@code call} on the handle.
   *
   * @throws IllegalStateException with the closed message when the handle is closed
   */
  final <T, E extends Exception> T apply(Object owner, Call<T, E> call) throws E {
    long h = enterOrClosed();
    if (h == 0) throw new IllegalStateException(closedMessage);
    return run(owner, h, call);
  }

  /** The same for a call that returns nothing. */
  final <E extends Exception> void run(Object owner, Action<E> action) throws E {
    apply(owner, h -> {
      action.run(h);
      return null;
    });
  }

  /** Runs {@code call} on the handle or, when it is closed, returns what {@code closed} gives. */
  final <T, E extends Exception> T applyOr(Object owner, Supplier<T> closed, Call<T, E> call) throws E {
    long h = enterOrClosed();
    return h == 0 ? closed.get() : run(owner, h, call);
  }

  private <T, E extends Exception> T run(Object owner, long h, Call<T, E> call) throws E {
    try {
      return call.apply(h);
    } finally {
      leave();
      Reference.reachabilityFence(owner);
    }
  }

  /** The handle, locked for a call ({@link #leave} unlocks), or 0, and not locked, when closed. */
  long enterOrClosed() {
    lock.lock();
    if (isOpen()) return handle;
    leave();
    return 0;
  }

  boolean isOpen() {
    return handle != 0;
  }

  void leave() {
    lock.unlock();
  }
}
