/* SPDX-License-Identifier: MIT */
/* libnimbet: frames, tuples, sockets, filters and fragmented transfers for sensor-node networks. */
#ifndef NIMBET_NIMBET_H
#define NIMBET_NIMBET_H

#include <stddef.h>
#include <stdint.h>
#include <netinet/in.h>
#include <sys/time.h>

#if defined(NIMBET_BUILDING)
#define N_EXPORT __attribute__((visibility("default")))
#else
#define N_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------ version */

/* The version of this header; the build reads it from here. */
#define NIMBET_VERSION_MAJOR  0
#define NIMBET_VERSION_MINOR  1
#define NIMBET_VERSION_PATCH  1
#define NIMBET_VERSION_STRING "0.1.1"

/* The version of the library in use, "major.minor.patch" (static text). A
 * program built with one header may run with a later module of the same
 * major.minor version (the module's soname carries major.minor); compare
 * with NIMBET_VERSION_STRING to tell. A later patch release only adds:
 * functions, under a version node of their own (NIMBET_0.1.1, ...), and
 * members at the end of the records that the caller passes with their size
 * (n_socket_stats) or that the library hands out (n_trace_info). Records
 * whose layout the frame format fixes (n_pkt, n_acl) never change within a
 * major.minor. */
N_EXPORT const char *n_util_version(void);

/*
 * Conventions of every function below: failure is reported by the result
 * (-1, a null pointer, or the all-ones value of an 8- or 16-bit result)
 * together with the library error number n_errno; success never clears
 * n_errno, so it is meaningful only right after a failure.
 *
 * Error numbers (fixed values of this library on every platform):
 *   2 no such socket or filter       9 bad descriptor        11 nothing to deliver now
 *  12 out of memory                 13 permission denied     16 resource busy
 *  19 no network interface          22 invalid argument      42 illegal byte sequence
 * 225 item not found               226 socket not bound     227 protocol error
 *
 * n_errno is kept per thread, as errno is: a failure in one thread never
 * shows in another. Any call that needs memory the system cannot give fails
 * with 12, and the library's registries and tables stay whole; no C++
 * exception ever leaves the library.
 */
#define N_ENOENT     2    /* no such socket or filter */
#define N_EBADF      9    /* bad descriptor; a socket closed under a waiting call */
#define N_EAGAIN    11    /* nothing to deliver now; a wait ran out */
#define N_ENOMEM    12    /* out of memory */
#define N_EACCES    13    /* permission denied; a transfer with this peer is registered */
#define N_EBUSY     16    /* resource busy: the socket is bound already */
#define N_ENODEV    19    /* no network interface */
#define N_EINVAL    22    /* invalid argument, malformed frame */
#define N_EILSEQ    42    /* illegal byte sequence: text or datagram that does not decode */
#define N_ENOTFOUND 225   /* item not found */
#define N_ENOTBOUND 226   /* socket not bound */
#define N_EPROTO    227   /* protocol error: not acknowledged, malformed control data */

/* ------------------------------------------------------------------ errors and time */

/* Address of the library error number; read and write it through n_errno. */
N_EXPORT int *_n_errno(void);
#define n_errno (*_n_errno())
/*
 * The cause behind the calling thread's last failure, as an errno value of
 * the system (<errno.h>), per thread like n_errno; read it right after a
 * failure, beside n_errno. It is the errno of the system call that failed
 * (sendto, recvfrom, bind, open, poll, ...), or 0 when the failure had no
 * system cause (an invalid argument, an unknown socket). Where the library's
 * number is fixed and covers several causes it tells them apart:
 * n_socket_send_acked's 227 comes with ETIMEDOUT when no acknowledgement
 * came and with EBADMSG when the addressed node replied without a "CAC"
 * tuple; n_pkt_alloc's 13 comes with ENOMEM. Setting n_errno by hand does
 * not change it.
 */
N_EXPORT int n_util_syserr(void);

/* Message for an error number (library texts for its own numbers, "Unknown Error" from 224 up). */
N_EXPORT const char *n_util_strerr(int errnum);
/* Prints prefix and the message of n_errno to standard output, no newline; returns the character count. */
N_EXPORT int n_util_perror(const char *prefix);
/* Monotonic milliseconds truncated to 32 bits; compare readings in unsigned 32-bit arithmetic. */
N_EXPORT uint32_t n_util_getmstime(void);
/* Suspends the calling thread for ms milliseconds. */
N_EXPORT void n_util_sleepms(uint32_t ms);

/* ------------------------------------------------------------------ tuples and packets */

struct n_acl;
typedef struct n_acl n_acl;

/* Tail-queue links of a tuple: next tuple (null at the tail) and the address
 * of the pointer that points at this tuple. */
typedef struct n_acl_link {
    n_acl *tqe_next;
    n_acl **tqe_prev;
} n_acl_link;

/* Tail-queue head: first tuple, and the address of the last tuple's forward
 * pointer (the head's own tqh_first while the list is empty). */
typedef struct n_acl_list {
    n_acl *tqh_first;
    n_acl **tqh_last;
} n_acl_list;

/*
 * One tuple, header and data in a single malloc'd block:
 *
 *   +--------+--------+-----+------------------+----------------+
 *   | type 0 | type 1 | len | link (next,prev) | data[len] ...  |
 *   +--------+--------+-----+------------------+----------------+
 *
 * On the wire it is type 0, type 1, len, data. A tuple in a packet's list is
 * freed by n_pkt_free; a detached tuple belongs to the caller (free()).
 */
/* data is a flexible array member, which C++ compilers accept as an extension. */
#if defined(__cplusplus) && defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#endif
struct n_acl {
    unsigned char type[2];
    unsigned char len;
    n_acl_link link;
    unsigned char data[];
};
#if defined(__cplusplus) && defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

/*
 * The frame on the wire (multi-byte values big-endian):
 *
 *   0        1              45          53    54                 len-2   len
 *   +--------+--------------+-----------+-----+--------------------+-------+
 *   | format | location(44) | srcid (8) | seq | tuples: T0 T1 L d..| CRC16 |
 *   +--------+--------------+-----------+-----+--------------------+-------+
 *
 * format is always 2; the CRC-16/XMODEM covers bytes 0..len-3, high byte first.
 * A packet record is owned by whoever holds the pointer; n_pkt_free releases it.
 */
