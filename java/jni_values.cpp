// SPDX-License-Identifier: MIT
// Native methods of the value classes NimbetSrcId, NimbetLocation and NimbetTuple.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "jni_records.h"

using namespace nimbet;
using namespace nimbet::jni;

namespace {

// Characters a byte takes in dotted or spaced decimal, with its separator or terminator.
std::size_t decimal_width(unsigned v)
{
    return v <= 9 ? 2 : v <= 99 ? 3 : 4;
}

// Writes each byte with `last` after the final one and `sep` after the
// others; the text must come out at exactly `size` - 1 characters, else null
// is returned. The caller frees the text.
char *decimal_text(const unsigned char *bytes, std::size_t n, const char *sep, const char *last)
{
    std::size_t size = 0;
    for (std::size_t i = 0; i < n; ++i)
        size += decimal_width(bytes[i]);
    auto *text = static_cast<char *>(std::malloc(size));
    if (text == nullptr)
        return nullptr;
    std::size_t written = 0;
    for (std::size_t i = 0; i < n && written < size; ++i) {
        int w = std::snprintf(text + written, size - written, "%u%s", bytes[i],
                              i + 1 < n ? sep : last);
        if (w < 0)
            break;
        written += static_cast<std::size_t>(w);
    }
    if (written != size - 1) {
        std::free(text);
        return nullptr;
    }
    return text;
}

// The identifier and the location records share their shape: a fixed number
// of bytes and a text kept once made. These templates hold what their native
// methods have in common.
template <class Record>
constexpr std::size_t kRecordBytes = sizeof(Record::bytes);

template <class Record>
Record *make_record(const unsigned char *bytes)
{
    auto *rec = static_cast<Record *>(std::calloc(1, sizeof(Record)));
    if (rec != nullptr)
        std::memcpy(rec->bytes, bytes, kRecordBytes<Record>);
    return rec;
}

template <class Record>
jlong copy_handle_of(const unsigned char *bytes)
{
    mark_null(bytes);
    Record *rec = nullptr;
    if (bytes != nullptr && (rec = make_record<Record>(bytes)) == nullptr)
        mark_failed(kNoMem);
    return to_handle(rec);
}

// The dotted text kept in a record, built on the first request. Two threads
// asking at once may both build it; the first to store it wins and the other
// frees its own.
template <class Record>
const char *record_text(Record *rec)
{
    std::atomic_ref<char *> kept(rec->text);
    char *text = kept.load(std::memory_order_acquire);
    if (text != nullptr)
        return text;
    char *built = decimal_text(rec->bytes, kRecordBytes<Record>, ".", "");
    if (built == nullptr) {
        mark_failed(-1);
        return nullptr;
    }
    if (kept.compare_exchange_strong(text, built, std::memory_order_acq_rel))
        return built;
    std::free(built);
    return text;  // the winner's, loaded by the failed exchange
}

// A record from a byte buffer of exactly the record's size.
template <class Record>
jlong record_from_array(JNIEnv *env, jshortArray bytes)
{
    ByteArg buf(env, bytes);
    if (!buf)
        return 0;
    Record *rec = nullptr;
    if (buf.size() != kRecordBytes<Record>)
        mark_failed(kInval);
    else if ((rec = make_record<Record>(buf.data())) == nullptr)
        mark_failed(kNoMem);
    finish(env, buf);
    return to_handle(rec);
}

// A record from dotted text of exactly the record's size in numbers; it
// keeps the text as given. Any failure reads as an invalid argument.
template <class Record>
jlong record_from_text(JNIEnv *env, jstring text)
{
    JavaText t(env, text);
    if (!need_text(env, t, "text"))
        return 0;
    constexpr int n = static_cast<int>(kRecordBytes<Record>);
    unsigned char bytes[kRecordBytes<Record>];
    Record *rec = nullptr;
    if (n_util_decode_dot(bytes, t.get(), n) == n && (rec = make_record<Record>(bytes)) != nullptr &&
        (rec->text = strdup(t.get())) == nullptr) {
        std::free(rec);
        rec = nullptr;
    }
    if (rec == nullptr)
        mark_failed(kInval);  // replaces what the decoder set
    finish(env);
    return to_handle(rec);
}

template <class Record>
void delete_record(JNIEnv *env, jlong handle)
{
    if (auto *rec = from_handle<Record>(handle)) {
        std::free(rec->text);
        std::free(rec);
    }
    finish(env);
}

template <class Record>
jlong record_filter_arg(JNIEnv *env, jlong handle)
{
    Record *rec = record_arg<Record>(env, handle, Record::kWhat);
    if (rec == nullptr)
        return 0;
    finish(env);
    return to_handle(rec->bytes);
}

template <class Record>
jshortArray record_array(JNIEnv *env, jlong handle)
{
    Record *rec = record_arg<Record>(env, handle, Record::kWhat);
    if (rec == nullptr)
        return nullptr;
    jshortArray out = bytes_out(env, rec->bytes, kRecordBytes<Record>);
    finish(env);
    return out;
}

template <class Record>
jstring record_string(JNIEnv *env, jlong handle)
{
    Record *rec = record_arg<Record>(env, handle, Record::kWhat);
    if (rec == nullptr)
        return nullptr;
    jstring out = text_out(env, record_text(rec));
    finish(env);
    return out;
}

// Guards the first decoding of a location, rare and short; once a record
// reads decoded its parts are only read.
std::mutex g_decode_lock;

void decode_location(LocationRecord *loc)
{
    std::atomic_ref<bool> decoded(loc->decoded);
    if (decoded.load(std::memory_order_acquire))
        return;
    std::lock_guard<std::mutex> hold(g_decode_lock);
    if (decoded.load(std::memory_order_relaxed))
        return;
    n_util_raw2location(loc->root, loc->node[0], loc->node[1], loc->node[2], loc->node[3], &loc->x, &loc->y,
                        &loc->z, &loc->deviation, loc->bytes);
    decoded.store(true, std::memory_order_release);
}

// The location behind a handle with its parts decoded; null refuses the call.
LocationRecord *decoded_location(JNIEnv *env, jlong handle)
{
    LocationRecord *loc = record_arg<LocationRecord>(env, handle, LocationRecord::kWhat);
    if (loc != nullptr)
        decode_location(loc);
    return loc;
}

constexpr std::size_t kMaxTupleData = 255;

}  // namespace

