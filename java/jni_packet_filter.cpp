// SPDX-License-Identifier: MIT
// Native methods of NimbetPacket and NimbetFilter, and the getters of the FILTER_ constants.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "jni_records.h"

using namespace nimbet;
using namespace nimbet::jni;

namespace {

bool has_tuples(const n_pkt *pkt)
{
    return (pkt->flags & PACKET_HAS_ACL) != 0;
}

// Same type, length and data bytes.
bool same_content(const n_acl *a, const n_acl *b)
{
    return same_type(a->type, b->type) && a->len == b->len && std::memcmp(a->data, b->data, a->len) == 0;
}

// A new free-standing copy of a tuple record with its data, links included
// (malloc, the receiver frees); null when out of memory.
n_acl *copy_tuple(const n_acl *t)
{
    const std::size_t size = kAclHeaderSize + t->len;
    auto *copy = static_cast<n_acl *>(std::malloc(size));
    if (copy != nullptr)
        std::memcpy(copy, t, size);
    return copy;
}

jlong copy_handle(const n_acl *t)
{
    return t != nullptr ? to_handle(copy_tuple(t)) : 0;
}

// The tuple of the packet that `copy` was made from: one with the same
// content that still has the copy's back link or the copy's successor. Only
// the pointer values kept in the copy are compared, never followed, so a copy
// whose tuple has since been removed and freed leads nowhere instead of into
// freed memory. Null when no tuple of the packet qualifies.
n_acl *original_of(n_pkt *pkt, const n_acl *copy)
{
    for (n_acl *t : AclQueue::each(pkt->acl_head))
        if ((t->link.tqe_prev == copy->link.tqe_prev || t->link.tqe_next == copy->link.tqe_next) &&
            same_content(t, copy))
            return t;
    return nullptr;
}

// Finds a tuple by type: a copy of the found tuple, or the null handle. "Not
// found" is an ordinary answer and raises nothing; other failures are marked.
jlong found_copy(int result, const n_acl *found)
{
    if (result == -1 && n_errno == kNotFound)
        return 0;
    mark_negative(result);
    return result >= 0 ? copy_handle(found) : 0;
}

// Names of chains whose record is gone while a chain may still show the name
// (a chain that took over another's id keeps its own name). They stay
// allocated for the life of the process rather than dangle. Filters are
// released from any thread, so the list has a lock of its own.
std::mutex g_kept_names_lock;
std::vector<char *> g_kept_names;

void keep_name(char *name)
{
    try {
        std::lock_guard<std::mutex> hold(g_kept_names_lock);
        g_kept_names.push_back(name);
    } catch (const std::bad_alloc &) {
        // Left allocated all the same: a dangling name is worse than a lost one.
    }
}

}  // namespace

