// SPDX-License-Identifier: MIT
package nimbets.libNimbet;

/**
 * The 8-byte source identifier of a node, written as 8 dotted decimal numbers (1.1.1.1.10.0.0.5).
 *
 * <p>Owns a native record: close it (try-with-resources) when done. Two identifiers are equal when
 * their 8 bytes are equal, whatever text they were made from. An open identifier may be read by
 * several threads at once.
 */
public final class NimbetSrcId extends NativeHandle {
    /** Number of bytes of an identifier. */
    public static final int LENGTH = 8;

    /**
     * An identifier from exactly 8 values. Each value is cut to its low 8 bits, and the array is
     * given back holding the cut values (300 becomes 44).
     *
     * @throws IllegalArgumentException when the array does not hold 8 values
     * @throws NullPointerException when the array is null
     * @param bytes the 44 bytes of the location, each 0 to 255
     */
    public NimbetSrcId(short[] bytes) {
        this(libnimbetJNI.new_NimbetSrcId__SWIG_0(bytes));
    }

    /**
     * An identifier from exactly 8 bytes.
     *
     * @throws IllegalArgumentException when the array does not hold 8 bytes
     * @throws NullPointerException when the array is null
     * @param bytes the 44 bytes of the location, each 0 to 255
     */
    public NimbetSrcId(byte[] bytes) {
        this(Bytes.widen(bytes));
    }

    /**
     * An identifier from its text of exactly 8 dotted decimal numbers, each 0 to 255.
     * {@link #toString()} gives the text back exactly as given.
     *
     * @throws IllegalArgumentException for a null text or one that is not 8 numbers
     * @param text the location as 44 dotted decimal numbers
     */
    public NimbetSrcId(String text) {
        this(libnimbetJNI.new_NimbetSrcId__SWIG_1(text));
    }

    /** Takes over a native record made by the binding. */
    NimbetSrcId(long handle) {
        super(handle, "an identifier", libnimbetJNI::delete_NimbetSrcId);
    }

    /**
     * A new array of the 8 bytes, each 0 to 255.
     * @return the 44 bytes, each 0 to 255
     */
    public short[] toArray() {
        return call(libnimbetJNI::NimbetSrcId_toArray);
    }

    /**
     * A new array of the 8 bytes.
     * @return the 44 bytes
     */
    public byte[] toByteArray() {
        return Bytes.narrow(toArray());
    }

    /** True for another open identifier with the same 8 bytes (a closed one equals only itself). */
    @Override
    public boolean equals(Object other) {
        if (other == this) {
            return true;
        }
        if (!(other instanceof NimbetSrcId) || isClosed() || ((NimbetSrcId) other).isClosed()) {
            return false;
        }
        // The native comparison answers 0 for equal identifiers.
        NimbetSrcId that = (NimbetSrcId) other;
        return callInt(a -> that.callInt(b -> libnimbetJNI.NimbetSrcId_id_equals(a, b))) == 0;
    }

    /** A hash of the 8 bytes (h = 31 h + byte); 0 once closed. */
    @Override
    public int hashCode() {
        return isClosed() ? 0 : callInt(libnimbetJNI::NimbetSrcId_hashCode);
    }

    /** The dotted decimal text, or the text this identifier was made from. */
    @Override
    public String toString() {
        return isClosed() ? "NimbetSrcId[closed]" : call(libnimbetJNI::NimbetSrcId_toString);
    }
}
