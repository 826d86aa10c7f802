// SPDX-License-Identifier: MIT
package nimbets.libNimbet;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertDoesNotThrow;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.File;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.function.Executable;

/** A socket on its own: opening, closing, refused arguments; and the CRC and type-code utilities. */
class SocketUtilTest extends NativeTestSupport {
    private static final int PORT = 47100;
    private static final String INVALID = "c errno: 22 Invalid argument.";

    @Test
    void socketConstantsHaveTheLibraryBits() {
        assertArrayEquals(new int[] {0, 1, 2, 4, 8, 15, 16, 32},
                new int[] {NimbetSocket.SOCKET_CLEANFLAG, NimbetSocket.SOCKET_BOUND, NimbetSocket.SOCKET_AUTOACK,
                    NimbetSocket.SOCKET_RECV_ALL, NimbetSocket.SOCKET_FRAG, NimbetSocket.SOCKET_LOWFLAG,
                    NimbetSocket.SOCKET_BROADCAST, NimbetSocket.SOCKET_BLOCKING});
    }

    @Test
    void socketsOpenedWithoutAddressesTakeTheInterfaceAndGivenAddressesKeepTheirByteOrder() {
        // Inside the test namespace the only interface is lo.
        try (NimbetSocket plain = new NimbetSocket(PORT); NimbetSocket zeros = new NimbetSocket(PORT, 0, 0);
                NimbetSocket given = new NimbetSocket(PORT, "127.0.0.1", "127.255.255.255");
                NimbetSrcId a = plain.getId(); NimbetSrcId b = zeros.getId(); NimbetSrcId c = given.getId()) {
            assertEquals("1.1.1.1.127.0.0.1", a.toString());
            assertEquals(a, b);
            assertEquals(a, c);
        }
        assertThrows(IllegalArgumentException.class, () -> NimbetSocket.address("127.0.0.256"));
        assertThrows(IllegalArgumentException.class, () -> new NimbetSocket(65536));
    }

    @Test
    void closeForgetsTheDescriptorSoTheDestructorCannotCloseAReusedNumber() {
        long first = libnimbetJNI.new_NimbetSocket__SWIG_0(PORT);
        libnimbetJNI.NimbetSocket_close(first);
        IllegalArgumentException again = assertThrows(IllegalArgumentException.class,
                () -> libnimbetJNI.NimbetSocket_close(first));
        assertEquals(INVALID, again.getMessage());
        // The system hands the lowest free number to the next socket: the one just closed.
        try (NimbetSocket second = new NimbetSocket(PORT)) {
            libnimbetJNI.delete_NimbetSocket(first);
            assertDoesNotThrow(() -> second.setRetry(3, 50));
        }
    }

    @Test
    void transferWindowTakesZeroToOneHundredTwentyEight() {
        try (NimbetSocket s = new NimbetSocket(PORT)) {
            assertDoesNotThrow(() -> s.setTransferWindow(0));
            assertDoesNotThrow(() -> s.setTransferWindow(128));
            assertEquals("c errno: 22 Invalid argument.",
                    assertThrows(IllegalArgumentException.class, () -> s.setTransferWindow(129)).getMessage());
            assertThrows(IllegalArgumentException.class, () -> s.setTransferWindow(-1));
        }
    }

    @Test
    void nullTextsAndHandlesAreRefusedAsInvalidArgumentsNamingThem() {
        try (NimbetSocket s = new NimbetSocket(PORT); NimbetPacket p = new NimbetPacket();
                NimbetSrcId id = new NimbetSrcId("1.1.1.1.10.0.0.9")) {
            long h = s.handle();
            Map<Executable, String> calls = Map.of(() -> s.setIpDest(null), "address",
                    () -> s.sendBuffer(s, new short[3], id, null), "type",
                    () -> s.sendFile(s, null, id, "dat"), "path",
                    () -> libnimbetJNI.NimbetSocket_setLoc(h, 0), "location",
                    () -> libnimbetJNI.NimbetSocket_sendAddressed(h, p.handle(), 0), "id",
                    () -> libnimbetJNI.NimbetSocket_receive(h, 0), "ackSocket",
                    () -> libnimbetJNI.NimbetSocket_receiveTimeout(0, h, 0), "socket",
                    () -> libnimbetJNI.NimbetSocket_receiveFiltered(h, h, 0), "filter");
            for (Map.Entry<Executable, String> call : calls.entrySet()) {
                assertEquals("c errno: 22 Invalid argument: " + call.getValue() + " is null.",
                        assertThrows(IllegalArgumentException.class, call.getKey()).getMessage());
            }
            // Without an identifier the packet must name the node itself; a file that cannot be opened.
            for (Executable call : List.<Executable>of(() -> s.sendAcked(s, p, null),
                    () -> s.sendFile(s, "/nonexistent", id, "dat"))) {
                assertEquals(INVALID, assertThrows(IllegalArgumentException.class, call).getMessage());
            }
        }
    }

    @Test
    void receivingNeverRaisesButReceiveRawAlways() {
        try (NimbetSocket s = new NimbetSocket(PORT)) {
            s.setOptions(NimbetSocket.SOCKET_BLOCKING, false);
            assertNull(s.receive());
            @SuppressWarnings("deprecation")
            Executable raw = () -> s.receiveRaw(new short[311]);
            assertTrue(assertThrows(UnknownError.class, raw).getMessage().startsWith("c errno: 40 "));
        }
        assertThrows(UnknownError.class, () -> libnimbetJNI.NimbetSocket_receiveRaw(0, 0, 0));
    }

