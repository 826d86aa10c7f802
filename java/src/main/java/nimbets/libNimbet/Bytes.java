// SPDX-License-Identifier: MIT
package nimbets.libNimbet;

/**
 * Conversions between {@code byte[]} and the {@code short[]} arrays of values 0 to 255 in which
 * the native methods take and give bytes.
 */
final class Bytes {
    private Bytes() {
    }

    /** Each byte as its unsigned value 0 to 255; null stays null (the native method names it). */
    static short[] widen(byte[] bytes) {
        if (bytes == null) {
            return null;
        }
        short[] out = new short[bytes.length];
        for (int i = 0; i < bytes.length; i++) {
            out[i] = (short) (bytes[i] & 0xff);
        }
        return out;
    }

    /** The low 8 bits of each value; null stays null. */
    static byte[] narrow(short[] values) {
        if (values == null) {
            return null;
        }
        byte[] out = new byte[values.length];
        for (int i = 0; i < values.length; i++) {
            out[i] = (byte) values[i];
        }
        return out;
    }

    /** Copies what a native method wrote into the widened copy back into the caller's array. */
    static void copyBack(short[] from, byte[] to) {
        for (int i = 0; i < to.length; i++) {
            to[i] = (byte) from[i];
        }
    }
}