extern "C" {

// ------------------------------------------------------------------ NimbetPacket

JNIEXPORT jlong JNICALL Java_nimbets_libNimbet_libnimbetJNI_new_1NimbetPacket(JNIEnv *env, jclass)
{
    n_pkt *pkt = n_pkt_alloc();
    mark_null(pkt);
    finish(env);
    return to_handle(pkt);
}

JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_delete_1NimbetPacket(JNIEnv *env, jclass, jlong handle)
{
    if (auto *pkt = from_handle<n_pkt>(handle))
        n_pkt_free(pkt);
    finish(env);
}

JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetPacket_1describe(JNIEnv *env, jclass, jlong handle)
{
    n_describe_pkt(from_handle<n_pkt>(handle));
    std::fflush(stdout);  // keep the order with what the Java side prints
    finish(env);
}

JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetPacket_1aclAdd(JNIEnv *env, jclass, jlong handle,
                                                                              jstring type, jshortArray data,
                                                                              jint oversize)
{
    JavaText t(env, type);
    if (!need_text(env, t, "type"))
        return;
    ByteArg buf(env, data);
    if (!buf)
        return;
    // A tuple holds at most 255 data bytes; a longer array would lose its tail.
    if (buf.size() > 255)
        mark_failed(kInval);
    else
        mark_negative(n_acl_add_str(from_handle<n_pkt>(handle), t.get(), buf.data(),
                                    static_cast<std::uint16_t>(buf.size()), oversize));
    finish(env, buf);
}

JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetPacket_1add(JNIEnv *env, jclass, jlong handle,
                                                                           jlong tuple, jint oversize)
{
    n_acl *t = record_arg<n_acl>(env, tuple, "tuple");
    if (t == nullptr)
        return;
    n_acl *copy = copy_tuple(t);
    if (copy == nullptr) {
        refuse(env, kNoMem);
        return;
    }
    const int result = n_acl_add_tuple(from_handle<n_pkt>(handle), copy, oversize);
    if (result < 0)
        std::free(copy);  // refused: never attached, still ours
    mark_negative(result);
    finish(env);
}

// No Java object is ever in a packet's list, so the tuple to remove is the
// packet's first one with the same type, length and data. The packet gives
// it up and the binding frees it.
JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetPacket_1remove(JNIEnv *env, jclass, jlong handle,
                                                                              jlong tuple)
{
    auto *pkt = from_handle<n_pkt>(handle);
    n_acl *t = record_arg<n_acl>(env, tuple, "tuple");
    if (t == nullptr)
        return;
    n_acl *victim = t;  // when nothing matches, the library reports "not found"
    if (pkt != nullptr && has_tuples(pkt))
        for (n_acl *member : AclQueue::each(pkt->acl_head))
            if (same_content(member, t)) {
                victim = member;
                break;
            }
    const int result = n_acl_remove_tuple(pkt, victim);
    if (result == 0)
        std::free(victim);
    mark_negative(result);
    finish(env);
}

JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetPacket_1parse(JNIEnv *env, jclass, jlong handle,
                                                                             jshortArray frame)
{
    ByteArg buf(env, frame);
    if (!buf)
        return;
    mark_negative(n_pkt_parse(from_handle<n_pkt>(handle), buf.data(), static_cast<unsigned>(buf.size())));
    finish(env, buf);
}

JNIEXPORT jlong JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetPacket_1getLocation(JNIEnv *env, jclass,
                                                                                    jlong handle)
{
    jlong copy = location_handle_of(n_pkt_get_location(from_handle<n_pkt>(handle)));
    finish(env);
    return copy;
}

JNIEXPORT jlong JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetPacket_1getSrcId(JNIEnv *env, jclass,
                                                                                 jlong handle)
{
    jlong copy = srcid_handle_of(n_pkt_get_srcid(from_handle<n_pkt>(handle)));
    finish(env);
    return copy;
}

JNIEXPORT jshort JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetPacket_1getSeq(JNIEnv *env, jclass, jlong handle)
{
    const int result = n_pkt_get_seq(from_handle<n_pkt>(handle));
    mark_negative(result);
    finish(env);
    return static_cast<jshort>(result & 0xff);
}

JNIEXPORT jshort JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetPacket_1getAck(JNIEnv *env, jclass, jlong handle)
{
    const int result = n_pkt_get_ack(from_handle<n_pkt>(handle));
    mark_negative(result);
    finish(env);
    return static_cast<jshort>(result & 0xff);
}

JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetPacket_1setLocation(JNIEnv *env, jclass,
                                                                                   jlong handle, jlong location)
{
    auto *loc = record_arg<LocationRecord>(env, location, "location");
    if (loc == nullptr)
        return;
    mark_negative(n_pkt_set_location(from_handle<n_pkt>(handle), loc->bytes));
    finish(env);
}

JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetPacket_1setSrcId(JNIEnv *env, jclass, jlong handle,
                                                                                jlong identifier)
{
    auto *id = record_arg<SrcIdRecord>(env, identifier, "id");
    if (id == nullptr)
        return;
    mark_negative(n_pkt_set_srcid(from_handle<n_pkt>(handle), id->bytes));
    finish(env);
}

JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetPacket_1setSeq(JNIEnv *env, jclass, jlong handle,
                                                                              jshort seq)
{
    mark_negative(n_pkt_set_seq(from_handle<n_pkt>(handle), static_cast<std::uint8_t>(seq)));
    finish(env);
}

JNIEXPORT jlong JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetPacket_1firstAcl(JNIEnv *env, jclass,
                                                                                 jlong handle)
{
    jlong copy = copy_handle(n_acl_first(from_handle<n_pkt>(handle)));
    finish(env);
    return copy;
}

JNIEXPORT jlong JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetPacket_1nextAcl(JNIEnv *env, jclass, jlong handle,
                                                                                jlong tuple)
{
    auto *pkt = from_handle<n_pkt>(handle);
    auto *t = from_handle<n_acl>(tuple);
    jlong copy = 0;
    if (t != nullptr) {
        // A copy continues from its own tuple's place, as long as that tuple is still in the packet.
        n_acl *from = (pkt != nullptr && has_tuples(pkt)) ? original_of(pkt, t) : t;
        if (from != nullptr)
            copy = copy_handle(n_acl_next(pkt, from));
    }
    finish(env);
    return copy;
}

JNIEXPORT jlong JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetPacket_1findFirstAcl(JNIEnv *env, jclass,
                                                                                     jlong handle, jstring type)
{
    JavaText t(env, type);
    if (!need_text(env, t, "type"))
        return 0;
    n_acl *found = nullptr;
    const int result = n_acl_findfirst_str(from_handle<n_pkt>(handle), t.get(), &found);
    jlong copy = found_copy(result, found);
    finish(env);
    return copy;
}

JNIEXPORT jlong JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetPacket_1findNextAcl(JNIEnv *env, jclass,
                                                                                    jlong handle, jlong tuple)
{
    auto *pkt = from_handle<n_pkt>(handle);
    auto *t = from_handle<n_acl>(tuple);
    n_acl *found = nullptr;
    int result;
    if (pkt != nullptr && t != nullptr && has_tuples(pkt)) {
        n_acl *from = original_of(pkt, t);
        result = from != nullptr ? n_acl_findnext(pkt, from, &found) : fail(kNotFound);
    } else {
        result = n_acl_findnext(pkt, t, &found);  // the library names what is missing
    }
    jlong copy = found_copy(result, found);
    finish(env);
    return copy;
}

// ------------------------------------------------------------------ NimbetFilter

JNIEXPORT jlong JNICALL Java_nimbets_libNimbet_libnimbetJNI_new_1NimbetFilter(JNIEnv *env, jclass, jstring name)
{
    JavaText t(env, name);
    if (!need_text(env, t, "name"))
        return 0;
    auto *f = static_cast<FilterRecord *>(std::calloc(1, sizeof(FilterRecord)));
    char *copy = strdup(t.get());
    if (f == nullptr || copy == nullptr) {
        std::free(f);
        std::free(copy);
        refuse(env, kNoMem);
        return 0;
    }
    f->name = copy;  // the chain keeps this pointer as its name
    f->chain = n_filter_create(copy);
    mark_negative(f->chain);
    if (f->chain < 0) {
        // The exception reaches Java instead of the handle, so nothing may stay allocated.
        std::free(copy);
        std::free(f);
        f = nullptr;
    }
    finish(env);
    return to_handle(f);
}

JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_delete_1NimbetFilter(JNIEnv *env, jclass, jlong handle)
{
    if (auto *f = from_handle<FilterRecord>(handle)) {
        const int saved = n_errno;  // a destructor leaves the error number as it found it
        if (n_filter_destroy(f->chain) == 0)
            std::free(f->name);
        else
            keep_name(f->name);  // consumed by a join or cut off by a failed add
        n_errno = saved;
        std::free(f);
    }
    finish(env);
}

JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetFilter_1add(JNIEnv *env, jclass, jlong handle,
                                                                           jint flags, jlong argument)
{
    FilterRecord *f = record_arg<FilterRecord>(env, handle, "filter");
    if (f == nullptr)
        return;
    f->chain = n_filter_add(f->chain, flags, from_handle<const void>(argument));
    mark_negative(f->chain);
    finish(env);
}

JNIEXPORT jint JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetFilter_1apply(JNIEnv *env, jclass, jlong handle,
                                                                             jlong packet)
{
    FilterRecord *f = record_arg<FilterRecord>(env, handle, "filter");
    if (f == nullptr)
        return 0;
    const int result = n_filter_apply(f->chain, from_handle<n_pkt>(packet));
    mark_negative(result);
    finish(env);
    return result;
}

JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetFilter_1describe(JNIEnv *env, jclass, jlong handle)
{
    FilterRecord *f = record_arg<FilterRecord>(env, handle, "filter");
    if (f == nullptr)
        return;
    n_describe_filter(f->chain);
    std::fflush(stdout);
    finish(env);
}

JNIEXPORT jlong JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetFilter_1toFilter(JNIEnv *env, jclass, jlong handle)
{
    FilterRecord *f = record_arg<FilterRecord>(env, handle, "filter");
    if (f == nullptr)
        return 0;
    void *chain = n_filter_arg(f->chain);
    mark_null(chain);
    finish(env);
    return to_handle(chain);
}

// ------------------------------------------------------------------ FILTER_ constants
//
// Constant getters do no library work and run no failure check, so the static
// initialiser that reads them can never raise a failure left by another call.

JNIEXPORT jint JNICALL Java_nimbets_libNimbet_libnimbetJNI_get_1FILTER_1TYPE_1LOCATION(JNIEnv *, jclass)
{
    return FILTER_TYPE_LOCATION;
}

JNIEXPORT jint JNICALL Java_nimbets_libNimbet_libnimbetJNI_get_1FILTER_1TYPE_1ID(JNIEnv *, jclass)
{
    return FILTER_TYPE_ID;
}

JNIEXPORT jint JNICALL Java_nimbets_libNimbet_libnimbetJNI_get_1FILTER_1TYPE_1ACL(JNIEnv *, jclass)
{
    return FILTER_TYPE_ACL;
}

JNIEXPORT jint JNICALL Java_nimbets_libNimbet_libnimbetJNI_get_1FILTER_1TYPE_1ACL_1POSITION(JNIEnv *, jclass)
{
    return FILTER_TYPE_ACL_POSITION;
}

JNIEXPORT jint JNICALL Java_nimbets_libNimbet_libnimbetJNI_get_1FILTER_1TYPE_1FILTER(JNIEnv *, jclass)
{
    return FILTER_TYPE_FILTER;
}

JNIEXPORT jint JNICALL Java_nimbets_libNimbet_libnimbetJNI_get_1FILTER_1TYPE_1MASK(JNIEnv *, jclass)
{
    return FILTER_TYPE_MASK;
}

JNIEXPORT jint JNICALL Java_nimbets_libNimbet_libnimbetJNI_get_1FILTER_1CONCAT_1AND(JNIEnv *, jclass)
{
    return FILTER_CONCAT_AND;
}

JNIEXPORT jint JNICALL Java_nimbets_libNimbet_libnimbetJNI_get_1FILTER_1CONCAT_1OR(JNIEnv *, jclass)
{
    return FILTER_CONCAT_OR;
}

JNIEXPORT jint JNICALL Java_nimbets_libNimbet_libnimbetJNI_get_1FILTER_1CONCAT_1MASK(JNIEnv *, jclass)
{
    return FILTER_CONCAT_MASK;
}

JNIEXPORT jint JNICALL Java_nimbets_libNimbet_libnimbetJNI_get_1FILTER_1MODE_1WILDCARD(JNIEnv *, jclass)
{
    return FILTER_MODE_WILDCARD;
}

JNIEXPORT jint JNICALL Java_nimbets_libNimbet_libnimbetJNI_get_1FILTER_1MODE_1NOT(JNIEnv *, jclass)
{
    return FILTER_MODE_NOT;
}

}  // extern "C"
