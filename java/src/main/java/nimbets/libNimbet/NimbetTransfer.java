// SPDX-License-Identifier: MIT
package nimbets.libNimbet;

/**
 * Fragmented transfers of buffers and files, named by the identifier of the peer node: a sending
 * transfer by the node it addresses, a receiving one by the node that sends.
 *
 * <p>{@link NimbetSocket#sendBuffer} and {@link NimbetSocket#sendFile} start a transfer and
 * return at once; it advances only while the application keeps receiving on both nodes' sockets
 * with {@link NimbetSocket#SOCKET_FRAG}. A receiving transfer starts when its first part arrives.
 * Each side polls {@link #state} until it reads {@link State#FINISHED} or {@link State#ABORTED},
 * takes the data ({@link #data}, {@link #writeData}) and {@link #delete}s the transfer before
 * another one with the same peer can start:
 * <pre>{@code
 * receiver.setOptions(NimbetSocket.SOCKET_FRAG, true);
 * sender.sendBuffer(sender, data, receiverId, "dat");
 * while (NimbetTransfer.state(senderId) != NimbetTransfer.State.FINISHED && !timedOut()) {
 *     for (NimbetSocket s : List.of(sender, receiver)) {
 *         try (NimbetPacket p = s.receive()) { }   // non-blocking sockets
 *     }
 * }
 * short[] received = NimbetTransfer.data(senderId);
 * NimbetTransfer.delete(senderId);
 * }</pre>
 *
 * <p>A finished receiving transfer keeps its data only until its timer runs out: after the
 * socket's retry count times (retry time + 13 ms) without a part, receiving aborts it.
 */
public final class NimbetTransfer {
    /** Where a transfer stands. */
    public enum State {
        /** No transfer with this peer (yet, or any more). */
        NONE,
        /** Parts are still travelling. */
        ACTIVE,
        /** Every part was acknowledged (sender) or the last part arrived (receiver). */
        FINISHED,
        /** Given up after the retries ran out, or by {@link #abort}; the data are gone. */
        ABORTED
    }

    private static final int STATE_MASK = 0x3;
    private static final int RECEIVING = 0x4;

    private NimbetTransfer() {
    }

    /**
     * The state of the transfer with this peer; {@link State#NONE} when there is none.
     * @param peer the identifier of the node at the other end
     * @return the transfer's state
     */
    public static State state(NimbetSrcId peer) {
        int status = peer.callInt(libnimbetJNI::transferStatus);
        if (status < 0) {
            return State.NONE;
        }
        switch (status & STATE_MASK) {
            case 0:
                return State.ACTIVE;
            case 1:
                return State.FINISHED;
            default:
                return State.ABORTED;
        }
    }

    /**
     * True for a receiving transfer, false for a sending one or none.
     * @param peer the identifier of the node at the other end
     * @return true when this node receives the transfer, false when it sends it
     */
    public static boolean isReceiving(NimbetSrcId peer) {
        int status = peer.callInt(libnimbetJNI::transferStatus);
        return status >= 0 && (status & RECEIVING) != 0;
    }

    /**
     * A copy of the data (values 0 to 255): everything received once a receiving transfer has
     * finished, the data being sent for a sending one; null while a receiver has not finished and
     * after an abort.
     *
     * @throws IllegalArgumentException when there is no transfer with this peer
     * @param peer the identifier of the node at the other end
     * @return a copy of the received data, each byte 0 to 255
     */
    public static short[] data(NimbetSrcId peer) {
        return peer.call(libnimbetJNI::transferData);
    }

    /**
     * A copy of the data as bytes; see {@link #data(NimbetSrcId)}.
     * @param peer the identifier of the node at the other end
     * @return a copy of the received data
     */
    public static byte[] dataBytes(NimbetSrcId peer) {
        return Bytes.narrow(data(peer));
    }

    /**
     * Writes the data to a file, created or truncated; the number of bytes written (0 while
     * there are none).
     *
     * @throws IllegalArgumentException when there is no transfer with this peer, the path is
     *     null or the file cannot be written
     * @param peer the identifier of the node at the other end
     * @param path the file's path
     * @return the number of bytes written
     */
    public static int writeData(NimbetSrcId peer, String path) {
        return peer.callInt(h -> libnimbetJNI.transferDataToFile(h, path));
    }

    /**
     * Removes a finished or aborted transfer.
     *
     * @throws IllegalArgumentException when there is no transfer with this peer
     * @throws UnknownError while it is active (error number 227)
     * @param peer the identifier of the node at the other end
     */
    public static void delete(NimbetSrcId peer) {
        peer.run(libnimbetJNI::transferDelete);
    }

    /**
     * Gives a transfer up: its data are released and it reads {@link State#ABORTED}.
     *
     * @throws IllegalArgumentException when there is no transfer with this peer
     * @param peer the identifier of the node at the other end
     */
    public static void abort(NimbetSrcId peer) {
        peer.run(libnimbetJNI::transferAbort);
    }
}
