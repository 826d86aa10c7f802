// SPDX-License-Identifier: MIT
// What every native method of the Java binding shares: handles, the failure flag and its check, exceptions, arrays, strings.
#pragma once

#include <jni.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "internal.h"
#include "nimbet/nimbet.h"

namespace nimbet::jni {

// ------------------------------------------------------------------ handles
//
// A handle is a Java long holding the address of a native record as an
// unsigned number; 0 is the null handle. Whoever receives a handle from a
// constructor (or from a method returning a new object) gives it back once
// through the class's delete_ method.

template <class T>
inline T *from_handle(jlong handle)
{
    return reinterpret_cast<T *>(static_cast<std::uintptr_t>(handle));
}

inline jlong to_handle(const void *record)
{
    return static_cast<jlong>(reinterpret_cast<std::uintptr_t>(record));
}

// ------------------------------------------------------------------ failures
//
// A native method that sees its library work fail sets the failure flag;
// finish() then turns the library error number into a Java exception, once,
// and clears both. The flag stays set until a check finds a non-zero error
// number, so a failure that left the error number at 0 is raised by a later
// method that leaves it non-zero. The flag, the message and the library's
// error number are kept per thread: a failure is only ever raised in the
// thread whose call failed.

// A negative result marks the call failed; -1 stands in for an unset error number.
void mark_negative(long long result);
// A null result marks the call failed; the error number is left as it is.
void mark_null(const void *result);

// The pending-failure check. Every native method that does library work runs
// it once afterwards (through finish(env, buffers...) when it has buffers to
// copy back). Constant getters do no work and skip it.
void finish(JNIEnv *env);

// Marks the call failed with this error number; finish() raises it.
void mark_failed(int err);

// Refuses a null argument: sets the invalid-argument error number and the
// failure flag and raises at once, naming the argument ("c errno: 22 Invalid
// argument: <what> is null."). The caller then returns its zero result.
void refuse_null(JNIEnv *env, const char *what);

// Refuses the call with this error number (out of memory, say), raised at once.
void refuse(JNIEnv *env, int err);

// True when an exception is pending in the calling thread: the method must
// stop calling the VM (releases apart) and return its zero result.
inline bool pending(JNIEnv *env)
{
    return env->ExceptionCheck() == JNI_TRUE;
}

// The record behind a handle that the method reads itself. A null handle
// refuses the call (raised at once, naming the argument) and gives null; the
// method then returns its zero result.
template <class T>
T *record_arg(JNIEnv *env, jlong handle, const char *what)
{
    T *record = from_handle<T>(handle);
    if (record == nullptr)
        refuse_null(env, what);
    return record;
}

// Exception codes of the exception table.
enum ExceptionCode : int {
    kOutOfMemoryError = 1,
    kIOException = 2,
    kRuntimeException = 3,
    kIndexOutOfBounds = 4,
    kArithmeticException = 5,
    kIllegalArgument = 6,
    kNullPointer = 7,
    kRuntimeException2 = 8,
    kUnknownError = 9,
};

// Raises a new instance of the table's class for `code` (unknown codes give
// java/lang/UnknownError), replacing any exception already pending. The
// classes are looked up once, when the module is loaded.
void throw_by_code(JNIEnv *env, int code, const char *message);

// Text used after the error number in the exception message: the C library's
// words for the numbers it shares with this library and for unknown ones, the
// library's own for 42 (which Linux numbers differently). Written into buf
// when it has to be built.
const char *error_text(int err, char *buf, std::size_t size);

// ------------------------------------------------------------------ arrays
//
// One element type of the array conversions: the native element, the Java
// array and its element, and the three JNI functions that reach it. Java to
// native keeps the low bits; native to Java zero-extends unsigned elements.
template <class Native, class JArray, class JElem, JElem *(JNIEnv::*Get)(JArray, jboolean *),
          void (JNIEnv::*Release)(JArray, JElem *, jint), JArray (JNIEnv::*New)(jsize)>
struct ArrayKind {
    using native = Native;
    using array = JArray;
    using element = JElem;
    static JElem *get(JNIEnv *env, JArray a) { return (env->*Get)(a, nullptr); }
    static void release(JNIEnv *env, JArray a, JElem *e, jint mode) { (env->*Release)(a, e, mode); }
    static JArray make(JNIEnv *env, jsize n) { return (env->*New)(n); }
};

using I8Array = ArrayKind<std::int8_t, jbyteArray, jbyte, &JNIEnv::GetByteArrayElements, &JNIEnv::ReleaseByteArrayElements,
                         &JNIEnv::NewByteArray>;
using U8Array = ArrayKind<std::uint8_t, jshortArray, jshort, &JNIEnv::GetShortArrayElements, &JNIEnv::ReleaseShortArrayElements,
                         &JNIEnv::NewShortArray>;  // every byte buffer of the binding
using I16Array = ArrayKind<std::int16_t, jshortArray, jshort, &JNIEnv::GetShortArrayElements, &JNIEnv::ReleaseShortArrayElements,
                         &JNIEnv::NewShortArray>;
using U16Array = ArrayKind<std::uint16_t, jintArray, jint, &JNIEnv::GetIntArrayElements, &JNIEnv::ReleaseIntArrayElements,
                         &JNIEnv::NewIntArray>;
using I32Array = ArrayKind<std::int32_t, jintArray, jint, &JNIEnv::GetIntArrayElements, &JNIEnv::ReleaseIntArrayElements,
                         &JNIEnv::NewIntArray>;
using U32Array = ArrayKind<std::uint32_t, jlongArray, jlong, &JNIEnv::GetLongArrayElements, &JNIEnv::ReleaseLongArrayElements,
                         &JNIEnv::NewLongArray>;
using I64Array = ArrayKind<std::int64_t, jlongArray, jlong, &JNIEnv::GetLongArrayElements, &JNIEnv::ReleaseLongArrayElements,
                         &JNIEnv::NewLongArray>;
using F32Array = ArrayKind<float, jfloatArray, jfloat, &JNIEnv::GetFloatArrayElements, &JNIEnv::ReleaseFloatArrayElements,
                         &JNIEnv::NewFloatArray>;
using F64Array = ArrayKind<double, jdoubleArray, jdouble, &JNIEnv::GetDoubleArrayElements, &JNIEnv::ReleaseDoubleArrayElements,
                         &JNIEnv::NewDoubleArray>;

// Array-in: a new zero-filled native copy (malloc, the caller frees) of the
// Java array's *n elements, converted; *elems keeps the Java elements for the
// caller to release. Null on failure: a null array raises NullPointerException
// "null array", a failed allocation OutOfMemoryError; when the VM
// cannot give the elements it has raised already.
template <class K>
typename K::native *array_in(JNIEnv *env, typename K::array a, jsize *n,
                             typename K::element **elems);

// Raises NullPointerException "null array" (callers match the exact text).
void throw_null_array(JNIEnv *env);

// Array-argout: writes the native elements into the existing Java array (as
// many as it holds) and commits them; nothing while an exception is pending.
template <class K>
void array_argout(JNIEnv *env, typename K::array a, const typename K::native *src);

// Array-out: a new Java array of n elements from native ones; null when the
// VM cannot make it (its exception is then pending).
template <class K>
typename K::array array_out(JNIEnv *env, const typename K::native *src, jsize n);

inline jshortArray bytes_out(JNIEnv *env, const unsigned char *src, std::size_t n)
{
    return array_out<U8Array>(env, src, static_cast<jsize>(n));
}

// The byte-buffer parameter: a private copy of a Java short[] holding the
// low 8 bits of each element. The Java elements are released at once; the
// library works on the copy; finish(env, buffer) writes the copy back into
// the Java array (values 0 to 255) and then runs the pending-failure check;
// the destructor frees the copy. A null array raises NullPointerException
// "null array".
class ByteArg {
public:
    ByteArg(JNIEnv *env, jshortArray array);
    ~ByteArg();
    ByteArg(const ByteArg &) = delete;
    ByteArg &operator=(const ByteArg &) = delete;

