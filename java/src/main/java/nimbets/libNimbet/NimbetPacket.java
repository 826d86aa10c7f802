// SPDX-License-Identifier: MIT
package nimbets.libNimbet;

import java.util.ArrayList;
import java.util.Iterator;
import java.util.List;
import java.util.NoSuchElementException;

/**
 * One frame of the sensor network: a header (location, source identifier, sequence number) and
 * an ordered list of tuples of at most 64 bytes in all (3 bytes per tuple plus its data).
 *
 * <p>Owns a native packet and its tuples: close it when done. Tuples handed out by the walking
 * methods and by iteration are copies that the caller owns and closes; they stay usable to walk
 * on while the packet's tuple list is unchanged.
 */
public final class NimbetPacket extends NativeHandle implements Iterable<NimbetTuple> {
    /** Iterators whose look-ahead tuple is still open; closed with the packet. */
    private final List<TupleIterator> openIterators = new ArrayList<>();

    /** A new empty packet. */
    public NimbetPacket() {
        this(libnimbetJNI.new_NimbetPacket());
    }

    /** Takes over a native packet (a received one). */
    NimbetPacket(long handle) {
        super(handle, "a packet", libnimbetJNI::delete_NimbetPacket);
    }

    /**
     * A packet parsed from a received frame.
     *
     * @throws IllegalArgumentException when the frame is shorter than 59 bytes, has a wrong
     *     format byte, a wrong CRC-16 or malformed tuples
     * @param frame the frame's bytes (header, tuples, CRC-16), each 0 to 255
     * @return a new packet, owned by the caller
     */
    public static NimbetPacket fromFrame(short[] frame) {
        NimbetPacket p = new NimbetPacket();
        try {
            p.parse(frame);
            return p;
        } catch (RuntimeException | Error e) {
            p.close();
            throw e;
        }
    }

    /**
     * A packet parsed from a received frame; see {@link #fromFrame(short[])}.
     * @param frame the frame's bytes (header, tuples, CRC-16), each 0 to 255
     * @return a new packet, owned by the caller
     */
    public static NimbetPacket fromFrame(byte[] frame) {
        return fromFrame(Bytes.widen(frame));
    }

    @Override
    void closing(long handle) {
        for (TupleIterator it : new ArrayList<>(openIterators)) {
            it.dispose();
        }
    }

    /**
     * Fills this new packet from a received frame (values cut to 0 to 255).
     *
     * @throws IllegalArgumentException when the frame does not parse, or this packet holds tuples
     * @param frame the frame's bytes (header, tuples, CRC-16), each 0 to 255
     */
    public void parse(short[] frame) {
        run(h -> libnimbetJNI.NimbetPacket_parse(h, frame));
    }

    /**
     * Fills this new packet from a received frame; see {@link #parse(short[])}.
     * @param frame the frame's bytes (header, tuples, CRC-16), each 0 to 255
     */
    public void parse(byte[] frame) {
        parse(Bytes.widen(frame));
    }

    /** Prints the packet to standard output. */
    public void describe() {
        System.out.flush();
        run(libnimbetJNI::NimbetPacket_describe);
    }

    /**
     * Appends a tuple of the given type and data.
     *
     * @throws IllegalArgumentException for a null type or more than 255 data values
     * @throws UnknownError when the tuple area would exceed 64 bytes (error number 227)
     * @param type the tuple type, its 3-character name ("tmp")
     * @param data the tuple's data bytes, each 0 to 255
     */
    public void aclAdd(String type, short[] data) {
        aclAdd(type, data, false);
    }

    /**
     * Appends a tuple; with {@code oversize} the 64-byte limit is lifted and the packet can then
     * only be sent by fragmentation.
     * @param type the tuple type, its 3-character name ("tmp")
     * @param data the tuple's data bytes, each 0 to 255
     * @param oversize true to allow data beyond the 64 bytes of a frame's tuples (for a fragmented transfer)
     */
    public void aclAdd(String type, short[] data, boolean oversize) {
        run(h -> libnimbetJNI.NimbetPacket_aclAdd(h, type, data, oversize ? 1 : 0));
    }

    /**
     * Appends a tuple of the given type and data; see {@link #aclAdd(String, short[])}.
     * @param type the tuple type, its 3-character name ("tmp")
     * @param data the tuple's data bytes, each 0 to 255
     */
    public void aclAdd(String type, byte[] data) {
        aclAdd(type, Bytes.widen(data), false);
    }

    /**
     * Appends a tuple, with or without the 64-byte limit; see {@link #aclAdd(String, short[], boolean)}.
     * @param type the tuple type, its 3-character name ("tmp")
     * @param data the tuple's data bytes, each 0 to 255
     * @param oversize true to allow data beyond the 64 bytes of a frame's tuples (for a fragmented transfer)
     */
    public void aclAdd(String type, byte[] data, boolean oversize) {
        aclAdd(type, Bytes.widen(data), oversize);
    }

    /**
     * Appends a copy of the tuple; the tuple object stays the caller's.
     * @param tuple a tuple of this packet
     */
    public void add(NimbetTuple tuple) {
        add(tuple, false);
    }

    /**
     * Appends a copy of the tuple, with or without the 64-byte limit (see {@link #aclAdd}).
     * @param tuple a tuple of this packet
     * @param oversize true to allow data beyond the 64 bytes of a frame's tuples (for a fragmented transfer)
     */
    public void add(NimbetTuple tuple, boolean oversize) {
        run(h -> tuple.run(t -> libnimbetJNI.NimbetPacket_add(h, t, oversize ? 1 : 0)));
    }

