// SPDX-License-Identifier: MIT
package nimbets.libNimbet;

/**
 * The CRC-16 of frames (CRC-16/XMODEM, stored high byte first in the frame's last two bytes) and
 * the packing of 3-letter tuple types into their 2-byte codes.
 *
 * <p>Byte buffers are {@code short[]} arrays of values 0 to 255; values outside are cut to their
 * low 8 bits, and the array is given back holding the cut values. Holds a native placeholder:
 * close it when done.
 */
public final class NimbetUtil extends NativeHandle {
    /** A new utility object. */
    public NimbetUtil() {
        super(libnimbetJNI.new_NimbetUtil(), "a utility object", libnimbetJNI::delete_NimbetUtil);
    }

    /**
     * Writes the CRC-16 of all but the last two values into the last two.
     *
     * @throws IllegalArgumentException for fewer than 2 values
     * @throws UnknownError for exactly 2 values (nothing to cover; error number 42)
     * @throws NullPointerException for a null array
     * @param frame the frame's bytes (header, tuples, CRC-16), each 0 to 255
     */
    public void crc16Append(short[] frame) {
        run(h -> libnimbetJNI.NimbetUtil_crc16Append(h, frame));
    }

    /**
     * Writes the CRC-16 of all but the last two bytes into the last two; see {@link #crc16Append(short[])}.
     * @param frame the frame's bytes (header, tuples, CRC-16), each 0 to 255
     */
    public void crc16Append(byte[] frame) {
        short[] values = Bytes.widen(frame);
        crc16Append(values);
        Bytes.copyBack(values, frame);
    }

    /**
     * True when the frame's last two values hold the CRC-16 of the values before them; false
     * also for an empty array.
     *
     * @throws NullPointerException for a null array
     * @param frame the frame's bytes (header, tuples, CRC-16), each 0 to 255
     * @return true when the frame's last two bytes hold the CRC-16 of the rest
     */
    public boolean crc16Check(short[] frame) {
        return callInt(h -> libnimbetJNI.NimbetUtil_crc16Check(h, frame)) == 1;
    }

    /**
     * True when the frame's last two bytes hold the CRC-16 of the bytes before them.
     * @param frame the frame's bytes (header, tuples, CRC-16), each 0 to 255
     * @return true when the frame's last two bytes hold the CRC-16 of the rest
     */
    public boolean crc16Check(byte[] frame) {
        return crc16Check(Bytes.widen(frame));
    }

    /**
     * The 2-byte code of a tuple type, each value 0 to 255 ("CAD" and "cad" give 108, 128). Only
     * the first 3 characters count; missing ones count as spaces.
     *
     * @throws IllegalArgumentException for a null type
     * @param type the tuple type, its 3-character name ("tmp")
     * @return the 2 code bytes, each 0 to 255
     */
    public short[] str2acl(String type) {
        return call(h -> libnimbetJNI.NimbetUtil_str2acl(h, type));
    }

    /**
     * The 3 lower-case letters of a 2-byte type code (108, 128 give "cad"); values after the first
     * two are ignored.
     *
     * @throws IllegalArgumentException for fewer than 2 values
     * @param code the type's 2 code bytes
     * @return the type's 3-character name
     */
    public String acl2str(short[] code) {
        return call(h -> libnimbetJNI.NimbetUtil_acl2str(h, code));
    }

    /**
     * The 3 lower-case letters of a 2-byte type code; see {@link #acl2str(short[])}.
     * @param code the type's 2 code bytes
     * @return the type's 3-character name
     */
    public String acl2str(byte[] code) {
        return acl2str(Bytes.widen(code));
    }
}