typedef struct n_pkt {
    uint32_t flags;              /* PACKET_ bits */
    unsigned char dest_id[8];    /* data of a received "CAD" tuple of length 8 */
    uint8_t ack_seq;             /* data byte 1 of a received "CAC" tuple */
    struct sockaddr_in from;     /* sender of a received datagram */
    int32_t fromlen;
    uint8_t format;
    unsigned char location[44];
    unsigned char srcid[8];
    uint8_t seq;
    uint32_t acl_len;            /* sum of 3 + len over the tuple list */
    uint32_t acl_count;
    n_acl_list acl_head;
} n_pkt;

#define PACKET_FORMAT_SET     0x0001u
#define PACKET_LOCATION_SET   0x0002u
#define PACKET_SRCID_SET      0x0004u
#define PACKET_SEQ_SET        0x0008u
#define PACKET_CRC_OK         0x0010u
#define PACKET_RECEIVED       0x0020u
#define PACKET_CRC_BAD        0x0040u
#define PACKET_ACK_REQUESTED  0x0100u
#define PACKET_ACK_SENT       0x0200u
#define PACKET_HAS_ACL        0x1000u
#define PACKET_OVERSIZE       0x2000u

#define PACKET_HEADER_SIZE    54   /* format, location, srcid, seq */
#define PACKET_ACL_MAX        64   /* tuple area limit of an ordinary add */
#define PACKET_MIN_FRAME      59   /* header, one empty tuple, CRC */

/* New zero-filled packet (format 2, PACKET_FORMAT_SET); null with 13 on failure. Caller frees. */
N_EXPORT n_pkt *n_pkt_alloc(void);
/* Frees the packet and every tuple in its list; 1, or -1 with 13 for a null packet. */
N_EXPORT int n_pkt_free(n_pkt *pkt);
/* Fills a fresh packet from a received frame; 0, or -1 with 22 (short, bad format, bad CRC, malformed tuples). */
N_EXPORT int n_pkt_parse(n_pkt *pkt, const unsigned char *buf, unsigned int len);

/* Pointers into the record (44 location / 8 identifier bytes); null with 22 for a null packet. */
N_EXPORT unsigned char *n_pkt_get_location(n_pkt *pkt);
N_EXPORT unsigned char *n_pkt_get_srcid(n_pkt *pkt);
/* Sequence byte 0..255, or -1 with 22. */
N_EXPORT int n_pkt_get_seq(n_pkt *pkt);
/* 1 when an acknowledgement of this packet was sent, else 0; -1 with 22. */
N_EXPORT int n_pkt_get_ack(n_pkt *pkt);
/* Header setters; mark the field as set by the caller. Location returns 1, the others 0; -1 with 22. */
N_EXPORT int n_pkt_set_location(n_pkt *pkt, const unsigned char *loc);
N_EXPORT int n_pkt_set_srcid(n_pkt *pkt, const unsigned char *id);
N_EXPORT int n_pkt_set_seq(n_pkt *pkt, uint8_t seq);
/* Dotted text of the location / identifier into buf (cut to size), or, when
 * buf is null, a static buffer of the calling thread; null with 22. */
N_EXPORT char *n_pkt_get_location_str(n_pkt *pkt, char *buf, size_t size);
N_EXPORT char *n_pkt_get_srcid_str(n_pkt *pkt, char *buf, size_t size);
/* Dotted-text setters: exactly 44 numbers; 8 numbers, or 4 meaning 1.1.1.1.a.b.c.d. -1 with 22 otherwise. */
N_EXPORT int n_pkt_set_location_str(n_pkt *pkt, const char *text);
N_EXPORT int n_pkt_set_srcid_str(n_pkt *pkt, const char *text);
/* Prints the packet to standard output; returns the character count of the last print. */
N_EXPORT int n_describe_pkt(n_pkt *pkt);

/* CRC-16/XMODEM over len bytes, chained through the register bytes; 1, or -1 with 13 (null data, len 0). */
N_EXPORT int n_util_crc16(const unsigned char *data, unsigned int len, unsigned char *crc_hi, unsigned char *crc_lo);
/* Writes the CRC of the first len-2 bytes into the last two; 1, or -1 with 22 (len < 2, null) or 42 (len 2). */
N_EXPORT int n_util_crc16_append(unsigned char *frame, unsigned int len);
/* 1 when the CRC over all len bytes is 0, else 0; -1 with 42 for null or len 0. */
N_EXPORT int n_util_crc16_check(const unsigned char *frame, unsigned int len);

/* New detached tuple (len is cut to 8 bits); data copied when given. Null with 12. Caller frees. */
N_EXPORT n_acl *n_acl_new(const unsigned char *type, const unsigned char *data, uint16_t len);
N_EXPORT n_acl *n_acl_new_str(const char *name, const unsigned char *data, uint16_t len);
/* Stores the data pointer in *out and returns the length; 255 with 22 for a null tuple. */
N_EXPORT uint8_t n_acl_get_data(n_acl *tuple, unsigned char **out);
/* Pointer to the 2 type bytes; null with 22. */
N_EXPORT unsigned char *n_acl_get_type(n_acl *tuple);
/* 3-letter type name into buf (4 bytes) or a static buffer of the calling thread; null with 22. */
N_EXPORT char *n_acl_get_type_str(n_acl *tuple, char *buf);
/* Appends a tuple (the packet takes it over); 0, or -1 with 22 (null) or 227 (64-byte or oversize rule). */
N_EXPORT int n_acl_add_tuple(n_pkt *pkt, n_acl *tuple, int oversize);
/* Creates and appends a tuple; 0, or -1 with 22 or 227. A refused new tuple is freed. */
N_EXPORT int n_acl_add(n_pkt *pkt, const unsigned char *type, const unsigned char *data, uint16_t len, int oversize);
N_EXPORT int n_acl_add_str(n_pkt *pkt, const char *name, const unsigned char *data, uint16_t len, int oversize);
/* Detaches a tuple (the caller then owns it); 0, or -1 with 22 or 225 (not in the packet). */
N_EXPORT int n_acl_remove_tuple(n_pkt *pkt, n_acl *tuple);
/* First tuple / tuple after `tuple`; null at the end, or null with 22 (null packet or no tuples). */
N_EXPORT n_acl *n_acl_first(n_pkt *pkt);
N_EXPORT n_acl *n_acl_next(n_pkt *pkt, n_acl *tuple);
/* Position of the first tuple of a type (found tuple in *out); -1 with 22 or 225. */
N_EXPORT int n_acl_findfirst(n_pkt *pkt, const unsigned char *type, n_acl **out);
N_EXPORT int n_acl_findfirst_str(n_pkt *pkt, const char *name, n_acl **out);
/* Distance to the next tuple of tuple's type; -1 with 22, 9 (no tuples) or 225. */
N_EXPORT int n_acl_findnext(n_pkt *pkt, n_acl *tuple, n_acl **out);

