// SPDX-License-Identifier: MIT
// The socket record, the socket registry and the socket operations shared by sending, receiving and transfers.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <type_traits>
#include <vector>

#include "engine/acked.h"
#include "engine/events.h"
#include "internal.h"
#include "recent.h"
#include "rtt.h"

namespace nimbet {

inline constexpr int kMaxDestinations = SOCKET_MAX_DESTINATIONS;

// A frame that was read while a call waited for something else (an
// acknowledged send for its reply): kept for the next receive, in order.
struct HeldFrame {
    std::vector<unsigned char> bytes;
    sockaddr_in from{};
    socklen_t fromlen = 0;
    bool acked = false;
};
inline constexpr std::size_t kHeldFrames = 1024;

// What a socket knows of one peer it sends acknowledged requests to: whether
// the peer takes request identifiers (its last acknowledgement said so), and
// the session and counter the identifiers are drawn from. A session is
// random and new whenever the entry is (the peer forgotten, a fork()), so
// an identifier never repeats.
struct PeerRequests {
    bool takes_ids = false;
    uint32_t session = 0;
    uint32_t counter = 0;
};

// Counters of one socket, one atomic per field of n_socket_stats.
struct SocketCounters {
    std::atomic<uint64_t> frames_sent{0}, frames_received{0}, frames_rejected{0}, not_for_us{0}, duplicates{0},
        acks_sent{0}, acks_received{0}, retransmissions{0}, transfers_started{0}, transfers_finished{0},
        transfers_aborted{0}, transfers_refused{0}, stray_fragments{0}, transfers_evicted{0}, kernel_drops{0};
    // Requests neither acknowledged nor delivered: a filter refused them,
    // their history was full, they were too old to tell from a repeat, or
    // the socket was quiet.
    std::atomic<uint64_t> requests_refused{0};
    // Frames kept for the next receive that had to go (more than kHeldFrames).
    std::atomic<uint64_t> held_dropped{0};
    // The estimate for the peer measured last: gauges, left alone by a reset.
    std::atomic<uint64_t> rtt_ms{0}, rto_ms{0};
};

inline void count(std::atomic<uint64_t> &c) { c.fetch_add(1, std::memory_order_relaxed); }

// Bounds on what peers can make a socket hold (n_socket_set_frag_limits).
inline constexpr int kDefaultMaxTransfers = 16;
inline constexpr uint32_t kDefaultMaxBytes = 256u << 20;
// Parts in flight a transfer may keep: sequence bytes wrap at 256, so that
// two parts in flight never share one with at most 128.
inline constexpr uint32_t kMaxTransferWindow = 128;
inline constexpr uint8_t kDefaultTransferWindow = 64;

// One open socket. The registry holds one reference from n_socket_open to
// n_socket_close, and every call that works on the socket holds one for its
// duration (SocketRef); the system socket is closed and the record freed
// when the last reference goes, so a call in progress never sees its record
// vanish. The protocol fields keep the order the record has always had:
//
//   fd | port | recv_from | num_interfaces | send_to[10] | retry | timeout
//      | id[8] | loc[44] | last_seq | ack_seq | options | link
//
// Locking: `mu` guards every field from `port` to `options`, the limits,
// the acknowledged sends, the events, the held frames and the kernel filter
// (own_filter, attached and detached under it); it is held for short steps only, never across a wait or while
// taking another socket's lock. The fragmentation lock may be held
// when `mu` is taken, never the other way round.
struct socket_record {
    int fd;                                 // system socket, key of the registry; constant while the record lives
    uint16_t port GUARDED_BY(mu);           // network byte order; copied into a slot when it is written
    sockaddr_in *recv_from GUARDED_BY(mu);  // owned; local address of the first bind, null for any address
    int32_t num_interfaces GUARDED_BY(mu);  // destination slots in use, 0..10
    sockaddr_in send_to[kMaxDestinations] GUARDED_BY(mu);
    int32_t retry GUARDED_BY(mu);             // transmissions of an acknowledged send, 0..255
    int32_t timeout GUARDED_BY(mu);           // milliseconds to wait for an acknowledgement
    unsigned char id[kIdLen] GUARDED_BY(mu);  // stamped on outgoing frames, compared with incoming "CAD"
    unsigned char loc[kLocLen] GUARDED_BY(mu);
    uint8_t last_seq GUARDED_BY(mu);  // sequence number of the last automatically numbered frame
    uint8_t ack_seq GUARDED_BY(mu);   // counter of acknowledged sends
    std::atomic<uint32_t> options;    // SOCKET_ bits: changed under mu, read without it
    TqLink<socket_record> link;

