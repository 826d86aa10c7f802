// Fragmentations: both sides of a transfer split into acknowledged parts of at most 45 bytes.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "_obstack.h"
#include "frag.h"
#include "internal.h"
#include "socket.h"

using namespace nimbet;

namespace {

TqHead<n_frag> g_registry = {nullptr, &g_registry.tqh_first};

using FragQueue = TailQueue<&n_frag::link>;

unsigned state_of(const n_frag *f) { return f->status & FRAG_STATE_MASK; }

bool is_receiving(const n_frag *f) { return (f->status & FRAG_RECEIVING) != 0; }

void set_state(n_frag *f, unsigned state)
{
    f->status = static_cast<uint16_t>((f->status & ~FRAG_STATE_MASK) | state);
}

// Releases the data of a fragmentation: the sender's copy, the joined
// buffer or the parts collected so far.
void release_data(n_frag *f)
{
    std::free(f->frag_data);
    f->frag_data = nullptr;
    chunk_stack_release(f->frag_obstack);
}

void remove_frag(n_frag *f)
{
    release_data(f);
    FragQueue::remove(g_registry, f);
    std::free(f);
}

// The retry budget of a socket; -1 (with 22) when the descriptor names no socket.
int socket_retry(int fd) { return n_socket_get_retry(fd); }

// Control byte of the part that starts at done_len: kind 1 while more than
// one part's worth remains, else kind 2 (the last part).
unsigned char part_control(const n_frag *f)
{
    return (f->total_len - f->done_len > FRAG_PART_SIZE) ? 2 : 4;
}

// Builds the fragment packet of the part in flight: the data tuple first (the
// receiver takes the transfer's type from it), then "CAD" naming the peer,
// then "CAC" with the control byte and the part counter. 48 + 11 + 5 bytes
// fill the 64-byte tuple area exactly. The caller frees the packet.
n_pkt *build_part(const n_frag *f, unsigned char control)
{
    n_pkt *pkt = n_pkt_alloc();
    if (pkt == nullptr)
        return nullptr;
    const unsigned char cac[2] = {control, f->part_no};
    const unsigned char *part = f->frag_data != nullptr ? f->frag_data + f->done_len : nullptr;
    if (n_acl_add(pkt, f->data_type, part, f->part_len, 0) < 0 ||
        n_acl_add(pkt, kTypeCAD, f->id, kIdLen, 0) < 0 || n_acl_add(pkt, kTypeCAC, cac, 2, 0) < 0) {
        n_pkt_free(pkt);
        n_errno = kNoMem;
        return nullptr;
    }
    return pkt;
}

int send_part(n_frag *f, unsigned char control)
{
    n_pkt *pkt = build_part(f, control);
    if (pkt == nullptr)
        return -1;
    const int sent = n_socket_send(f->socket, pkt);
    n_pkt_free(pkt);
    return sent;
}

}  // namespace

namespace nimbet {

n_frag *frag_new(int fd, const unsigned char *id, const unsigned char *type, bool receiving)
{
    // The record needs the socket's retry budget: a descriptor that names no
    // socket gets no fragmentation.
    const int retry = socket_retry(fd);
    if (retry < 0)
        return fail_null<n_frag>(kInval);
    auto *f = static_cast<n_frag *>(std::calloc(1, sizeof(n_frag)));
    if (f == nullptr)
        return fail_null<n_frag>(kNoMem);
    std::memcpy(f->id, id, kIdLen);
    f->data_type[0] = type[0];
    f->data_type[1] = type[1];
    f->status = receiving ? FRAG_RECEIVING : 0;
    f->socket = fd;
    f->retries = retry;
    f->last_time = n_util_getmstime();
    chunk_stack_init(f->frag_obstack);
    return f;
}

TqHead<n_frag> &frag_registry() { return g_registry; }

int frag_take_part(n_frag *f, n_pkt *pkt)
{
    if (!is_receiving(f))
        return fail(kInval);
    // Finished data never change and an aborted fragmentation stays empty.
    if (state_of(f) != FRAG_ACTIVE)
        return fail(kProto);
    n_acl *cac = nullptr;
    if (n_acl_findfirst(pkt, kTypeCAC, &cac) < 0 || cac->len < 1)
        return fail(kInval);
    const unsigned kind = cac_kind(cac->data[0]);
    if (kind != kKindFragment && kind != kKindLastFragment)
        return fail(kInval);
    n_acl *part = nullptr;
    if (n_acl_findfirst(pkt, f->data_type, &part) < 0)
        return fail(kInval);
    if (!chunk_stack_append(f->frag_obstack, part->data, part->len))
        return fail(kNoMem);
    f->done_len += part->len;
    const int retry = socket_retry(f->socket);
    f->retries = retry >= 0 ? retry : 0;
    f->part_no = static_cast<uint8_t>(f->part_no + 1);
    f->last_time = n_util_getmstime();
    if (kind == kKindLastFragment) {
        // When the joined buffer cannot be allocated the parts stay in the
        // chunks and the data read as missing.
        f->frag_data = chunk_stack_collect(f->frag_obstack);
        f->total_len = f->done_len;
        set_state(f, FRAG_FINISHED);
    }
    return send_ack_reply(f->socket, pkt);
}

}  // namespace nimbet

