// SPDX-License-Identifier: MIT
package nimbets.libNimbet;

/** Prints a packet and a filter chain between two Java lines; run in a JVM of its own by FilterTest. */
public final class DescribeMain {
    private DescribeMain() {
    }

    public static void main(String[] args) {
        System.out.println("java before");
        try (NimbetPacket p = NimbetPacket.fromFrame(PacketTest.threeTupleFrame());
                NimbetFilter f = new NimbetFilter(new String("demo"));
                NimbetSrcId id = new NimbetSrcId("1.2.3.4.5.6.7.8"); NimbetTuple abc = new NimbetTuple("abc")) {
            p.describe();
            f.add(0, id).add(NimbetFilter.FILTER_CONCAT_OR | NimbetFilter.FILTER_MODE_NOT, abc);
            System.gc();  // the Java name string may go; the chain's name is the binding's copy
            f.describe();
        }
        System.out.println("java after");
    }
}
