// SPDX-License-Identifier: MIT
package nimbets.libNimbet;

import java.util.function.LongUnaryOperator;

/**
 * A filter chain: a boolean expression over a packet's location, source identifier and tuples,
 * held as terms joined by OR, each term a conjunction of element tests. An empty chain accepts
 * every packet.
 *
 * <p>Elements are added with a flags word: a concatenation ({@link #FILTER_CONCAT_AND}, the
 * default, continues the current term; {@link #FILTER_CONCAT_OR} starts a new one and cannot come
 * first), optionally {@link #FILTER_MODE_NOT} to negate the element, and optionally the type
 * field, which is otherwise taken from the argument. Whole chains are joined with {@link #and} and
 * {@link #or}; the joined chain is consumed.
 *
 * <p>Owns a native record: close it when done.
 */
public final class NimbetFilter extends NativeHandle {
    /** Element tests the packet's 44-byte location. */
    public static final int FILTER_TYPE_LOCATION = libnimbetJNI.get_FILTER_TYPE_LOCATION();
    /** Element tests the packet's 8-byte source identifier. */
    public static final int FILTER_TYPE_ID = libnimbetJNI.get_FILTER_TYPE_ID();
    /** Element tests whether any tuple of the packet has the tuple's type. */
    public static final int FILTER_TYPE_ACL = libnimbetJNI.get_FILTER_TYPE_ACL();
    /** Element tests the tuple at a position. */
    public static final int FILTER_TYPE_ACL_POSITION = libnimbetJNI.get_FILTER_TYPE_ACL_POSITION();
    /** Argument is another chain, to be joined. */
    public static final int FILTER_TYPE_FILTER = libnimbetJNI.get_FILTER_TYPE_FILTER();
    /** Mask of the type field. */
    public static final int FILTER_TYPE_MASK = libnimbetJNI.get_FILTER_TYPE_MASK();
    /** Element continues the current term. */
    public static final int FILTER_CONCAT_AND = libnimbetJNI.get_FILTER_CONCAT_AND();
    /** Element starts a new term. */
    public static final int FILTER_CONCAT_OR = libnimbetJNI.get_FILTER_CONCAT_OR();
    /** Mask of the concatenation field. */
    public static final int FILTER_CONCAT_MASK = libnimbetJNI.get_FILTER_CONCAT_MASK();
    /** Argument is a dotted text pattern (not available from Java, which has no pattern argument). */
    public static final int FILTER_MODE_WILDCARD = libnimbetJNI.get_FILTER_MODE_WILDCARD();
    /** Element's result is negated. */
    public static final int FILTER_MODE_NOT = libnimbetJNI.get_FILTER_MODE_NOT();

    private final String name;
    /** Joined into another chain: this object's chain is gone. */
    private volatile boolean consumed;
    /** A failed add cut this object off from its chain. */
    private volatile boolean broken;

    /**
     * A new empty chain with the given name, shown by {@link #describe()}.
     *
     * @throws IllegalArgumentException for a null name
     * @param name the chain's name, shown by its description (null for none)
     */
    public NimbetFilter(String name) {
        super(libnimbetJNI.new_NimbetFilter(name), "a filter", libnimbetJNI::delete_NimbetFilter);
        this.name = name;
    }

    /**
     * Adds a test of the source identifier.
     *
     * @param flags concatenation and {@link #FILTER_MODE_NOT}; a type field, if given, must be
     *     {@link #FILTER_TYPE_ID}
     * @throws IllegalArgumentException for flags that do not fit, or an OR element first in the chain
     * @param id the identifier, or pattern, to test the sender against
     * @return this filter, for chaining calls
     */
    public NimbetFilter add(int flags, NimbetSrcId id) {
        return addElement(flags, FILTER_TYPE_ID, 0, id, libnimbetJNI::NimbetSrcId_toFilter);
    }

    /**
     * Adds a test of the location.
     *
     * @param flags as for the identifier; a type field, if given, must be {@link #FILTER_TYPE_LOCATION}
     * @param location the location, or pattern, to test the sender's location against
     * @return this filter, for chaining calls
     */
    public NimbetFilter add(int flags, NimbetLocation location) {
        return addElement(flags, FILTER_TYPE_LOCATION, 0, location, libnimbetJNI::NimbetLocation_toFilter);
    }

