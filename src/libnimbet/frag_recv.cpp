// The receiving side of a transfer: which fragments start, continue or repeat a transfer, and where the parts go.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ack.h"
#include "frag.h"
#include "trace.h"

using namespace nimbet;

namespace {

// A file that the next transfer from a peer (any peer when `any`) arriving
// on a socket is written to, part by part.
struct Sink {
    uint64_t serial;
    bool any;
    unsigned char peer[kIdLen];
    std::string path;
};
std::vector<Sink> g_sinks;

std::string part_path(const char *path) { return std::string(path) + ".part"; }

// Opens the file of an arrangement for a new transfer (and uses the
// arrangement up); false when there is none or the file cannot be made.
bool take_sink(n_frag *f, uint64_t serial)
{
    for (auto it = g_sinks.begin(); it != g_sinks.end(); ++it) {
        if (it->serial != serial || (!it->any && !same_id(it->peer, f->id)))
            continue;
        const std::string tmp = part_path(it->path.c_str());
        f->file = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (f->file >= 0)
            f->sink_path = strdup(it->path.c_str());
        g_sinks.erase(it);
        return f->file >= 0;
    }
    return false;
}

bool write_all(int fd, const unsigned char *data, std::size_t len, off_t at)
{
    while (len != 0) {
        const ssize_t n = ::pwrite(fd, data, len, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        len -= static_cast<std::size_t>(n);
        at += n;
    }
    return true;
}

// Writes the parts gathered in the window to the file; false when the file
// cannot take them.
bool flush_window(n_frag *f)
{
    if (f->window_len == 0)
        return true;
    const bool ok = write_all(f->file, f->window, f->window_len, static_cast<off_t>(f->window_pos));
    f->window_pos += f->window_len;
    f->window_len = 0;
    return ok;
}

// Gathers a part for the file in the window, written out a window at a time.
bool write_part(n_frag *f, const TupleAt &part)
{
    if (f->window == nullptr && (f->window = static_cast<unsigned char *>(std::malloc(kFileWindow))) == nullptr)
        return false;
    if (f->window_len + part.len > kFileWindow && !flush_window(f))
        return false;
    std::memcpy(f->window + f->window_len, part.data, part.len);
    f->window_len += part.len;
    return true;
}

void trace_part(n_trace_event e, socket_record *rec, const FrameView &view, const char *reason = nullptr)
{
    if (trace_enabled())
        trace_emit(e, rec->fd, view.bytes, view.len, view.from, reason);
}

void ignore(socket_record *arrival, const FrameView &view, const char *why)
{
    count(arrival->stats.stray_fragments);
    trace_part(N_TRACE_IGNORED, arrival, view, why);
}

void refuse(socket_record *arrival, const FrameView &view, const char *why)
{
    count(arrival->stats.transfers_refused);
    trace_part(N_TRACE_TRANSFER_REFUSED, arrival, view, why);
}

// Acknowledges a stored part (again) through the receiver's socket; in a
// transfer with a descriptor the acknowledgement echoes its nonce and index.
int acknowledge(socket_record *reply, const FrameView &view, const LastPart &part)
{
    if (reply == nullptr)
        return fail(kBadF);
    const Descriptor echo{true, static_cast<uint8_t>(kDescEcho | kDescIndex), part.nonce, 0, 0, part.index};
    return ack_reply(reply, ack_request_of(view), part.described ? &echo : nullptr);
}

// The last part arrived: checks it against the descriptor, then joins the
// data (or completes the file). False when the transfer was aborted instead.
bool complete(n_frag *f, const Descriptor &d)
{
    if (f->described && f->done_len != f->expected_total) {
        frag_abort(f, "length differs from the announced one");
        return false;
    }
    if (f->described && !(d.has(kDescLast) && d.crc == f->crc)) {
        frag_abort(f, "CRC-32 of the data differs from the sender's");
        return false;
    }
    if (f->sink_path != nullptr) {
        const std::string tmp = part_path(f->sink_path);
        const bool flushed = flush_window(f);
        const bool closed = ::close(f->file) == 0;
        const bool ok = flushed && closed;
        f->file = -1;
        if (!ok || ::rename(tmp.c_str(), f->sink_path) != 0) {
            ::unlink(tmp.c_str());
            frag_abort(f, "file cannot be written");
            return false;
        }
    } else {
        // When the joined buffer cannot be allocated the parts stay in the
        // chunks and the data read as missing.
        f->frag_data = chunk_stack_collect(f->frag_obstack);
    }
    f->total_len = f->done_len;
    frag_finish(f);
    return true;
}

// Stores the part a fragment carries in receiving transfer f, and
// acknowledges it. 0, or -1 with the error number (nothing acknowledged).
int take_part(n_frag *f, const FrameView &view, const Descriptor &d)
{
    if (!frag_receiving(f))
        return fail(kInval);
    // Finished data never change and an aborted fragmentation stays empty.
    if (frag_state(f) != FRAG_ACTIVE)
        return fail(kProto);
    if (!view.cac || view.cac.len < 1)
        return fail(kInval);
    const unsigned kind = cac_kind(view.cac.data[0]);
    if (kind != kKindFragment && kind != kKindLastFragment)
        return fail(kInval);
    const TupleAt part = find_tuple(view, f->data_type);
    if (!part)
        return fail(kInval);

    const uint64_t done = uint64_t{f->done_len} + part.len;
    const char *wrong = nullptr;
    if (done > f->max_bytes)
        wrong = "larger than the receiver's limit";
    else if (f->described && (done > f->expected_total || (kind == kKindFragment && done == f->expected_total)))
        wrong = "longer than the announced length";
    if (wrong != nullptr) {
        frag_abort(f, wrong);
        return fail(kProto);
    }
    if (f->sink_path != nullptr) {
        if (!write_part(f, part)) {
            frag_abort(f, "file cannot be written");
            return fail(kProto);
        }
    } else if (!chunk_stack_append(f->frag_obstack, part.data, part.len)) {
        return fail(kNoMem);
    }
    f->crc = crc32_update(f->crc, part.data, part.len);
    f->done_len = static_cast<uint32_t>(done);
    f->retries = f->sock != nullptr ? socket_retry(f->sock) : 0;
    f->last = {f->described, f->nonce, static_cast<uint32_t>(f->parts),
               view.cac.len >= 2 ? view.cac.data[1] : f->part_no, static_cast<uint8_t>(kind), part.len, {}};
    std::memcpy(f->last.data, part.data, part.len);
    f->part_no = static_cast<uint8_t>(f->part_no + 1);
    f->parts += 1;
    f->last_time = n_util_getmstime();
    if (f->sock != nullptr)
        trace_part(N_TRACE_PART_STORED, f->sock, view);
    if (kind == kKindLastFragment && !complete(f, d))
        return fail(kProto);
    return acknowledge(f->sock, view, f->last);
}

// Receiving transfers that hold (or will hold) data for a socket, and the
// aborted ones kept for it; the oldest aborted ones go when there are many.
int transfers_held(uint64_t serial, int max_aborted)
{
    int held = 0;
    int aborted = 0;
    n_frag *oldest = nullptr;
    for (n_frag *f : FragQueue::each(frag_list())) {
        if (!frag_receiving(f) || f->arrival != serial)
            continue;
        if (frag_state(f) != FRAG_ABORTED) {
            ++held;
        } else {
            ++aborted;
            if (oldest == nullptr || static_cast<int32_t>(f->ended - oldest->ended) < 0)
                oldest = f;
        }
    }
    if (aborted > max_aborted && oldest != nullptr)
        frag_remove(oldest);
    return held;
}

// A first part from a node that has no transfer with us: a new receiving
// transfer, unless a limit refuses it.
bool start(socket_record *arrival, socket_record *reply, const FrameView &view, const Descriptor &d)
{
    int max_transfers = 0;
    uint32_t max_bytes = 0;
    {
        std::lock_guard lock(arrival->mu);
        max_transfers = arrival->max_transfers;
        max_bytes = arrival->max_bytes;
    }
    const bool described = d.present && (d.flags & kDescFirst);
    if (transfers_held(arrival->serial, 4 * max_transfers) >= max_transfers) {
        refuse(arrival, view, "too many transfers at once");
        return false;
    }
    if (described && d.total > max_bytes) {
        refuse(arrival, view, "larger than the receiver's limit");
        return false;
    }
    n_frag *f = frag_new(reply, view.srcid(), view.first.type, true);
    if (f == nullptr)
        return false;
    f->arrival = arrival->serial;
    f->max_bytes = max_bytes;
    f->described = described;
    f->nonce = d.nonce;
    f->expected_total = d.total;
    take_sink(f, arrival->serial);
    frag_register(f, true);
    frag_forget_finished(f->id);
    count(reply->stats.transfers_started);
    return take_part(f, view, d) == 0;
}

// Writes a transfer's data to a file: every byte, or the call fails (a short
// write is never success). The length written, at most the largest int.
int write_data_file(n_frag *f, const char *path)
{
    const int result = f->total_len > INT_MAX ? INT_MAX : static_cast<int>(f->total_len);
    // A transfer written to this very file as it arrived is there already.
    if (f->sink_path != nullptr && frag_state(f) == FRAG_FINISHED && std::strcmp(f->sink_path, path) == 0)
        return result;
    if (f->frag_data == nullptr && frag_receiving(f) && frag_state(f) == FRAG_FINISHED)
        sink_load(f);
    const int out = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (out < 0)
        return fail(kInval);
    bool ok = true;
    uint32_t written = 0;
    if (f->frag_data != nullptr && f->total_len != 0) {
        ok = write_all(out, f->frag_data, f->total_len, 0);
        written = f->total_len;
    }
    if (::close(out) != 0 || !ok)
        return fail(kInval);
    return written > INT_MAX ? INT_MAX : static_cast<int>(written);
}

}  // namespace

namespace nimbet {

bool frag_on_fragment(socket_record *arrival, socket_record *reply, const FrameView &view)
{
    const uint8_t kind = static_cast<uint8_t>(cac_kind(view.cac.data[0]));
    const uint8_t seq = view.cac.data[1];
    const Descriptor d = read_descriptor(view);
    const bool first = d.present && (d.flags & kDescFirst);

    std::lock_guard lock(frag_mutex());
    n_frag *f = frag_find(view.srcid());
    if (f != nullptr && !frag_receiving(f)) {
        ignore(arrival, view, "a transfer to that node is registered");
        return false;
    }
    if (f != nullptr) {
        // A part of a transfer with a descriptor is the expected one by its
        // index; otherwise by the sequence byte, which counts parts modulo
        // 256 (after 256 stored parts the counter is 0 again).
        const bool expected = f->described ? d.has(kDescIndex) && d.nonce == f->nonce && d.index == f->parts
                                           : seq == f->part_no && !(first && f->parts > 0);
        switch (frag_state(f)) {
        case FRAG_ACTIVE:
            if (seq == 0 && first && (!f->described || d.nonce != f->nonce)) {
                // The sender started over (a new transfer, or a new process):
                // the old transfer will never complete.
                frag_abort(f, "restarted by its sender");
                frag_remove(f);
                return start(arrival, reply, view, d);
            }
            if (expected)
                return take_part(f, view, d) == 0;
            break;
        case FRAG_FINISHED:
            if (frag_repeated_part(f, view, kind, d) == nullptr && seq == 0) {
                // A new transfer while the application still holds the last
                // one: not acknowledged, so the sender tries again later.
                refuse(arrival, view, "previous transfer not yet taken");
                return false;
            }
            break;
        default:
            if (seq == 0) {
                frag_remove(f);
                return start(arrival, reply, view, d);
            }
            ignore(arrival, view, "transfer aborted");
            return false;
        }
        if (const LastPart *stored = frag_repeated_part(f, view, kind, d)) {
            // Stored already; its acknowledgement was lost.
            count(arrival->stats.duplicates);
            trace_part(N_TRACE_DUPLICATE, arrival, view);
            return acknowledge(f->sock, view, *stored) == 0;
        }
        ignore(arrival, view, "not the part expected");
        return false;
    }
    if (const LastPart *stored = frag_repeated_part(nullptr, view, kind, d)) {
        count(arrival->stats.duplicates);
        trace_part(N_TRACE_DUPLICATE, arrival, view);
        return acknowledge(reply, view, *stored) == 0;
    }
    // Only a first part starts a transfer: a late or repeated part of a
    // transfer that is gone would start one from its middle.
    if (seq != 0) {
        ignore(arrival, view, "part of no transfer");
        return false;
    }
    return start(arrival, reply, view, d);
}

void sink_discard(n_frag *f)
{
    if (f->file >= 0) {
        // What was received is written out all the same: an application
        // that keeps partial files has renamed OUTFILE.part already, and the
        // unlink below then finds nothing.
        flush_window(f);
        ::close(f->file);
        f->file = -1;
    }
    ::unlink(part_path(f->sink_path).c_str());
}

void sink_load(n_frag *f)
{
    if (f->sink_path == nullptr)
        return;
    const int fd = ::open(f->sink_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    auto *buf = static_cast<unsigned char *>(std::malloc(f->total_len != 0 ? f->total_len : 1));
    std::size_t got = 0;
    while (buf != nullptr && got < f->total_len) {
        const ssize_t n = ::pread(fd, buf + got, f->total_len - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (buf != nullptr && got == f->total_len)
        f->frag_data = buf;
    else
        std::free(buf);
}

void sinks_socket_closed(uint64_t serial)
{
    std::erase_if(g_sinks, [serial](const Sink &s) { return s.serial == serial; });
}

}  // namespace nimbet

extern "C" {

int n_frag_init_recv(int fd, n_pkt *pkt)
{
    if (pkt == nullptr)
        return fail(kInval);
    SocketRef rec = socket_acquire(fd);
    if (!rec)
        return fail(kInval);
    unsigned char buf[kMaxFrame];
    FrameView view;
    if (!frag_view_of_packet(pkt, buf, view))
        return fail(kInval);
    std::lock_guard lock(frag_mutex());
    if (n_frag *old = frag_find(pkt->srcid)) {
        if (frag_state(old) != FRAG_ABORTED)
            return fail(kAccess);
        n_frag *new_frag = old;
        N_ASSERT(!new_frag->frag_data && ChunkQueue::empty(new_frag->frag_obstack),
                 "!new_frag->frag_data && TAILQ_EMPTY(&new_frag->frag_obstack)");
        frag_remove(old);
    }
    const Descriptor d = read_descriptor(view);
    n_frag *f = frag_new(rec.get(), pkt->srcid, view.first.type, true);
    if (f == nullptr)
        return -1;
    f->arrival = rec->serial;
    {
        std::lock_guard slock(rec->mu);
        f->max_bytes = rec->max_bytes;
    }
    f->described = d.present && (d.flags & kDescFirst);
    f->nonce = d.nonce;
    f->expected_total = d.total;
    frag_register(f, true);
    count(rec->stats.transfers_started);
    const int stored = take_part(f, view, d);
    if (stored == 0)
        pkt->flags |= PACKET_ACK_SENT;
    return stored;
}

int n_frag_append(const unsigned char *id, n_pkt *pkt)
{
    unsigned char buf[kMaxFrame];
    FrameView view;
    if (pkt == nullptr || !frag_view_of_packet(pkt, buf, view))
        return fail(kInval);
    return with_frag(id, [&](n_frag *f) {
        const int stored = take_part(f, view, read_descriptor(view));
        if (stored == 0)
            pkt->flags |= PACKET_ACK_SENT;
        return stored;
    });
}

int n_frag_recv_file(int fd, const unsigned char *peer_id, const char *path)
{
    if (path == nullptr || *path == '\0')
        return fail(kInval);
    SocketRef rec = socket_acquire(fd);
    if (!rec)
        return fail(kBadF);
    std::lock_guard lock(frag_mutex());
    Sink s{rec->serial, peer_id == nullptr, {}, path};
    if (peer_id != nullptr)
        std::memcpy(s.peer, peer_id, kIdLen);
    std::erase_if(g_sinks, [&s](const Sink &o) {
        return o.serial == s.serial && o.any == s.any && (s.any || same_id(o.peer, s.peer));
    });
    g_sinks.push_back(std::move(s));
    return 0;
}

int n_frag_get_data_file(const unsigned char *id, const char *path)
{
    if (path == nullptr)
        return fail(kInval);
    return with_frag(id, [path](n_frag *f) { return write_data_file(f, path); });
}

}  // extern "C"
