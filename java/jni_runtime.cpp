// The binding's runtime: failure flag and pending-failure check, exception tables, byte buffers and strings.
#include "jni_runtime.h"

#include <cstdio>
#include <cstring>

namespace nimbet::jni {

namespace {

// Process-wide state of the binding; calls into the binding never overlap.
std::int16_t g_failed = 0;
int g_error_kind = 0;
char g_message[1024];

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

const char *error_text(int err)
{
    // The library's own table holds the texts of the numbers it sets below
    // 224 (its 42 is an illegal byte sequence on every platform); other
    // numbers, its own 225 to 227 included, read as the C library words them.
    constexpr int kFirstOwnNumber = 224;
    return err < kFirstOwnNumber ? n_util_strerr(err) : std::strerror(err);
}

void mark_negative(long long result)
{
    if (result >= 0)
        return;
    g_failed = 1;
    if (n_errno == 0)
        n_errno = -1;
}

void mark_null(const void *result)
{
    if (result == nullptr)
        g_failed = 1;
}

void finish(JNIEnv *env)
{
    const int err = n_errno;
    if (err == 0 || g_failed == 0)
        return;
    g_error_kind = error_kind(err);
    std::snprintf(g_message, sizeof g_message, "c errno: %d %s.", err, error_text(err));
    n_errno = 0;
    g_failed = 0;
    throw_by_code(env, exception_code(g_error_kind), g_message);
}

void mark_failed(int err)
{
    n_errno = err;
    g_failed = 1;
}

void refuse(JNIEnv *env, int err)
{
    mark_failed(err);
    finish(env);
}

void throw_by_code(JNIEnv *env, int code, const char *message)
{
    const ExceptionClass *entry = kExceptionTable;
    while (entry->code != code && entry->code != 0)
        ++entry;
    env->ExceptionClear();
    jclass cls = env->FindClass(entry->name);
    if (cls != nullptr) {
        env->ThrowNew(cls, message);
        env->DeleteLocalRef(cls);
    }
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

bool need_text(JNIEnv *env, const JavaText &text)
{
    if (text.failed())
        return false;
    if (text.get() == nullptr) {
        refuse(env);
        return false;
    }
    return true;
}

jstring text_out(JNIEnv *env, const char *text)
{
    return text != nullptr ? env->NewStringUTF(text) : nullptr;
}

}  // namespace nimbet::jni
