// SPDX-License-Identifier: MIT
package nimbets.libNimbet;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotSame;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;

import java.util.ArrayList;
import java.util.Iterator;
import java.util.List;

import org.junit.jupiter.api.Test;

/** Packets: parsing, walking their tuples, header fields and the tuple list. */
class PacketTest extends NativeTestSupport {
    static final short[] ID = bytes(1, 1, 1, 1, 10, 0, 0, 5);

    /** Tuples of types abc, xyz, abc with distinct data. */
    static short[] threeTupleFrame() {
        return frame(filled(44, 3), ID, 7, new T("abc", 1, 2), new T("xyz"), new T("abc", 9));
    }

    private static List<String> describe(Iterable<NimbetTuple> tuples) {
        List<String> out = new ArrayList<>();
        for (NimbetTuple t : tuples) {
            try (t) {
                out.add(t.getAclType() + ":" + t);
            }
        }
        return out;
    }

    @Test
    void walkingAParsedPacketVisitsEveryTupleInOrder() {
        try (NimbetPacket p = NimbetPacket.fromFrame(threeTupleFrame())) {
            List<String> seen = new ArrayList<>();
            NimbetTuple t = p.firstAcl();
            while (t != null) {
                seen.add(t.getAclType() + ":" + t);
                NimbetTuple next = p.nextAcl(t);
                t.close();
                t = next;
            }
            assertEquals(List.of("abc:1 2", "xyz:", "abc:9"), seen);
            assertEquals(seen, describe(p), "iteration, closing each tuple in the loop");
            assertEquals(7, p.getSeq());
            try (NimbetSrcId id = p.getSrcId(); NimbetSrcId expected = new NimbetSrcId(ID)) {
                assertEquals(expected, id);
            }
        }
    }

    @Test
    void findingByTypeWalksTuplesOfOneTypeAndEndsQuietly() {
        try (NimbetPacket p = NimbetPacket.fromFrame(threeTupleFrame());
                NimbetTuple first = p.findFirstAcl("ABC");
                NimbetTuple second = p.findNextAcl(first)) {
            assertEquals("1 2", first.toString());
            assertEquals("9", second.toString());
            assertNull(p.findNextAcl(second));
            assertNull(p.findFirstAcl("qqq"));
        }
    }

    @Test
    void malformedFramesAreRefused() {
        short[] good = threeTupleFrame();
        short[] flipped = good.clone();
        flipped[60] ^= 0x10;
        short[] wrongFormat = good.clone();
        wrongFormat[0] = 1;
        for (short[] f : new short[][] {flipped, wrongFormat, java.util.Arrays.copyOf(good, 58)}) {
            assertEquals("c errno: 22 Invalid argument.",
                    assertThrows(IllegalArgumentException.class, () -> NimbetPacket.fromFrame(f)).getMessage());
        }
        try (NimbetPacket p = NimbetPacket.fromFrame(good)) {
            assertThrows(IllegalArgumentException.class, () -> p.parse(good), "already holds tuples");
        }
    }

    @Test
    void sequenceNumberKeepsItsLowEightBits() {
        try (NimbetPacket p = new NimbetPacket()) {
            p.setSeq(300);
            assertEquals(44, p.getSeq());
            assertFalse(p.getAck());
        }
    }

    @Test
    void headerSettersTakeTheValueObjects() {
        try (NimbetPacket p = new NimbetPacket(); NimbetLocation loc = new NimbetLocation(filled(44, 9));
                NimbetSrcId id = new NimbetSrcId("8.7.6.5.4.3.2.1")) {
            p.setLocation(loc);
            p.setSrcId(id);
            try (NimbetLocation a = p.getLocation(); NimbetLocation b = p.getLocation(); NimbetSrcId got = p.getSrcId()) {
                assertNotSame(a, b);
                assertEquals(loc, a);
                assertEquals(loc, b);
                assertEquals(id, got);
            }
        }
    }

    @Test
    void addingATupleAddsACopy() {
        try (NimbetPacket p = new NimbetPacket(); NimbetTuple t = new NimbetTuple("abc", bytes(1, 2, 3))) {
            p.add(t);
            t.setAclByte(0, 99);
            try (NimbetTuple inPacket = p.firstAcl()) {
                assertArrayEquals(bytes(1, 2, 3), inPacket.toArray());
            }
        }
    }

    @Test
    void removeTakesOutTheFirstTupleWithTheSameTypeAndData() {
        try (NimbetPacket p = NimbetPacket.fromFrame(threeTupleFrame()); NimbetTuple abc9 = new NimbetTuple("abc",
                bytes(9)); NimbetTuple abc5 = new NimbetTuple("abc", bytes(5))) {
            p.remove(abc9);
            assertEquals(List.of("abc:1 2", "xyz:"), describe(p));
            assertThrows(UnknownError.class, () -> p.remove(abc9));
            assertThrows(UnknownError.class, () -> p.remove(abc5));
            try (NimbetTuple first = p.firstAcl()) {
                p.remove(first);
            }
            assertEquals(List.of("xyz:"), describe(p));
        }
    }

    @Test
    void walkingOnFromATupleThatWasRemovedStopsInsteadOfFollowingFreedMemory() {
        try (NimbetPacket p = NimbetPacket.fromFrame(threeTupleFrame()); NimbetTuple first = p.firstAcl();
                NimbetTuple second = p.nextAcl(first)) {
            p.remove(second);
            // The predecessor is unchanged, so the walk goes on from its place.
            try (NimbetTuple after = p.nextAcl(first)) {
                assertEquals("9", after.toString());
            }
            assertNull(p.nextAcl(second));
            assertNull(p.findNextAcl(second));
        }
    }

    @Test
    void tuplesOfAnotherPacketOrNoPacketDoNotWalk() {
        try (NimbetPacket p = NimbetPacket.fromFrame(threeTupleFrame()); NimbetPacket other = new NimbetPacket();
                NimbetTuple loose = new NimbetTuple("abc", bytes(9)); NimbetTuple first = p.firstAcl()) {
            other.aclAdd("xyz", new short[0]);
            assertNull(p.nextAcl(loose));
            assertNull(other.nextAcl(first));
            assertNull(other.findNextAcl(first));
        }
    }

    @Test
    void closingThePacketEndsAnAbandonedIteration() {
        NimbetPacket p = NimbetPacket.fromFrame(threeTupleFrame());
        Iterator<NimbetTuple> it = p.iterator();
        it.next().close();
        p.close();
        assertFalse(it.hasNext(), "the look-ahead tuple went with the packet");
    }

    @Test
    void emptyPacketHasNothingToWalk() {
        try (NimbetPacket p = new NimbetPacket()) {
            assertNull(p.firstAcl());
            assertFalse(p.iterator().hasNext());
        }
    }

    @Test
    void packetTextShowsSourceSequenceAndTuplesAndFramesParseFromBytes() {
        try (NimbetPacket p = NimbetPacket.fromFrame(Bytes.narrow(threeTupleFrame()))) {
            assertEquals("NimbetPacket[1.1.1.1.10.0.0.5 #7 abc:1 2; xyz:; abc:9]", p.toString());
            p.close();
            assertEquals("NimbetPacket[closed]", p.toString());
        }
    }
}