/* Packs 3 characters into a 2-byte type code (out, or a static buffer of the calling thread); returns the buffer. */
N_EXPORT unsigned char *n_util_str2acl(const char *name, unsigned char *out);
/* Unpacks a 2-byte code into 3 lower-case characters and a NUL (buf, or a static buffer of the calling thread). */
N_EXPORT char *n_util_acl2str(const unsigned char *code, char *buf);
/* Packs text in groups of 3 into 2-byte codes; returns 2 * ceil(textlen / 3). */
N_EXPORT int n_util_3to2(unsigned char *out, const char *text, int textlen);
/* Unpacks 2-byte codes into 3 characters each and a NUL; returns 3 * codeslen / 2. */
N_EXPORT int n_util_2to3(char *out, const unsigned char *codes, int codeslen);

/* ------------------------------------------------------------------ text forms and location */

/* Decodes at most max dotted decimal fields; count (1..max), max + 1 when longer, -1 with 42
 * (bad character, value above 255) or 22 (null pointer, negative max). */
N_EXPORT int n_util_decode_dot(unsigned char *out, const char *text, int max);
/* Escaped stream form (0x00 body 0xC0) of src into dst (never past dstlen); returns the size the
 * whole form needs (INT_MAX when it needs more), or -1 with 22 for a null pointer with a length. */
N_EXPORT int n_util_escape(unsigned char *dst, const unsigned char *src, int srclen, int dstlen);
/* Decodes one escaped frame; returns the decoded size (may exceed dstlen), or -1 with 42. */
N_EXPORT int n_util_unescape(unsigned char *dst, const unsigned char *src, int srclen, int dstlen);

/*
 * Raw location, 44 bytes:
 *   0..15 root | 16..21 node 1 | 22..27 node 2 | 28..33 node 3 | 34..39 node 4 | 40 x | 41 y | 42 z | 43 deviation
 * Node names are 9 characters packed as three type codes; a coordinate byte is
 * a 6-bit mantissa and a 2-bit power of ten (0..63000).
 */
N_EXPORT void n_util_location2raw(const unsigned char *root, const char *node1, const char *node2,
                                  const char *node3, const char *node4, int32_t x, int32_t y, int32_t z,
                                  uint8_t deviation, unsigned char *out);
/* Splits a raw location: 16 root bytes, four 10-byte names, the decoded coordinates, the deviation. */
N_EXPORT void n_util_raw2location(unsigned char *root, char *node1, char *node2, char *node3, char *node4,
                                  int32_t *x, int32_t *y, int32_t *z, uint8_t *deviation,
                                  const unsigned char *raw);

/* ------------------------------------------------------------------ sockets */

#define SOCKET_CLEANFLAG  0x00
#define SOCKET_BOUND      0x01
#define SOCKET_AUTOACK    0x02
#define SOCKET_RECV_ALL   0x04
#define SOCKET_FRAG       0x08
#define SOCKET_LOWFLAG    0x0f
#define SOCKET_BROADCAST  0x10
#define SOCKET_BLOCKING   0x20

#define SOCKET_MAX_DESTINATIONS 10
#define SOCKET_RECV_BUFFER      311

/* Opens a UDP socket (addresses in network byte order, 0 = discover the interfaces); descriptor or -1. */
N_EXPORT int n_socket_open(uint32_t local_addr, uint32_t dest_addr, uint16_t port);
/* Closes the socket; the system close result, or -1 with 22. */
N_EXPORT int n_socket_close(int fd);

N_EXPORT int n_socket_set_ipdest(int fd, const unsigned char *addr);
N_EXPORT int n_socket_set_ipdest_str(int fd, const char *text);
/* Destinations from interface discovery; number of destinations, or -1 (22, 19). */
N_EXPORT int n_socket_set_ipdest_all(int fd);
/* Shortens the destination list to n (0 < n < current); 1, or -1 (9, 22). */
N_EXPORT int n_socket_set_num_interfaces(int fd, int n);
N_EXPORT int n_socket_set_ipsrc(int fd, const unsigned char *addr);
N_EXPORT int n_socket_set_ipsrc_str(int fd, const char *text);
N_EXPORT int n_socket_set_ipsrc_all(int fd);
N_EXPORT int n_socket_set_id(int fd, const unsigned char *id);
N_EXPORT int n_socket_set_id_str(int fd, const char *text);
N_EXPORT int n_socket_set_loc(int fd, const unsigned char *loc);
N_EXPORT int n_socket_set_loc_str(int fd, const char *text);
N_EXPORT int n_socket_set_retry(int fd, int count, int milliseconds);
/* Sets (value 1) or clears (value 0) option bits; 0, or -1 with 22. */
N_EXPORT int n_socket_set_option(int fd, int mask, int value);
/* The acknowledgement history of requests without an identifier: with n of
 * 1 or more, every request sequence byte of each pair of nodes (receiving
 * socket's identifier, sender) taken within retry x timeout ms of the
 * receiving socket (the sender's retry window) is remembered, up to 127
 * behind the newest; a request with one of them again is a repeat
 * (acknowledged again, not delivered). With n below 1 nothing is
 * remembered. Returns 1, or -1 with 22 for n above 128 (a sequence byte
 * cannot tell more apart). Requests with an identifier (below) are
 * remembered by it. */
N_EXPORT int n_socket_set_lastacks(int n);

