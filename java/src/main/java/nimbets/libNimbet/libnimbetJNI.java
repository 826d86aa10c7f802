package nimbets.libNimbet;

/**
 * The native methods of the {@code nimbetJava} module.
 *
 * <p>Every native record crosses as a handle: a {@code long} holding its address, 0 for none.
 * A handle returned by a constructor or by a method that makes a new object belongs to the
 * caller, who gives it back exactly once through the matching {@code delete_} method; handles
 * from the {@code toFilter} methods are borrowed. When the library reports a failure, the
 * method raises an exception whose message reads {@code "c errno: <number> <text>."}.
 * The proxy classes of this package are the API; this class is their plumbing.
 *
 * <p>Calls must not overlap: the binding keeps its failure state in process-wide variables.
 */
final class libnimbetJNI {
    static {
        System.loadLibrary("nimbetJava");
    }

    private libnimbetJNI() {
    }

    // NimbetSrcId
    static native long new_NimbetSrcId__SWIG_0(short[] bytes);
    static native long new_NimbetSrcId__SWIG_1(String text);
    static native void delete_NimbetSrcId(long id);
    static native long NimbetSrcId_toFilter(long id);
    static native short[] NimbetSrcId_toArray(long id);
    static native int NimbetSrcId_id_equals(long first, long second);
    static native int NimbetSrcId_hashCode(long id);
    static native String NimbetSrcId_toString(long id);

    // NimbetLocation
    static native long new_NimbetLocation__SWIG_0(short[] bytes);
    static native long new_NimbetLocation__SWIG_1(String text);
    static native void delete_NimbetLocation(long location);
    static native long NimbetLocation_toFilter(long location);
    static native short[] NimbetLocation_toArray(long location);
    static native String NimbetLocation_toString(long location);
    static native short[] NimbetLocation_getRoot(long location);
    static native String NimbetLocation_getNode(long location, int n);
    static native int NimbetLocation_getX(long location);
    static native int NimbetLocation_getY(long location);
    static native int NimbetLocation_getZ(long location);
    static native short NimbetLocation_getDeviation(long location);

    // NimbetTuple
    static native long new_NimbetTuple__SWIG_0(String type);
    static native long new_NimbetTuple__SWIG_1(String type, short[] data);
    static native long new_NimbetTuple__SWIG_2(String type, long length);
    static native void delete_NimbetTuple(long tuple);
    static native int NimbetTuple_length(long tuple);
    static native int NimbetTuple_tuple_equals(long first, long second);
    static native short NimbetTuple_getAclByte(long tuple, int position);
    static native void NimbetTuple_setAclByte(long tuple, short value, int position);
    static native String NimbetTuple_getAclType(long tuple);
    static native short[] NimbetTuple_toArray(long tuple);
    static native long NimbetTuple_toFilter(long tuple);
    static native String NimbetTuple_toString(long tuple);

    // NimbetPacket
    static native long new_NimbetPacket();
    static native void delete_NimbetPacket(long packet);
    static native void NimbetPacket_describe(long packet);
    static native void NimbetPacket_aclAdd(long packet, String type, short[] data, int oversize);
    static native void NimbetPacket_add(long packet, long tuple, int oversize);
    static native void NimbetPacket_remove(long packet, long tuple);
    static native void NimbetPacket_parse(long packet, short[] frame);
    static native long NimbetPacket_getLocation(long packet);
    static native long NimbetPacket_getSrcId(long packet);
    static native short NimbetPacket_getSeq(long packet);
    static native short NimbetPacket_getAck(long packet);
    static native void NimbetPacket_setLocation(long packet, long location);
    static native void NimbetPacket_setSrcId(long packet, long id);
    static native void NimbetPacket_setSeq(long packet, short seq);
    static native long NimbetPacket_firstAcl(long packet);
    static native long NimbetPacket_nextAcl(long packet, long tuple);
    static native long NimbetPacket_findFirstAcl(long packet, String type);
    static native long NimbetPacket_findNextAcl(long packet, long tuple);

    // NimbetFilter
    static native long new_NimbetFilter(String name);
    static native void delete_NimbetFilter(long filter);
    static native void NimbetFilter_add(long filter, int flags, long argument);
    static native int NimbetFilter_apply(long filter, long packet);
    static native void NimbetFilter_describe(long filter);
    static native long NimbetFilter_toFilter(long filter);

    // FILTER_ constants
    static native int get_FILTER_TYPE_LOCATION();
    static native int get_FILTER_TYPE_ID();
    static native int get_FILTER_TYPE_ACL();
    static native int get_FILTER_TYPE_ACL_POSITION();
    static native int get_FILTER_TYPE_FILTER();
    static native int get_FILTER_TYPE_MASK();
    static native int get_FILTER_CONCAT_AND();
    static native int get_FILTER_CONCAT_OR();
    static native int get_FILTER_CONCAT_MASK();
    static native int get_FILTER_MODE_WILDCARD();
    static native int get_FILTER_MODE_NOT();
}
