package nimbets.libNimbet;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;

import org.junit.jupiter.api.AfterEach;

/**
 * Shared by the suites: frames built byte by byte, a clean failure state between tests, and
 * the standard output of a separate JVM (the native printouts go to file descriptor 1).
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

    /** Runs {@code mainClass} in a new JVM with this one's class and library paths; its standard output. */
    static String stdoutOf(Class<?> mainClass) throws IOException, InterruptedException {
        String java = System.getProperty("java.home") + "/bin/java";
        ProcessBuilder pb = new ProcessBuilder(java, "-cp", System.getProperty("java.class.path"),
                "-Djava.library.path=" + System.getProperty("java.library.path"), mainClass.getName());
        pb.redirectError(ProcessBuilder.Redirect.INHERIT);
        Process p = pb.start();
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
}
