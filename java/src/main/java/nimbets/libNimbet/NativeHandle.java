// SPDX-License-Identifier: MIT
package nimbets.libNimbet;

import java.lang.ref.Cleaner;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.function.LongConsumer;
import java.util.function.LongFunction;
import java.util.function.LongToIntFunction;
import java.util.function.LongUnaryOperator;

/**
 * A Java object that owns one native record through its handle and gives it back exactly once:
 * on {@link #close()}, or, for an object that was never closed, when it becomes unreachable (a
 * {@link Cleaner} is the safety net; close objects all the same, since native memory and sockets
 * are not what the garbage collector watches).
 *
 * <p>Every native call on the object goes through {@link #run}, {@link #call}, {@link #callInt}
 * or {@link #callLong}, which count it as a user of the record: {@link #close()} from another
 * thread refuses new calls at once but frees the record only when the last call under way has
 * returned, and an object in a call stays reachable until the call returns, so the cleaner can
 * never free a record that native code is using.
 */
abstract class NativeHandle implements AutoCloseable {
    /** One cleaning thread for the package. */
    private static final Cleaner CLEANER = Cleaner.create();

    /** Frees a record; holds no reference to its object, so that the object can become unreachable. */
    private static final class Release implements Runnable {
        private final long handle;
        private final LongConsumer delete;

        Release(long handle, LongConsumer delete) {
            this.handle = handle;
            this.delete = delete;
        }

        @Override
        public void run() {
            delete.accept(handle);
        }
    }

    private final long handle;
    /** 1 for the open object itself plus one per call under way; the record goes when it drops to 0. */
    private final AtomicInteger users = new AtomicInteger(1);
    private volatile boolean closed;
    private final Cleaner.Cleanable release;

    /**
     * Takes ownership of a handle, to be freed with {@code delete} (the class's delete_ method).
     * A null handle means the native record could not be made.
     */
    NativeHandle(long handle, String what, LongConsumer delete) {
        if (handle == 0) {
            throw new OutOfMemoryError("no native memory for " + what);
        }
        this.handle = handle;
        this.release = CLEANER.register(this, new Release(handle, delete));
    }

    /** The handle, for calls that need no guard (tests); an {@link IllegalStateException} once closed. */
    final long handle() {
        if (closed) {
            throw closedError();
        }
        return handle;
    }

    /**
     * True once {@link #close()} has begun.
     * @return true once close() has run
     */
    public final boolean isClosed() {
        return closed;
    }

    /** Runs a native call on the handle, the record kept alive until it returns. */
    final void run(LongConsumer call) {
        long h = enter();
        try {
            call.accept(h);
        } finally {
            exit();
        }
    }

    /** As {@link #run}, for a call with an object result. */
    final <R> R call(LongFunction<R> call) {
        long h = enter();
        try {
            return call.apply(h);
        } finally {
            exit();
        }
    }

    /** As {@link #run}, for a call with an {@code int} (or narrower) result. */
    final int callInt(LongToIntFunction call) {
        long h = enter();
        try {
            return call.applyAsInt(h);
        } finally {
            exit();
        }
    }

    /** As {@link #run}, for a call with a {@code long} result (a handle). */
    final long callLong(LongUnaryOperator call) {
        long h = enter();
        try {
            return call.applyAsLong(h);
        } finally {
            exit();
        }
    }

    /**
     * Releases the native record: new calls are refused at once, and the record is freed as soon
     * as no call on it is under way. Further calls of this method do nothing; other methods then
     * throw {@link IllegalStateException}.
     */
    @Override
    public void close() {
        if (closed) {
            return;
        }
        synchronized (this) {
            if (closed) {
                return;
            }
            closed = true;
        }
        try {
            closing(handle);
        } finally {
            exit();
        }
    }

    /**
     * Work of a class before its record goes, in the closing thread; calls of other threads may
     * still be under way on the record. Nothing by default.
     */
    void closing(long handle) {
    }

    private long enter() {
        for (;;) {
            int n = users.get();
            if (n == 0 || closed) {
                throw closedError();
            }
            if (users.compareAndSet(n, n + 1)) {
                return handle;
            }
        }
    }

    private void exit() {
        if (users.decrementAndGet() == 0) {
            release.clean();
        }
    }

    private IllegalStateException closedError() {
        return new IllegalStateException(getClass().getSimpleName() + " is closed");
    }
}
