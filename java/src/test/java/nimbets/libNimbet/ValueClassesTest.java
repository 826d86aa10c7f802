// SPDX-License-Identifier: MIT
package nimbets.libNimbet;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.Collections;
import java.util.HashSet;
import java.util.Set;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/** Identifiers, locations and tuples. */
class ValueClassesTest extends NativeTestSupport {
    @Test
    void identifierFromArrayCutsValuesAndGivesTheArrayBack() {
        short[] raw = bytes(1, 2, 3, 4, 5, 6, 7, 300);
        try (NimbetSrcId id = new NimbetSrcId(raw)) {
            assertEquals("1.2.3.4.5.6.7.44", id.toString());
            assertEquals(44, raw[7]);
        }
    }

    @ParameterizedTest
    @ValueSource(ints = {0, 7, 9})
    void identifierFromArrayNeedsEightValues(int n) {
        assertThrows(IllegalArgumentException.class, () -> new NimbetSrcId(new short[n]));
    }

    @Test
    void identifierFromTextKeepsTheTextAsGiven() {
        try (NimbetSrcId id = new NimbetSrcId("1.2.3.4.5.6.7.008");
                NimbetSrcId same = new NimbetSrcId(bytes(1, 2, 3, 4, 5, 6, 7, 8))) {
            assertEquals("1.2.3.4.5.6.7.008", id.toString());
            assertEquals("1.2.3.4.5.6.7.8", same.toString());
            assertEquals(id, same);
            assertEquals(id.hashCode(), same.hashCode());
        }
    }

    @ParameterizedTest
    @ValueSource(strings = {"1.2.3.4.5.6.7", "1.2.3.4.5.6.7.8.9", "1.2.3.4.5.6.7.8.", "10.0.0.5", "1.2.3.4.5.6.7.256",
        "1.2.3.4.5.6.7.x", ""})
    void identifierFromTextNeedsExactlyEightNumbers(String text) {
        assertEquals("c errno: 22 Invalid argument.",
                assertThrows(IllegalArgumentException.class, () -> new NimbetSrcId(text)).getMessage());
    }

    @Test
    void identifierEqualityAndHashFollowTheBytes() {
        try (NimbetSrcId zero = new NimbetSrcId(new short[8]);
                NimbetSrcId one = new NimbetSrcId(bytes(0, 0, 0, 0, 0, 0, 0, 1));
                NimbetSrcId mixed = new NimbetSrcId(bytes(1, 2, 3, 4, 10, 20, 200, 255))) {
            assertEquals(0, zero.hashCode());
            assertEquals(1, one.hashCode());
            int h = 0;
            for (short b : mixed.toArray()) {
                h = 31 * h + b;
            }
            assertEquals(h, mixed.hashCode());
            assertEquals("1.2.3.4.10.20.200.255", mixed.toString());
            // The native comparison answers 0 for equal identifiers, 1 otherwise.
            assertEquals(1, libnimbetJNI.NimbetSrcId_id_equals(zero.handle(), one.handle()));
            assertEquals(0, libnimbetJNI.NimbetSrcId_id_equals(one.handle(), one.handle()));
            assertNotEquals(zero, one);
            Set<NimbetSrcId> set = new HashSet<>();
            Collections.addAll(set, zero, one, mixed);
            assertTrue(set.contains(one));
        }
    }

    @Test
    void identifierArrayIsAFreshCopy() {
        try (NimbetSrcId id = new NimbetSrcId("9.8.7.6.5.4.3.2")) {
            short[] a = id.toArray();
            a[0] = 77;
            assertArrayEquals(bytes(9, 8, 7, 6, 5, 4, 3, 2), id.toArray());
            assertEquals(libnimbetJNI.NimbetSrcId_toFilter(id.handle()), libnimbetJNI.NimbetSrcId_toFilter(id.handle()));
        }
    }

    @Test
    void zeroLocationTextIsFortyFourZeros() {
        try (NimbetLocation loc = new NimbetLocation(new short[44])) {
            String text = loc.toString();
            assertEquals(87, text.length());
            assertEquals("0" + ".0".repeat(43), text);
        }
    }

    @Test
    void locationNeedsFortyFourBytesOrNumbers() {
        assertThrows(IllegalArgumentException.class, () -> new NimbetLocation(new short[43]));
        assertThrows(IllegalArgumentException.class, () -> new NimbetLocation("1" + ".1".repeat(42)));
        assertThrows(IllegalArgumentException.class, () -> new NimbetLocation("1" + ".1".repeat(44)));
        String text = "255" + ".1".repeat(43);
        try (NimbetLocation fromText = new NimbetLocation(text); NimbetLocation fromArray = new NimbetLocation(
                fromTextBytes(text))) {
            assertEquals(text, fromText.toString());
            assertEquals(fromArray, fromText);
            assertEquals(fromArray.hashCode(), fromText.hashCode());
        }
    }

    private static short[] fromTextBytes(String text) {
        String[] parts = text.split("\\.");
        short[] out = new short[parts.length];
        for (int i = 0; i < parts.length; i++) {
            out[i] = Short.parseShort(parts[i]);
        }
        return out;
    }

    /** Root 0..15, nodes "ab", "nodetwo12" + "345" cut, "x?z", empty, x 5, y 67 (70), z 50000, deviation 200. */
    private static short[] sampleLocation() {
        short[] raw = new short[44];
        for (int i = 0; i < 16; i++) {
            raw[i] = (short) i;
        }
        String[] nodes = {"ab", "nodetwo12", "x?z", ""};
        for (int n = 0; n < 4; n++) {
            String name = (nodes[n] + "         ").substring(0, 9);
            for (int g = 0; g < 3; g++) {
                short[] code = typeCode(name.substring(3 * g, 3 * g + 3));
                raw[16 + 6 * n + 2 * g] = code[0];
                raw[16 + 6 * n + 2 * g + 1] = code[1];
            }
        }
        raw[40] = 0x14;
        raw[41] = 0x1D;
        raw[42] = 0xCB;
        raw[43] = 200;
        return raw;
    }

