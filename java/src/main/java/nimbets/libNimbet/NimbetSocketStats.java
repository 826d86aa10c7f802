// SPDX-License-Identifier: MIT
package nimbets.libNimbet;

import java.util.Arrays;

/**
 * The counters of one socket at one moment, from {@link NimbetSocket#getStats()}: frames and
 * acknowledgements that went through it, and what became of the fragmented transfers it drove.
 * Immutable; the counters do not move on after the call.
 */
public final class NimbetSocketStats {
    /** Names of the counters, in the order in which the native method gives them. */
    private static final String[] NAMES = {"frames sent", "frames received", "frames rejected", "not for us",
        "duplicates", "acks sent", "acks received", "retransmissions", "transfers started", "transfers finished",
"transfers aborted", "transfers refused", "stray fragments", "transfers evicted", "kernel drops"};

    private final long[] counters;

    NimbetSocketStats(long[] counters) {
        if (counters == null || counters.length != NAMES.length) {
            throw new IllegalStateException("the native module gave " + (counters == null ? "no" : counters.length)
                    + " counters, not " + NAMES.length);
        }
        this.counters = counters.clone();
    }

    /** Frames handed to the network, once per frame whatever the number of destinations. */
    public long getFramesSent() {
        return counters[0];
    }

    /** Datagrams read that parsed as frames. */
    public long getFramesReceived() {
        return counters[1];
    }

    /** Datagrams that did not parse: wrong CRC, length or format, truncated. */
    public long getFramesRejected() {
        return counters[2];
    }

    /** Frames addressed to another node, dropped. */
    public long getNotForUs() {
        return counters[3];
    }

    /** Repeated requests and parts: acknowledged again, not delivered again. */
    public long getDuplicates() {
        return counters[4];
    }

    /** Acknowledgements sent through this socket. */
    public long getAcksSent() {
        return counters[5];
    }

    /** Acknowledgements received on this socket. */
    public long getAcksReceived() {
        return counters[6];
    }

    /** Requests and parts sent again for want of an acknowledgement. */
    public long getRetransmissions() {
        return counters[7];
    }

    /** Fragmented transfers started, both directions. */
    public long getTransfersStarted() {
        return counters[8];
    }

    /** Fragmented transfers finished, both directions. */
    public long getTransfersFinished() {
        return counters[9];
    }

    /** Fragmented transfers given up (retries run out, or aborted). */
    public long getTransfersAborted() {
        return counters[10];
    }

    /** First parts refused (limits reached, or a transfer with that node still held). */
    public long getTransfersRefused() {
        return counters[11];
    }

    /** Parts and acknowledgements that belong to no transfer. */
    public long getStrayFragments() {
        return counters[12];
    }

    /** Slow receiving transfers given up to make room for a new one (counted as aborted too). */
    public long getTransfersEvicted() {
        return counters[13];
    }

    /**
     * Datagrams the system dropped before they were read (a full receive buffer, a bad checksum); counted
     * only for a socket that asked for it in its native code ({@code n_socket_set_kernel_drops}), else 0.
     */
    public long getKernelDrops() {
        return counters[14];
    }

    @Override
    public boolean equals(Object other) {
        return other instanceof NimbetSocketStats && Arrays.equals(counters, ((NimbetSocketStats) other).counters);
    }

    @Override
    public int hashCode() {
        return Arrays.hashCode(counters);
    }

    /** Every counter by name, as in {@code frames sent 3, frames received 2, ...}. */
    @Override
    public String toString() {
        StringBuilder out = new StringBuilder();
        for (int i = 0; i < NAMES.length; i++) {
            out.append(i == 0 ? "" : ", ").append(NAMES[i]).append(' ').append(counters[i]);
        }
        return out.toString();
    }
}
