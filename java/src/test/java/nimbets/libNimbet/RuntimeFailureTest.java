// SPDX-License-Identifier: MIT
package nimbets.libNimbet;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertDoesNotThrow;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import java.util.List;
import java.util.Map;
import java.util.concurrent.FutureTask;
import java.util.concurrent.TimeUnit;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.function.Executable;

/** How failures of the library reach Java, and how buffers cross. */
class RuntimeFailureTest extends NativeTestSupport {
    @Test
    void invalidArgumentRaisesIllegalArgumentWithTheErrorText() {
        IllegalArgumentException e = assertThrows(IllegalArgumentException.class,
                () -> new NimbetSrcId(new short[7]));
        assertEquals("c errno: 22 Invalid argument.", e.getMessage());
    }

    @Test
    void libraryOwnErrorNumbersRaiseUnknownErrorWithTheCLibraryText() {
        try (NimbetPacket p = new NimbetPacket(); NimbetTuple t = new NimbetTuple("abc")) {
            UnknownError e = assertThrows(UnknownError.class, () -> p.remove(t));
            assertEquals("c errno: 225 Unknown error 225.", e.getMessage());
        }
    }

    @Test
    void breakingTheTupleAreaLimitRaisesProtocolErrorNumber() {
        try (NimbetPacket p = new NimbetPacket()) {
            p.aclAdd("abc", new short[61]);
            UnknownError e = assertThrows(UnknownError.class, () -> p.aclAdd("abc", new short[0]));
            assertEquals("c errno: 227 Unknown error 227.", e.getMessage());
        }
    }

    @Test
    void unknownChainRaisesUnknownErrorWithNoSuchFileText() {
        long f = libnimbetJNI.new_NimbetFilter("f");
        try (NimbetPacket p = new NimbetPacket()) {
            // An invalid type field fails the add and cuts the record off from its chain.
            assertThrows(IllegalArgumentException.class, () -> libnimbetJNI.NimbetFilter_add(f, 3, p.handle()));
            UnknownError e = assertThrows(UnknownError.class, () -> libnimbetJNI.NimbetFilter_apply(f, p.handle()));
            assertEquals("c errno: 2 No such file or directory.", e.getMessage());
        } finally {
            libnimbetJNI.delete_NimbetFilter(f);
        }
    }

    @Test
    void failureFlagSetByANullResultIsRaisedByTheNextCallOfItsThreadThatLeavesAnErrorNumber() throws Exception {
        long f = libnimbetJNI.new_NimbetFilter("cut off");
        try (NimbetPacket p = new NimbetPacket()) {
            assertThrows(IllegalArgumentException.class, () -> libnimbetJNI.NimbetFilter_add(f, 3, p.handle()));
            // Raising cleared the error number, so this null result raises nothing, but the flag stays.
            assertEquals(0, assertDoesNotThrow(() -> libnimbetJNI.NimbetFilter_toFilter(f)));
            // The flag is this thread's: another thread's "not found" raises nothing.
            FutureTask<NimbetTuple> other = new FutureTask<>(() -> {
                try (NimbetPacket q = new NimbetPacket()) {
                    return q.findFirstAcl("xyz");
                }
            });
            new Thread(other).start();
            assertEquals(null, other.get(60, TimeUnit.SECONDS));
            // "Not found" alone raises nothing; with the flag still set it is raised.
            UnknownError e = assertThrows(UnknownError.class, () -> p.findFirstAcl("xyz"));
            assertEquals("c errno: 225 Unknown error 225.", e.getMessage());
            // That raise cleared the flag again.
            assertEquals(null, assertDoesNotThrow(() -> p.findFirstAcl("xyz")));
        } finally {
            libnimbetJNI.delete_NimbetFilter(f);
        }
    }

    @Test
    void errorNumberLeftWithoutTheFlagRaisesNothing() {
        try (NimbetPacket p = new NimbetPacket()) {
            assertEquals(null, p.findFirstAcl("xyz"));  // leaves 225 behind, flag clear
            assertDoesNotThrow(() -> p.getSeq());
            assertDoesNotThrow(() -> libnimbetJNI.get_FILTER_TYPE_ID());
        }
    }

