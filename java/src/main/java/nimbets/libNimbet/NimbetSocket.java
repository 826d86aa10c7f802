// SPDX-License-Identifier: MIT
package nimbets.libNimbet;

import java.nio.ByteBuffer;
import java.nio.ByteOrder;

/**
 * A UDP socket of the sensor network: it sends packets as frames to its destinations (by
 * default the broadcast address of every local interface, on its own port), receives and checks
 * frames, answers acknowledgement requests, and drives fragmented transfers of buffers and files.
 *
 * <p>A new socket is blocking, unbound, retries acknowledged sends 10 times 163 ms apart, and
 * stamps outgoing frames with the identifier 1.1.1.1 followed by its first local address and an
 * all-zero location. It binds to its port on the first receive; a socket that sends before it
 * ever received is bound by the system to a temporary port instead and can then no longer bind
 * (every receive returns null, with error number 226), so receive once before sending.
 *
 * <p>Every node on one host shares one port; they all hear frames sent to the loopback broadcast
 * address 127.255.255.255 (unicast to 127.0.0.1 reaches only one of them):
 * <pre>{@code
 * try (NimbetSocket node = new NimbetSocket(47000, "127.0.0.1", "127.255.255.255");
 *         NimbetSrcId id = new NimbetSrcId("1.1.1.1.10.0.0.1")) {
 *     node.setId(id);
 *     node.setOptions(NimbetSocket.SOCKET_BLOCKING, false);
 *     try (NimbetPacket none = node.receive()) { }   // binds the port
 *     ...
 * }
 * }</pre>
 *
 * <p>Owns a native record and the socket: close it when done. A socket may be used by several
 * threads at once (one receiving, one sending, say; the library runs their calls on one socket one
 * after the other). Closing it from another thread wakes a receive waiting on it, which then
 * raises {@link RuntimeException} (error number 9) or returns null.
 */
public final class NimbetSocket extends NativeHandle {
    /** No option. */
    public static final int SOCKET_CLEANFLAG = libnimbetJNI.get_SOCKET_CLEANFLAG();
    /** The socket has been bound (by its first receive); cannot be set. */
    public static final int SOCKET_BOUND = libnimbetJNI.get_SOCKET_BOUND();
    /** Receiving answers acknowledgement requests addressed to this socket's identifier. */
    public static final int SOCKET_AUTOACK = libnimbetJNI.get_SOCKET_AUTOACK();
    /** Receiving also hands out frames addressed to other identifiers and fragments. */
    public static final int SOCKET_RECV_ALL = libnimbetJNI.get_SOCKET_RECV_ALL();
    /** Receiving drives fragmented transfers (stores and acknowledges parts, retransmits). */
    public static final int SOCKET_FRAG = libnimbetJNI.get_SOCKET_FRAG();
    /** Mask of the four plain option bits above. */
    public static final int SOCKET_LOWFLAG = libnimbetJNI.get_SOCKET_LOWFLAG();
    /**
     * The destination list is the broadcast address of the first interface; setting it (with any
     * value) makes it so again.
     */
    public static final int SOCKET_BROADCAST = libnimbetJNI.get_SOCKET_BROADCAST();
    /** Receive operations wait for a frame; without it they return null at once. */
    public static final int SOCKET_BLOCKING = libnimbetJNI.get_SOCKET_BLOCKING();

    /**
     * Opens a socket on {@code port} that sends to the broadcast address of every local interface
     * (and to the address of each loopback interface).
     *
     * @throws IllegalArgumentException for a port outside 0 to 65535, or when no interface is found
     * @param port the UDP port
     */
    public NimbetSocket(int port) {
        super(libnimbetJNI.new_NimbetSocket__SWIG_0(checkPort(port)), "a socket", libnimbetJNI::delete_NimbetSocket);
    }