N_EXPORT int n_socket_get_option(int fd, int mask);
N_EXPORT int n_socket_get_blocking(int fd);
N_EXPORT int n_socket_get_broadcast(int fd);
N_EXPORT unsigned char *n_socket_get_id(int fd);
N_EXPORT unsigned char *n_socket_get_loc(int fd);
/* New 4-byte buffers, owned by the caller (free()). */
N_EXPORT unsigned char *n_socket_get_ipdest(int fd, int index);
N_EXPORT unsigned char *n_socket_get_ipsrc(int fd);
N_EXPORT int n_socket_get_num_interfaces(int fd);
N_EXPORT int n_socket_get_retry(int fd);
N_EXPORT int n_socket_get_timeout(int fd);
N_EXPORT uint16_t n_socket_get_port(int fd);
N_EXPORT uint8_t n_socket_get_last_seq(int fd);
N_EXPORT int n_socket_get_lastacks(void);

/* Local IPv4 interfaces (non-loopback first, then loopback) with their broadcast addresses;
 * capacity is the size of each array in bytes. Count, or -1 with 19. */
N_EXPORT int n_util_get_local_interfaces(uint32_t *addrs, uint32_t *broadcasts, int capacity);
/* First interface address and its broadcast address; returns 1. */
N_EXPORT int n_util_get_local_addresses(uint32_t *addr_out, uint32_t *broadcast_out);

/* Sends the packet as one frame to every destination; 1 when any took it, else -1 (22, 227, 12).
 * When the system refused the datagram for every destination, n_util_syserr() holds the first
 * refusal's errno and n_errno the number that fits it: 11 (no buffer space), 12, 13 (not
 * permitted), 9, 22 (too long), else 227 (an unreachable network or host, ...); 225 without any
 * destination. */
N_EXPORT int n_socket_send(int fd, n_pkt *packet);
/* Sends bytes unchanged to every destination; 1, or -1 (22, or a refusal as n_socket_send). */
N_EXPORT int n_socket_send_raw(int fd, const unsigned char *data, int length);

/* Receives, checks and classifies one frame; a new packet (caller frees) or null (9, 11, 12, 42, 226, 227). */
N_EXPORT n_pkt *n_socket_recv(int fd, int ack_fd);
/* Reads one datagram into buffer; byte count, or -1 (9, 22, 226, or 11 when nothing is waiting on
 * a non-blocking socket; the read's errno in n_util_syserr). */
N_EXPORT int n_socket_recv_raw(int fd, unsigned char *buffer, int size);
/* Waits for readability: 1 readable, 0 timed out, -1 failure (9, 22 for a negative time). A
 * signal that interrupts the wait does not end it before its time, and it ends within a
 * millisecond of it. */
N_EXPORT int n_socket_select(int fd, struct timeval *timeout);

/* Appends "CAD" naming dest_id and sends once (oversize packets start a fragmented transfer,
 * and no socket option changes: it advances while a socket with SOCKET_FRAG receives). */
N_EXPORT int n_socket_send_addressed(int fd, n_pkt *packet, const unsigned char *dest_id);
N_EXPORT int n_socket_send_addressed_str(int fd, n_pkt *packet, const char *dest_text);
/*
 * Sends until the addressed node acknowledges (up to retry times, timeout ms
 * apart); the last transmission's result. -1 with 22, 12, or 227, whose
 * cause n_util_syserr() tells: ETIMEDOUT no acknowledgement came, EBADMSG
 * the node replied without "CAC", or the errno of a bind that recv_fd was
 * refused (it could never hear the reply: nothing is sent). A first
 * transmission that nothing took ends the call with that send's error
 * (n_socket_send); a full send buffer (11) is retried instead. 9 when a
 * socket closes meanwhile. An oversize packet starts a fragmented transfer
 * instead, and turns on SOCKET_FRAG on recv_fd, where its acknowledgements
 * are read (as n_socket_send_buffer does for both sockets).
 */
N_EXPORT int n_socket_send_acked(int send_fd, int recv_fd, n_pkt *packet, const unsigned char *dest_id);
N_EXPORT int n_socket_send_acked_str(int send_fd, int recv_fd, n_pkt *packet, const char *dest_text);

/* Prints the socket's settings to standard output. */
N_EXPORT int n_describe_socket(int fd);

/* Like n_socket_recv, but waits at most timeout_ms milliseconds whatever the
 * socket's blocking mode (0: only what is waiting now; negative: no limit).
 * Fragment timers are served during the wait. The wait ends within a
 * millisecond of its time, and of each fragment timer's. Null with 11 when
 * the time ran out, 9 when the socket is closed by another thread
 * meanwhile. */
N_EXPORT n_pkt *n_socket_recv_timeout(int fd, int ack_fd, int timeout_ms);
/* Receives as n_socket_recv_timeout does, and hands out the frame's bytes
 * instead of a packet: the frame as it came (header, tuples, CRC) goes into
 * buffer, which holds at least SOCKET_RECV_BUFFER bytes (the longest frame a
 * socket reads; 22 before anything is read otherwise), the sender into *from
 * and the packet's PACKET_ bits into *flags (PACKET_ACK_SENT: this node
 * acknowledged it on receipt); from and flags may be null. With filter_id
 * (a filter chain; 0 for none) only frames that pass it are handed out, as
 * n_socket_recv_filtered does: a request the chain refuses is not
 * acknowledged, and the wait goes on for the next frame until its time runs
 * out (past it, only frames waiting already are read; 11 when none passes).
 * The frame's length, or -1 with the numbers of n_socket_recv_timeout or the
 * filter's error. One call, where a packet takes one to receive it, one for
 * each field and tuple read, and one to free it. */
N_EXPORT int n_socket_recv_frame(int fd, int ack_fd, int timeout_ms, int filter_id, unsigned char *buffer, int size,
                                 struct sockaddr_in *from, uint32_t *flags);

/* Event-loop integration: milliseconds until a fragment timer served by
 * receiving on fd can next change anything (0: due now), or -1 when no
 * transfer waits on a timer (-1 with 9 for an unknown socket). */
N_EXPORT int n_socket_next_timer(int fd);
/* Runs the fragment timers that are due, with fd's settings, without reading;
 * 0, or -1 with 9. */
N_EXPORT int n_socket_serve_timers(int fd);

/* Counters of one socket, since it was opened or last reset. Later
 * releases may add members at the end, never move one: ask for the
 * counters with n_socket_get_stats_sized(fd, &stats, sizeof stats), which
 * fills only what the caller's record holds. */
