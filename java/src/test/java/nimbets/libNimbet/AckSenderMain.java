// SPDX-License-Identifier: MIT
package nimbets.libNimbet;

/**
 * A node that sends the same request twice, acknowledged, under one sequence byte; run in a JVM
 * of its own by NodeExchangeTest, since an acknowledged send blocks its thread while the other
 * node answers. Arguments: port, own identifier, destination identifier.
 */
public final class AckSenderMain {
    private AckSenderMain() {
    }

    public static void main(String[] args) {
        int port = Integer.parseInt(args[0]);
        try (NimbetSrcId self = new NimbetSrcId(args[1]); NimbetSrcId dest = new NimbetSrcId(args[2]);
                NimbetSocket node = NativeTestSupport.openNode(port, self)) {
            for (int i = 1; i <= 2; i++) {
                try (NimbetPacket p = new NimbetPacket()) {
                    p.aclAdd("req", new short[] {42});
                    p.setSeq(9);  // the acknowledgement sequence byte: the second send is a repeat
                    node.sendAcked(node, p, dest);
                }
                System.out.println("acknowledged " + i);
            }
        }
    }
}
