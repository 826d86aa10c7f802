// SPDX-License-Identifier: MIT
// The library error number, its messages, and the millisecond clock and sleep.
#include <sys/random.h>

#include <cxxabi.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <system_error>

#include <unistd.h>

#include "internal.h"

namespace {

// The calling thread's last failure: the library's number (n_errno) and the
// system's errno that caused it (0: no system cause). Per thread, as errno
// is: a failure in one thread never shows in another.
thread_local int t_lib_errno = 0;
thread_local int t_sys_errno = 0;

struct ErrorText {
    int number;
    const char *text;
};

// The one table of the numbers this library sets and their texts. Numbers
// below 224 that are not listed get the C library's text.
constexpr ErrorText kErrorTexts[] = {
    {nimbet::kNoEnt, "No such file or directory"},
    {nimbet::kBadF, "Bad file descriptor"},
    {nimbet::kAgain, "Resource temporarily unavailable"},
    {nimbet::kNoMem, "Not enough space"},
    {nimbet::kAccess, "Permission denied"},
    {nimbet::kBusy, "Resource device"},
    {nimbet::kNoDev, "No such device"},
    {nimbet::kInval, "Invalid argument"},
    {nimbet::kIlSeq, "Illegal byte sequence"},
    {nimbet::kNotFound, "Address not available."},
    {nimbet::kNotBound, "The socket is not connected."},
    {nimbet::kProto, "Protocol error."},
};

constexpr int kFirstOwnNumber = 224;

std::atomic<nimbet::ClockFn> g_clock{nullptr};

}  // namespace

namespace nimbet {

void assertion_failed(const char *text, const char *file, int line)
{
    std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", text, file, line);
    std::fflush(stderr);
    std::abort();
}

void set_error(int err, int sys_errno)
{
    t_lib_errno = err;
    t_sys_errno = sys_errno;
}

void note_exception()
{
    try {
        throw;
    } catch (const abi::__forced_unwind &) {
        throw;  // the thread is being cancelled: that must go on
    } catch (const std::bad_alloc &) {
        set_error(kNoMem, ENOMEM);
    } catch (const std::system_error &e) {
        set_error(kNoMem, e.code().category() == std::system_category() ? e.code().value() : 0);
    } catch (...) {
        set_error(kNoMem, 0);
    }
}

int error_of_errno(int sys_errno, int otherwise)
{
    if (sys_errno == EAGAIN || sys_errno == EWOULDBLOCK || sys_errno == ENOBUFS)
        return kAgain;
    switch (sys_errno) {
    case ENOMEM:
        return kNoMem;
    case EACCES:
    case EPERM:
        return kAccess;
    case EBADF:
    case ENOTSOCK:
        return kBadF;
    case EINVAL:
    case EMSGSIZE:
        return kInval;
    case ENOENT:
        return kNoEnt;
    default:
        return otherwise;
    }
}

void set_clock(ClockFn fn) { g_clock.store(fn, std::memory_order_release); }

uint64_t system_random()
{
    uint64_t v = 0;
    auto *p = reinterpret_cast<unsigned char *>(&v);
    std::size_t got = 0;
    while (got < sizeof v) {
        const ssize_t n = getrandom(p + got, sizeof v - got, 0);
        if (n > 0)
            got += static_cast<std::size_t>(n);
        else if (errno != EINTR)
            break;
    }
    if (got < sizeof v) {
        // No entropy source at all (a kernel without getrandom): the clock
        // and the process still make runs differ.
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        v ^= (static_cast<uint64_t>(ts.tv_nsec) << 20) ^ static_cast<uint64_t>(ts.tv_sec) ^
             (static_cast<uint64_t>(getpid()) << 40);
    }
    return v;
}

}  // namespace nimbet

extern "C" {

int *_n_errno(void)
try {
    return &t_lib_errno;
} catch (...) {
    return nimbet::failed_by_exception(_n_errno);
}

int n_util_syserr(void)
try {
    return t_sys_errno;
} catch (...) {
    return nimbet::failed_by_exception(n_util_syserr);
}

const char *n_util_strerr(int errnum)
try {
    for (const ErrorText &e : kErrorTexts)
        if (e.number == errnum)
            return e.text;
    if (errnum < kFirstOwnNumber)
        return std::strerror(errnum);
    return "Unknown Error";
} catch (...) {
    return nimbet::failed_by_exception(n_util_strerr);
}

int n_util_perror(const char *prefix)
try {
    return std::printf("%s%s", prefix ? prefix : "", n_util_strerr(t_lib_errno));
} catch (...) {
    return nimbet::failed_by_exception(n_util_perror);
}

uint32_t n_util_getmstime(void)
try {
    if (const nimbet::ClockFn clock = g_clock.load(std::memory_order_acquire))
        return clock();
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
} catch (...) {
    return nimbet::failed_by_exception(n_util_getmstime);
}

void n_util_sleepms(uint32_t ms)
try {
    timespec req{static_cast<time_t>(ms / 1000u), static_cast<long>(ms % 1000u) * 1000000L};
    while (nanosleep(&req, &req) == -1 && errno == EINTR) {
    }
} catch (...) {
    return nimbet::failed_by_exception(n_util_sleepms);
}

}  // extern "C"