    // False when the array could not be taken (the exception is raised);
    // the method then returns its zero result at once.
    explicit operator bool() const { return copy_ != nullptr; }
    unsigned char *data() const { return copy_; }
    std::size_t size() const { return static_cast<std::size_t>(n_); }
    void copy_back();

private:
    JNIEnv *env_;
    jshortArray array_;
    unsigned char *copy_ = nullptr;
    jsize n_ = 0;
};

// Copies the buffers back, then runs the pending-failure check.
template <class... Buffers>
void finish(JNIEnv *env, Buffers &...buffers)
{
    (buffers.copy_back(), ...);
    finish(env);
}

// ------------------------------------------------------------------ strings

// A String parameter as modified UTF-8 text for the call's duration; a Java
// null gives a null text. Released when it goes out of scope (after the check).
class JavaText {
public:
    JavaText(JNIEnv *env, jstring s);
    ~JavaText();
    JavaText(const JavaText &) = delete;
    JavaText &operator=(const JavaText &) = delete;

    const char *get() const { return text_; }
    // The VM could not give the characters (and has raised); return at once.
    bool failed() const { return string_ != nullptr && text_ == nullptr; }

private:
    JNIEnv *env_;
    jstring string_;
    const char *text_;
};

// A text parameter the library needs: false when the method must return its
// zero result at once, either because the VM could not convert the string or
// because it is a Java null, which is refused as an invalid argument named `what`.
bool need_text(JNIEnv *env, const JavaText &text, const char *what);

// A native text as a new Java String; a null text gives a Java null, and so
// does a text the VM cannot convert (its exception is then pending).
jstring text_out(JNIEnv *env, const char *text);

// ------------------------------------------------------------------ templates

template <class K>
typename K::native *array_in(JNIEnv *env, typename K::array a, jsize *n,
                             typename K::element **elems)
{
    *elems = nullptr;
    *n = 0;
    if (a == nullptr) {
        throw_null_array(env);
        return nullptr;
    }
    const jsize len = env->GetArrayLength(a);
    typename K::element *e = K::get(env, a);
    if (e == nullptr)
        return nullptr;
    // One spare element, so that an empty array still gets a distinct copy.
    auto *copy = static_cast<typename K::native *>(std::calloc(static_cast<std::size_t>(len) + 1,
                                                               sizeof(typename K::native)));
    if (copy == nullptr) {
        K::release(env, a, e, JNI_ABORT);
        throw_by_code(env, kOutOfMemoryError, "array memory allocation failed");
        return nullptr;
    }
    for (jsize i = 0; i < len; ++i)
        copy[i] = static_cast<typename K::native>(e[i]);
    *elems = e;
    *n = len;
    return copy;
}

template <class K>
void array_argout(JNIEnv *env, typename K::array a, const typename K::native *src)
{
    if (pending(env))
        return;
    const jsize len = env->GetArrayLength(a);
    typename K::element *e = K::get(env, a);
    if (e == nullptr)
        return;
    for (jsize i = 0; i < len; ++i)
        e[i] = static_cast<typename K::element>(src[i]);
    K::release(env, a, e, 0);
}

template <class K>
typename K::array array_out(JNIEnv *env, const typename K::native *src, jsize n)
{
    typename K::array a = K::make(env, n);
    if (a == nullptr)
        return nullptr;
    typename K::element *e = K::get(env, a);
    if (e == nullptr)
        return nullptr;
    for (jsize i = 0; i < n; ++i)
        e[i] = static_cast<typename K::element>(src[i]);
    K::release(env, a, e, 0);
    return a;
}

}  // namespace nimbet::jni
