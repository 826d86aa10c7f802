// SPDX-License-Identifier: MIT
package nimbets.libNimbet;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import org.junit.jupiter.api.Test;

/** Filter chains built from Java objects and applied to packets. */
class FilterTest extends NativeTestSupport {
    static NimbetPacket packet(int idLast, String... types) {
        T[] tuples = new T[types.length];
        for (int i = 0; i < types.length; i++) {
            tuples[i] = new T(types[i], i);
        }
        NimbetPacket p = new NimbetPacket();
        if (types.length == 0) {
            try (NimbetSrcId id = new NimbetSrcId(bytes(1, 2, 3, 4, 5, 6, 7, idLast))) {
                p.setSrcId(id);
            }
            return p;
        }
        p.parse(frame(new short[44], bytes(1, 2, 3, 4, 5, 6, 7, idLast), 1, tuples));
        return p;
    }

    @Test
    void constantsHaveTheirFixedValues() {
        assertEquals(8388608, NimbetFilter.FILTER_MODE_NOT);
        assertEquals(0x1, NimbetFilter.FILTER_TYPE_LOCATION);
        assertEquals(0x2, NimbetFilter.FILTER_TYPE_ID);
        assertEquals(0x4, NimbetFilter.FILTER_TYPE_ACL);
        assertEquals(0x8, NimbetFilter.FILTER_TYPE_ACL_POSITION);
        assertEquals(0x10, NimbetFilter.FILTER_TYPE_FILTER);
        assertEquals(0xff, NimbetFilter.FILTER_TYPE_MASK);
        assertEquals(0x100, NimbetFilter.FILTER_CONCAT_AND);
        assertEquals(0x200, NimbetFilter.FILTER_CONCAT_OR);
        assertEquals(0x300, NimbetFilter.FILTER_CONCAT_MASK);
        assertEquals(0x400, NimbetFilter.FILTER_MODE_WILDCARD);
    }

    @Test
    void emptyChainAcceptsEveryPacket() {
        try (NimbetFilter f = new NimbetFilter("all"); NimbetPacket p = packet(8)) {
            assertTrue(f.apply(p));
        }
    }

    @Test
    void identifierAndLocationElementsCompareTheHeader() {
        try (NimbetFilter f = new NimbetFilter("id"); NimbetSrcId id = new NimbetSrcId("1.2.3.4.5.6.7.8");
                NimbetLocation zero = new NimbetLocation(new short[44]);
                NimbetPacket match = packet(8, "abc"); NimbetPacket other = packet(9, "abc")) {
            f.add(0, id).add(NimbetFilter.FILTER_CONCAT_AND | NimbetFilter.FILTER_TYPE_LOCATION, zero);
            assertTrue(f.apply(match));
            assertFalse(f.apply(other));
        }
    }

    @Test
    void negatedTupleElementPassesPacketsWithoutThatType() {
        try (NimbetFilter f = new NimbetFilter("not abc"); NimbetTuple abc = new NimbetTuple("abc");
                NimbetPacket none = packet(1); NimbetPacket without = packet(1, "xyz");
                NimbetPacket with = packet(1, "xyz", "abc")) {
            f.add(NimbetFilter.FILTER_MODE_NOT, abc);
            assertTrue(f.apply(none));
            assertTrue(f.apply(without));
            assertFalse(f.apply(with));
        }
    }

    @Test
    void tuplePositionElementLooksAtOnePlace() {
        try (NimbetFilter f = new NimbetFilter("pos"); NimbetTuple xyz = new NimbetTuple("xyz");
                NimbetPacket first = packet(1, "xyz", "abc"); NimbetPacket second = packet(1, "abc", "xyz")) {
            f.add(NimbetFilter.FILTER_TYPE_ACL_POSITION, xyz);
            assertTrue(f.apply(first));
            assertFalse(f.apply(second));
        }
    }

    @Test
    void andJoinOfTwoDisjunctionsNeedsATermOfEach() {
        // (abc OR xyz) AND (id 8 OR id 9)
        try (NimbetFilter types = new NimbetFilter("types"); NimbetFilter ids = new NimbetFilter("ids");
                NimbetTuple abc = new NimbetTuple("abc"); NimbetTuple xyz = new NimbetTuple("xyz");
                NimbetSrcId id8 = new NimbetSrcId("1.2.3.4.5.6.7.8"); NimbetSrcId id9 = new NimbetSrcId("1.2.3.4.5.6.7.9")) {
            types.add(0, abc).add(NimbetFilter.FILTER_CONCAT_OR, xyz);
            ids.add(0, id8).add(NimbetFilter.FILTER_CONCAT_OR, id9);
            types.and(ids);
            assertThrows(IllegalStateException.class, () -> ids.apply(null), "the joined chain is consumed");
            int[][] cases = {{8, 1, 0}, {9, 0, 1}, {7, 1, 0}, {8, 0, 0}};  // id, has abc, has xyz
            boolean[] expected = {true, true, false, false};
            for (int i = 0; i < cases.length; i++) {
                String[] tuples = cases[i][1] == 1 ? new String[] {"abc"} : cases[i][2] == 1 ? new String[] {"xyz"}
                        : new String[] {"qqq"};
                try (NimbetPacket p = packet(cases[i][0], tuples)) {
                    assertEquals(expected[i], types.apply(p), "case " + i);
                }
            }
        }
    }

