// SPDX-License-Identifier: MIT
// What the library's modules share and users never see: tail queues, error helpers, assertions.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <span>
#include <type_traits>
#include <utility>

#include "nimbet/nimbet.h"
#include "thread_safety.h"

namespace nimbet {

// Error numbers. They are this library's fixed values, independent of the
// platform's errno.h (42 is an illegal byte sequence everywhere).
enum Err : int {
    kNoEnt = 2,
    kBadF = 9,
    kAgain = 11,
    kNoMem = 12,
    kAccess = 13,
    kBusy = 16,
    kNoDev = 19,
    kInval = 22,
    kIlSeq = 42,
    kNotFound = 225,
    kNotBound = 226,
    kProto = 227,
};

// Stores the calling thread's error: the library's number (n_errno) and the
// system's errno behind it (n_util_syserr; 0 when the failure has no system
// cause). Both are per thread.
void set_error(int err, int sys_errno);

// Stores an error number that no system call caused and gives the usual
// failure value, so that a failing path reads `return fail(kInval);`. The
// system cause is cleared: a stale one from an earlier failure never shows.
inline int fail(int err)
{
    set_error(err, 0);
    return -1;
}

template <class T>
inline T *fail_null(int err)
{
    set_error(err, 0);
    return nullptr;
}

// As fail, for a failure that a system call reported with `sys_errno`: the
// library's number where the interface fixes one, the system's kept beside it.
inline int fail_sys(int err, int sys_errno)
{
    set_error(err, sys_errno);
    return -1;
}

template <class T>
inline T *fail_null_sys(int err, int sys_errno)
{
    set_error(err, sys_errno);
    return nullptr;
}

// What a call returns when it fails: a null pointer, or all ones (-1, and
// 0xFFFF or 0xFF for the 16- and 8-bit getters).
template <class R>
constexpr R failure_value()
{
    if constexpr (std::is_pointer_v<R>)
        return nullptr;
    else
        return static_cast<R>(-1);
}

// What an exported function does when an exception reaches it (memory that
// ran out in a container, mostly): it fails with 12 (the system's cause,
// ENOMEM or a system_error's number, kept beside it) and the failure value
// of its result. Every exported function is a function-try-block that ends
//
//     } catch (...) {
//         return failed_by_exception(n_name_of_the_function);
//     }
//
// so that no exception reaches a caller written in C; what it was changing
// is left whole by the code that threw. A thread being cancelled unwinds on
// through it.
void note_exception();

template <class R, class... Args>
R failed_by_exception(R (*)(Args...))
{
    note_exception();
    if constexpr (!std::is_void_v<R>)
        return failure_value<R>();
}

// The library's number for a system errno where no interface fixes one:
// EAGAIN/EWOULDBLOCK/ENOBUFS 11, ENOMEM 12, EACCES/EPERM 13, EBADF/ENOTSOCK
// 9, EINVAL/EMSGSIZE 22, ENOENT 2, anything else `otherwise`.
int error_of_errno(int sys_errno, int otherwise);

// The clock behind n_util_getmstime() and so behind every timer of the
// library: a test puts its own in place to move time without sleeping (null
// restores the monotonic clock).
using ClockFn = uint32_t (*)();
void set_clock(ClockFn fn);

// 64 bits from the system's random source (getrandom), for values that must
// differ between processes: never the application's rand() stream.
uint64_t system_random();

// A process-wide lock of the library (a registry's). fork() must not leave
// one taken by a thread the child does not have: the library's fork
// handlers take every such lock that was ever used, in rank order, around
// fork(), and let go of them on both sides. Registers itself on first use,
// so that loading the library runs nothing. No two of them are ever held
// at once by the library; the ranks only fix the handlers' order.
class CAPABILITY("mutex") GlobalLock {
public:
    explicit constexpr GlobalLock(int rank) : rank_(rank) {}
    GlobalLock(const GlobalLock &) = delete;
    GlobalLock &operator=(const GlobalLock &) = delete;

    void lock() ACQUIRE()
    {
        if (!known_.load(std::memory_order_acquire))
            return enrol_and_lock();
        m_.lock();
    }
    void unlock() RELEASE() { m_.unlock(); }

private:
    friend struct ForkHandlers;
    void enrol_and_lock() ACQUIRE();