extern "C" {

n_frag *n_frag_get_frag(const unsigned char *id)
{
    if (id == nullptr)
        return fail_null<n_frag>(kInval);
    for (n_frag *f : FragQueue::each(g_registry))
        if (same_id(f->id, id))
            return f;
    return fail_null<n_frag>(kNotFound);
}

int n_frag_init_send(int fd, const unsigned char *id, const unsigned char *data, uint32_t len,
                     const unsigned char *type)
{
    if (id == nullptr || type == nullptr || (data == nullptr && len != 0))
        return fail(kInval);
    if (n_frag *old = n_frag_get_frag(id)) {
        if (state_of(old) != FRAG_ABORTED)
            return fail(kAccess);
        remove_frag(old);
    }
    n_frag *f = frag_new(fd, id, type, false);
    if (f == nullptr)
        return -1;
    f->frag_data = static_cast<unsigned char *>(std::malloc(len != 0 ? len : 1));
    if (f->frag_data == nullptr) {
        std::free(f);
        return fail(kNoMem);
    }
    if (len != 0)
        std::memcpy(f->frag_data, data, len);
    f->total_len = len;
    FragQueue::insert_tail(g_registry, f);
    f->part_len = static_cast<uint8_t>(len <= FRAG_PART_SIZE ? len : FRAG_PART_SIZE);
    // Stays registered when the first part cannot go out: the timers of the
    // receive path send it again.
    return send_part(f, part_control(f));
}

int n_frag_next_part(const unsigned char *id)
{
    n_frag *f = n_frag_get_frag(id);
    if (f == nullptr)
        return fail(kInval);
    if (f->status & ~FRAG_STATE_MASK)
        return fail(kProto);  // a receiving fragmentation sends no parts
    if (state_of(f) == FRAG_ABORTED)
        return fail(kProto);  // its data are gone: nothing to send
    if (state_of(f) == FRAG_FINISHED)
        return 1;
    const unsigned char control = part_control(f);
    // The part is in flight when it has bytes, or when the whole transfer is
    // the one empty part that the start already sent.
    const bool retransmission = f->part_len != 0 || f->total_len == 0;
    if (retransmission) {
        f->retries -= 1;
    } else {
        const uint32_t left = f->total_len - f->done_len;
        f->part_len = static_cast<uint8_t>(left < FRAG_PART_SIZE ? left : FRAG_PART_SIZE);
        const int retry = socket_retry(f->socket);
        f->retries = retry >= 0 ? retry : 0;
    }
    f->last_time = n_util_getmstime();
    return send_part(f, control) < 0 ? -1 : 1;
}

int n_frag_acked(const unsigned char *id)
{
    n_frag *f = n_frag_get_frag(id);
    if (f == nullptr)
        return fail(kInval);
    // Only a transfer under way advances: an acknowledgement can neither
    // revive an aborted transfer nor touch a receiving one.
    if (is_receiving(f) || state_of(f) != FRAG_ACTIVE)
        return fail(kProto);
    f->done_len += f->part_len;
    f->part_len = 0;
    f->part_no = static_cast<uint8_t>(f->part_no + 1);
    if (f->done_len == f->total_len)
        set_state(f, FRAG_FINISHED);
    return 1;
}

int n_frag_abort(const unsigned char *id)
{
    n_frag *f = n_frag_get_frag(id);
    if (f == nullptr)
        return fail(kInval);
    release_data(f);
    set_state(f, FRAG_ABORTED);
    return 1;
}

int n_frag_delete(const unsigned char *id)
{
    n_frag *f = n_frag_get_frag(id);
    if (f == nullptr)
        return fail(kInval);
    if (state_of(f) == FRAG_ACTIVE)
        return fail(kProto);
    remove_frag(f);
    return 1;
}

int n_frag_get_status(const unsigned char *id, int mask)
{
    n_frag *f = n_frag_get_frag(id);
    if (f == nullptr)
        return fail(kInval);
    return f->status & (mask & 0xffff);
}

int n_frag_get_data_length(const unsigned char *id)
{
    n_frag *f = n_frag_get_frag(id);
    if (f == nullptr)
        return fail(kInval);
    return static_cast<int>(f->total_len);
}

int n_frag_get_data(const unsigned char *id, unsigned char **out)
{
    n_frag *f = n_frag_get_frag(id);
    if (f == nullptr || out == nullptr)
        return fail(kInval);
    *out = f->frag_data;
    return static_cast<int>(f->total_len);
}

int n_describe_frag(const unsigned char *id)
{
    n_frag *f = id != nullptr ? n_frag_get_frag(id) : nullptr;
    if (f == nullptr)
        return std::printf("No Fragmentation registered\n");
    static const char *const kStateNames[] = {"ACTIVE\n", "FINISHED\n", "ABORTED\n", "ABORTED\n"};
    std::printf("Fragmentation with ID %u", id[0]);
    for (std::size_t i = 1; i < kIdLen; ++i)
        std::printf(".%u", id[i]);
    std::printf(" sending on socket %d \n", f->socket);
    std::printf(is_receiving(f) ? "RECIEVING Fragmentation in state " : "SENDING Fragmentation in state ");
    std::printf("%s", kStateNames[state_of(f)]);
    std::printf("Last packet with %u byte data was %u ms ago, %u possible retries\n", f->part_len,
                n_util_getmstime() - f->last_time, static_cast<unsigned>(f->retries));
    std::printf("Lenght of the complete File: %u (is always 0 if we are receiver of a non-finished frag),\n"
                " %u Bytes have already been send/received\n",
                f->total_len, f->done_len);
    return std::printf("File will be stored at %lu\n\n",
                       static_cast<unsigned long>(reinterpret_cast<uintptr_t>(f->frag_data)));
}

int n_frag_init_recv(int fd, n_pkt *pkt)
{
    if (pkt == nullptr)
        return fail(kInval);
    n_acl *first = n_acl_first(pkt);
    if (first == nullptr)
        return fail(kInval);
    if (n_frag *old = n_frag_get_frag(pkt->srcid)) {
        if (state_of(old) != FRAG_ABORTED)
            return fail(kAccess);
        n_frag *new_frag = old;
        N_ASSERT(!new_frag->frag_data && ChunkQueue::empty(new_frag->frag_obstack),
                 "!new_frag->frag_data && TAILQ_EMPTY(&new_frag->frag_obstack)");
        remove_frag(old);
    }
    n_frag *f = frag_new(fd, pkt->srcid, first->type, true);
    if (f == nullptr)
        return -1;
    FragQueue::insert_head(g_registry, f);
    return frag_take_part(f, pkt);
}

int n_frag_append(const unsigned char *id, n_pkt *pkt)
{
    n_frag *f = n_frag_get_frag(id);
    if (f == nullptr || pkt == nullptr)
        return fail(kInval);
    return frag_take_part(f, pkt);
}

int n_frag_get_data_file(const unsigned char *id, const char *path)
{
    n_frag *f = n_frag_get_frag(id);
    if (f == nullptr || path == nullptr)
        return fail(kInval);
    std::FILE *out = std::fopen(path, "wb");
    if (out == nullptr)
        return fail(kInval);
    std::size_t written = 0;
    if (f->frag_data != nullptr && f->total_len != 0)
        written = std::fwrite(f->frag_data, 1, f->total_len, out);
    if (std::fclose(out) != 0)
        return fail(kInval);
    return static_cast<int>(written);
}

}  // extern "C"
