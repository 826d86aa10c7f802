// SPDX-License-Identifier: MIT
import java.nio.file.Files;
import java.nio.file.Path;

import nimbets.libNimbet.NimbetPacket;
import nimbets.libNimbet.NimbetTuple;

/**
 * A Java program that uses libnimbet with nothing but nimbet.jar on its class path. It adds a
 * tuple to a packet, reads it back, and tells which module file the process mapped.
 *
 * <p>usage: java -cp nimbet.jar Consumer.java [embedded | DIRECTORY]: with "embedded" the module
 * must be the jar's own copy (written to a temporary file and deleted once loaded); with a
 * directory, the module must come from there.
 */
public final class Consumer {
    private Consumer() {
    }

    public static void main(String[] args) throws Exception {
        String version = NimbetPacket.class.getPackage().getImplementationVersion();
        String tuple;
        try (NimbetPacket packet = new NimbetPacket()) {
            packet.aclAdd("tmp", new short[] {21, 5});
            try (NimbetTuple t = packet.firstAcl()) {
                tuple = t.getAclType() + " " + t.getAclByte(0) + "." + t.getAclByte(1);
            }
        }
        String module = Files.readAllLines(Path.of("/proc/self/maps")).stream()
                .filter(line -> line.contains("libnimbetJava"))
                .map(line -> line.substring(line.indexOf('/')))
                .findFirst().orElse("(none)");
        System.out.println("libnimbet " + version + ": tuple " + tuple + ", module " + module);

        if (!tuple.equals("tmp 21.5") || version == null) {
            System.exit(1);
        }
        if (args.length > 0) {
            boolean expected = args[0].equals("embedded") ? module.endsWith(" (deleted)")
                    : module.startsWith(Path.of(args[0]).toRealPath() + "/");
            if (!expected) {
                System.err.println("the module is not the expected one (" + args[0] + ")");
                System.exit(1);
            }
        }
    }
}