    @Test
    void locationPartsAreDecodedFromTheBytes() {
        try (NimbetLocation loc = new NimbetLocation(sampleLocation())) {
            assertEquals("ab       ", loc.getNode(1));
            assertEquals("nodetwo12", loc.getNode(2));
            assertEquals("x z      ", loc.getNode(3));
            assertEquals("         ", loc.getNode(4));
            assertEquals(5, loc.getX());
            assertEquals(70, loc.getY());
            assertEquals(50000, loc.getZ());
            assertEquals(200, loc.getDeviation());
            short[] root = new short[16];
            for (int i = 0; i < 16; i++) {
                root[i] = (short) i;
            }
            assertArrayEquals(root, loc.getRoot());
        }
    }

    @ParameterizedTest
    @ValueSource(ints = {0, 5, -1})
    void locationRefusesNodeNumbersOutsideOneToFourAndStaysUsable(int n) {
        try (NimbetLocation loc = new NimbetLocation(sampleLocation())) {
            assertThrows(IllegalArgumentException.class, () -> loc.getNode(n));
            assertEquals(5, loc.getX());
        }
    }

    @Test
    void locationNeverAskedForItsPartsClosesCleanly() {
        NimbetLocation loc = new NimbetLocation(sampleLocation());
        assertEquals(44, loc.toArray().length);
        loc.close();
    }

    @Test
    void tupleTextIsItsDataInDecimal() {
        try (NimbetTuple t = new NimbetTuple("abc", bytes(1, 20, 255)); NimbetTuple empty = new NimbetTuple("abc")) {
            assertEquals("1 20 255", t.toString());
            assertEquals("", empty.toString());
            assertEquals(0, empty.length());
        }
    }

    @Test
    void tupleTypeComesBackInLowerCase() {
        try (NimbetTuple cad = new NimbetTuple("CAD"); NimbetTuple ab = new NimbetTuple("ab")) {
            assertEquals("cad", cad.getAclType());
            assertEquals("ab ", ab.getAclType());
        }
    }

    @Test
    void tupleBytePositionsUseTheLowSixteenBitsAndStayInsideTheData() {
        try (NimbetTuple t = new NimbetTuple("abc", bytes(9, 8, 7))) {
            assertEquals(9, t.getAclByte(65536));
            assertEquals(7, t.getAclByte(2));
            assertThrows(IllegalArgumentException.class, () -> t.getAclByte(3));
            assertThrows(IllegalArgumentException.class, () -> t.setAclByte(3, 1));
            t.setAclByte(65537, 300);
            assertArrayEquals(bytes(9, 44, 7), t.toArray());
        }
    }

    @Test
    void tupleWithALengthStartsZeroedAndRefusesImpossibleLengths() {
        try (NimbetTuple t = new NimbetTuple("abc", 255)) {
            assertEquals(255, t.length());
            assertEquals(0, t.getAclByte(254));
        }
        assertThrows(IllegalArgumentException.class, () -> new NimbetTuple("abc", 256));
        assertThrows(IllegalArgumentException.class, () -> new NimbetTuple("abc", -1));
        assertThrows(IllegalArgumentException.class, () -> new NimbetTuple("abc", new short[256]));
    }

    @Test
    void tupleComparisonOfTypesIgnoresData() {
        try (NimbetTuple a = new NimbetTuple("abc", bytes(1)); NimbetTuple a2 = new NimbetTuple("ABC", bytes(2));
                NimbetTuple a3 = new NimbetTuple("abc", bytes(1)); NimbetTuple b = new NimbetTuple("abd")) {
            assertEquals(0, libnimbetJNI.NimbetTuple_tuple_equals(a.handle(), a2.handle()));
            assertTrue(libnimbetJNI.NimbetTuple_tuple_equals(a.handle(), b.handle()) < 0);
            assertTrue(libnimbetJNI.NimbetTuple_tuple_equals(b.handle(), a.handle()) > 0);
            assertTrue(a.sameType(a2));
            assertFalse(a.equals(a2), "equal tuples also need equal data");
            assertEquals(a, a3);
            assertEquals(a.hashCode(), a3.hashCode());
            assertEquals(a.handle(), libnimbetJNI.NimbetTuple_toFilter(a.handle()));
        }
    }

    @Test
    void byteArraysCrossAsUnsignedBytes() {
        byte[] raw = {1, (byte) 200, 3, 4, 5, 6, 7, (byte) 255};
        try (NimbetSrcId id = new NimbetSrcId(raw); NimbetTuple t = new NimbetTuple("abc", raw);
                NimbetUtil u = new NimbetUtil()) {
            assertEquals("1.200.3.4.5.6.7.255", id.toString());
            assertArrayEquals(raw, id.toByteArray());
            assertArrayEquals(raw, t.toByteArray());
            byte[] frame = {1, 2, (byte) 0x80, 0, 0};
            u.crc16Append(frame);
            int crc = crc16(bytes(1, 2, 0x80), 3);
            assertArrayEquals(new byte[] {1, 2, (byte) 0x80, (byte) (crc >> 8), (byte) crc}, frame);
            assertTrue(u.crc16Check(frame));
            assertEquals("cad", u.acl2str(new byte[] {108, (byte) 128}));
        }
    }
}
