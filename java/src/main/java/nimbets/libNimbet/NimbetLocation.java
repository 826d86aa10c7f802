// SPDX-License-Identifier: MIT
package nimbets.libNimbet;

import java.util.Arrays;

/**
 * The 44-byte location of a node: a 16-byte root, four node names of 9 characters, the
 * coordinates x, y and z (0 to 63000, stored with two significant digits) and a deviation.
 * Its text is 44 dotted decimal numbers.
 *
 * <p>Owns a native record: close it when done. The parts are decoded on the first request for one.
 * An open location may be read by several threads at once.
 */
public final class NimbetLocation extends NativeHandle {
    /** Number of bytes of a location. */
    public static final int LENGTH = 44;

    /**
     * A location from exactly 44 values, each cut to its low 8 bits (the array is given back
     * holding the cut values).
     *
     * @throws IllegalArgumentException when the array does not hold 44 values
     * @throws NullPointerException when the array is null
     * @param bytes the 44 bytes of the location, each 0 to 255
     */
    public NimbetLocation(short[] bytes) {
        this(libnimbetJNI.new_NimbetLocation__SWIG_0(bytes));
    }

    /**
     * A location from exactly 44 bytes.
     *
     * @throws IllegalArgumentException when the array does not hold 44 bytes
     * @throws NullPointerException when the array is null
     * @param bytes the 44 bytes of the location, each 0 to 255
     */
    public NimbetLocation(byte[] bytes) {
        this(Bytes.widen(bytes));
    }

    /**
     * A location from its text of exactly 44 dotted decimal numbers; {@link #toString()} gives
     * the text back as given.
     *
     * @throws IllegalArgumentException for a null text or one that is not 44 numbers
     * @param text the location as 44 dotted decimal numbers
     */
    public NimbetLocation(String text) {
        this(libnimbetJNI.new_NimbetLocation__SWIG_1(text));
    }

    /** Takes over a native record made by the binding. */
    NimbetLocation(long handle) {
        super(handle, "a location", libnimbetJNI::delete_NimbetLocation);
    }

    /**
     * A new array of the 44 bytes, each 0 to 255.
     * @return the 44 bytes, each 0 to 255
     */
    public short[] toArray() {
        return call(libnimbetJNI::NimbetLocation_toArray);
    }

    /**
     * A new array of the 44 bytes.
     * @return the 44 bytes
     */
    public byte[] toByteArray() {
        return Bytes.narrow(toArray());
    }

    /**
     * The 16 root bytes, each 0 to 255.
     * @return the 16 root bytes, each 0 to 255
     */
    public short[] getRoot() {
        return call(libnimbetJNI::NimbetLocation_getRoot);
    }

    /**
     * The name of node 1 to 4: 9 lower-case characters, padded with spaces.
     *
     * @throws IllegalArgumentException for any other node number
     * @param n which node name, 1 to 4
     * @return the node name, without padding
     */
    public String getNode(int n) {
        return call(h -> libnimbetJNI.NimbetLocation_getNode(h, n));
    }

    /**
     * The decoded x coordinate.
     * @return the x coordinate
     */
    public int getX() {
        return callInt(libnimbetJNI::NimbetLocation_getX);
    }

    /**
     * The decoded y coordinate.
     * @return the y coordinate
     */
    public int getY() {
        return callInt(libnimbetJNI::NimbetLocation_getY);
    }

    /**
     * The decoded z coordinate.
     * @return the z coordinate
     */
    public int getZ() {
        return callInt(libnimbetJNI::NimbetLocation_getZ);
    }

    /**
     * The deviation, 0 to 255.
     * @return the deviation byte, 0 to 255
     */
    public short getDeviation() {
        return (short) callInt(libnimbetJNI::NimbetLocation_getDeviation);
    }

    /** True for another open location with the same 44 bytes (a closed one equals only itself). */
    @Override
    public boolean equals(Object other) {
        if (other == this) {
            return true;
        }
        if (!(other instanceof NimbetLocation) || isClosed() || ((NimbetLocation) other).isClosed()) {
            return false;
        }
        return Arrays.equals(toArray(), ((NimbetLocation) other).toArray());
    }

    /** A hash of the 44 bytes; 0 once closed. */
    @Override
    public int hashCode() {
        return isClosed() ? 0 : Arrays.hashCode(toArray());
    }

    /** The 44 dotted decimal numbers, or the text this location was made from. */
    @Override
    public String toString() {
        return isClosed() ? "NimbetLocation[closed]" : call(libnimbetJNI::NimbetLocation_toString);
    }
}
