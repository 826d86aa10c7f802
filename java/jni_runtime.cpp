// SPDX-License-Identifier: MIT
// The binding's runtime: failure flag and pending-failure check, exception tables, byte buffers and strings.
#include "jni_runtime.h"

#include <cstdio>
#include <cstring>

namespace nimbet::jni {

namespace {

// The binding's failure state, one per thread: a failure is raised in the
// thread whose call failed and nowhere else. The library's error number is
// per thread too.
struct FailureState {
    std::int16_t failed = 0;
    int error_kind = 0;
    char message[1024];
};
thread_local FailureState t_state;

struct ExceptionClass {
    int code;
    const char *name;
};

// Searched from the top; the entry with code 0 ends the table and names the
// class for every code not listed.
constexpr ExceptionClass kExceptionTable[] = {
    {kOutOfMemoryError, "java/lang/OutOfMemoryError"},
    {kIOException, "java/io/IOException"},
    {kRuntimeException, "java/lang/RuntimeException"},
    {kIndexOutOfBounds, "java/lang/IndexOutOfBoundsException"},
    {kArithmeticException, "java/lang/ArithmeticException"},
    {kIllegalArgument, "java/lang/IllegalArgumentException"},
    {kNullPointer, "java/lang/NullPointerException"},
    {kRuntimeException2, "java/lang/RuntimeException"},
    {kUnknownError, "java/lang/UnknownError"},
    {0, "java/lang/UnknownError"},
};
constexpr std::size_t kExceptionCount = sizeof kExceptionTable / sizeof kExceptionTable[0];

// The table's classes as global references, made when the module is loaded
// and read-only afterwards, so that raising needs no lookup in any thread.
jclass g_exception_class[kExceptionCount];

// strerror_r comes in two forms (GNU returns the text, XSI fills the buffer);
// these pick the text out of either.
[[maybe_unused]] const char *strerror_result(char *text, const char *)
{
    return text;
}

[[maybe_unused]] const char *strerror_result(int rc, const char *buf)
{
    return rc == 0 ? buf : "Unknown error";
}

// Library error number to error kind.
int error_kind(int err)
{
    switch (err) {
    case kBadF: return 3;
    case kNoMem: return 1;
    case kBusy: return 10;
    case kInval: return 9;
    default: return 99;
    }
}

// Error kind to exception code.
int exception_code(int kind)
{
    switch (kind) {
    case 1: return kOutOfMemoryError;
    case 2: return kIOException;
    case 3: return kRuntimeException;
    case 4: return kIndexOutOfBounds;
    case 5: return kIllegalArgument;
    case 6: return kArithmeticException;
    case 7: return kIndexOutOfBounds;
    case 8: return kIllegalArgument;
    case 9: return kIllegalArgument;
    case 10: return kRuntimeException;
    default: return kUnknownError;
    }
}

}  // namespace

const char *error_text(int err, char *buf, std::size_t size)
{
    if (err == kIlSeq)
        return n_util_strerr(err);  // Linux numbers an illegal byte sequence 84
    return strerror_result(strerror_r(err, buf, size), buf);
}

void mark_negative(long long result)
{
    if (result >= 0)
        return;
    t_state.failed = 1;
    if (n_errno == 0)
        n_errno = -1;
}

void mark_null(const void *result)
{
    if (result == nullptr)
        t_state.failed = 1;
}

namespace {

// Steps of the pending-failure check; `detail`, when given, is added to the
// message after the error text.
void raise_pending(JNIEnv *env, const char *detail)
{
    const int err = n_errno;
    FailureState &st = t_state;
    if (err == 0 || st.failed == 0)
        return;
    st.error_kind = error_kind(err);
    char text[256];
    const char *words = error_text(err, text, sizeof text);
    if (detail != nullptr)
        std::snprintf(st.message, sizeof st.message, "c errno: %d %s: %s.", err, words, detail);
    else
        std::snprintf(st.message, sizeof st.message, "c errno: %d %s.", err, words);
    n_errno = 0;
    st.failed = 0;
    throw_by_code(env, exception_code(st.error_kind), st.message);
}

}  // namespace

void finish(JNIEnv *env)
{
    raise_pending(env, nullptr);
}

void mark_failed(int err)
{
    n_errno = err;
    t_state.failed = 1;
}

void refuse(JNIEnv *env, int err)
{
    mark_failed(err);
    finish(env);
}

void refuse_null(JNIEnv *env, const char *what)
{
    char detail[128];
    std::snprintf(detail, sizeof detail, "%s is null", what);
    mark_failed(kInval);
    raise_pending(env, detail);
}

void throw_null_array(JNIEnv *env)
{
    // Exactly this text: callers match the message.
    throw_by_code(env, kNullPointer, "null array");
}

void throw_by_code(JNIEnv *env, int code, const char *message)
{
    std::size_t i = 0;
    while (kExceptionTable[i].code != code && kExceptionTable[i].code != 0)
        ++i;
    env->ExceptionClear();
    if (g_exception_class[i] != nullptr)
        env->ThrowNew(g_exception_class[i], message);
}

ByteArg::ByteArg(JNIEnv *env, jshortArray array) : env_(env), array_(array)
{
    jshort *elems = nullptr;
    copy_ = array_in<U8Array>(env, array, &n_, &elems);
    if (elems != nullptr)
        env->ReleaseShortArrayElements(array, elems, JNI_ABORT);  // only read
}

ByteArg::~ByteArg()
{
    std::free(copy_);
}

void ByteArg::copy_back()
{
    if (copy_ != nullptr)
        array_argout<U8Array>(env_, array_, copy_);
}

JavaText::JavaText(JNIEnv *env, jstring s)
    : env_(env), string_(s), text_(s != nullptr ? env->GetStringUTFChars(s, nullptr) : nullptr)
{
}

JavaText::~JavaText()
{
    if (text_ != nullptr)
        env_->ReleaseStringUTFChars(string_, text_);
}

bool need_text(JNIEnv *env, const JavaText &text, const char *what)
{
    if (text.failed())
        return false;
    if (text.get() == nullptr) {
        refuse_null(env, what);
        return false;
    }
    return true;
}

jstring text_out(JNIEnv *env, const char *text)
{
    return text != nullptr ? env->NewStringUTF(text) : nullptr;
}

}  // namespace nimbet::jni

using namespace nimbet::jni;

// Looks the exception classes up once, in the loading thread; raising a
// failure later needs no lookup and cannot fail to find its class.
extern "C" JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM *vm, void *)
{
    JNIEnv *env = nullptr;
    if (vm->GetEnv(reinterpret_cast<void **>(&env), JNI_VERSION_1_8) != JNI_OK)
        return JNI_ERR;
    for (std::size_t i = 0; i < kExceptionCount; ++i) {
        jclass local = env->FindClass(kExceptionTable[i].name);
        if (local == nullptr)
            return JNI_ERR;  // its exception is pending and reaches System.loadLibrary
        g_exception_class[i] = static_cast<jclass>(env->NewGlobalRef(local));
        env->DeleteLocalRef(local);
        if (g_exception_class[i] == nullptr)
            return JNI_ERR;
    }
    return JNI_VERSION_1_8;
}

extern "C" JNIEXPORT void JNICALL JNI_OnUnload(JavaVM *vm, void *)
{
    JNIEnv *env = nullptr;
    if (vm->GetEnv(reinterpret_cast<void **>(&env), JNI_VERSION_1_8) != JNI_OK)
        return;
    for (jclass &cls : g_exception_class) {
        if (cls != nullptr)
            env->DeleteGlobalRef(cls);
        cls = nullptr;
    }
}