    /**
     * Opens a socket on {@code port} with one local and one destination address, each the 32-bit
     * value that the native library takes: the 4 address bytes in network order as they lie in
     * memory, read as an integer of this host's byte order (on a little-endian host, 127.0.0.1 is
     * {@code 0x0100007F}). {@link #address(String)} builds it from dotted text. When both are 0 the
     * socket is opened as by {@link #NimbetSocket(int)}.
     *
     * @throws IllegalArgumentException for a port outside 0 to 65535
     * @param port the UDP port
     * @param localAddress the local IPv4 address the socket binds to (0: every address)
     * @param destAddress the IPv4 address frames go to (0: every interface's broadcast address)
     */
    public NimbetSocket(int port, long localAddress, long destAddress) {
        super(libnimbetJNI.new_NimbetSocket__SWIG_1(checkPort(port), localAddress, destAddress), "a socket",
                libnimbetJNI::delete_NimbetSocket);
    }

    /**
     * Opens a socket on {@code port} with one local and one destination address given as dotted
     * text ("127.0.0.1"); the destination may be a broadcast address ("127.255.255.255").
     *
     * @throws IllegalArgumentException for a port outside 0 to 65535 or an address that is not
     *     4 numbers 0 to 255
     * @param port the UDP port
     * @param localAddress the local IPv4 address the socket binds to (0: every address)
     * @param destAddress the IPv4 address frames go to (0: every interface's broadcast address)
     */
    public NimbetSocket(int port, String localAddress, String destAddress) {
        this(port, address(localAddress), address(destAddress));
    }

    /**
     * The value for {@link #NimbetSocket(int, long, long)} of an IPv4 address in dotted text.
     *
     * @throws IllegalArgumentException when the text is not 4 numbers 0 to 255
     * @param dotted an IPv4 address as dotted decimal text ("127.0.0.1")
     * @return the address as the 32-bit value the socket constructors take
     */
    public static long address(String dotted) {
        String[] fields = dotted.split("\\.", -1);
        if (fields.length != 4) {
            throw new IllegalArgumentException("not an IPv4 address: " + dotted);
        }
        byte[] bytes = new byte[4];
        for (int i = 0; i < 4; i++) {
            int v = fields[i].matches("[0-9]{1,3}") ? Integer.parseInt(fields[i]) : -1;
            if (v < 0 || v > 255) {
                throw new IllegalArgumentException("not an IPv4 address: " + dotted);
            }
            bytes[i] = (byte) v;
        }
        return ByteBuffer.wrap(bytes).order(ByteOrder.nativeOrder()).getInt() & 0xFFFFFFFFL;
    }

    private static long checkPort(int port) {
        if (port < 0 || port > 0xFFFF) {
            throw new IllegalArgumentException("port outside 0 to 65535: " + port);
        }
        return port;
    }

    /**
     * Closes the socket, which wakes calls waiting on it in other threads, and frees the native
     * record once they have returned. Further calls do nothing.
     *
     * @throws UnknownError when the system reports a failure closing the socket (the record is
     *     freed all the same)
     */
    @Override
    public void close() {
        super.close();
    }

    @Override
    void closing(long handle) {
        libnimbetJNI.NimbetSocket_close(handle);
    }

    /** Prints the socket's settings to standard output. */
    public void describe() {
        System.out.flush();
        run(libnimbetJNI::NimbetSocket_describe);
    }

    /**
     * Sends to this one address from now on (dotted text, for example "127.255.255.255").
     *
     * @throws IllegalArgumentException for a null text or one that is not 4 numbers
     * @throws UnknownError for a text that is no address (error number 42, also 255.255.255.255)
     * @param address an IPv4 address as dotted decimal text
     */
    public void setIpDest(String address) {
        run(h -> libnimbetJNI.NimbetSocket_setIpDest(h, address));
    }

    /**
     * Binds to this local address (dotted text) at the first receive.
     *
     * @throws IllegalArgumentException for a null text or one that is not 4 numbers
     * @throws UnknownError for a text that is no address (error number 42)
     * @throws RuntimeException once the socket is bound (error number 16)
     * @param address an IPv4 address as dotted decimal text
     */
    public void setIpSrc(String address) {
        run(h -> libnimbetJNI.NimbetSocket_setIpSrc(h, address));
    }