    Mutex mu;
    std::atomic<int> refs{1};
    std::atomic<bool> closed{false};
    // After a fork() the system socket may be shared with another process:
    // a close must not shut it down (that would end it for both), so waits
    // on it also watch `wake_fd`, an eventfd of this process that a close
    // writes to. `shared_since` names the fork (0: not shared; set by the
    // fork handlers, with the registry held) until socket_shared finds that
    // no other process holds the socket any more; `inode` is where its
    // claims are (shared_sockets.cpp).
    std::atomic<uint64_t> shared_since{0};
    int wake_fd = -1;
    uint64_t inode = 0;
    bool fork_claimed = false;  // claimed for both processes before the fork under way
    uint64_t serial = 0;        // unique per open: names the socket where a descriptor number could be reused
    int max_transfers GUARDED_BY(mu) = kDefaultMaxTransfers;
    uint32_t max_bytes GUARDED_BY(mu) = kDefaultMaxBytes;
    bool transfer_check GUARDED_BY(mu) = true;  // transfers sent through this socket carry a descriptor
    // parts in flight offered / accepted (1: one at a time)
    uint8_t transfer_window GUARDED_BY(mu) = kDefaultTransferWindow;
    bool adaptive_retry GUARDED_BY(mu) = true;  // resend after the measured round trip, not after `timeout`
    // identifiers on requests to peers that take them; acknowledgements say so
    bool request_ids GUARDED_BY(mu) = true;
    // no new request or transfer taken for one resend window after opening
    bool quiet_start GUARDED_BY(mu) = false;
    uint32_t opened_at = 0;  // n_util_getmstime() of n_socket_open
    // filter chain a first part must pass to start a transfer (0: none)
    int transfer_filter GUARDED_BY(mu) = 0;
    // per peer
    RecentTable<NodeKey, RttEstimator, NodeKeyHash> round_trips GUARDED_BY(mu){256, 10u * 60u * 1000u};
    // per peer
    RecentTable<NodeKey, PeerRequests, NodeKeyHash> peer_requests GUARDED_BY(mu){1024, 10u * 60u * 1000u};
    engine::AckedSends acked GUARDED_BY(mu);   // acknowledged sends whose replies this socket reads
    uint64_t next_request GUARDED_BY(mu) = 0;  // the number of the last acknowledged send started here
    engine::EventQueue events GUARDED_BY(mu);  // what the application has not taken yet
    // frames a blocking acknowledged send read meanwhile, for the next receive
    std::deque<HeldFrame> held GUARDED_BY(mu);
    std::atomic<int> readers{0};          // calls reading the system socket right now
    std::atomic<int> read_timeout{0};     // the system socket's receive timeout in ms (0: none)
    std::atomic<int> reads_while_due{0};  // datagrams read while a transfer waited to be given up
    // the kernel drops its own frames for other nodes (own_frames.cpp)
    bool own_filter GUARDED_BY(mu) = false;
    // n_socket_set_kernel_drops: the system's drop counter is read
    bool kernel_drops GUARDED_BY(mu) = false;
    uint32_t kernel_drops_seen GUARDED_BY(mu) = 0;  // its value at the last read; it wraps at 32 bits
    SocketCounters stats;
};

using SocketQueue = TailQueue<&socket_record::link>;

// A counted reference to an open socket record; empty when the descriptor
// names no open socket.
void socket_destroy(socket_record *rec);  // frees a record nobody references (socket.cpp)
using SocketRef = CountedRef<socket_record, socket_destroy>;

// The open socket with this descriptor, referenced for the caller; empty
// when there is none. Sets no error number.
SocketRef socket_acquire(int fd);

// Sockets held by other processes since a fork() (shared_sockets.cpp).
// Whether another process may still hold the socket: from a fork() until
// no other process claims it any more, and for good after a fork() whose
// claims could not be made (kSharedForGood).
bool socket_shared(socket_record *rec);
inline constexpr uint64_t kSharedForGood = UINT64_MAX;
// What the fork handlers and a close do with the claims: before fork() (the
// socket registry held), a description of the claims file for the child
// (false: none could be made), and each socket claimed for both processes
// (false when it could not be); after it, the child makes that description
// its own and the parent lets go of it. A close gives up the claim.
bool claims_prepare();
bool claim_for_fork(socket_record *rec);
void claims_after_fork(bool child);
void claim_release(socket_record *rec);

// The preamble of every public call on one socket: runs `body` with the
// open socket `fd`, which stays referenced while it runs. When no socket has
// that descriptor, nothing runs: `err` is stored (each call keeps its own
// number for an unknown descriptor) and the failure value of the body's
// result type is returned.
template <class Body>
auto on_socket(int fd, int err, Body &&body) -> std::invoke_result_t<Body, socket_record *>
{
    using R = std::invoke_result_t<Body, socket_record *>;
    const SocketRef rec = socket_acquire(fd);
    if (!rec) {
        set_error(err, 0);
        return failure_value<R>();
    }
    return body(rec.get());
}

// The same for a call on two sockets (one of them may be the other): both
// must be open, or `err` is stored.
template <class Body>
auto on_sockets(int fd, int other_fd, int err, Body &&body)
    -> std::invoke_result_t<Body, socket_record *, socket_record *>
{
    using R = std::invoke_result_t<Body, socket_record *, socket_record *>;
    const SocketRef rec = socket_acquire(fd);
    const SocketRef other = socket_acquire(other_fd);
    if (!rec || !other) {
        set_error(err, 0);
        return failure_value<R>();
    }
    return body(rec.get(), other.get());
}

// A further reference to a record the caller already holds.
SocketRef socket_share(socket_record *rec);

// Binds the system socket to recv_from, or to the record's port on any
// address. Returns the system result (0 on success). Does not touch
// SOCKET_BOUND. Called with rec->mu held.
int bind_socket(socket_record *rec) REQUIRES(rec->mu);

// Binds the socket on its first receive and sets SOCKET_BOUND; false when the
// system refuses the bind, with errno the bind's.
bool ensure_bound(socket_record *rec);

// Blocking (on != 0) or non-blocking system socket, SOCKET_BLOCKING to
// match. Returns the previous state of SOCKET_BLOCKING (1 or 0), or -1 with
// 22 for a null record. Called with rec->mu held.
int set_blocking_mode(socket_record *rec, int on) REQUIRES(rec->mu);

// Writes destination slot i (0..9): AF_INET, the record's current port, the
// address (4 bytes, network order); num_interfaces becomes i + 1. Returns 0,
// or -1 with 9 for a null record and 22 for a slot outside the array. Called
// with rec->mu held.
int set_destination_slot(socket_record *rec, const unsigned char *address, int i) REQUIRES(rec->mu);

// Attaches, renews or removes the kernel filter that drops the socket's own
// frames addressed to other nodes, as the socket's identifier and options
// require. Takes the socket's lock: called with no lock held.
void update_own_frame_filter(socket_record *rec) EXCLUDES(rec->mu);

// Sets or clears plain option bits (SOCKET_LOWFLAG) on a record.
void set_option_bits(socket_record *rec, uint32_t bits, bool on);

// The record's option bits (no lock needed).
uint32_t option_bits(socket_record *rec);

// The record's retry count and timeout, read under its lock.
int socket_retry(socket_record *rec);
uint32_t socket_timeout_ms(socket_record *rec);

// The round trip measured to a peer through this socket (an empty estimate
// when none is known), and keeping a new one, which also becomes the
// socket's rtt_ms and rto_ms gauges.
RttEstimator known_round_trip(socket_record *rec, const unsigned char *peer);
void remember_round_trip(socket_record *rec, const unsigned char *peer, const RttEstimator &rtt);

// Whether the socket takes no new requests or transfers yet: it was opened
// with a quiet start less than one resend window ago.
bool socket_quiet(socket_record *rec, uint32_t now);

// How long a peer may still resend what it sent once: retry x timeout
// milliseconds (at least one timeout), the settings of this socket standing
// for the peer's. A repeat inside it is a resend; the same bytes after it
// can only be new.
uint32_t resend_window_ms(socket_record *rec);

// Users of the platform network stack: every open socket and every running
// interface discovery hold one reference. 0, or -1 with 13.
int net_acquire();
int net_release();
// Current number of references (for checks that nothing leaked).
int net_users();

// Owns a malloc'd block and frees it with free().
struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
template <class T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;

// Owns a packet and frees it with n_pkt_free.
struct PacketFree {
    void operator()(n_pkt *p) const { n_pkt_free(p); }
};
using PacketPtr = std::unique_ptr<n_pkt, PacketFree>;

// The record's timeout as a wait in milliseconds. The setter stores any int;
// a negative one waits not at all (rather than some 49 days as an unsigned
// count).
inline uint32_t timeout_ms(int32_t timeout) { return timeout > 0 ? static_cast<uint32_t>(timeout) : 0u; }

// Capacity of the acknowledgement history of one node (initially 5).
int lastacks();

}  // namespace nimbet