typedef struct n_socket_stats {
    uint64_t frames_sent;         /* frames handed to the network (once per frame, not per destination) */
    uint64_t frames_received;     /* datagrams read that parsed as frames */
    uint64_t frames_rejected;     /* datagrams that did not parse: CRC, length, format, truncation */
    uint64_t not_for_us;          /* frames addressed to another node */
    uint64_t duplicates;          /* repeated requests and repeated parts (acknowledged again, not delivered) */
    uint64_t acks_sent;           /* acknowledgements sent through this socket */
    uint64_t acks_received;       /* acknowledgements received on this socket */
    uint64_t retransmissions;     /* requests and parts sent again */
    uint64_t transfers_started;   /* fragmented transfers started, both directions */
    uint64_t transfers_finished;
    uint64_t transfers_aborted;
    uint64_t transfers_refused;   /* first parts refused by the limits, or while a transfer is held */
    uint64_t stray_fragments;     /* fragments and acknowledgements that belong to no transfer */
    uint64_t transfers_evicted;   /* slow receiving transfers aborted to make room for a new one (also aborted) */
    uint64_t kernel_drops;        /* datagrams the system dropped before they were read (a full receive buffer,
                                     a bad checksum); counted only after n_socket_set_kernel_drops(fd, 1) */
    uint64_t rtt_ms;              /* smoothed round trip to the peer last measured (0: none yet); not reset */
    uint64_t rto_ms;              /* the wait before a resend to that peer, as now estimated; not reset */
    /* From 0.1.1, filled by n_socket_get_stats_sized only: */
    uint64_t requests_refused;    /* requests neither acknowledged nor delivered: refused by the receive's filter,
                                     the request memory full or the request too old to tell from a repeat, or the
                                     socket keeping its quiet start */
} n_socket_stats;

/* Copies the socket's counters into out, whose size in bytes the caller
 * gives (sizeof of its n_socket_stats): the counters that fit whole, never a
 * byte past size. Returns the number of bytes filled, at most this
 * library's sizeof (n_socket_stats) (members of a larger record beyond it
 * are left as they were), or -1 with 9 (unknown socket) or 22 (null out). */
N_EXPORT int n_socket_get_stats_sized(int fd, n_socket_stats *out, size_t size);
/* The counters of the record as it was up to 0.1.0, from frames_sent to
 * rto_ms (136 bytes): programs built before n_socket_get_stats_sized keep
 * working; later members are left alone. 0, or -1 with 9 or 22. */
N_EXPORT int n_socket_get_stats(int fd, n_socket_stats *out);
/* Sets the socket's counters to 0 (not the rtt_ms and rto_ms gauges); 0, or -1 with 9. */
N_EXPORT int n_socket_reset_stats(int fd);
/* With on != 0, n_socket_get_stats fills kernel_drops from the system's own
 * drop counter of the socket, counted from this call (or the last reset).
 * The socket then reads back its own frames for other nodes rather than
 * letting the kernel drop them, so that the count holds losses only.
 * 0, or -1 with 9. */
N_EXPORT int n_socket_set_kernel_drops(int fd, int on);

/* What the library did with a datagram, for the trace hook. */
typedef enum n_trace_event {
    N_TRACE_SENT = 1,          /* a frame went out (the application's, or a retransmission) */
    N_TRACE_DELIVERED,         /* a received frame handed to the application */
    N_TRACE_REJECTED,          /* a datagram that did not parse; `reason` says why */
    N_TRACE_NOT_FOR_US,        /* addressed to another node, dropped */
    N_TRACE_DUPLICATE,         /* a repeated request or part: acknowledged again, not delivered */
    N_TRACE_ACK_SENT,          /* an acknowledgement went out */
    N_TRACE_ACK_RECEIVED,      /* an acknowledgement came in */
    N_TRACE_PART_STORED,       /* a part of a transfer was stored */
    N_TRACE_PART_SENT,         /* a part of a transfer went out for the first time */
    N_TRACE_PART_RESENT,       /* a part of a transfer went out again */
    N_TRACE_IGNORED,           /* a fragment or acknowledgement that belongs to no transfer */
    N_TRACE_TRANSFER_FINISHED, /* a transfer finished (either direction) */
    N_TRACE_TRANSFER_ABORTED,  /* a transfer was aborted; `reason` says why */
    N_TRACE_TRANSFER_REFUSED,  /* a first part refused; `reason` says why */
    N_TRACE_RECEIVED,          /* a datagram was read, before the library acts on it */
    N_TRACE_REQUEST_REFUSED    /* a request neither acknowledged nor delivered; `reason` says why */
} n_trace_event;

/* Handed to the trace hook by the library, which may add members at the
 * end in a later release (a hook reads only those it knows). */
typedef struct n_trace_info {
    n_trace_event event;
    int fd;                          /* the socket concerned */
    const unsigned char *bytes;      /* the datagram (null for events without one) */
    size_t len;
    const struct sockaddr_in *peer;  /* sender of a received datagram; null for sent ones */
    const char *reason;              /* short text for rejections and aborts, else null */
    /* Where the datagram went: for a sent one every destination that took it
     * (to_count of them), for N_TRACE_RECEIVED the address it was sent to,
     * with the socket's port (0.0.0.0 when the system did not say); null
     * and 0 for other events. */
    const struct sockaddr_in *to;
    size_t to_count;
} n_trace_info;

/* Called for every datagram sent or received and every transfer event, in
 * the thread that caused it, never while the library holds a lock (an event
 * raised under one reaches the hook once it is let go): the hook may call
 * any function of the library; events it causes itself reach it after it
 * returns. The info and its bytes are valid during the call only. */
typedef void (*n_trace_fn)(const n_trace_info *info, void *user);

/* Installs (or, with a null fn, removes) the process-wide trace hook. */
N_EXPORT void n_set_trace(n_trace_fn fn, void *user);
/* Name of an event ("sent", "delivered", ...); "unknown" for other values. */
N_EXPORT const char *n_trace_event_name(int event);

/* ------------------------------------------------------------------ events */