    /** Binds to any local address at the first receive (the default). */
    public void setIpSrcAll() {
        run(libnimbetJNI::NimbetSocket_setIpSrcAll);
    }

    /**
     * Stamps outgoing frames with this identifier; acknowledgement requests and fragments
     * addressed to it are this socket's.
     * @param id this node's identifier
     */
    public void setId(NimbetSrcId id) {
        run(h -> id.run(i -> libnimbetJNI.NimbetSocket_setId(h, i)));
    }

    /**
     * A new identifier object holding the socket's identifier; the caller closes it.
     * @return a copy of this node's identifier, owned by the caller
     */
    public NimbetSrcId getId() {
        return new NimbetSrcId(callLong(libnimbetJNI::NimbetSocket_getID));
    }

    /**
     * Stamps outgoing frames with this location.
     * @param location this node's location
     */
    public void setLoc(NimbetLocation location) {
        run(h -> location.run(l -> libnimbetJNI.NimbetSocket_setLoc(h, l)));
    }

    /**
     * Transmissions of an acknowledged send ({@code count}, its low 8 bits) and the wait for the
     * acknowledgement after each one; also the retry budget and timer of fragmented transfers.
     * @param count transmissions of an acknowledged send, and the retry budget of transfers (0 to 255)
     * @param milliseconds the wait after each transmission, in milliseconds
     */
    public void setRetry(int count, long milliseconds) {
        run(h -> libnimbetJNI.NimbetSocket_setRetry(h, (short) count, milliseconds));
    }

    /**
     * Parts of a transfer in flight at once between nodes of this library (64 by default): the
     * window the transfers this socket sends offer, and the most the transfers it receives accept.
     * 0 or 1 send one part at a time, as nodes without the window do.
     * @param parts 0 to 128
     */
    public void setTransferWindow(int parts) {
        run(h -> libnimbetJNI.NimbetSocket_setTransferWindow(h, parts));
    }

    /**
     * Sets or clears option bits ({@link #SOCKET_AUTOACK}, {@link #SOCKET_RECV_ALL},
     * {@link #SOCKET_FRAG}, {@link #SOCKET_BLOCKING}, {@link #SOCKET_BROADCAST}).
     *
     * @throws IllegalArgumentException for a mask of 0 or one holding {@link #SOCKET_BOUND}
     * @param mask the option bits to change (SOCKET_ constants)
     * @param on true to set them, false to clear them
     */
    public void setOptions(int mask, boolean on) {
        run(h -> libnimbetJNI.NimbetSocket_setOptions(h, mask, on ? 1 : 0));
    }

    /**
     * Receives one packet, answering acknowledgement requests through this same socket. See
     * {@link #receive(NimbetSocket)}.
     * @return the received packet, owned by the caller, or null when none came
     */
    public NimbetPacket receive() {
        return receive(this);
    }

    /**
     * Receives one packet: on a blocking socket waits for one; otherwise returns null when
     * nothing is there. Requests for acknowledgement addressed to this socket are answered through
     * {@code ackSocket} (with {@link #SOCKET_AUTOACK}) and repeats are not handed out again;
     * fragments feed transfers (with {@link #SOCKET_FRAG}) and are not handed out. Never raises
     * for a failed receive: null stands for "no packet". The caller closes the packet.
     * @param ackSocket the socket that sends and reads the acknowledgements (this one, or another)
     * @return the received packet, owned by the caller, or null when none came
     */
    public NimbetPacket receive(NimbetSocket ackSocket) {
        return adopt(callLong(h -> ackSocket.callLong(a -> libnimbetJNI.NimbetSocket_receive(h, a))));
    }

    /**
     * Receives one packet, waiting at most {@code timeoutMs} milliseconds whether the socket is
     * blocking or not, and answering acknowledgement requests through this same socket. See
     * {@link #receive(NimbetSocket, int)}.
     * @param timeoutMs the longest wait, in milliseconds
     * @return the received packet, owned by the caller, or null when none came
     */
    public NimbetPacket receive(int timeoutMs) {
        return receive(this, timeoutMs);
    }

