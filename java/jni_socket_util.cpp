// SPDX-License-Identifier: MIT
// Native methods of NimbetSocket and NimbetUtil, and the getters of the SOCKET_ constants.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "jni_records.h"

using namespace nimbet;
using namespace nimbet::jni;

namespace {

// Behind a NimbetSocket handle. Owned by the Java object, freed by
// delete_1NimbetSocket. The descriptor is -1 once the socket is closed:
// descriptor numbers are reused at once, so a kept number could later name
// somebody else's socket. One thread may close the socket while others are
// in calls on it (a receive waiting for a frame), so the descriptor is atomic;
// the Java object frees the record only once every call on it has returned.
struct SocketRecord {
    std::atomic<int> fd;
};

constexpr int kClosed = -1;

// What NimbetSocket_1receiveRaw reports: receiving raw datagrams is not
// offered to Java.
constexpr int kRawReceiveRefused = 40;

// The descriptors of a socket and of the socket that takes its
// acknowledgements (the same object may be given for both). False when either
// handle is null: the call is refused and the method returns its zero result.
bool socket_pair(JNIEnv *env, jlong socket, jlong ack_socket, int *fd, int *ack_fd)
{
    auto *s = from_handle<SocketRecord>(socket);
    auto *a = from_handle<SocketRecord>(ack_socket);
    if (s == nullptr || a == nullptr) {
        refuse_null(env, s == nullptr ? "socket" : "ackSocket");
        return false;
    }
    *fd = s->fd;
    *ack_fd = a->fd;
    return true;
}

// The sockets of a bulk transfer and the identifier of its destination; null
// when any handle is null (the call is refused).
SrcIdRecord *transfer_args(JNIEnv *env, jlong socket, jlong ack_socket, jlong identifier, int *fd, int *ack_fd)
{
    if (!socket_pair(env, socket, ack_socket, fd, ack_fd))
        return nullptr;
    return record_arg<SrcIdRecord>(env, identifier, "id");
}

// Opens a socket into a new record. A failed open raises and hands out no
// handle, so that no record is left without an owner.
jlong open_socket(JNIEnv *env, jlong local, jlong dest, jlong port)
{
    const int fd = n_socket_open(static_cast<std::uint32_t>(local), static_cast<std::uint32_t>(dest),
                                 static_cast<std::uint16_t>(port));
    mark_negative(fd);
    SocketRecord *rec = nullptr;
    if (fd >= 0 && (rec = new (std::nothrow) SocketRecord{fd}) == nullptr) {
        n_socket_close(fd);
        mark_failed(kNoMem);
    }
    finish(env);
    return to_handle(rec);
}

// Runs `call` on the socket's descriptor and marks a negative result; a null
// socket handle is refused.
template <class Call>
void on_socket(JNIEnv *env, jlong socket, Call call)
{
    auto *s = record_arg<SocketRecord>(env, socket, "socket");
    if (s == nullptr)
        return;
    mark_negative(call(s->fd));
    finish(env);
}

// The same with the bytes of an identifier or location record, which must
// not be the null handle either.
template <class Record, class Call>
void on_socket_with(JNIEnv *env, jlong socket, jlong record, Call call)
{
    auto *s = record_arg<SocketRecord>(env, socket, "socket");
    if (s == nullptr)
        return;
    auto *r = record_arg<Record>(env, record, Record::kWhat);
    if (r == nullptr)
        return;
    mark_negative(call(s->fd, r->bytes));
    finish(env);
}

// A setter taking dotted address text; a null text is refused.
template <int (*Setter)(int, const char *)>
void set_address_text(JNIEnv *env, jlong socket, jstring address)
{
    JavaText text(env, address);
    if (!need_text(env, text, "address"))
        return;
    on_socket(env, socket, [&](int fd) { return Setter(fd, text.get()); });
}

// A received packet as a handle for the caller. Receiving never raises for
// its own work: the null handle stands for "no packet" and for a failure
// alike, and the library's error number tells them apart.
jlong received(JNIEnv *env, n_pkt *pkt)
{
    finish(env);
    if (pkt != nullptr && pending(env)) {
        // An earlier failure of this thread was raised: Java drops the result, so the packet goes here.
        n_pkt_free(pkt);
        return 0;
    }
    return to_handle(pkt);
}

constexpr std::size_t kTypeCodeLen = 2;
constexpr std::size_t kCrcLen = 2;

}  // namespace