    /**
     * Adds a test of the packet's tuples against the tuple's type: any tuple of that type
     * ({@link #FILTER_TYPE_ACL}, the default) or the tuple at a position ({@link #FILTER_TYPE_ACL_POSITION}).
     * @param flags the test: FILTER_TYPE_ACL or FILTER_TYPE_ACL_POSITION, with FILTER_MODE_NOT and a FILTER_CONCAT_ join
     * @param tuple a tuple whose type the test looks for
     * @return this filter, for chaining calls
     */
    public NimbetFilter add(int flags, NimbetTuple tuple) {
        return addElement(flags, FILTER_TYPE_ACL, FILTER_TYPE_ACL_POSITION, tuple, libnimbetJNI::NimbetTuple_toFilter);
    }

    /**
     * This chain AND the other: afterwards this chain accepts what both accepted. The other
     * object's chain is consumed; the other object only needs closing.
     * @param other the filter joined to this one (consumed: it is empty afterwards)
     * @return this filter, now testing both
     */
    public NimbetFilter and(NimbetFilter other) {
        return join(FILTER_CONCAT_AND, other);
    }

    /**
     * This chain OR the other (terms appended). The other object's chain is consumed; this chain
     * must not be empty.
     * @param other the filter joined to this one (consumed: it is empty afterwards)
     * @return this filter, now testing either
     */
    public NimbetFilter or(NimbetFilter other) {
        return join(FILTER_CONCAT_OR, other);
    }

    /**
     * True when the packet passes the chain.
     * @param packet the packet to test
     * @return true when the packet passes
     */
    public boolean apply(NimbetPacket packet) {
        checkChain();
        return callInt(h -> packet.callInt(p -> libnimbetJNI.NimbetFilter_apply(h, p))) == 1;
    }

    /** Prints the chain to standard output: a header line and one line per term. */
    public void describe() {
        checkChain();
        System.out.flush();
        run(libnimbetJNI::NimbetFilter_describe);
    }

    /** Refuses an object that no longer has a chain of its own. */
    private void checkChain() {
        if (consumed) {
            throw new IllegalStateException("this filter was joined into another and has no chain of its own");
        }
        if (broken) {
            throw new IllegalStateException("this filter lost its chain in a failed add");
        }
    }

    /** {@code NimbetFilter[name]}. */
    @Override
    public String toString() {
        return "NimbetFilter[" + name + (isClosed() ? ", closed]" : consumed ? ", joined]" : "]");
    }

    private NimbetFilter addElement(int flags, int type, int otherType, NativeHandle argument,
            LongUnaryOperator toFilter) {
        int given = flags & FILTER_TYPE_MASK;
        if (given == 0) {
            flags |= type;
        } else if (given != type && (otherType == 0 || given != otherType)) {
            throw new IllegalArgumentException("type field 0x" + Integer.toHexString(given)
                    + " does not fit this argument");
        }
        if ((flags & FILTER_MODE_WILDCARD) != 0) {
            throw new IllegalArgumentException("wildcard patterns need a text argument");
        }
        return nativeAdd(flags, argument, toFilter);
    }

    private NimbetFilter join(int concat, NimbetFilter other) {
        other.checkChain();
        nativeAdd(FILTER_TYPE_FILTER | concat, other, libnimbetJNI::NimbetFilter_toFilter);
        if (other != this) {
            other.consumed = true;
        }
        return this;
    }

    /** Adds the borrowed handle that {@code toFilter} gives for the argument's record, while both are in use. */
    private NimbetFilter nativeAdd(int flags, NativeHandle argument, LongUnaryOperator toFilter) {
        checkChain();
        if ((flags & FILTER_CONCAT_MASK) == FILTER_CONCAT_MASK) {
            throw new IllegalArgumentException("both AND and OR given");
        }
        run(h -> argument.run(a -> {
            long borrowed = toFilter.applyAsLong(a);
            try {
                libnimbetJNI.NimbetFilter_add(h, flags, borrowed);
            } catch (RuntimeException | Error e) {
                broken = true;
                throw e;
            }
        }));
        return this;
    }
}