    /**
     * Receives one packet as {@link #receive(NimbetSocket)} does, but waits at most
     * {@code timeoutMs} milliseconds whether the socket is blocking or not (0: only what is
     * there now; negative: no limit); transfers advance meanwhile. Null when no packet came in
     * time, or when what came was not for the application (a damaged frame, one addressed to
     * another node, a part of a transfer).
     *
     * @throws RuntimeException when the socket is closed meanwhile by another thread (error
     *     number 9)
     * @throws UnknownError when the socket cannot receive (never bound: error number 226)
     * @param ackSocket the socket that sends and reads the acknowledgements (this one, or another)
     * @param timeoutMs the longest wait, in milliseconds
     * @return the received packet, owned by the caller, or null when none came
     */
    public NimbetPacket receive(NimbetSocket ackSocket, int timeoutMs) {
        return adopt(callLong(h -> ackSocket.callLong(
                a -> libnimbetJNI.NimbetSocket_receiveTimeout(h, a, timeoutMs))));
    }

    /**
     * Receives the next packet that the filter accepts; rejected packets are dropped. A
     * non-blocking socket returns null when the packet there is rejected or none is there.
     * @param ackSocket the socket that sends and reads the acknowledgements (this one, or another)
     * @param filter the filter a packet must pass
     * @return the received packet that passed, owned by the caller, or null
     */
    public NimbetPacket receiveFiltered(NimbetSocket ackSocket, NimbetFilter filter) {
        return adopt(callLong(h -> ackSocket.callLong(a -> filter.callLong(
                f -> libnimbetJNI.NimbetSocket_receiveFiltered(h, a, f)))));
    }

    /**
     * Not available from Java: raw datagrams cannot be received through this binding.
     *
     * @throws UnknownError always (error number 40)
     * @deprecated use {@link #receive()}
     * @param buffer where the datagram's bytes would go
     * @return never: the call always raises
     */
    @Deprecated
    public int receiveRaw(short[] buffer) {
        return callInt(h -> libnimbetJNI.NimbetSocket_receiveRaw(h, 0, buffer == null ? 0 : buffer.length));
    }

    /**
     * Sends the packet as one frame to every destination. Header fields that the packet does not
     * set come from the socket (location, identifier, the next sequence number).
     *
     * @throws UnknownError when no destination took the frame
     * @param packet the packet to send
     */
    public void send(NimbetPacket packet) {
        run(h -> packet.run(p -> libnimbetJNI.NimbetSocket_send(h, p)));
    }

    /**
     * Appends a "CAD" tuple naming {@code destination} to the packet and sends it once; only that
     * node (and sockets with {@link #SOCKET_RECV_ALL}) receives it. An oversize packet starts a
     * fragmented transfer of its tuple instead.
     *
     * @throws OutOfMemoryError when the packet has no room for the tuple (error number 12)
     * @param packet the packet to send
     * @param destination the identifier of the addressed node
     */
    public void sendAddressed(NimbetPacket packet, NimbetSrcId destination) {
        run(h -> packet.run(p -> destination.run(d -> libnimbetJNI.NimbetSocket_sendAddressed(h, p, d))));
    }

    /**
     * Sends the packet to {@code destination} until that node acknowledges it: up to the retry
     * count, waiting the retry time after each transmission, receiving on {@code ackSocket} (which
     * may be this socket) meanwhile. Blocks the calling thread until then; frames that arrive on
     * {@code ackSocket} in the meantime are dropped. The packet keeps the appended "CAD" and
     * "CAC" tuples.
     *
     * @param destination the node, or null when the packet already holds a "CAD" tuple naming it
     * @throws UnknownError when no acknowledgement came (error number 227)
     * @throws IllegalArgumentException without a destination
     * @param ackSocket the socket that sends and reads the acknowledgements (this one, or another)
     * @param packet the packet to send
     */
    public void sendAcked(NimbetSocket ackSocket, NimbetPacket packet, NimbetSrcId destination) {
        run(h -> ackSocket.run(a -> packet.run(p -> {
            if (destination == null) {
                libnimbetJNI.NimbetSocket_sendAcked(h, a, p, 0);
            } else {
                destination.run(d -> libnimbetJNI.NimbetSocket_sendAcked(h, a, p, d));
            }
        })));
    }