    @Test
    void nullArrayRaisesNullPointerWithTheExactTextBeforeAnyWork() {
        NullPointerException e = assertThrows(NullPointerException.class, () -> new NimbetSrcId((short[]) null));
        assertEquals("null array", e.getMessage());
        try (NimbetPacket p = new NimbetPacket()) {
            assertEquals("null array",
                    assertThrows(NullPointerException.class, () -> p.aclAdd("abc", (byte[]) null)).getMessage());
            assertEquals(null, p.firstAcl());
        }
    }

    @Test
    void bufferValuesAreCutToBytesOnTheWayInAndBack() {
        short[] data = bytes(256, -1, 255, 0x1ff);
        try (NimbetTuple t = new NimbetTuple("abc", data)) {
            assertArrayEquals(bytes(0, 255, 255, 255), t.toArray());
        }
        assertArrayEquals(bytes(0, 255, 255, 255), data, "the caller's array is given back cut");
    }

    @Test
    void nullTextsAreRefusedAsInvalidArgumentsNamingThem() {
        try (NimbetPacket p = new NimbetPacket()) {
            Map<String, Executable> calls = Map.of(
                "type", () -> new NimbetTuple((String) null),
                "text", () -> new NimbetSrcId((String) null),
                "name", () -> new NimbetFilter(null));
            for (Map.Entry<String, Executable> call : calls.entrySet()) {
                assertEquals("c errno: 22 Invalid argument: " + call.getKey() + " is null.",
                        assertThrows(IllegalArgumentException.class, call.getValue()).getMessage());
            }
            for (Executable call : List.<Executable>of(() -> new NimbetTuple(null, new short[1]),
                    () -> new NimbetTuple(null, 3), () -> new NimbetLocation((String) null),
                    () -> p.aclAdd(null, new short[1]), () -> p.findFirstAcl(null))) {
                assertThrows(IllegalArgumentException.class, call);
            }
            assertEquals(null, p.firstAcl(), "nothing was added");
        }
    }

    @Test
    void nullHandlesAreRefusedWhereTheBindingReadsTheRecord() {
        Executable[] calls = {
            () -> libnimbetJNI.NimbetSrcId_toArray(0),
            () -> libnimbetJNI.NimbetSrcId_id_equals(0, 0),
            () -> libnimbetJNI.NimbetLocation_getX(0),
            () -> libnimbetJNI.NimbetTuple_length(0),
            () -> libnimbetJNI.NimbetTuple_toString(0),
            () -> libnimbetJNI.NimbetFilter_apply(0, 0),
            () -> libnimbetJNI.NimbetPacket_setSrcId(0, 0),
            () -> libnimbetJNI.NimbetPacket_add(0, 0, 0),
            // The library itself refuses a null packet.
            () -> libnimbetJNI.NimbetPacket_getSeq(0),
            () -> libnimbetJNI.NimbetPacket_getLocation(0),
            () -> libnimbetJNI.NimbetPacket_parse(0, new short[80]),
        };
        for (Executable call : calls) {
            assertThrows(IllegalArgumentException.class, call);
        }
        // Walking methods, destructors and printers never raise.
        assertEquals(0, libnimbetJNI.NimbetPacket_firstAcl(0));
        assertEquals(0, libnimbetJNI.NimbetPacket_nextAcl(0, 0));
        assertDoesNotThrow(() -> libnimbetJNI.delete_NimbetPacket(0));
        assertDoesNotThrow(() -> libnimbetJNI.delete_NimbetFilter(0));
        assertDoesNotThrow(() -> libnimbetJNI.delete_NimbetSrcId(0));
    }

    @Test
    void closedObjectsRefuseUseAndCloseOnlyOnce() {
        NimbetSrcId id = new NimbetSrcId("1.2.3.4.5.6.7.8");
        id.close();
        id.close();
        assertThrows(IllegalStateException.class, id::toArray);
        assertEquals("NimbetSrcId[closed]", id.toString());
    }
}
