// SPDX-License-Identifier: MIT
package nimbets.libNimbet;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.locks.LockSupport;
import java.util.function.BiConsumer;
import java.util.function.BooleanSupplier;

import org.junit.jupiter.api.AfterEach;

/**
 * Shared by the suites: frames built byte by byte, a clean failure state between tests, the
 * standard output of a separate JVM (the native printouts go to file descriptor 1), and nodes of
 * a test network on loopback broadcast with bounded receive loops.
 */
abstract class NativeTestSupport {
    /**
     * The binding's failure flag and error number are process-wide; a refused call raises and
     * clears both, so no test sees what the one before it left behind.
     */
    @AfterEach
    void clearFailureState() {
        try {
            libnimbetJNI.new_NimbetSrcId__SWIG_0(new short[0]);
        } catch (IllegalArgumentException expected) {
            // cleared
        }
    }

    /** Packs a 3-letter type as the wire does: a + 40 b + 1600 c, high byte first. */
    static short[] typeCode(String name) {
        int code = 0;
        int scale = 1;
        for (int i = 0; i < 3; i++) {
            code += scale * charValue(i < name.length() ? name.charAt(i) : ' ');
            scale *= 40;
        }
        return new short[] {(short) (code >> 8), (short) (code & 0xff)};
    }

    private static int charValue(char c) {
        c = Character.toUpperCase(c);
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'A' && c <= 'Z') {
            return 14 + (c - 'A');
        }
        return c == '-' ? 10 : c == '/' ? 11 : c == '@' ? 13 : 12;
    }

    /** CRC-16/XMODEM. */
    static int crc16(short[] bytes, int len) {
        int crc = 0;
        for (int i = 0; i < len; i++) {
            crc ^= (bytes[i] & 0xff) << 8;
            for (int b = 0; b < 8; b++) {
                crc = (crc & 0x8000) != 0 ? ((crc << 1) ^ 0x1021) & 0xffff : (crc << 1) & 0xffff;
            }
        }
        return crc;
    }

    /** One tuple of a frame. */
    static final class T {
        final String type;
        final short[] data;

        T(String type, int... data) {
            this.type = type;
            this.data = new short[data.length];
            for (int i = 0; i < data.length; i++) {
                this.data[i] = (short) data[i];
            }
        }
    }

    /** A complete frame: format 2, the location, the identifier, the sequence number, the tuples, the CRC. */
    static short[] frame(short[] location, short[] srcid, int seq, T... tuples) {
        List<Short> out = new ArrayList<>();
        out.add((short) 2);
        for (short b : location) {
            out.add(b);
        }
        for (short b : srcid) {
            out.add(b);
        }
        out.add((short) seq);
        for (T t : tuples) {
            short[] code = typeCode(t.type);
            out.add(code[0]);
            out.add(code[1]);
            out.add((short) t.data.length);
            for (short b : t.data) {
                out.add(b);
            }
        }
        out.add((short) 0);
        out.add((short) 0);
        short[] f = new short[out.size()];
        for (int i = 0; i < f.length; i++) {
            f[i] = out.get(i);
        }
        int crc = crc16(f, f.length - 2);
        f[f.length - 2] = (short) (crc >> 8);
        f[f.length - 1] = (short) (crc & 0xff);
        return f;
    }

    static short[] bytes(int... values) {
        short[] out = new short[values.length];
        for (int i = 0; i < values.length; i++) {
            out[i] = (short) values[i];
        }
        return out;
    }

    static short[] filled(int n, int value) {
        short[] out = new short[n];
        java.util.Arrays.fill(out, (short) value);
        return out;
    }

    /** Starts {@code mainClass} in a new JVM with this one's class and library paths (and network namespace). */
    static Process startJava(Class<?> mainClass, String... args) throws IOException {
        List<String> command = new ArrayList<>(List.of(System.getProperty("java.home") + "/bin/java", "-Xcheck:jni", "-cp",
                System.getProperty("java.class.path"),
                "-Djava.library.path=" + System.getProperty("java.library.path"), mainClass.getName()));
        command.addAll(List.of(args));
        return new ProcessBuilder(command).redirectError(ProcessBuilder.Redirect.INHERIT).start();
    }

    /** Runs {@code mainClass} in a new JVM to its end; its standard output. */
    static String stdoutOf(Class<?> mainClass, String... args) throws IOException, InterruptedException {
        Process p = startJava(mainClass, args);
        ByteArrayOutputStream buf = new ByteArrayOutputStream();
        try (InputStream in = p.getInputStream()) {
            in.transferTo(buf);
        }
        if (!p.waitFor(120, TimeUnit.SECONDS)) {
            p.destroyForcibly();
            throw new IllegalStateException(mainClass.getName() + " did not end");
        }
        if (p.exitValue() != 0) {
            throw new IllegalStateException(mainClass.getName() + " failed: " + p.exitValue());
        }
        return buf.toString(StandardCharsets.UTF_8);
    }

    /**
     * A node of a test network on {@code port}: it sends to the loopback broadcast address, so
     * every node on the port (itself included) hears every frame; non-blocking; bound by a first
     * receive, so that its first send does not bind it to a temporary port.
     */
    static NimbetSocket openNode(int port, NimbetSrcId id) {
        NimbetSocket node = new NimbetSocket(port, "127.0.0.1", "127.255.255.255");
        node.setId(id);
        node.setOptions(NimbetSocket.SOCKET_BLOCKING, false);
        try (NimbetPacket none = node.receive()) {
            return node;
        }
    }

    /**
     * Receives on every socket, each answering through itself, until {@code done} holds or
     * {@code millis} have passed; delivered packets go to {@code seen} and are closed. Whether
     * {@code done} held.
     */
    static boolean pump(long millis, BooleanSupplier done, BiConsumer<NimbetSocket, NimbetPacket> seen,
            NimbetSocket... sockets) {
        long end = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(millis);
        while (!done.getAsBoolean()) {
            if (System.nanoTime() - end > 0) {
                return false;
            }
            boolean any = false;
            for (NimbetSocket s : sockets) {
                for (NimbetPacket next = s.receive(); next != null; next = s.receive()) {
                    any = true;
                    try (NimbetPacket p = next) {
                        seen.accept(s, p);
                    }
                }
            }
            if (!any) {
                LockSupport.parkNanos(100_000);
            }
        }
        return true;
    }

    /** The next packet from {@code from} that {@code node} receives within 5 s; others are dropped. */
    static NimbetPacket nextFrom(NimbetSocket node, NimbetSrcId from) {
        long end = System.nanoTime() + TimeUnit.SECONDS.toNanos(5);
        while (System.nanoTime() - end < 0) {
            NimbetPacket p = node.receive();
            if (p == null) {
                LockSupport.parkNanos(100_000);
                continue;
            }
            boolean match;
            try (NimbetSrcId src = p.getSrcId()) {
                match = src.equals(from);
            }
            if (match) {
                return p;
            }
            p.close();
        }
        throw new AssertionError("nothing from " + from + " within 5 s");
    }
}
