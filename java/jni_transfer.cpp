// SPDX-License-Identifier: MIT
// Native methods of NimbetTransfer: the state and data of fragmented transfers, named by the peer's identifier.
//
// These methods complete the socket methods, which start transfers but give
// no way to learn that one ended or to fetch what arrived. Their names have no
// underscore, so they stand apart from the constructor, destructor, instance
// method and constant families of the other native methods.
#include <vector>

#include "jni_records.h"

using namespace nimbet;
using namespace nimbet::jni;

namespace {

// Runs `call` on the peer identifier's bytes and marks a negative result; a
// null identifier handle is refused (result 0).
template <class Call>
int on_peer(JNIEnv *env, jlong peer, Call call)
{
    auto *id = record_arg<SrcIdRecord>(env, peer, "peer");
    if (id == nullptr)
        return 0;
    const int result = call(id->bytes);
    mark_negative(result);
    finish(env);
    return result;
}

}  // namespace

extern "C" {

// The fragmentation's status bits (state and FRAG_RECEIVING), or -1 when no
// fragmentation has this peer's identifier: a receiver polls before the first
// part has arrived, so "none" is an answer, not a failure.
JNIEXPORT jint JNICALL Java_nimbets_libNimbet_libnimbetJNI_transferStatus(JNIEnv *env, jclass, jlong peer)
{
    auto *id = record_arg<SrcIdRecord>(env, peer, "peer");
    if (id == nullptr)
        return 0;
    const int status = n_frag_get_status(id->bytes, FRAG_STATE_MASK | FRAG_RECEIVING);
    finish(env);
    return status;
}

// A copy of the transfer's data: what arrived once a receiving transfer has
// finished, the data being sent for a sending one. Null while a receiver has
// not finished and after an abort. No such transfer: error number 22.
JNIEXPORT jshortArray JNICALL Java_nimbets_libNimbet_libnimbetJNI_transferData(JNIEnv *env, jclass, jlong peer)
{
    auto *id = record_arg<SrcIdRecord>(env, peer, "peer");
    if (id == nullptr)
        return nullptr;
    // Copied under the transfer's lock: another thread may delete it at any
    // moment, and with it the buffer n_frag_get_data would hand out.
    const int status = n_frag_get_status(id->bytes, FRAG_STATE_MASK | FRAG_RECEIVING);
    mark_negative(status);
    const int state = status & FRAG_STATE_MASK;
    jshortArray out = nullptr;
    if (status >= 0 && state != FRAG_ABORTED && (state == FRAG_FINISHED || !(status & FRAG_RECEIVING))) {
        const int64_t len = n_frag_copy_data(id->bytes, nullptr, 0);
        std::vector<unsigned char> data(len > 0 ? static_cast<std::size_t>(len) : 0);
        if (len >= 0 && n_frag_copy_data(id->bytes, data.data(), data.size()) == len)
            out = bytes_out(env, data.data(), data.size());
    }
    finish(env);
    return out;
}

// Writes the data to a file (created or truncated); the number of bytes
// written, 0 while there are none. No such transfer, or a file that cannot be
// written: error number 22.
JNIEXPORT jint JNICALL Java_nimbets_libNimbet_libnimbetJNI_transferDataToFile(JNIEnv *env, jclass, jlong peer,
                                                                            jstring path)
{
    JavaText p(env, path);
    if (!need_text(env, p, "path"))
        return 0;
    return on_peer(env, peer, [&](const unsigned char *id) { return n_frag_get_data_file(id, p.get()); });
}

// Removes a finished or aborted transfer, so that another one with the same
// peer can start. An active one: error number 227; none: 22.
JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_transferDelete(JNIEnv *env, jclass, jlong peer)
{
    on_peer(env, peer, n_frag_delete);
}

// Gives a transfer up: its data are released and it reads as aborted.
JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_transferAbort(JNIEnv *env, jclass, jlong peer)
{
    on_peer(env, peer, n_frag_abort);
}

}  // extern "C"
