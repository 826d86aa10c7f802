// SPDX-License-Identifier: MIT
package nimbets.libNimbet;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayOutputStream;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Random;
import java.util.concurrent.TimeUnit;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * Nodes on one port of the loopback network, inside the suite's network namespace: frames in
 * every form, acknowledged sending against a node in another JVM, and fragmented transfers.
 */
class NodeExchangeTest extends NativeTestSupport {
    private static final long LOOP_MILLIS = 60_000;  // bound of every receive loop, never reached when working

    private static String tuples(NimbetPacket p) {
        StringBuilder out = new StringBuilder();
        for (NimbetTuple t : p) {
            try (t) {
                out.append(t.getAclType()).append(':').append(t).append(';');
            }
        }
        return out.toString();
    }

    private static NimbetPacket packet(String type, int... data) {
        NimbetPacket p = new NimbetPacket();
        p.aclAdd(type, bytes(data));
        return p;
    }

    @Test
    void twoNodesExchangePlainAddressedRawAndFilteredFrames() {
        int port = 47200;
        try (NimbetSrcId idA = new NimbetSrcId("1.1.1.1.10.0.0.1"); NimbetSrcId idB = new NimbetSrcId("1.1.1.1.10.0.0.2");
                NimbetSrcId idC = new NimbetSrcId("1.1.1.1.10.0.0.3"); NimbetSocket a = openNode(port, idA);
                NimbetSocket b = openNode(port, idB); NimbetLocation loc = new NimbetLocation(filled(44, 7));
                NimbetUtil util = new NimbetUtil()) {
            a.setLoc(loc);
            try (NimbetPacket p = packet("tmp", 21, 5)) {
                a.send(p);
            }
            try (NimbetPacket got = nextFrom(b, idA); NimbetLocation from = got.getLocation()) {
                assertEquals("tmp:21 5;", tuples(got));
                assertEquals(loc, from);
            }

            // Addressed frames: the one for another node is dropped, the one for B arrives.
            try (NimbetPacket forC = packet("hum", 1); NimbetPacket forB = packet("hum", 2)) {
                a.sendAddressed(forC, idC);
                a.sendAddressed(forB, idB);
            }
            try (NimbetPacket got = nextFrom(b, idA)) {
                assertEquals("hum:2;cad:1 1 1 1 10 0 0 2;", tuples(got));
            }

            // B answers with a frame built byte by byte, its CRC from the utility.
            short[] frame = frame(filled(44, 0), idB.toArray(), 5, new T("raw", 9, 9));
            frame[frame.length - 1] = frame[frame.length - 2] = 0;
            util.crc16Append(frame);
            b.sendRaw(frame);
            try (NimbetPacket got = nextFrom(a, idB)) {
                assertEquals("raw:9 9;", tuples(got));
                assertEquals(5, got.getSeq());
            }

            // B takes only "tmp" frames: the "hum" before it is dropped.
            try (NimbetTuple tmp = new NimbetTuple("tmp"); NimbetFilter onlyTmp = new NimbetFilter("tmp only");
                    NimbetPacket hum = packet("hum", 3); NimbetPacket second = packet("tmp", 6)) {
                onlyTmp.add(0, tmp);
                a.send(hum);
                a.send(second);
                NimbetPacket got = null;
                long end = System.nanoTime() + TimeUnit.SECONDS.toNanos(5);
                while (got == null && System.nanoTime() - end < 0) {
                    got = b.receiveFiltered(b, onlyTmp);
                }
                try (NimbetPacket accepted = got) {
                    assertNotNull(accepted);
                    assertEquals("tmp:6;", tuples(accepted));
                }
            }
        }
    }