    /**
     * Removes the first tuple of the packet with the same type and data as the given one.
     *
     * @throws UnknownError when the packet holds no such tuple (error number 225)
     * @param tuple a tuple of this packet
     */
    public void remove(NimbetTuple tuple) {
        run(h -> tuple.run(t -> libnimbetJNI.NimbetPacket_remove(h, t)));
    }

    /**
     * A new location object holding the header location; the caller closes it.
     * @return a copy of the sender's location, owned by the caller
     */
    public NimbetLocation getLocation() {
        return new NimbetLocation(callLong(libnimbetJNI::NimbetPacket_getLocation));
    }

    /**
     * A new identifier object holding the header source identifier; the caller closes it.
     * @return a copy of the sender's identifier, owned by the caller
     */
    public NimbetSrcId getSrcId() {
        return new NimbetSrcId(callLong(libnimbetJNI::NimbetPacket_getSrcId));
    }

    /**
     * The header sequence number, 0 to 255.
     * @return the sequence number, 0 to 255
     */
    public short getSeq() {
        return (short) callInt(libnimbetJNI::NimbetPacket_getSeq);
    }

    /**
     * True when an acknowledgement of this received packet was sent.
     * @return true for a received request that this node acknowledged
     */
    public boolean getAck() {
        return callInt(libnimbetJNI::NimbetPacket_getAck) == 1;
    }

    /**
     * Sets the header location; sending then keeps it instead of the socket's.
     * @param location the sending node's location
     */
    public void setLocation(NimbetLocation location) {
        run(h -> location.run(l -> libnimbetJNI.NimbetPacket_setLocation(h, l)));
    }

    /**
     * Sets the header source identifier; sending then keeps it instead of the socket's.
     * @param id the sending node's identifier
     */
    public void setSrcId(NimbetSrcId id) {
        run(h -> id.run(i -> libnimbetJNI.NimbetPacket_setSrcId(h, i)));
    }

    /**
     * Sets the header sequence number to the low 8 bits of {@code seq} (300 gives 44).
     * @param seq the sequence number, 0 to 255
     */
    public void setSeq(int seq) {
        run(h -> libnimbetJNI.NimbetPacket_setSeq(h, (short) seq));
    }

    /**
     * A copy of the first tuple, or null when the packet has none.
     * @return the first tuple, or null for none
     */
    public NimbetTuple firstAcl() {
        return adopt(callLong(libnimbetJNI::NimbetPacket_firstAcl));
    }

    /**
     * A copy of the tuple after the given copy, or null at the end.
     * @param tuple a tuple of this packet
     * @return the tuple after it, or null at the end
     */
    public NimbetTuple nextAcl(NimbetTuple tuple) {
        return adopt(callLong(h -> tuple.callLong(t -> libnimbetJNI.NimbetPacket_nextAcl(h, t))));
    }

    /**
     * A copy of the first tuple of the given type, or null when there is none.
     * @param type the tuple type, its 3-character name ("tmp")
     * @return the first tuple of that type, or null
     */
    public NimbetTuple findFirstAcl(String type) {
        return adopt(callLong(h -> libnimbetJNI.NimbetPacket_findFirstAcl(h, type)));
    }

    /**
     * A copy of the next tuple after the given copy with the same type, or null when there is none.
     * @param tuple a tuple of this packet
     * @return the next tuple of the same type, or null
     */
    public NimbetTuple findNextAcl(NimbetTuple tuple) {
        return adopt(callLong(h -> tuple.callLong(t -> libnimbetJNI.NimbetPacket_findNextAcl(h, t))));
    }

    /**
     * The source identifier, the sequence number and the tuples, as in
     * {@code NimbetPacket[1.1.1.1.10.0.0.1 #5 tmp:21 5; hum:2]}.
     */
    @Override
    public String toString() {
        if (isClosed()) {
            return "NimbetPacket[closed]";
        }
        StringBuilder out = new StringBuilder("NimbetPacket[");
        try (NimbetSrcId src = getSrcId()) {
            out.append(src).append(" #").append(getSeq());
        }
        String sep = " ";
        for (NimbetTuple t : this) {
            try (t) {
                out.append(sep).append(t.getAclType()).append(':').append(t);
            }
            sep = "; ";
        }
        return out.append(']').toString();
    }

    /**
     * Walks the tuples in order. Each tuple returned belongs to the caller, who closes it (it may
     * do so at once: the walk does not depend on it).
     */
    @Override
    public Iterator<NimbetTuple> iterator() {
        return new TupleIterator();
    }

    private static NimbetTuple adopt(long handle) {
        return handle == 0 ? null : new NimbetTuple(handle);
    }

    /** Keeps one tuple ahead, so a tuple handed out can be closed by the caller before the next step. */
    private final class TupleIterator implements Iterator<NimbetTuple> {
        private NimbetTuple ahead;

        TupleIterator() {
            ahead = firstAcl();
            if (ahead != null) {
                openIterators.add(this);
            }
        }

        @Override
        public boolean hasNext() {
            return ahead != null;
        }

        @Override
        public NimbetTuple next() {
            if (ahead == null) {
                throw new NoSuchElementException();
            }
            NimbetTuple current = ahead;
            ahead = isClosed() ? null : nextAcl(current);
            if (ahead == null) {
                openIterators.remove(this);
            }
            return current;
        }

        void dispose() {
            if (ahead != null) {
                ahead.close();
                ahead = null;
            }
            openIterators.remove(this);
        }
    }
}
