// SPDX-License-Identifier: MIT
package nimbets.libNimbet;

import java.util.Arrays;

/**
 * One tuple: a 3-letter type (digits, letters, "-", "/", space and "@", case ignored) and 0 to
 * 255 data bytes.
 *
 * <p>A tuple object is always a free-standing copy: adding it to a packet adds a copy, and the
 * packet's walking methods hand out copies. Owns a native record: close it when done.
 */
public final class NimbetTuple extends NativeHandle {
    /**
     * A tuple of the given type without data.
     *
     * @throws IllegalArgumentException for a null type
     * @param type the tuple's type, its 3-character name ("tmp")
     */
    public NimbetTuple(String type) {
        this(libnimbetJNI.new_NimbetTuple__SWIG_0(type));
    }

    /**
     * A tuple of the given type holding a copy of the data, each value cut to its low 8 bits
     * (the array is given back holding the cut values).
     *
     * @throws IllegalArgumentException for a null type or more than 255 values
     * @throws NullPointerException when the array is null
     * @param type the tuple's type, its 3-character name ("tmp")
     * @param data the tuple's data bytes, each 0 to 255
     */
    public NimbetTuple(String type, short[] data) {
        this(libnimbetJNI.new_NimbetTuple__SWIG_1(type, data));
    }

    /**
     * A tuple of the given type holding a copy of the data.
     *
     * @throws IllegalArgumentException for a null type or more than 255 bytes
     * @throws NullPointerException when the array is null
     * @param type the tuple's type, its 3-character name ("tmp")
     * @param data the tuple's data bytes, each 0 to 255
     */
    public NimbetTuple(String type, byte[] data) {
        this(type, Bytes.widen(data));
    }

    /**
     * A tuple of the given type with {@code length} data bytes, all 0.
     *
     * @throws IllegalArgumentException for a null type or a length outside 0 to 255
     * @param type the tuple's type, its 3-character name ("tmp")
     * @param length the number of data bytes, all 0
     */
    public NimbetTuple(String type, int length) {
        this(libnimbetJNI.new_NimbetTuple__SWIG_2(type, length));
    }

    /** Takes over a tuple record made by the binding. */
    NimbetTuple(long handle) {
        super(handle, "a tuple", libnimbetJNI::delete_NimbetTuple);
    }

    /**
     * The number of data bytes, 0 to 255.
     * @return the number of data bytes
     */
    public int length() {
        return callInt(libnimbetJNI::NimbetTuple_length);
    }

    /**
     * Data byte {@code position} (its low 16 bits are used), 0 to 255.
     *
     * @throws IllegalArgumentException when the position is not below {@link #length()}
     * @param position the index of the data byte, from 0
     * @return the byte, 0 to 255
     */
    public short getAclByte(int position) {
        return (short) callInt(h -> libnimbetJNI.NimbetTuple_getAclByte(h, position));
    }

    /**
     * Sets data byte {@code position} (its low 16 bits are used) to the low 8 bits of the value.
     * Changes this object only, never a packet.
     *
     * @throws IllegalArgumentException when the position is not below {@link #length()}
     * @param position the index of the data byte, from 0
     * @param value the byte's new value, 0 to 255
     */
    public void setAclByte(int position, int value) {
        run(h -> libnimbetJNI.NimbetTuple_setAclByte(h, (short) value, position));
    }

    /**
     * The 3-letter type in lower case.
     * @return the type's 3-character name
     */
    public String getAclType() {
        return call(libnimbetJNI::NimbetTuple_getAclType);
    }

    /**
     * A new array of the data bytes, each 0 to 255.
     * @return the 44 bytes, each 0 to 255
     */
    public short[] toArray() {
        return call(libnimbetJNI::NimbetTuple_toArray);
    }

    /**
     * A new array of the data bytes.
     * @return the 44 bytes
     */
    public byte[] toByteArray() {
        return Bytes.narrow(toArray());
    }

    /**
     * True when the other tuple has the same type, whatever the data of either.
     * @param other the filter joined to this one (consumed: it is empty afterwards)
     * @return true when both tuples have the same type
     */
    public boolean sameType(NimbetTuple other) {
        // The native comparison answers 0 for the same type.
        return callInt(a -> other.callInt(b -> libnimbetJNI.NimbetTuple_tuple_equals(a, b))) == 0;
    }

    /** True for another open tuple with the same type and the same data (a closed one equals only itself). */
    @Override
    public boolean equals(Object other) {
        if (other == this) {
            return true;
        }
        if (!(other instanceof NimbetTuple) || isClosed() || ((NimbetTuple) other).isClosed()) {
            return false;
        }
        NimbetTuple t = (NimbetTuple) other;
        return sameType(t) && Arrays.equals(toArray(), t.toArray());
    }

    /** A hash of the type and the data; 0 once closed. */
    @Override
    public int hashCode() {
        return isClosed() ? 0 : 31 * getAclType().hashCode() + Arrays.hashCode(toArray());
    }

    /** The data bytes as decimal numbers separated by single spaces ("1 20 255"); empty without data. */
    @Override
    public String toString() {
        return isClosed() ? "NimbetTuple[closed]" : call(libnimbetJNI::NimbetTuple_toString);
    }
}