    @Test
    void orJoinAppendsTheOtherChainsTerms() {
        try (NimbetFilter a = new NimbetFilter("a"); NimbetFilter b = new NimbetFilter("b");
                NimbetSrcId id8 = new NimbetSrcId("1.2.3.4.5.6.7.8"); NimbetTuple xyz = new NimbetTuple("xyz");
                NimbetPacket byId = packet(8, "qqq"); NimbetPacket byType = packet(1, "xyz");
                NimbetPacket neither = packet(1, "qqq")) {
            a.add(0, id8);
            b.add(0, xyz);
            a.or(b);
            assertTrue(a.apply(byId));
            assertTrue(a.apply(byType));
            assertFalse(a.apply(neither));
        }
    }

    @Test
    void andJoinIntoAnEmptyChainTakesTheOtherOverAndSurvivesItsClosing() {
        NimbetFilter b = new NimbetFilter("b named");
        try (NimbetFilter a = new NimbetFilter("a"); NimbetSrcId id8 = new NimbetSrcId("1.2.3.4.5.6.7.8");
                NimbetPacket match = packet(8, "abc"); NimbetPacket other = packet(9, "abc")) {
            b.add(0, id8);
            a.and(b);
            b.close();  // a's chain still uses b's elements and name
            assertTrue(a.apply(match));
            assertFalse(a.apply(other));
        }
    }

    @Test
    void joiningAChainIntoItselfChangesNothing() {
        try (NimbetFilter a = new NimbetFilter("self"); NimbetSrcId id8 = new NimbetSrcId("1.2.3.4.5.6.7.8");
                NimbetPacket match = packet(8, "abc"); NimbetPacket other = packet(9, "abc")) {
            a.add(0, id8);
            a.and(a).or(a);
            assertTrue(a.apply(match));
            assertFalse(a.apply(other));
        }
    }

    @Test
    void orElementFirstIsRefusedAndTheFilterSaysItLostItsChain() {
        try (NimbetFilter f = new NimbetFilter("or first"); NimbetSrcId id = new NimbetSrcId("1.2.3.4.5.6.7.8");
                NimbetPacket p = packet(8)) {
            assertThrows(IllegalArgumentException.class, () -> f.add(NimbetFilter.FILTER_CONCAT_OR, id));
            assertThrows(IllegalStateException.class, () -> f.apply(p));
        }
    }

    @Test
    void flagsThatCannotFitTheArgumentAreRefusedBeforeTheChainIsTouched() {
        try (NimbetFilter f = new NimbetFilter("checked"); NimbetSrcId id = new NimbetSrcId("1.2.3.4.5.6.7.8");
                NimbetPacket p = packet(8)) {
            int and = NimbetFilter.FILTER_CONCAT_AND;
            assertThrows(IllegalArgumentException.class, () -> f.add(NimbetFilter.FILTER_TYPE_LOCATION, id));
            assertThrows(IllegalArgumentException.class, () -> f.add(NimbetFilter.FILTER_MODE_WILDCARD, id));
            assertThrows(IllegalArgumentException.class, () -> f.add(and | NimbetFilter.FILTER_CONCAT_OR, id));
            f.add(and, id);
            assertTrue(f.apply(p));
        }
    }

    @Test
    void describePrintsPacketsAndChainsOnStandardOutput() throws Exception {
        String out = stdoutOf(DescribeMain.class);
        String[] lines = out.split("\n", -1);
        assertEquals("java before", lines[0]);
        assertEquals("ID:\t  1.1.1.1.10.0.0.5", lines[1]);
        assertEquals("Location: " + "3" + ".3".repeat(43), lines[2]);
        assertEquals("Seq:\t  7", lines[3]);
        assertEquals("ACK-Seq:  0", lines[4]);
        assertEquals("\t[abc (102,102) | 2 | 1 2]", lines[5]);
        assertEquals("\t[xyz (249,213) | 0 |]", lines[6]);
        assertEquals("\t[abc (102,102) | 1 | 9]", lines[7]);
        assertTrue(lines[8].isEmpty(), "a blank line ends the packet");
        assertTrue(lines[9].startsWith("FILTER_CHAIN: demo#"), lines[9]);
        assertEquals(" TRUE AND ID(1.2.3.4.5.6.7.8)OR", lines[10]);
        assertEquals("!ACL(abc)", lines[11]);
        assertEquals("java after", lines[12]);
    }
}