/*
 * Acknowledged sends without blocking, and what happens to transfers, for
 * programs with an event loop. n_socket_send_acked_start does what
 * n_socket_send_acked does up to its first transmission and returns at
 * once; the library then resends and gives up as n_socket_send_acked would,
 * while the application receives on recv_fd (n_socket_recv and its kin, or
 * n_socket_serve_timers when n_socket_next_timer says so), and queues the
 * outcome on recv_fd as an event. Transfers queue an event on their socket
 * when a receiving one starts, and when any finishes or is aborted.
 * n_socket_next_event takes the oldest event. A socket keeps the last 1024
 * transfer events that nobody took; outcomes of acknowledged sends are never
 * dropped.
 */
typedef enum n_event_kind {
    N_EVENT_ACKED = 1,          /* the request was acknowledged by the node it addressed */
    N_EVENT_NOT_ACKED,          /* it was not: error (227, or 9 for a socket closed meanwhile) and syserr
                                   (ETIMEDOUT no reply in time, EBADMSG a reply without "CAC") say why */
    N_EVENT_TRANSFER_STARTED,   /* a receiving transfer started: peer, type, length (-1 when not announced) */
    N_EVENT_TRANSFER_FINISHED,  /* a transfer finished: peer, receiving, type, length */
    N_EVENT_TRANSFER_ABORTED    /* a transfer was aborted: peer, receiving, type, reason */
} n_event_kind;

typedef struct n_event {
    int kind;                   /* n_event_kind */
    int fd;                     /* the socket it was queued on */
    uint64_t request;           /* acknowledged sends: the number n_socket_send_acked_start returned */
    unsigned char peer[8];      /* the addressed node, or the transfer's peer */
    int error;                  /* N_EVENT_NOT_ACKED: the library's number */
    int syserr;                 /* N_EVENT_NOT_ACKED: the system's cause */
    int receiving;              /* transfers: 1 receiving, 0 sending */
    unsigned char type[2];      /* transfers: the type of the data tuple */
    int64_t length;             /* transfers: the announced length (started) or the whole (finished); -1 unknown */
    const char *reason;         /* aborts: why, a static text; null otherwise */
} n_event;

/* Starts an acknowledged send (as n_socket_send_acked: the packet gets
 * "CAD" and "CAC"; an oversize packet starts a transfer instead and returns
 * 0) and returns its number (1 or more) once the first transmission went
 * out, or -1 with n_socket_send_acked's numbers. Its outcome comes as an
 * event on recv_fd. */
N_EXPORT int64_t n_socket_send_acked_start(int send_fd, int recv_fd, n_pkt *packet, const unsigned char *dest_id);
/* Takes the socket's oldest event into *ev, of which `size` bytes are filled
 * (pass sizeof *ev: a newer library fills only what an older n_event
 * holds). 1 when there was one, 0 when none, -1 with 9 (unknown socket) or
 * 22 (null ev, or size below the first two members). */
N_EXPORT int n_socket_next_event(int fd, n_event *ev, size_t size);

/* ------------------------------------------------------------------ filters */

#define FILTER_TYPE_LOCATION      0x1
#define FILTER_TYPE_ID            0x2
#define FILTER_TYPE_ACL           0x4
/* Tests the type of the tuple at a 0-based position, counted from the first
 * tuple of the packet. Raw argument: 3 bytes {type 0, type 1, position}.
 * Pattern (FILTER_MODE_WILDCARD): "t0.t1.pos", the two type bytes and the
 * position; '?' or '*' as the position, or a pattern of fewer than three
 * fields, accepts the type at any position ("t0.t1" then acts like
 * FILTER_TYPE_ACL). Only the tuple's two type bytes are compared, never its
 * length byte. A position beyond the last tuple does not match. */
#define FILTER_TYPE_ACL_POSITION  0x8
#define FILTER_TYPE_FILTER        0x10
#define FILTER_TYPE_MASK          0xff
#define FILTER_CONCAT_AND         0x100
#define FILTER_CONCAT_OR          0x200
#define FILTER_CONCAT_MASK        0x300
#define FILTER_MODE_WILDCARD      0x400
#define FILTER_MODE_NOT           0x800000

#define FILTER_CODE_LITERAL       0x1000
#define FILTER_CODE_ANY           0x1100
#define FILTER_CODE_REST          0x1200

/* New empty chain (accepts everything); its id, or -1 with 12. name is kept, not copied. */
N_EXPORT int n_filter_create(const char *name);
/* Destroys a chain; 0, or -1 with 2. */
N_EXPORT int n_filter_destroy(int id);
/* Opaque handle of a chain for FILTER_TYPE_FILTER; null when none (n_errno untouched). */
N_EXPORT void *n_filter_arg(int id);
/* Appends an element to chain id: raw bytes of the type's length (44, 8, 2, 3),
 * or a dotted pattern such as "10.?.*" with FILTER_MODE_WILDCARD. With
 * FILTER_TYPE_FILTER, arg is an n_filter_arg handle whose chain is ANDed or
 * ORed into this one and consumed; an empty chain joined with OR adds
 * nothing, and ANDed into an empty chain it takes that chain's id. Returns
 * id, or -1 with 2 (no such chain), 12 (out of memory; both chains stay as
 * they were) or 22. */
N_EXPORT int n_filter_add(int id, int type, const void *arg);
/* 1 when the packet passes, 0 when not, -1 with 22 or 2. */
N_EXPORT int n_filter_apply(int id, n_pkt *pkt);
/* Prints the chain to standard output. */
N_EXPORT int n_describe_filter(int id);
/* Receives until a packet passes the chain (blocking), or null: 11 when a non-blocking receive
 * found nothing that passes, a failed receive's own number (9, 11, 12, 42, 226, 227, as
 * n_socket_recv), or the filter's error. */
N_EXPORT n_pkt *n_socket_recv_filtered(int fd, int ack_fd, int filter_id);

/* ------------------------------------------------------------------ fragmentation */

#define FRAG_STATE_MASK  0x3
#define FRAG_ACTIVE      0
#define FRAG_FINISHED    1
#define FRAG_ABORTED     2
#define FRAG_RECEIVING   0x4

#define FRAG_PART_SIZE   45

/* One side of a fragmented transfer, named by the peer's 8-byte identifier; owned by the library. */
typedef struct n_frag n_frag;