namespace nimbet::jni {

SrcIdRecord *new_srcid_record(const unsigned char *bytes)
{
    return make_record<SrcIdRecord>(bytes);
}

LocationRecord *new_location_record(const unsigned char *bytes)
{
    return make_record<LocationRecord>(bytes);
}

jlong srcid_handle_of(const unsigned char *bytes)
{
    return copy_handle_of<SrcIdRecord>(bytes);
}

jlong location_handle_of(const unsigned char *bytes)
{
    return copy_handle_of<LocationRecord>(bytes);
}

const char *srcid_text(SrcIdRecord *id)
{
    return record_text(id);
}

const char *location_text(LocationRecord *loc)
{
    return record_text(loc);
}

}  // namespace nimbet::jni

extern "C" {

// ------------------------------------------------------------------ NimbetSrcId

JNIEXPORT jlong JNICALL Java_nimbets_libNimbet_libnimbetJNI_new_1NimbetSrcId_1_1SWIG_10(JNIEnv *env, jclass,
                                                                                      jshortArray bytes)
{
    return record_from_array<SrcIdRecord>(env, bytes);
}

JNIEXPORT jlong JNICALL Java_nimbets_libNimbet_libnimbetJNI_new_1NimbetSrcId_1_1SWIG_11(JNIEnv *env, jclass,
                                                                                      jstring text)
{
    return record_from_text<SrcIdRecord>(env, text);
}

JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_delete_1NimbetSrcId(JNIEnv *env, jclass, jlong handle)
{
    delete_record<SrcIdRecord>(env, handle);
}

JNIEXPORT jlong JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetSrcId_1toFilter(JNIEnv *env, jclass, jlong handle)
{
    return record_filter_arg<SrcIdRecord>(env, handle);
}

JNIEXPORT jshortArray JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetSrcId_1toArray(JNIEnv *env, jclass,
                                                                                     jlong handle)
{
    return record_array<SrcIdRecord>(env, handle);
}

JNIEXPORT jint JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetSrcId_1id_1equals(JNIEnv *env, jclass,
                                                                                 jlong first, jlong second)
{
    auto *a = from_handle<SrcIdRecord>(first);
    auto *b = from_handle<SrcIdRecord>(second);
    if (a == nullptr || b == nullptr) {
        refuse_null(env, a == nullptr ? "first" : "second");
        return 0;
    }
    finish(env);
    return same_id(a->bytes, b->bytes) ? 0 : 1;
}

JNIEXPORT jint JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetSrcId_1hashCode(JNIEnv *env, jclass, jlong handle)
{
    SrcIdRecord *rec = record_arg<SrcIdRecord>(env, handle, SrcIdRecord::kWhat);
    if (rec == nullptr)
        return 0;
    std::uint32_t h = 0;
    for (unsigned char b : rec->bytes)
        h = h * 31u + b;
    finish(env);
    return static_cast<jint>(h);
}

JNIEXPORT jstring JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetSrcId_1toString(JNIEnv *env, jclass,
                                                                                  jlong handle)
{
    return record_string<SrcIdRecord>(env, handle);
}

// ------------------------------------------------------------------ NimbetLocation

JNIEXPORT jlong JNICALL Java_nimbets_libNimbet_libnimbetJNI_new_1NimbetLocation_1_1SWIG_10(JNIEnv *env, jclass,
                                                                                         jshortArray bytes)
{
    return record_from_array<LocationRecord>(env, bytes);
}

JNIEXPORT jlong JNICALL Java_nimbets_libNimbet_libnimbetJNI_new_1NimbetLocation_1_1SWIG_11(JNIEnv *env, jclass,
                                                                                         jstring text)
{
    return record_from_text<LocationRecord>(env, text);
}

JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_delete_1NimbetLocation(JNIEnv *env, jclass,
                                                                                jlong handle)
{
    delete_record<LocationRecord>(env, handle);
}

JNIEXPORT jlong JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetLocation_1toFilter(JNIEnv *env, jclass,
                                                                                   jlong handle)
{
    return record_filter_arg<LocationRecord>(env, handle);
}

JNIEXPORT jshortArray JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetLocation_1toArray(JNIEnv *env, jclass,
                                                                                        jlong handle)
{
    return record_array<LocationRecord>(env, handle);
}

JNIEXPORT jstring JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetLocation_1toString(JNIEnv *env, jclass,
                                                                                     jlong handle)
{
    return record_string<LocationRecord>(env, handle);
}

JNIEXPORT jshortArray JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetLocation_1getRoot(JNIEnv *env, jclass,
                                                                                        jlong handle)
{
    LocationRecord *loc = decoded_location(env, handle);
    if (loc == nullptr)
        return nullptr;
    jshortArray out = bytes_out(env, loc->root, sizeof loc->root);
    finish(env);
    return out;
}

JNIEXPORT jstring JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetLocation_1getNode(JNIEnv *env, jclass,
                                                                                    jlong handle, jint n)
{
    LocationRecord *loc = decoded_location(env, handle);
    if (loc == nullptr)
        return nullptr;
    if (n < 1 || n > 4) {
        refuse(env, kInval);
        return nullptr;
    }
    jstring out = text_out(env, loc->node[n - 1]);
    finish(env);
    return out;
}

JNIEXPORT jint JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetLocation_1getX(JNIEnv *env, jclass, jlong handle)
{
    LocationRecord *loc = decoded_location(env, handle);
    if (loc == nullptr)
        return 0;
    finish(env);
    return loc->x;
}

JNIEXPORT jint JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetLocation_1getY(JNIEnv *env, jclass, jlong handle)
{
    LocationRecord *loc = decoded_location(env, handle);
    if (loc == nullptr)
        return 0;
    finish(env);
    return loc->y;
}

JNIEXPORT jint JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetLocation_1getZ(JNIEnv *env, jclass, jlong handle)
{
    LocationRecord *loc = decoded_location(env, handle);
    if (loc == nullptr)
        return 0;
    finish(env);
    return loc->z;
}

JNIEXPORT jshort JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetLocation_1getDeviation(JNIEnv *env, jclass,
                                                                                        jlong handle)
{
    LocationRecord *loc = decoded_location(env, handle);
    if (loc == nullptr)
        return 0;
    finish(env);
    return loc->deviation;
}

// ------------------------------------------------------------------ NimbetTuple
//
// A tuple object is a free-standing n_acl record of the library (never in a
// packet's list); its handle is its address.

JNIEXPORT jlong JNICALL Java_nimbets_libNimbet_libnimbetJNI_new_1NimbetTuple_1_1SWIG_10(JNIEnv *env, jclass,
                                                                                      jstring type)
{
    JavaText t(env, type);
    if (!need_text(env, t, "type"))
        return 0;
    n_acl *tuple = n_acl_new_str(t.get(), nullptr, 0);
    finish(env);
    return to_handle(tuple);
}

JNIEXPORT jlong JNICALL Java_nimbets_libNimbet_libnimbetJNI_new_1NimbetTuple_1_1SWIG_11(JNIEnv *env, jclass,
                                                                                      jstring type, jshortArray data)
{
    JavaText t(env, type);
    if (!need_text(env, t, "type"))
        return 0;
    ByteArg buf(env, data);
    if (!buf)
        return 0;
    n_acl *tuple = nullptr;
    // A tuple holds at most 255 data bytes; a longer array would lose its tail.
    if (buf.size() > kMaxTupleData)
        mark_failed(kInval);
    else
        tuple = n_acl_new_str(t.get(), buf.data(), static_cast<std::uint16_t>(buf.size()));
    finish(env, buf);
    return to_handle(tuple);
}

JNIEXPORT jlong JNICALL Java_nimbets_libNimbet_libnimbetJNI_new_1NimbetTuple_1_1SWIG_12(JNIEnv *env, jclass,
                                                                                      jstring type, jlong length)
{
    JavaText t(env, type);
    if (!need_text(env, t, "type"))
        return 0;
    if (length < 0 || length > static_cast<jlong>(kMaxTupleData)) {
        refuse(env, kInval);
        return 0;
    }
    // The library hands out zero-filled data bytes.
    n_acl *tuple = n_acl_new_str(t.get(), nullptr, static_cast<std::uint16_t>(length));
    finish(env);
    return to_handle(tuple);
}

JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_delete_1NimbetTuple(JNIEnv *env, jclass, jlong handle)
{
    std::free(from_handle<n_acl>(handle));
    finish(env);
}

JNIEXPORT jint JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetTuple_1length(JNIEnv *env, jclass, jlong handle)
{
    n_acl *t = record_arg<n_acl>(env, handle, "tuple");
    if (t == nullptr)
        return 0;
    finish(env);
    return t->len;
}

JNIEXPORT jint JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetTuple_1tuple_1equals(JNIEnv *env, jclass,
                                                                                    jlong first, jlong second)
{
    auto *a = from_handle<n_acl>(first);
    auto *b = from_handle<n_acl>(second);
    if (a == nullptr || b == nullptr) {
        refuse_null(env, a == nullptr ? "first" : "second");
        return 0;
    }
    finish(env);
    if (a->type[0] != b->type[0])
        return a->type[0] - b->type[0];
    return a->type[1] - b->type[1];
}

JNIEXPORT jshort JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetTuple_1getAclByte(JNIEnv *env, jclass,
                                                                                   jlong handle, jint position)
{
    n_acl *t = record_arg<n_acl>(env, handle, "tuple");
    if (t == nullptr)
        return 0;
    const unsigned p = static_cast<unsigned>(position) & 0xffffu;
    if (p >= t->len) {
        refuse(env, kInval);
        return 0;
    }
    finish(env);
    return t->data[p];
}

JNIEXPORT void JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetTuple_1setAclByte(JNIEnv *env, jclass,
                                                                                 jlong handle, jshort value,
                                                                                 jint position)
{
    n_acl *t = record_arg<n_acl>(env, handle, "tuple");
    if (t == nullptr)
        return;
    const unsigned p = static_cast<unsigned>(position) & 0xffffu;
    if (p >= t->len) {
        refuse(env, kInval);
        return;
    }
    t->data[p] = static_cast<unsigned char>(value);
    finish(env);
}

JNIEXPORT jstring JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetTuple_1getAclType(JNIEnv *env, jclass,
                                                                                    jlong handle)
{
    n_acl *t = record_arg<n_acl>(env, handle, "tuple");
    if (t == nullptr)
        return nullptr;
    char name[4];  // three letters and the terminator
    n_util_2to3(name, t->type, 2);
    jstring out = text_out(env, name);
    finish(env);
    return out;
}

JNIEXPORT jshortArray JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetTuple_1toArray(JNIEnv *env, jclass,
                                                                                     jlong handle)
{
    n_acl *t = record_arg<n_acl>(env, handle, "tuple");
    if (t == nullptr)
        return nullptr;
    jshortArray out = bytes_out(env, t->data, t->len);
    finish(env);
    return out;
}

JNIEXPORT jlong JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetTuple_1toFilter(JNIEnv *env, jclass, jlong handle)
{
    finish(env);
    return handle;  // the record starts with its type code and length, as a tuple filter reads them
}

JNIEXPORT jstring JNICALL Java_nimbets_libNimbet_libnimbetJNI_NimbetTuple_1toString(JNIEnv *env, jclass,
                                                                                  jlong handle)
{
    n_acl *t = record_arg<n_acl>(env, handle, "tuple");
    if (t == nullptr)
        return nullptr;
    jstring out = nullptr;
    if (t->len == 0) {
        out = text_out(env, "");
    } else if (char *text = decimal_text(t->data, t->len, " ", "")) {
        out = text_out(env, text);
        std::free(text);
    } else {
        mark_failed(-1);
    }
    finish(env);
    return out;
}

}  // extern "C"
