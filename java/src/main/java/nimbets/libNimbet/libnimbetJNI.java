// SPDX-License-Identifier: MIT
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
 * <p>Any method may be called from any thread; the failure state behind the exceptions is kept
 * per thread, so a failure is raised only in the thread whose call failed. The constant getters
 * do no work and raise nothing.
 */
final class libnimbetJNI {
    static {
        NativeLibrary.load();
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

    // NimbetSocket
    static native long new_NimbetSocket__SWIG_0(long port);
    static native long new_NimbetSocket__SWIG_1(long port, long localAddress, long destAddress);
    static native void delete_NimbetSocket(long socket);
    static native void NimbetSocket_close(long socket);
    static native void NimbetSocket_describe(long socket);
    static native void NimbetSocket_setIpDest(long socket, String address);
    static native void NimbetSocket_setIpSrcAll(long socket);
    static native void NimbetSocket_setIpSrc(long socket, String address);
    static native void NimbetSocket_setId(long socket, long id);
    static native long NimbetSocket_getID(long socket);
    static native void NimbetSocket_setLoc(long socket, long location);
    static native void NimbetSocket_setRetry(long socket, short count, long milliseconds);
    static native void NimbetSocket_setTransferWindow(long socket, int parts);
    static native void NimbetSocket_setOptions(long socket, int mask, int value);
    static native long NimbetSocket_receive(long socket, long ackSocket);
    static native long NimbetSocket_receiveFiltered(long socket, long ackSocket, long filter);
    /** Never receives: raises {@link UnknownError} (error number 40) whatever its arguments; the buffer is unused. */
    static native int NimbetSocket_receiveRaw(long socket, int unusedBuffer, long size);
    static native void NimbetSocket_send(long socket, long packet);
    static native void NimbetSocket_sendAddressed(long socket, long packet, long id);
    /** A null identifier handle (0) sends to the node named by the packet's own "CAD" tuple. */
    static native void NimbetSocket_sendAcked(long socket, long ackSocket, long packet, long id);
    static native void NimbetSocket_sendRaw(long socket, short[] frame);
    static native void NimbetSocket_sendBuffer(long socket, long ackSocket, short[] data, long id, String type);
    static native void NimbetSocket_sendFile(long socket, long ackSocket, String path, long id, String type);
    /** Null when no packet came within {@code timeoutMs} (negative: no limit); raises only for failures of the socket. */
    static native long NimbetSocket_receiveTimeout(long socket, long ackSocket, int timeoutMs);
    /** The counters of n_socket_stats, in its order. */
    static native long[] NimbetSocket_getStats(long socket);
    static native void NimbetSocket_resetStats(long socket);

    // SOCKET_ constants
    static native int get_SOCKET_CLEANFLAG();
    static native int get_SOCKET_BOUND();
    static native int get_SOCKET_AUTOACK();
    static native int get_SOCKET_RECV_ALL();
    static native int get_SOCKET_FRAG();
    static native int get_SOCKET_LOWFLAG();
    static native int get_SOCKET_BROADCAST();
    static native int get_SOCKET_BLOCKING();

    // NimbetUtil
    static native long new_NimbetUtil();
    static native void delete_NimbetUtil(long util);
    static native void NimbetUtil_crc16Append(long util, short[] frame);
    static native int NimbetUtil_crc16Check(long util, short[] frame);
    static native short[] NimbetUtil_str2acl(long util, String type);
    static native String NimbetUtil_acl2str(long util, short[] code);

    // NimbetTransfer: additions of this binding, outside the families above (no underscore in
    // their names). A transfer is named by the identifier of the peer node.
    /** Status bits (state in bits 0-1, 4 for a receiving transfer), or -1 when there is no such transfer. */
    static native int transferStatus(long peer);
    static native short[] transferData(long peer);
    static native int transferDataToFile(long peer, String path);
    static native void transferDelete(long peer);
    static native void transferAbort(long peer);
}
