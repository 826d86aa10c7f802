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
"transfers aborted", "transfers refused", "stray fragments", "transfers evicted", "kernel drops", "rtt ms", "rto ms",
        "requests refused"};

    private final long[] counters;

    NimbetSocketStats(long[] counters) {
        if (counters == null || counters.length != NAMES.length) {
            throw new IllegalStateException("the native module gave " + (counters == null ? "no" : counters.length)
                    + " counters, not " + NAMES.length);
        }
        this.counters = counters.clone();
    }

    /**
     * Frames handed to the network, once per frame whatever the number of destinations.
     * @return that count
     */
    public long getFramesSent() {
        return counters[0];
    }

    /**
     * Datagrams read that parsed as frames.
     * @return that count
     */
    public long getFramesReceived() {
        return counters[1];
    }

    /**
     * Datagrams that did not parse: wrong CRC, length or format, truncated.
     * @return that count
     */
    public long getFramesRejected() {
        return counters[2];
    }

    /**
     * Frames addressed to another node, dropped.
     * @return that count
     */
    public long getNotForUs() {
        return counters[3];
    }

    /**
     * Repeated requests and parts: acknowledged again, not delivered again.
     * @return that count
     */
    public long getDuplicates() {
        return counters[4];
    }

    /**
     * Acknowledgements sent through this socket.
     * @return that count
     */
    public long getAcksSent() {
        return counters[5];
    }

    /**
     * Acknowledgements received on this socket.
     * @return that count
     */
    public long getAcksReceived() {
        return counters[6];
    }

    /**
     * Requests and parts sent again for want of an acknowledgement.
     * @return that count
     */
    public long getRetransmissions() {
        return counters[7];
    }

    /**
     * Fragmented transfers started, both directions.
     * @return that count
     */
    public long getTransfersStarted() {
        return counters[8];
    }

    /**
     * Fragmented transfers finished, both directions.
     * @return that count
     */
    public long getTransfersFinished() {
        return counters[9];
    }

    /**
     * Fragmented transfers given up (retries run out, or aborted).
     * @return that count
     */
    public long getTransfersAborted() {
        return counters[10];
    }

    /**
     * First parts refused (limits reached, or a transfer with that node still held).
     * @return that count
     */
    public long getTransfersRefused() {
        return counters[11];
    }

    /**
     * Parts and acknowledgements that belong to no transfer.
     * @return that count
     */
    public long getStrayFragments() {
        return counters[12];
    }

    /**
     * Slow receiving transfers given up to make room for a new one (counted as aborted too).
     * @return that count
     */
    public long getTransfersEvicted() {
        return counters[13];
    }

    /**
     * Datagrams the system dropped before they were read (a full receive buffer, a bad checksum); counted
     * only for a socket that asked for it in its native code ({@code n_socket_set_kernel_drops}), else 0.
     * @return that count
     */
    public long getKernelDrops() {
        return counters[14];
    }

    /**
     * Smoothed round trip in milliseconds to the peer measured last (0 before any); not reset.
     * @return the round trip in milliseconds (0: none measured yet)
     */
    public long getRttMs() {
        return counters[15];
    }

    /**
     * The wait in milliseconds before a resend to that peer, as now estimated; not reset.
     * @return the wait before a resend, in milliseconds
     */
    public long getRtoMs() {
        return counters[16];
    }

    /**
     * Requests neither acknowledged nor delivered: refused by a filter, the memory of requests full, too old to tell
     * from a repeat, or the socket keeping its quiet start.
     * @return that count
     */
    public long getRequestsRefused() {
        return counters[17];
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