/* The fragmentation of a peer; null with 22 (null id) or 225 (none). The
 * record stays the library's: another thread's n_frag_delete, or the timers'
 * reclaim of an aborted transfer, may free it at any time, so a program with
 * threads uses n_frag_get_status and n_frag_get_progress instead. */
N_EXPORT n_frag *n_frag_get_frag(const unsigned char *id);
/* Starts a sending fragmentation (data copied) and sends its first part; the send's result or -1 (13, 12, 22). */
N_EXPORT int n_frag_init_send(int fd, const unsigned char *id, const unsigned char *data, uint32_t len,
                              const unsigned char *type);
/* Sends the part in flight again or the next one; 1, or -1 (22, 227). */
N_EXPORT int n_frag_next_part(const unsigned char *id);
/* Records the acknowledgement of the part in flight; 1 or -1. */
N_EXPORT int n_frag_acked(const unsigned char *id);
/* Releases the data and marks the fragmentation aborted; 1 or -1. */
N_EXPORT int n_frag_abort(const unsigned char *id);
/* Removes a finished or aborted fragmentation; 1, or -1 with 227 while active. */
N_EXPORT int n_frag_delete(const unsigned char *id);
N_EXPORT int n_frag_get_status(const unsigned char *id, int mask);
N_EXPORT int n_frag_get_data_length(const unsigned char *id);
/* The fragmentation's own buffer in *out (not a copy); returns the total length or -1.
 * For one thread: the buffer goes with the transfer (n_frag_abort,
 * n_frag_delete, the timers); with threads, n_frag_copy_data copies it
 * under the transfer's lock. */
N_EXPORT int n_frag_get_data(const unsigned char *id, unsigned char **out);
N_EXPORT int n_describe_frag(const unsigned char *id);
/* Starts a receiving fragmentation from a fragment packet; 0 or -1 (13, 22, 227). */
N_EXPORT int n_frag_init_recv(int fd, n_pkt *pkt);
/* Stores the part carried by pkt; 0 or -1. */
N_EXPORT int n_frag_append(const unsigned char *id, n_pkt *pkt);
/* Writes the received data to a file; bytes written or -1. */
N_EXPORT int n_frag_get_data_file(const unsigned char *id, const char *path);

/* Copies a transfer's data (at most size bytes) into buf under the library's
 * lock, safe while other threads receive; returns the whole length, or -1
 * with 22. Prefer it to n_frag_get_data when several threads use the library. */
N_EXPORT int64_t n_frag_copy_data(const unsigned char *id, unsigned char *buf, size_t size);
/* Progress of a transfer: bytes acknowledged (sender) or stored (receiver)
 * in *done, the whole length in *total (-1 while a receiver does not know it
 * yet). Either pointer may be null. Returns the status word (FRAG_ state and
 * FRAG_RECEIVING), or -1 with 22. Lengths are 64-bit: no 2 GiB limit. */
N_EXPORT int n_frag_get_progress(const unsigned char *id, int64_t *done, int64_t *total);
/* Writes the next transfer that peer_id (any peer when null) starts on
 * socket fd to the file at path as its parts arrive, into a temporary file
 * created at once beside it: path + ".part", or path + ".part.N" when that
 * name is taken (whatever is there is never opened, followed, truncated or
 * removed). Once the transfer is complete and checked the temporary file is
 * renamed to path; when it is aborted the temporary file is removed. One
 * arrangement per socket and peer, used up by that transfer; a new one
 * replaces it (and removes its temporary file). 0, or -1 with 9 (unknown
 * socket, or one being closed), 22, 2 (no such directory), 13 (not permitted) or 16 (no free
 * temporary name): a transfer is never taken into memory instead. */
N_EXPORT int n_frag_recv_file(int fd, const unsigned char *peer_id, const char *path);
/* As n_frag_recv_file; with FRAG_FILE_KEEP_PARTIAL an aborted transfer (sender
 * gone, n_frag_abort, its socket closed) leaves what was received, a prefix
 * of the data sent, at path instead of nothing. */
#define FRAG_FILE_KEEP_PARTIAL 0x1
N_EXPORT int n_frag_recv_file_opts(int fd, const unsigned char *peer_id, const char *path, int flags);

/*
 * Transfer descriptor. Transfers sent through a socket carry, between nodes
 * of this library, a "CAT" tuple (type bytes 0xD0 0x80) right after the
 * "CAC" tuple of every part, and receivers echo it in their
 * acknowledgements:
 *
 *   byte 0      flags: 0x01 first part, 0x02 last part, 0x04 acknowledgement echo, 0x08 part index,
 *               0x10 window, 0x20 parts stored, 0x40 parts held
 *   bytes 1..4  transfer nonce, big-endian (new for every transfer)
 *   then        total length, big-endian                     (with 0x01: the first part)
 *   then        CRC-32 (as zlib's crc32) of all the data, big-endian (with 0x02: the last part)
 *   then        part index counted from 0, big-endian         (with 0x08: every part and reply)
 *   then        window, 1 byte (with 0x10: offered by a first part, accepted by its reply)
 *   then        parts stored in order, big-endian             (with 0x20: replies in a window)
 *   then        16 bytes, bit i (byte i / 8, low bit first) for part stored + 1 + i held
 *               ahead of its turn                             (with 0x40: replies in a window)
 *
 * The part index tells a part, or its acknowledgement, from one 256 parts
 * older that has the same sequence byte. A receiver refuses a transfer longer
 * than announced and never delivers one whose CRC-32 differs (it aborts it
 * without acknowledging the last part). Only a part with the first-part
 * flag and index 0 starts a transfer; the nonces of ended transfers are
 * remembered (their late parts start nothing); a first part with a new
 * nonce replaces a transfer from the same node only when that one was not
 * heard for retry x timeout ms, or while it is silent and the new first part
 * keeps arriving (a restarted sender). Nodes that do not know the tuple pass
 * over it. On by default; n_socket_set_transfer_check(fd, 0) sends
 * the plain frames. 0, or -1 with 9.
 */
N_EXPORT int n_socket_set_transfer_check(int fd, int on);

