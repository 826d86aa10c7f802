package nimbets.libNimbet;

/**
 * A Java object that owns one native record through its handle and gives it back exactly once,
 * on {@link #close()}. Not thread-safe: the binding is used from one thread at a time.
 */
abstract class NativeHandle implements AutoCloseable {
    private long handle;

    /** Takes ownership of a handle; a null handle means the native record could not be made. */
    NativeHandle(long handle, String what) {
        if (handle == 0) {
            throw new OutOfMemoryError("no native memory for " + what);
        }
        this.handle = handle;
    }

    /** Frees the native record behind the handle (the class's delete_ method). */
    abstract void release(long handle);

    /** The live handle; an {@link IllegalStateException} once the object is closed. */
    final long handle() {
        if (handle == 0) {
            throw new IllegalStateException(getClass().getSimpleName() + " is closed");
        }
        return handle;
    }

    /** The handle, or 0 once closed. */
    final long handleOrZero() {
        return handle;
    }

    /** True once {@link #close()} has run. */
    public final boolean isClosed() {
        return handle == 0;
    }

    /** Frees the native record. Further calls do nothing; other methods then throw {@link IllegalStateException}. */
    @Override
    public void close() {
        long h = handle;
        if (h != 0) {
            handle = 0;
            release(h);
        }
    }
}