    /**
     * Sends bytes unchanged (values cut to 0 to 255) as one datagram to every destination.
     *
     * @throws UnknownError when no destination took them
     * @param frame the frame's bytes (header, tuples, CRC-16), each 0 to 255
     */
    public void sendRaw(short[] frame) {
        run(h -> libnimbetJNI.NimbetSocket_sendRaw(h, frame));
    }

    /**
     * Sends bytes unchanged as one datagram to every destination; see {@link #sendRaw(short[])}.
     * @param frame the frame's bytes (header, tuples, CRC-16), each 0 to 255
     */
    public void sendRaw(byte[] frame) {
        sendRaw(Bytes.widen(frame));
    }

    /**
     * Starts a fragmented transfer of {@code data} (values cut to 0 to 255) to {@code destination}
     * and sends its first part; returns at once. The transfer advances while both nodes keep
     * receiving with {@link #SOCKET_FRAG} (set here on this socket and on {@code ackSocket}): each
     * acknowledged part sends the next. Follow it with {@link NimbetTransfer#state(NimbetSrcId)}.
     *
     * @param type the 3-letter type of the data tuple of every part
     * @throws UnknownError while a transfer to this node is registered (error number 13; delete it
     *     with {@link NimbetTransfer#delete(NimbetSrcId)} once finished)
     * @throws IllegalArgumentException for a null type
     * @param ackSocket the socket that sends and reads the acknowledgements (this one, or another)
     * @param data the bytes to send, each 0 to 255
     * @param destination the identifier of the addressed node
     */
    public void sendBuffer(NimbetSocket ackSocket, short[] data, NimbetSrcId destination, String type) {
        run(h -> ackSocket.run(a -> destination.run(
                d -> libnimbetJNI.NimbetSocket_sendBuffer(h, a, data, d, type))));
    }

    /**
     * Starts a fragmented transfer of {@code data}; see {@link #sendBuffer(NimbetSocket, short[], NimbetSrcId, String)}.
     * @param ackSocket the socket that sends and reads the acknowledgements (this one, or another)
     * @param data the bytes to send, each 0 to 255
     * @param destination the identifier of the addressed node
     * @param type the type of the transfer's tuples, 3 characters
     */
    public void sendBuffer(NimbetSocket ackSocket, byte[] data, NimbetSrcId destination, String type) {
        sendBuffer(ackSocket, Bytes.widen(data), destination, type);
    }

    /**
     * Starts a fragmented transfer of the whole file at {@code path}, as {@link #sendBuffer}.
     *
     * @throws IllegalArgumentException for a null path or type, or a file that cannot be read
     * @param ackSocket the socket that sends and reads the acknowledgements (this one, or another)
     * @param path the file's path
     * @param destination the identifier of the addressed node
     * @param type the type of the transfer's tuples, 3 characters
     */
    public void sendFile(NimbetSocket ackSocket, String path, NimbetSrcId destination, String type) {
        run(h -> ackSocket.run(a -> destination.run(
                d -> libnimbetJNI.NimbetSocket_sendFile(h, a, path, d, type))));
    }

    /**
     * The socket's counters since it was opened or last {@link #resetStats() reset}.
     * @return a copy of the socket's counters
     */
    public NimbetSocketStats getStats() {
        return new NimbetSocketStats(call(libnimbetJNI::NimbetSocket_getStats));
    }

    /** Sets the socket's counters to 0. */
    public void resetStats() {
        run(libnimbetJNI::NimbetSocket_resetStats);
    }

    /** {@code NimbetSocket[<identifier>]}. */
    @Override
    public String toString() {
        if (isClosed()) {
            return "NimbetSocket[closed]";
        }
        try (NimbetSrcId id = getId()) {
            return "NimbetSocket[" + id + "]";
        }
    }

    private static NimbetPacket adopt(long handle) {
        return handle == 0 ? null : new NimbetPacket(handle);
    }
}