/*
 * Transfer window, 64 parts by default. Between nodes of this
 * library a described transfer (n_socket_set_transfer_check) keeps up to
 * `parts` parts in flight: its first part offers the window (flag 0x10 of
 * the descriptor, one byte after the part index) and the receiver accepts
 * the smaller of the offer and its own setting in that part's
 * acknowledgement; a receiver that does not answer the offer gets the parts
 * one at a time, exactly as without it. In a window each part is
 * acknowledged by its index (each reply also tells the parts stored in
 * order and those held after them) and only parts not acknowledged are
 * sent again;
 * the sender starts with 2 parts in flight, adds parts while
 * acknowledgements come back and halves them when a part is lost; the last
 * part goes once every other one is acknowledged. A receiver holds parts
 * that arrive ahead of their turn, at most the window of them (window x 45
 * bytes of memory, counted with the transfer's bytes against the
 * max_bytes of n_socket_set_frag_limits), and ignores (counts as stray)
 * parts beyond it. The same setting is the offer of the socket's sending
 * transfers and the limit of the transfers it receives. 0 or 1 switch the
 * window off, at most 128 (sequence bytes wrap at 256). 0, or -1 with 9 or 22.
 */
N_EXPORT int n_socket_set_transfer_window(int fd, int parts);

/*
 * Request identifiers, on by default. Between nodes of this library an
 * acknowledged request carries an identifier that no restart or wrap of the
 * sequence byte repeats, in a "CAR" tuple (type bytes 0xC4 0x00) after its
 * "CAC": 4 bytes of a session drawn at random per peer, then 4 bytes of a
 * counter, big-endian. A receiver remembers it for two minutes after the
 * session's last request (or its resend window, when longer), so a resend
 * or a copy held back in the network is acknowledged again and never
 * delivered twice, and acknowledges with the identifier carried back (a
 * reply for one request never settles another). The identifier is
 * negotiated: a receiver of this library adds an empty "CAR" to the
 * acknowledgement of a request without one, and a sender adds identifiers
 * for a peer only once such an acknowledgement came from it, so a node
 * that knows only the sequence byte never finds the tuple in a request. A
 * packet whose sequence number the caller set goes without identifier: the
 * caller chose what counts as a repeat.
 * Memory: at most 8192 sessions (about 1.5 MiB) and 4096 pairs of nodes
 * without identifiers; when full, requests of new sessions or pairs are
 * refused (neither acknowledged nor delivered), never old ones forgotten.
 * n_socket_set_request_ids(fd, 0) sends plain requests and acknowledgements
 * and takes every request by its sequence byte. 0, or -1 with 9.
 */
N_EXPORT int n_socket_set_request_ids(int fd, int on);

/*
 * Quiet start, off by default. A receiver that restarts forgets which
 * requests and transfers it took; a resend of one taken before the restart
 * would be delivered again. With n_socket_set_quiet_start(fd, 1) the socket
 * takes no new request and no new transfer (neither acknowledged nor
 * delivered) until retry x timeout ms (its senders' resend window) have
 * passed since n_socket_open, as TCP keeps quiet after a restart. 0, or -1
 * with 9.
 */
N_EXPORT int n_socket_set_quiet_start(int fd, int on);

/*
 * Adaptive resends, on by default. A part of a transfer, or an acknowledged
 * send (n_socket_send_acked), is sent again once the peer's measured round
 * trip says its acknowledgement is late, not only after the socket's
 * `timeout`: a retransmission timeout per peer kept as TCP keeps it (the
 * smoothed round trip plus four times its mean deviation; no sample from
 * anything sent more than once; doubled for each timeout in a row; at least
 * 4 ms and at most `timeout`, which it is until the first sample). The
 * give-up rule keeps its meaning in time: a part, or an acknowledged send,
 * is given up only when retry x timeout ms passed without its
 * acknowledgement, however many faster resends went out meanwhile. The
 * frames on the wire are those of the plain rule, only earlier; receivers
 * are unchanged. n_socket_set_adaptive_retry(fd, 0) restores the plain
 * rule: a resend every `timeout` ms, `retry` of them. n_socket_stats shows
 * the estimate (rtt_ms, rto_ms). 0, or -1 with 9.
 */
N_EXPORT int n_socket_set_adaptive_retry(int fd, int on);

/*
 * What peers can make a socket hold: at most max_transfers receiving
 * transfers arriving on it at once, under way or finished and not yet taken
 * (default 16; aborted ones are reclaimed after 30 s), and at most max_bytes
 * in any one of them (default 256 MiB, up to 4 GiB - 1; applies to
 * transfers written to files too). A first part beyond a limit is not
 * acknowledged (refused and counted). The last quarter of the table takes
 * only a first part that came more than once; a full table evicts, for a
 * first part that keeps coming (three times over two timeouts), the
 * transfer silent longest among those under way for more than two timeouts
 * that store fewer than two parts per timeout on average or none for
 * retry x timeout (aborted, counted in transfers_evicted). Finished data
 * are never evicted. A transfer that grows beyond max_bytes is aborted. 0,
 * or -1 with 9 or 22.
 */
N_EXPORT int n_socket_set_frag_limits(int fd, int max_transfers, uint32_t max_bytes);

/* Transfer filter: a first part must pass filter chain filter_id (0: no
 * filter) to start a receiving transfer on the socket; one that does not is
 * refused, not acknowledged (its sender gives up and says so), so that what
 * the application would drop is never reported as delivered. 0, or -1 with
 * 9 or 22. */
N_EXPORT int n_socket_set_transfer_filter(int fd, int filter_id);

/* Sends a buffer / a file to one node as a fragmented transfer; the first part's send result or -1.
 * A regular file is read part by part as the transfer runs (up to 4 GiB - 1
 * bytes); a read error or a file that shrinks aborts the transfer. Anything
 * but a regular file (a pipe, a FIFO, a device, a directory) fails at once
 * with 22, as a file that cannot be opened (the open's errno in
 * n_util_syserr): send its bytes as a buffer. */
N_EXPORT int n_socket_send_buffer(int fd, int ack_fd, const unsigned char *data, int len,
                                  const unsigned char *dest_id, const unsigned char *type);
N_EXPORT int n_socket_send_buffer_str(int fd, int ack_fd, const unsigned char *data, int len,
                                      const char *dest_text, const char *type_name);
N_EXPORT int n_socket_send_file(int fd, int ack_fd, const char *path, const unsigned char *dest_id,
                                const unsigned char *type);

#ifdef __cplusplus
}
#endif

#endif /* NIMBET_NIMBET_H */
