// SPDX-License-Identifier: MIT
// Locks the compiler checks: capability annotations, and the mutex and scoped lock that carry them.
#pragma once

#include <mutex>

// clang's thread-safety analysis (-Wthread-safety) reads these: a lock is a
// capability, a member GUARDED_BY a lock is touched only while it is held,
// and a function that REQUIRES a lock is called only with it held. Other
// compilers see nothing.
#if defined(__clang__)
#define NIMBET_TSA(x) __attribute__((x))
#else
#define NIMBET_TSA(x)
#endif

#define CAPABILITY(x) NIMBET_TSA(capability(x))
#define SCOPED_CAPABILITY NIMBET_TSA(scoped_lockable)
#define GUARDED_BY(x) NIMBET_TSA(guarded_by(x))
#define PT_GUARDED_BY(x) NIMBET_TSA(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) NIMBET_TSA(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) NIMBET_TSA(acquired_after(__VA_ARGS__))
#define REQUIRES(...) NIMBET_TSA(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) NIMBET_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) NIMBET_TSA(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) NIMBET_TSA(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) NIMBET_TSA(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) NIMBET_TSA(assert_capability(x))
#define RETURN_CAPABILITY(x) NIMBET_TSA(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS NIMBET_TSA(no_thread_safety_analysis)

namespace nimbet {

// std::mutex with the annotations it lacks; the same size and cost.
class CAPABILITY("mutex") Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex &) = delete;
    Mutex &operator=(const Mutex &) = delete;

    void lock() ACQUIRE() { m_.lock(); }
    void unlock() RELEASE() { m_.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return m_.try_lock(); }

private:
    std::mutex m_;
};

// Holds a lock (a Mutex, or anything with the same annotated lock() and
// unlock()) for its scope, as std::lock_guard does; with std::adopt_lock it
// takes over a lock the thread holds already.
template <class M>
class SCOPED_CAPABILITY ScopedLock {
public:
    explicit ScopedLock(M &m) ACQUIRE(m) : m_(m) { m_.lock(); }
    ScopedLock(M &m, std::adopt_lock_t) REQUIRES(m) : m_(m) {}
    ~ScopedLock() RELEASE() { m_.unlock(); }
    ScopedLock(const ScopedLock &) = delete;
    ScopedLock &operator=(const ScopedLock &) = delete;

private:
    M &m_;
};

}  // namespace nimbet