    @Test
    void errorNumbersSharedWithTheCLibraryReadAsItWordsThem() {
        try (NimbetSrcId id = new NimbetSrcId("1.1.1.1.10.0.0.6"); NimbetSocket s = openNode(PORT + 1, id);
                NimbetPacket full = new NimbetPacket()) {
            RuntimeException busy = assertThrows(RuntimeException.class, () -> s.setIpSrc("127.0.0.1"));
            assertEquals("c errno: 16 Device or resource busy.", busy.getMessage());
            full.aclAdd("abc", new short[61]);
            assertEquals("c errno: 12 Cannot allocate memory.",
                    assertThrows(OutOfMemoryError.class, () -> s.sendAddressed(full, id)).getMessage());
            // Linux numbers an illegal byte sequence 84: the library's 42 keeps its own words.
            assertEquals("c errno: 42 Illegal byte sequence.",
                    assertThrows(UnknownError.class, () -> s.setIpDest("255.255.255.255")).getMessage());
        }
    }

    @Test
    void boundedReceiveGivesNullWhenNothingCameAndTheFrameWhenOneDid() {
        try (NimbetSrcId id = new NimbetSrcId("1.1.1.1.10.0.0.7"); NimbetSocket s = openNode(PORT + 2, id)) {
            s.setOptions(NimbetSocket.SOCKET_BLOCKING, true);  // the bound holds in either mode
            assertNull(s.receive(20));
            try (NimbetPacket p = new NimbetPacket()) {
                p.aclAdd("tmp", bytes(4, 2));
                p.setSeq(9);
                s.send(p);
            }
            try (NimbetPacket back = s.receive(s, 60_000)) {
                assertEquals("NimbetPacket[1.1.1.1.10.0.0.7 #9 tmp:4 2]", back.toString());
            }
        }
    }

    @Test
    void countersCountFramesBothWaysAndStartAgainAfterAReset() {
        try (NimbetSrcId id = new NimbetSrcId("1.1.1.1.10.0.0.8"); NimbetSocket s = openNode(PORT + 3, id)) {
            s.resetStats();
            try (NimbetPacket p = new NimbetPacket()) {
                p.aclAdd("tmp", bytes(1));
                s.send(p);
            }
            try (NimbetPacket back = s.receive(60_000)) {
                assertNotNull(back);
            }
            NimbetSocketStats stats = s.getStats();
            assertEquals(1, stats.getFramesSent());
            assertEquals(1, stats.getFramesReceived());
            assertTrue(stats.toString().startsWith("frames sent 1, frames received 1, frames rejected 0, "), stats.toString());
            s.resetStats();
            NimbetSocketStats reset = s.getStats();
            assertEquals(0, reset.getFramesSent());
            assertEquals(0, reset.getFramesReceived());
        }
        assertThrows(IllegalArgumentException.class, () -> libnimbetJNI.NimbetSocket_getStats(0));
    }

    @Test
    void socketsNeverClosedAreClosedOnceUnreachable() throws InterruptedException {
        int before = openDescriptors();
        for (int i = 0; i < 16; i++) {
            new NimbetSocket(PORT);
        }
        assertTrue(openDescriptors() >= before + 16);
        long end = System.nanoTime() + TimeUnit.SECONDS.toNanos(60);
        while (openDescriptors() > before && System.nanoTime() - end < 0) {
            System.gc();
            Thread.sleep(10);
        }
        assertTrue(openDescriptors() <= before, "descriptors left open: " + (openDescriptors() - before));
    }

    private static int openDescriptors() {
        return new File("/proc/self/fd").list().length;
    }

    @Test
    void crcUtilitiesWriteAndCheckTheFrameCrc() {
        try (NimbetUtil u = new NimbetUtil()) {
            short[] frame = bytes(1, 2, 300, -1, 0, 0);
            u.crc16Append(frame);
            int crc = crc16(bytes(1, 2, 44, 255), 4);
            assertArrayEquals(bytes(1, 2, 44, 255, crc >> 8, crc & 0xff), frame);
            assertTrue(u.crc16Check(frame));
            frame[1] ^= 0x10;
            assertFalse(u.crc16Check(frame));
            assertFalse(u.crc16Check(new short[0]));
        }
    }

    @Test
    void typeCodeUtilitiesPackThreeLettersIntoTwoBytes() {
        try (NimbetUtil u = new NimbetUtil()) {
            assertArrayEquals(bytes(108, 128), u.str2acl("CAD"));
            assertArrayEquals(bytes(108, 128), u.str2acl("cad"));
            assertArrayEquals(typeCode("t/9"), u.str2acl("t/9"));
            assertEquals("cad", u.acl2str(bytes(108, 128)));
            assertEquals("byx", u.acl2str(bytes(0xff, 0xff, 7)));
        }
    }

    @Test
    void utilitiesRefuseInputTooShortForThem() {
        try (NimbetUtil u = new NimbetUtil()) {
            short[] one = bytes(300);
            for (Executable call : List.<Executable>of(() -> u.crc16Append(one), () -> u.acl2str(one),
                    () -> u.acl2str(new byte[1]))) {
                assertEquals(INVALID, assertThrows(IllegalArgumentException.class, call).getMessage());
            }
            assertArrayEquals(bytes(44), one, "the refused buffer is given back cut, not written");
        }
    }
}
