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
        super(libnimbetJNI.new_NimbetUtil(), "a utility object");
    }

    @Override
    void release(long handle) {
        libnimbetJNI.delete_NimbetUtil(handle);
    }

    /**
     * Writes the CRC-16 of all but the last two values into the last two.
     *
     * @throws IllegalArgumentException for fewer than 2 values
     * @throws UnknownError for exactly 2 values (nothing to cover; error number 42)
     * @throws NullPointerException for a null array
     */
    public void crc16Append(short[] frame) {
        libnimbetJNI.NimbetUtil_crc16Append(handle(), frame);
    }

    /**
     * True when the frame's last two values hold the CRC-16 of the values before them; false
     * also for an empty array.
     *
     * @throws NullPointerException for a null array
     */
    public boolean crc16Check(short[] frame) {
        return libnimbetJNI.NimbetUtil_crc16Check(handle(), frame) == 1;
    }

    /**
     * The 2-byte code of a tuple type, each value 0 to 255 ("CAD" and "cad" give 108, 128). Only
     * the first 3 characters count; missing ones count as spaces.
     *
     * @throws IllegalArgumentException for a null type
     */
    public short[] str2acl(String type) {
        return libnimbetJNI.NimbetUtil_str2acl(handle(), type);
    }

    /**
     * The 3 lower-case letters of a 2-byte type code (108, 128 give "cad"); values after the first
     * two are ignored.
     *
     * @throws IllegalArgumentException for fewer than 2 values
     */
    public String acl2str(short[] code) {
        return libnimbetJNI.NimbetUtil_acl2str(handle(), code);
    }
}