    Mutex m_;
    const int rank_;
    std::atomic<bool> known_{false};
};

// A counted reference to a record with an atomic `refs` count: copying it
// takes one more, dropping the last one frees the record with Free. Empty
// when it refers to nothing.
template <class T, void (*Free)(T *)>
class CountedRef {
public:
    CountedRef() = default;
    explicit CountedRef(T *p) : p_(p) {}  // takes over one reference
    CountedRef(const CountedRef &o) : p_(o.p_) { retain(); }
    CountedRef(CountedRef &&o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    CountedRef &operator=(CountedRef o) noexcept
    {
        std::swap(p_, o.p_);
        return *this;
    }
    ~CountedRef() { reset(); }

    T *get() const { return p_; }
    T *operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    void reset()
    {
        if (p_ != nullptr && p_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
            Free(p_);
        p_ = nullptr;
    }

private:
    void retain() const
    {
        if (p_ != nullptr)
            p_->refs.fetch_add(1, std::memory_order_relaxed);
    }
    T *p_ = nullptr;
};

enum LockRank : int {
    kRankTransfers,  // the transfer registry (frag.cpp)
    kRankSockets,    // the socket registry (socket.cpp)
    kRankHistory,    // the acknowledgement history (ack.cpp)
    kRankFilters,    // the filter chains (filter.cpp)
    kRankHooks,      // the trace hooks (trace.cpp)
    kLockRanks
};

// The registry lock of a rank once anything has taken it, else null: for
// tests that hold one across fork().
GlobalLock *global_lock(int rank);

// What the fork handlers do beyond the registry locks (socket.cpp,
// frag.cpp), called with those locks held: before fork(), every socket is
// claimed for both processes; after it, a socket is shared with the other
// process (its close must not shut it down for both) for as long as that
// one holds it; in the child, the records' own locks, which threads the
// child does not have may have held, are made anew, and waits of those
// threads forgotten.
void sockets_before_fork();
void sockets_after_fork(bool child);
void transfers_after_fork();

// Stops the process with the message "Assertion failed: %s, file %s, line %d".
[[noreturn]] void assertion_failed(const char *text, const char *file, int line);

#define N_ASSERT(cond, text)                                   \
    do {                                                       \
        if (!(cond)) ::nimbet::assertion_failed(text, __FILE__, __LINE__); \
    } while (0)

// Tail queues in the manner of the BSD queue macros: each element has a
// forward pointer and a back link (the address of the pointer that points at
// it); the head has the first element and the address of the last forward
// pointer. Heads and links are any structs with the members tqh_first /
// tqh_last and tqe_next / tqe_prev, so the public n_acl list and the internal
// registries share this one implementation.
template <class T>
struct TqLink {
    T *tqe_next;
    T **tqe_prev;
};

template <class T>
struct TqHead {
    T *tqh_first;
    T **tqh_last;
};

template <auto Link>
struct TailQueue;

template <class T, class L, L T::*Link>
struct TailQueue<Link> {
    template <class H>
    static void init(H &head)
    {
        head.tqh_first = nullptr;
        head.tqh_last = &head.tqh_first;
    }

    template <class H>
    static bool empty(const H &head) { return head.tqh_first == nullptr; }

    template <class H>
    static T *first(const H &head) { return head.tqh_first; }

    static T *next(const T *elm) { return (elm->*Link).tqe_next; }

    // The last element: tqh_last points at its link (tqe_next is the link's
    // first member), and its back link points at the pointer that holds it.
    template <class H>
    static T *last(const H &head)
    {
        if (head.tqh_first == nullptr)
            return nullptr;
        return *reinterpret_cast<const L *>(head.tqh_last)->tqe_prev;
    }

    template <class H>
    static void insert_tail(H &head, T *elm)
    {
        (elm->*Link).tqe_next = nullptr;
        (elm->*Link).tqe_prev = head.tqh_last;
        *head.tqh_last = elm;
        head.tqh_last = &(elm->*Link).tqe_next;
    }

    template <class H>
    static void insert_head(H &head, T *elm)
    {
        (elm->*Link).tqe_next = head.tqh_first;
        if (head.tqh_first != nullptr)
            (head.tqh_first->*Link).tqe_prev = &(elm->*Link).tqe_next;
        else
            head.tqh_last = &(elm->*Link).tqe_next;
        head.tqh_first = elm;
        (elm->*Link).tqe_prev = &head.tqh_first;
    }

    // Unlinks an element and clears its links, so that a stale use of it
    // fails at once instead of walking the list it has left.
    template <class H>
    static void remove(H &head, T *elm)
    {
        T *nxt = (elm->*Link).tqe_next;
        if (nxt != nullptr)
            (nxt->*Link).tqe_prev = (elm->*Link).tqe_prev;
        else
            head.tqh_last = (elm->*Link).tqe_prev;
        *(elm->*Link).tqe_prev = nxt;
        (elm->*Link).tqe_next = nullptr;
        (elm->*Link).tqe_prev = nullptr;
    }

    // Moves every element of `from` to the tail of `to`, keeping their order;
    // `from` is left empty.
    template <class H>
    static void concat(H &to, H &from)
    {
        if (from.tqh_first == nullptr)
            return;
        *to.tqh_last = from.tqh_first;
        (from.tqh_first->*Link).tqe_prev = to.tqh_last;
        to.tqh_last = from.tqh_last;
        init(from);
    }

    // Range-for over a queue. The next element is read before the body runs,
    // so the body may unlink or free the current one. The walk ends at the
    // null forward pointer of the last element.
    template <class H>
    struct Range {
        H *head;
        struct End {};
        struct Iter {
            T *cur;
            T *nxt;
            T *operator*() const { return cur; }
            Iter &operator++()
            {
                cur = nxt;
                nxt = cur ? (cur->*Link).tqe_next : nullptr;
                return *this;
            }
            bool operator!=(End) const { return cur != nullptr; }
        };
        Iter begin() const
        {
            T *f = head->tqh_first;
            return {f, f ? (f->*Link).tqe_next : nullptr};
        }
        End end() const { return {}; }
    };

    template <class H>
    static Range<H> each(H &head) { return {&head}; }
};

using AclQueue = TailQueue<&n_acl::link>;

// Byte sizes of the fixed fields.
inline constexpr std::size_t kIdLen = 8;
inline constexpr std::size_t kLocLen = 44;
inline constexpr std::size_t kAddrLen = 4;

// Control tuple types, packed as on the wire.
inline constexpr unsigned char kTypeCAD[2] = {0x6C, 0x80};
inline constexpr unsigned char kTypeCAC[2] = {0x66, 0x40};
inline constexpr unsigned char kTypeACM[2] = {0xA5, 0x0E};

inline bool same_type(const unsigned char *a, const unsigned char *b)
{
    return a[0] == b[0] && a[1] == b[1];
}

inline bool same_id(const unsigned char *a, const unsigned char *b)
{
    return std::memcmp(a, b, kIdLen) == 0;
}

// A node identifier as a key of the library's tables. (A type of the
// library's own: containers of it are never exported from the module.)
struct NodeKey {
    unsigned char b[kIdLen];

    static NodeKey of(const unsigned char *id)
    {
        NodeKey k;
        std::memcpy(k.b, id, kIdLen);
        return k;
    }
    bool operator==(const NodeKey &o) const { return same_id(b, o.b); }
};

struct NodeKeyHash {
    std::size_t operator()(const NodeKey &k) const
    {
        uint64_t v = 0;
        std::memcpy(&v, k.b, sizeof v);
        return static_cast<std::size_t>(v ^ (v >> 29) ^ (v >> 47));
    }
};

// "CAC" control byte: bit 0 is the reply bit, bits 1..7 the kind.
inline constexpr unsigned kCacReply = 0x01;
inline constexpr unsigned kKindSingle = 0;
inline constexpr unsigned kKindFragment = 1;
inline constexpr unsigned kKindLastFragment = 2;

inline unsigned cac_kind(unsigned char control) { return control >> 1; }

// Dotted text of exactly `count` numbers into out; false otherwise (out may
// then hold the numbers decoded so far).
bool decode_exact(const char *text, unsigned char *out, int count);

// Identifier text: 8 numbers, or 4 numbers a.b.c.d standing for 1.1.1.1.a.b.c.d.
bool decode_id_text(const char *text, unsigned char out[8]);

// Destination text: up to 8 numbers (more are ignored); the bytes the text
// does not give are 0. False when the text does not decode.
bool decode_destination(const char *text, unsigned char out[8]);

// Size of the tuple record header, without the data bytes.
inline constexpr std::size_t kAclHeaderSize = offsetof(n_acl, data);

}  // namespace nimbet