extern "C" {

// ------------------------------------------------------------------ NimbetSocket

JNIEXPORT jlong JNICALL Java_nimbets_libNimbet_libnimbetJNI_new_1NimbetSocket_1_1SWIG_10(JNIEnv *env, jclass,
                                                                                       jlong port)
{
    return open_socket(env, 0, 0, port);
}

JNIEXPORT jlong JNICALL Java_nimbets_libNimbet_libnimbetJNI_new_1NimbetSocket_1_1SWIG_11(JNIEnv *env, jclass,
                                                                                       jlong port, jlong local,
                                                                                       jlong dest)
{
    return open_socket(env, local, dest, port);
}

JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_delete_1NimbetSocket(JNIEnv *env, jclass, jlong handle)
{
    if (auto *s = from_handle<SocketRecord>(handle)) {
        const int fd = s->fd.exchange(kClosed);
        if (fd != kClosed) {
            const int saved = n_errno;  // a destructor leaves the error number as it found it
            n_socket_close(fd);
            n_errno = saved;
        }
        delete s;
    }
    finish(env);
}

JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetSocket_1close(JNIEnv *env, jclass, jlong handle)
{
    auto *s = record_arg<SocketRecord>(env, handle, "socket");
    if (s == nullptr)
        return;
    // Closed or not, the socket is out of the registry now (or was never in
    // it): the record must not keep a number that may be handed out again.
    // Calls already under way on the socket hold the number and are woken.
    const int result = n_socket_close(s->fd.exchange(kClosed));
    mark_negative(result);
    finish(env);
}

JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetSocket_1describe(JNIEnv *env, jclass, jlong handle)
{
    auto *s = record_arg<SocketRecord>(env, handle, "socket");
    if (s == nullptr)
        return;
    n_describe_socket(s->fd);
    std::fflush(stdout);  // keep the order with what the Java side prints
    finish(env);
}

JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetSocket_1setIpDest(JNIEnv *env, jclass,
                                                                                 jlong handle, jstring address)
{
    set_address_text<n_socket_set_ipdest_str>(env, handle, address);
}

JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetSocket_1setIpSrcAll(JNIEnv *env, jclass,
                                                                                   jlong handle)
{
    on_socket(env, handle, n_socket_set_ipsrc_all);
}

JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetSocket_1setIpSrc(JNIEnv *env, jclass, jlong handle,
                                                                                jstring address)
{
    set_address_text<n_socket_set_ipsrc_str>(env, handle, address);
}

JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetSocket_1setId(JNIEnv *env, jclass, jlong handle,
                                                                             jlong identifier)
{
    on_socket_with<SrcIdRecord>(env, handle, identifier, n_socket_set_id);
}

JNIEXPORT jlong JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetSocket_1getID(JNIEnv *env, jclass, jlong handle)
{
    auto *s = record_arg<SocketRecord>(env, handle, "socket");
    if (s == nullptr)
        return 0;
    jlong copy = srcid_handle_of(n_socket_get_id(s->fd));
    finish(env);
    return copy;
}

JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetSocket_1setLoc(JNIEnv *env, jclass, jlong handle,
                                                                              jlong location)
{
    on_socket_with<LocationRecord>(env, handle, location, n_socket_set_loc);
}

JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetSocket_1setRetry(JNIEnv *env, jclass, jlong handle,
                                                                                jshort count, jlong milliseconds)
{
    on_socket(env, handle, [&](int fd) {
        return n_socket_set_retry(fd, count & 0xff, static_cast<int>(static_cast<std::uint32_t>(milliseconds)));
    });
}

JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetSocket_1setTransferWindow(JNIEnv *env, jclass,
                                                                                         jlong handle, jint parts)
{
    on_socket(env, handle, [&](int fd) { return n_socket_set_transfer_window(fd, parts); });
}

JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetSocket_1setOptions(JNIEnv *env, jclass,
                                                                                  jlong handle, jint mask,
                                                                                  jint value)
{
    on_socket(env, handle, [&](int fd) { return n_socket_set_option(fd, mask, value); });
}

JNIEXPORT jlong JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetSocket_1receive(JNIEnv *env, jclass, jlong handle,
                                                                                jlong ack_socket)
{
    int fd = 0, ack_fd = 0;
    if (!socket_pair(env, handle, ack_socket, &fd, &ack_fd))
        return 0;
    return received(env, n_socket_recv(fd, ack_fd));
}

JNIEXPORT jlong JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetSocket_1receiveFiltered(JNIEnv *env, jclass,
                                                                                        jlong handle,
                                                                                        jlong ack_socket,
                                                                                        jlong filter)
{
    int fd = 0, ack_fd = 0;
    if (!socket_pair(env, handle, ack_socket, &fd, &ack_fd))
        return 0;
    auto *f = record_arg<FilterRecord>(env, filter, "filter");
    if (f == nullptr)
        return 0;
    return received(env, n_socket_recv_filtered(fd, ack_fd, f->chain));
}

// A bounded receive: the packet, or the null handle when none was delivered
// within the time (fragment timers are served meanwhile). Only failures of the
// socket itself raise: closed (by another thread, say), never bound, out of
// memory. What the network sends (garbage, frames for others) never raises.
JNIEXPORT jlong JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetSocket_1receiveTimeout(JNIEnv *env, jclass,
                                                                                       jlong handle,
                                                                                       jlong ack_socket,
                                                                                       jint timeout_ms)
{
    int fd = 0, ack_fd = 0;
    if (!socket_pair(env, handle, ack_socket, &fd, &ack_fd))
        return 0;
    n_pkt *pkt = n_socket_recv_timeout(fd, ack_fd, timeout_ms);
    if (pkt == nullptr && (n_errno == kBadF || n_errno == kNotBound || n_errno == kNoMem))
        mark_failed(n_errno);
    return received(env, pkt);
}

// The socket's counters, in the order of n_socket_stats, as a new long[].
JNIEXPORT jlongArray JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetSocket_1getStats(JNIEnv *env, jclass,
                                                                                      jlong handle)
{
    auto *s = record_arg<SocketRecord>(env, handle, "socket");
    if (s == nullptr)
        return nullptr;
    n_socket_stats st{};
    const int result = n_socket_get_stats_sized(s->fd, &st, sizeof st);
    mark_negative(result);
    jlongArray out = nullptr;
    if (result >= 0) {
        const std::int64_t counters[] = {
            static_cast<std::int64_t>(st.frames_sent),        static_cast<std::int64_t>(st.frames_received),
            static_cast<std::int64_t>(st.frames_rejected),    static_cast<std::int64_t>(st.not_for_us),
            static_cast<std::int64_t>(st.duplicates),         static_cast<std::int64_t>(st.acks_sent),
            static_cast<std::int64_t>(st.acks_received),      static_cast<std::int64_t>(st.retransmissions),
            static_cast<std::int64_t>(st.transfers_started),  static_cast<std::int64_t>(st.transfers_finished),
            static_cast<std::int64_t>(st.transfers_aborted),  static_cast<std::int64_t>(st.transfers_refused),
            static_cast<std::int64_t>(st.stray_fragments),    static_cast<std::int64_t>(st.transfers_evicted),
            static_cast<std::int64_t>(st.kernel_drops),       static_cast<std::int64_t>(st.rtt_ms),
            static_cast<std::int64_t>(st.rto_ms),             static_cast<std::int64_t>(st.requests_refused),
        };
        static_assert(sizeof counters == sizeof st, "every counter of n_socket_stats crosses to Java");
        out = array_out<I64Array>(env, counters, static_cast<jsize>(sizeof counters / sizeof counters[0]));
    }
    finish(env);
    return out;
}

JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetSocket_1resetStats(JNIEnv *env, jclass,
                                                                                  jlong handle)
{
    on_socket(env, handle, n_socket_reset_stats);
}

// Receiving raw datagrams is refused on every call, whatever the arguments;
// the buffer argument is never read.
JNIEXPORT jint JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetSocket_1receiveRaw(JNIEnv *env, jclass, jlong,
                                                                                  jint, jlong)
{
    n_errno = kRawReceiveRefused;
    mark_negative(-1);
    finish(env);
    return -1;
}

JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetSocket_1send(JNIEnv *env, jclass, jlong handle,
                                                                            jlong packet)
{
    on_socket(env, handle, [&](int fd) { return n_socket_send(fd, from_handle<n_pkt>(packet)); });
}

JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetSocket_1sendAddressed(JNIEnv *env, jclass,
                                                                                     jlong handle, jlong packet,
                                                                                     jlong identifier)
{
    on_socket_with<SrcIdRecord>(env, handle, identifier, [&](int fd, const unsigned char *id) {
        return n_socket_send_addressed(fd, from_handle<n_pkt>(packet), id);
    });
}

// The one method that takes a null handle as "no object": without an
// identifier the packet's own "CAD" tuple names the node.
JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetSocket_1sendAcked(JNIEnv *env, jclass, jlong handle,
                                                                                 jlong ack_socket, jlong packet,
                                                                                 jlong identifier)
{
    int fd = 0, ack_fd = 0;
    if (!socket_pair(env, handle, ack_socket, &fd, &ack_fd))
        return;
    auto *id = from_handle<SrcIdRecord>(identifier);
    mark_negative(n_socket_send_acked(fd, ack_fd, from_handle<n_pkt>(packet), id != nullptr ? id->bytes : nullptr));
    finish(env);
}

JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetSocket_1sendRaw(JNIEnv *env, jclass, jlong handle,
                                                                               jshortArray frame)
{
    auto *s = record_arg<SocketRecord>(env, handle, "socket");
    if (s == nullptr)
        return;
    ByteArg buf(env, frame);
    if (!buf)
        return;
    mark_negative(n_socket_send_raw(s->fd, buf.data(), static_cast<int>(buf.size())));
    finish(env, buf);
}

// The bulk-sending function takes the destination as dotted text: the
// identifier's own text, made from its bytes if it has none.
JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetSocket_1sendBuffer(JNIEnv *env, jclass,
                                                                                  jlong handle, jlong ack_socket,
                                                                                  jshortArray data,
                                                                                  jlong identifier, jstring type)
{
    int fd = 0, ack_fd = 0;
    SrcIdRecord *id = transfer_args(env, handle, ack_socket, identifier, &fd, &ack_fd);
    if (id == nullptr)
        return;
    ByteArg buf(env, data);
    if (!buf)
        return;
    JavaText t(env, type);
    if (t.failed())
        return;
    if (t.get() == nullptr) {
        buf.copy_back();
        refuse_null(env, "type");
        return;
    }
    if (const char *dest = srcid_text(id))
        mark_negative(n_socket_send_buffer_str(fd, ack_fd, buf.data(), static_cast<int>(buf.size()), dest, t.get()));
    finish(env, buf);
}

JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetSocket_1sendFile(JNIEnv *env, jclass, jlong handle,
                                                                                jlong ack_socket, jstring path,
                                                                                jlong identifier, jstring type)
{
    int fd = 0, ack_fd = 0;
    SrcIdRecord *id = transfer_args(env, handle, ack_socket, identifier, &fd, &ack_fd);
    if (id == nullptr)
        return;
    JavaText p(env, path);
    if (!need_text(env, p, "path"))
        return;
    JavaText t(env, type);
    if (!need_text(env, t, "type"))
        return;
    unsigned char code[kTypeCodeLen];
    n_util_str2acl(t.get(), code);
    mark_negative(n_socket_send_file(fd, ack_fd, p.get(), id->bytes, code));
    finish(env);
}

// ------------------------------------------------------------------ SOCKET_ constants
//
// No library work and no failure check: see the FILTER_ constants.

JNIEXPORT jint JNICALL Java_nimbets_libNimbet_libnimbetJNI_get_1SOCKET_1CLEANFLAG(JNIEnv *, jclass)
{
    return SOCKET_CLEANFLAG;
}

JNIEXPORT jint JNICALL Java_nimbets_libNimbet_libnimbetJNI_get_1SOCKET_1BOUND(JNIEnv *, jclass)
{
    return SOCKET_BOUND;
}

JNIEXPORT jint JNICALL Java_nimbets_libNimbet_libnimbetJNI_get_1SOCKET_1AUTOACK(JNIEnv *, jclass)
{
    return SOCKET_AUTOACK;
}

JNIEXPORT jint JNICALL Java_nimbets_libNimbet_libnimbetJNI_get_1SOCKET_1RECV_1ALL(JNIEnv *, jclass)
{
    return SOCKET_RECV_ALL;
}

JNIEXPORT jint JNICALL Java_nimbets_libNimbet_libnimbetJNI_get_1SOCKET_1FRAG(JNIEnv *, jclass)
{
    return SOCKET_FRAG;
}

JNIEXPORT jint JNICALL Java_nimbets_libNimbet_libnimbetJNI_get_1SOCKET_1LOWFLAG(JNIEnv *, jclass)
{
    return SOCKET_LOWFLAG;
}

JNIEXPORT jint JNICALL Java_nimbets_libNimbet_libnimbetJNI_get_1SOCKET_1BROADCAST(JNIEnv *, jclass)
{
    return SOCKET_BROADCAST;
}

JNIEXPORT jint JNICALL Java_nimbets_libNimbet_libnimbetJNI_get_1SOCKET_1BLOCKING(JNIEnv *, jclass)
{
    return SOCKET_BLOCKING;
}

// ------------------------------------------------------------------ NimbetUtil
//
// A utility object is a one-byte placeholder that no method reads.

JNIEXPORT jlong JNICALL Java_nimbets_libNimbet_libnimbetJNI_new_1NimbetUtil(JNIEnv *env, jclass)
{
    void *placeholder = std::malloc(1);
    if (placeholder == nullptr)
        mark_failed(kNoMem);
    finish(env);
    return to_handle(placeholder);
}

JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_delete_1NimbetUtil(JNIEnv *env, jclass, jlong handle)
{
    std::free(from_handle<void>(handle));
    finish(env);
}

// The CRC goes into the frame's last two bytes, so a frame needs at least
// those two: shorter ones are refused before the library could write outside the copy.
JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetUtil_1crc16Append(JNIEnv *env, jclass, jlong,
                                                                                 jshortArray frame)
{
    ByteArg buf(env, frame);
    if (!buf)
        return;
    if (buf.size() < kCrcLen)
        mark_failed(kInval);
    else
        mark_negative(n_util_crc16_append(buf.data(), static_cast<unsigned>(buf.size())));
    finish(env, buf);
}

// 1 when the CRC is right, 0 when it is wrong, -1 when there is nothing to
// check; never raises for its own work.
JNIEXPORT jint JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetUtil_1crc16Check(JNIEnv *env, jclass, jlong,
                                                                                jshortArray frame)
{
    ByteArg buf(env, frame);
    if (!buf)
        return 0;
    const int result = n_util_crc16_check(buf.data(), static_cast<unsigned>(buf.size()));
    finish(env, buf);
    return result;
}

JNIEXPORT jshortArray JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetUtil_1str2acl(JNIEnv *env, jclass, jlong,
                                                                                    jstring type)
{
    JavaText t(env, type);
    if (!need_text(env, t, "type"))
        return nullptr;
    unsigned char code[kTypeCodeLen];
    n_util_str2acl(t.get(), code);
    jshortArray out = bytes_out(env, code, sizeof code);
    finish(env);
    return out;
}

// A type code is two bytes; a shorter array is refused rather than read past.
JNIEXPORT jstring JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetUtil_1acl2str(JNIEnv *env, jclass, jlong,
                                                                                jshortArray code)
{
    ByteArg buf(env, code);
    if (!buf)
        return nullptr;
    jstring out = nullptr;
    if (buf.size() < kTypeCodeLen) {
        mark_failed(kInval);
    } else {
        char name[4];  // three letters and the terminator
        out = text_out(env, n_util_acl2str(buf.data(), name));
    }
    finish(env, buf);
    return out;
}

}  // extern "C"