    @Test
    void acknowledgedSendIsAnsweredAutomaticallyAndItsRepeatSuppressed() throws Exception {
        int port = 47300;
        String a = "1.1.1.1.10.0.1.1";
        try (NimbetSrcId idA = new NimbetSrcId(a); NimbetSrcId idB = new NimbetSrcId("1.1.1.1.10.0.1.2");
                NimbetSocket b = openNode(port, idB)) {
            b.setOptions(NimbetSocket.SOCKET_AUTOACK, true);
            Process sender = startJava(AckSenderMain.class, Integer.toString(port), a, idB.toString());
            int[] delivered = {0};
            // B answers through itself while the sender lives, and a moment after for stragglers.
            pump(LOOP_MILLIS, () -> !sender.isAlive(), (s, p) -> delivered[0] += tuples(p).startsWith("req:42;") ? 1 : 0, b);
            pump(100, () -> false, (s, p) -> delivered[0] += tuples(p).startsWith("req:42;") ? 1 : 0, b);
            ByteArrayOutputStream out = new ByteArrayOutputStream();
            try (InputStream in = sender.getInputStream()) {
                in.transferTo(out);
            }
            if (!sender.waitFor(10, TimeUnit.SECONDS)) {
                sender.destroyForcibly();
            }
            assertEquals(0, sender.exitValue(), "the sender's acknowledged sends failed");
            assertEquals("acknowledged 1\nacknowledged 2\n", out.toString(StandardCharsets.UTF_8));
            assertEquals(1, delivered[0], "the repeat is acknowledged but not delivered again");
        }
    }

    @Test
    void bufferAndFileTravelAsFragmentedTransfersByteIdentical(@TempDir Path dir) throws Exception {
        int port = 47400;
        short[] data = new short[100 * 1024];
        Random random = new Random(7);
        for (int i = 0; i < data.length; i++) {
            data[i] = (short) random.nextInt(256);
        }
        try (NimbetSrcId idA = new NimbetSrcId("1.1.1.1.10.0.2.1"); NimbetSrcId idB = new NimbetSrcId("1.1.1.1.10.0.2.2");
                NimbetSocket a = openNode(port, idA); NimbetSocket b = openNode(port, idB)) {
            b.setOptions(NimbetSocket.SOCKET_FRAG, true);
            assertEquals(NimbetTransfer.State.NONE, NimbetTransfer.state(idA));

            // The same socket sends and takes the acknowledgements.
            a.sendBuffer(a, data, idB, "dat");
            assertEquals("c errno: 13 Permission denied.",
                    assertThrows(UnknownError.class, () -> a.sendBuffer(a, data, idB, "dat")).getMessage(),
                    "one transfer per node at a time");
            assertTrue(transferDone(idA, idB, b, a), "buffer transfer finished on both sides");
            assertTrue(NimbetTransfer.isReceiving(idA));
            assertFalse(NimbetTransfer.isReceiving(idB));
            assertArrayEquals(data, NimbetTransfer.data(idA));
            NimbetTransfer.delete(idA);
            NimbetTransfer.delete(idB);
            assertEquals(NimbetTransfer.State.NONE, NimbetTransfer.state(idB));

            Path in = dir.resolve("in.bin");
            Path out = dir.resolve("out.bin");
            byte[] contents = new byte[data.length];
            for (int i = 0; i < data.length; i++) {
                contents[i] = (byte) (data[data.length - 1 - i]);
            }
            Files.write(in, contents);
            a.sendFile(a, in.toString(), idB, "fil");
            assertTrue(transferDone(idA, idB, b, a), "file transfer finished on both sides");
            assertEquals(contents.length, NimbetTransfer.writeData(idA, out.toString()));
            assertArrayEquals(contents, Files.readAllBytes(out));
            NimbetTransfer.delete(idA);
            NimbetTransfer.delete(idB);
        }
    }

    /** Drives both nodes until the receiving transfer (named by the sender) and the sending one finished. */
    private static boolean transferDone(NimbetSrcId sender, NimbetSrcId receiver, NimbetSocket... nodes) {
        return pump(LOOP_MILLIS, () -> NimbetTransfer.state(sender) == NimbetTransfer.State.FINISHED
                && NimbetTransfer.state(receiver) == NimbetTransfer.State.FINISHED, (s, p) -> { }, nodes);
    }
}
