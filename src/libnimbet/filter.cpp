// SPDX-License-Identifier: MIT
// Filter chains: the registry, building elements from raw bytes and patterns, joins, evaluation, description.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "filter.h"
#include "recv.h"

using namespace nimbet;

namespace {

using ChainQueue = TailQueue<&filter_chain::link>;

// Guards the registry, the id counter and every chain: each public operation
// holds it for its whole (short, never waiting) run.
GlobalLock g_mu(kRankFilters);

// Every live chain in creation order, and two indexes of the same chains:
// by id, and by address (the handles of n_filter_arg). An id names one live
// chain at a time, so a lookup finds what a walk from the oldest would, in
// constant time however many chains are alive.
TqHead<filter_chain> g_registry GUARDED_BY(g_mu) = {nullptr, &g_registry.tqh_first};
std::unordered_map<int32_t, filter_chain *> g_by_id GUARDED_BY(g_mu);
std::unordered_set<const filter_chain *> g_live GUARDED_BY(g_mu);  // (a set of a library type: never exported)
// Ids are handed out once and never again, so a stale id cannot name a newer chain.
long long g_next_id GUARDED_BY(g_mu) = 1;

// Allocations left before the test hook makes them fail; negative: no limit.
int g_alloc_budget = -1;

void *filter_alloc(std::size_t size)
{
    if (g_alloc_budget == 0)
        return nullptr;
    if (g_alloc_budget > 0)
        --g_alloc_budget;
    return std::malloc(size);
}

// Units an element of this type compares: 44 location bytes, 8 identifier
// bytes, 2 tuple type bytes, or 2 type bytes and a position. 0: not an
// element type (a join, or an invalid type field).
std::size_t fixed_length(uint32_t type)
{
    switch (type & FILTER_TYPE_MASK) {
    case FILTER_TYPE_LOCATION: return kLocLen;
    case FILTER_TYPE_ID: return kIdLen;
    case FILTER_TYPE_ACL: return 2;
    case FILTER_TYPE_ACL_POSITION: return 3;
    default: return 0;
    }
}

std::size_t data_size(uint32_t type, uint32_t len)
{
    return (type & FILTER_MODE_WILDCARD) ? 2u * len : len;
}

filter_element *new_element(uint32_t type, uint32_t len, const unsigned char *data)
{
    const std::size_t size = data_size(type, len);
    auto *e = static_cast<filter_element *>(filter_alloc(sizeof(filter_element) + size));
    if (e == nullptr)
        return nullptr;
    e->type = type;
    e->len = len;
    std::memcpy(e->data(), data, size);
    return e;
}

void free_elements(ElementList &list)
{
    for (filter_element *e : ElementQueue::each(list))
        std::free(e);
    ElementQueue::init(list);
}

// Takes a new chain into the registry; false when the indexes could not
// grow (the chain is then in none of them).
bool register_chain(filter_chain *chain) REQUIRES(g_mu)
{
    try {
        g_live.insert(chain);
        g_by_id.emplace(chain->id, chain);
    } catch (const std::bad_alloc &) {
        g_live.erase(chain);
        return false;
    }
    ChainQueue::insert_tail(g_registry, chain);
    return true;
}

// Gives a chain another chain's id, which that chain no longer holds. The
// index entry moves with it (no allocation, so nothing can fail here).
void take_id(filter_chain *chain, int32_t id) REQUIRES(g_mu)
{
    auto entry = g_by_id.extract(chain->id);
    chain->id = id;
    entry.key() = id;
    g_by_id.insert(std::move(entry));
}

// Removes the chain from the registry and releases it with its elements
// (never the name text, which the caller owns).
void release_chain(filter_chain *chain) REQUIRES(g_mu)
{
    const auto it = g_by_id.find(chain->id);
    if (it != g_by_id.end() && it->second == chain)
        g_by_id.erase(it);
    g_live.erase(chain);
    ChainQueue::remove(g_registry, chain);
    free_elements(chain->head);
    std::free(chain);
}

void set_concat(filter_element *e, uint32_t concat)
{
    e->type = (e->type & ~static_cast<uint32_t>(FILTER_CONCAT_MASK)) | concat;
}

// ------------------------------------------------------------------ patterns

// Codes of a dotted pattern such as 10.0.?.*; at most one per unit of the type.
struct Pattern {
    uint16_t codes[kLocLen];
    uint32_t count = 0;
    bool wild = false;  // a '?' or '*' was read
};

// Reads the pattern until the type's units are filled or the text ends. An
// empty field counts as 0 ("1..2" is 1, 0, 2); characters other than digits,
// dots, '?' and '*' are skipped before a field's first digit or mark. Refused:
// a number above 255, a digit after a mark, a mark or other character after a
// non-zero number or after a mark.
bool parse_pattern(const char *text, std::size_t units, Pattern &out)
{
    unsigned number = 0;
    uint16_t mark = 0;
    for (const char *p = text; out.count < units; ++p) {
        const char c = *p;
        if (c >= '0' && c <= '9') {
            number = number * 10 + static_cast<unsigned>(c - '0');
            if (mark != 0 || number > 255)
                return false;
        } else if (c == '.' || c == '\0') {
            out.codes[out.count++] = mark != 0 ? mark : static_cast<uint16_t>(FILTER_CODE_LITERAL + number);
            number = 0;
            mark = 0;
            if (c == '\0')
                break;
        } else if (number != 0 || mark != 0) {
            return false;
        } else if (c == '?' || c == '*') {
            mark = c == '?' ? FILTER_CODE_ANY : FILTER_CODE_REST;
            out.wild = true;
        }
    }
    return true;
}

// Builds the element of `type` from its argument: the fixed number of raw
// bytes, or a pattern. A pattern without '?' or '*' becomes plain bytes, so
// that such an element compares bytes like a raw one. 0, or the error number.
int element_from_arg(uint32_t type, const void *arg, filter_element **out)
{
    const std::size_t units = fixed_length(type);
    if (!(type & FILTER_MODE_WILDCARD)) {
        *out = new_element(type, static_cast<uint32_t>(units), static_cast<const unsigned char *>(arg));
        return *out != nullptr ? 0 : kNoMem;
    }
    Pattern pat;
    if (!parse_pattern(static_cast<const char *>(arg), units, pat))
        return kInval;
    unsigned char data[2 * kLocLen];
    if (pat.wild) {
        std::memcpy(data, pat.codes, sizeof pat.codes[0] * pat.count);
    } else {
        type &= ~static_cast<uint32_t>(FILTER_MODE_WILDCARD);
        for (uint32_t k = 0; k < pat.count; ++k)
            data[k] = static_cast<unsigned char>(pat.codes[k] & 0xff);
    }
    *out = new_element(type, pat.count, data);
    return *out != nullptr ? 0 : kNoMem;
}

// ------------------------------------------------------------------ joins

// The element after the last one of the term that `first` starts.
filter_element *term_end(filter_element *first)
{
    filter_element *e = ElementQueue::next(first);
    while (e != nullptr && !(e->type & FILTER_CONCAT_OR))
        e = ElementQueue::next(e);
    return e;
}

// Appends copies of the elements [first, end) to `out`; false when memory ran
// out (the copies made so far stay in `out`).
bool copy_range(const filter_element *first, const filter_element *end, ElementList &out)
{
    for (const filter_element *e = first; e != end; e = ElementQueue::next(e)) {
        filter_element *c = new_element(e->type, e->len, e->data());
        if (c == nullptr)
            return false;
        ElementQueue::insert_tail(out, c);
    }
    return true;
}

// Moves the elements [first, end) of `from` to the tail of `to`; end follows
// first in `from`, or is null.
void move_range(ElementList &from, filter_element *first, filter_element *end, ElementList &to)
{
    for (filter_element *e = first; e != end;) {
        N_ASSERT(e != nullptr, "range end within its list");
        filter_element *nxt = ElementQueue::next(e);
        ElementQueue::remove(from, e);
        ElementQueue::insert_tail(to, e);
        e = nxt;
    }
}

// Moves as many elements from the front of `from` as [first, end) holds;
// `from` holds at least as many.
void move_like(ElementList &from, const filter_element *first, const filter_element *end, ElementList &to)
{
    for (const filter_element *e = first; e != end; e = ElementQueue::next(e)) {
        filter_element *head = ElementQueue::first(from);
        N_ASSERT(e != nullptr && head != nullptr, "copies for every element of the range");
        ElementQueue::remove(from, head);
        ElementQueue::insert_tail(to, head);
    }
}

// Appends b's terms to a's; b's first element now starts a term. b is
// consumed. An empty b adds nothing to a.
void or_join(filter_chain *a, filter_chain *b) REQUIRES(g_mu)
{
    if (b == a)
        return;
    if (!ElementQueue::empty(b->head)) {
        set_concat(ElementQueue::first(b->head), FILTER_CONCAT_OR);
        ElementQueue::concat(a->head, b->head);
    }
    release_chain(b);
}

// One product TiUk of an AND join: the terms [t, t_end) of a and [u, u_end)
// of b; `last` when Uk is b's last term.
struct Product {
    filter_element *t, *t_end, *u, *u_end;
    bool last;
};

// Calls `step` for every product in order, T1U1, T1U2, ..., TmUn, until it
// returns false; whether it never did. The end of each term is found before
// `step` runs, so a step may move a term's elements elsewhere.
template <class Step>
bool each_product(filter_chain *a, filter_chain *b, Step &&step)
{
    for (filter_element *t = ElementQueue::first(a->head), *t_end; t != nullptr; t = t_end) {
        t_end = term_end(t);
        for (filter_element *u = ElementQueue::first(b->head), *u_end; u != nullptr; u = u_end) {
            u_end = term_end(u);
            if (!step(Product{t, t_end, u, u_end, u_end == nullptr}))
                return false;
        }
    }
    return true;
}

// Multiplies (T1 + ... + Tm)(U1 + ... + Un) out into the terms T1U1, T1U2,
// ..., TmUn, in that order. Every product gets fresh copies of Uk; Ti's own
// elements serve its last product and copies of them the ones before.
//
// All the copies are made first, into a spare list in the order they will be
// used, so that running out of memory leaves both chains whole: the spare
// copies are released and the call fails. Assembling the products afterwards
// only moves elements and cannot fail.
int and_join(filter_chain *a, filter_chain *b) REQUIRES(g_mu)
{
    if (b == a)
        return 0;
    if (ElementQueue::empty(a->head)) {
        // TRUE AND b is b: b takes over the id, a goes away.
        const int32_t id = a->id;
        release_chain(a);
        take_id(b, id);
        return 0;
    }
    if (ElementQueue::empty(b->head)) {
        release_chain(b);
        return 0;
    }
    // The two messages keep the wording they have always had, which watchers
    // of a process's output match: fch1 is the receiving chain a, fch2 the
    // chain b joined into it.
    N_ASSERT(ElementQueue::first(a->head)->type & FILTER_CONCAT_AND,
             "TAILQ_FIRST(&fch1->head)->type&FILTER_CONCAT_AND");
    N_ASSERT(ElementQueue::first(b->head)->type & FILTER_CONCAT_AND,
             "TAILQ_FIRST(&fch2->head)->type&FILTER_CONCAT_AND");

    ElementList spare;
    ElementQueue::init(spare);
    const bool copied = each_product(a, b, [&](const Product &p) {
        return (p.last || copy_range(p.t, p.t_end, spare)) && copy_range(p.u, p.u_end, spare);
    });
    if (!copied) {
        free_elements(spare);
        return fail(kNoMem);
    }

    ElementList sum;
    ElementQueue::init(sum);
    each_product(a, b, [&](const Product &p) {
        filter_element *product = p.last ? p.t : ElementQueue::first(spare);
        if (p.last)
            move_range(a->head, p.t, p.t_end, sum);
        else
            move_like(spare, p.t, p.t_end, sum);
        set_concat(product, FILTER_CONCAT_OR);
        filter_element *factor = ElementQueue::first(spare);
        move_like(spare, p.u, p.u_end, sum);
        set_concat(factor, FILTER_CONCAT_AND);
        return true;
    });
    set_concat(ElementQueue::first(sum), FILTER_CONCAT_AND);
    ElementQueue::concat(a->head, sum);
    release_chain(b);
    return 0;
}

// The handle given for a join, if it names a live chain. A handle of a chain
// that is gone is refused rather than followed.
filter_chain *live_chain(const void *handle) REQUIRES(g_mu)
{
    // Only compared, never followed, until it is known to be live.
    auto *chain = static_cast<filter_chain *>(const_cast<void *>(handle));
    return g_live.count(chain) != 0 ? chain : nullptr;
}

// ------------------------------------------------------------------ evaluation

// The tuple position a position element tests, or -1 when it accepts any
// position: the third unit, unless that is '?' or '*', the pattern stopped
// before it, or a '*' before it ended the comparison.
int element_position(const filter_element *e)
{
    if (e->len < 3)
        return -1;
    if (!e->wildcard())
        return e->data()[2];
    if (e->code(0) == FILTER_CODE_REST || e->code(1) == FILTER_CODE_REST)
        return -1;
    const uint16_t c = e->code(2);
    return (c == FILTER_CODE_ANY || c == FILTER_CODE_REST) ? -1 : (c & 0xff);
}

bool tuple_type_matches(const filter_element *e, const n_acl *t)
{
    return filter_match(e, std::span<const unsigned char>(t->type, 2)) == 0;
}

bool element_passes(const filter_element *e, const n_pkt *pkt)
{
    switch (e->type & FILTER_TYPE_MASK) {
    case FILTER_TYPE_LOCATION:
        return filter_match(e, pkt->location) == 0;
    case FILTER_TYPE_ID:
        return filter_match(e, pkt->srcid) == 0;
    case FILTER_TYPE_ACL:
    case FILTER_TYPE_ACL_POSITION: {
        const int pos = element_position(e);
        int index = 0;
        for (const n_acl *t = AclQueue::first(pkt->acl_head); t != nullptr; t = AclQueue::next(t), ++index) {
            if (pos < 0 || index == pos) {
                if (tuple_type_matches(e, t))
                    return true;
                if (pos >= 0)
                    return false;
            }
        }
        return false;  // no tuples, or fewer than the position needs
    }
    default:
        return false;
    }
}

// ------------------------------------------------------------------ description

void print_value(const filter_element *e)
{
    if (e->wildcard()) {
        for (uint32_t k = 0; k < e->len; ++k) {
            const uint16_t c = e->code(k);
            if (c == FILTER_CODE_REST)
                std::printf("*.");
            else if (c == FILTER_CODE_ANY)
                std::printf("?.");
            else
                std::printf("%d.", c & 0xff);
        }
        std::printf("\b ");
        return;
    }
    const uint32_t kind = e->type & FILTER_TYPE_MASK;
    if ((kind == FILTER_TYPE_ACL || kind == FILTER_TYPE_ACL_POSITION) && e->len >= 2) {
        std::printf("%s", n_util_acl2str(e->data(), nullptr));
        return;
    }
    // Identifier and location bytes, and a type of which a pattern gave only one byte.
    for (uint32_t k = 0; k < e->len; ++k)
        std::printf(k == 0 ? "%d" : ".%d", e->data()[k]);
}

void print_element(const filter_element *e)
{
    std::printf((e->type & FILTER_CONCAT_AND) ? " AND" : "OR\n");
    std::printf((e->type & FILTER_MODE_NOT) ? "!" : " ");
    switch (e->type & FILTER_TYPE_MASK) {
    case FILTER_TYPE_LOCATION: std::printf("LOC("); break;
    case FILTER_TYPE_ID: std::printf("ID("); break;
    case FILTER_TYPE_ACL: std::printf("ACL("); break;
    case FILTER_TYPE_ACL_POSITION: {
        std::printf("POS ");
        const int pos = element_position(e);
        if (pos < 0)
            std::printf("@* ");
        else
            std::printf("@%i ", pos);
        break;
    }
    default: break;
    }
    print_value(e);
    std::printf(")");
}

}  // namespace

namespace nimbet {

filter_chain *filter_lookup(int id) REQUIRES(g_mu)
{
    if (id == 0)
        return nullptr;
    const auto it = g_by_id.find(id);
    return it != g_by_id.end() ? it->second : nullptr;
}

int filter_match(const filter_element *e, std::span<const unsigned char> bytes)
{
    const std::size_t n = e->len < bytes.size() ? e->len : bytes.size();
    if (!e->wildcard())
        return std::memcmp(e->data(), bytes.data(), n) != 0;
    for (std::size_t k = 0; k < n; ++k) {
        const uint16_t c = e->code(k);
        if (c == FILTER_CODE_REST)
            return 0;
        if (c != FILTER_CODE_ANY && (c & 0xff) != bytes[k])
            return 1;
    }
    return 0;
}

// Terms are tried left to right. Inside a term an AND element is looked at
// only while the term still holds; once a term has held, the next OR
// element ends the evaluation.
int filter_evaluate(const filter_chain *chain, const n_pkt *pkt)
{
    int result = 1;
    for (const filter_element *e = ElementQueue::first(chain->head); e != nullptr; e = ElementQueue::next(e)) {
        if (e->type & FILTER_CONCAT_AND) {
            if (result == 0)
                continue;
        } else if (result == 1) {
            return 1;
        }
        const bool passes = element_passes(e, pkt);
        result = passes != ((e->type & FILTER_MODE_NOT) != 0) ? 1 : 0;
    }
    return result;
}

namespace filter_test {
void fail_allocations_after(int n) { g_alloc_budget = n < 0 ? -1 : n; }
}  // namespace filter_test

}  // namespace nimbet

extern "C" {

int n_filter_create(const char *name)
try {
    const ScopedLock lock(g_mu);
    if (g_next_id > INT_MAX)
        return fail(kNoMem);  // every id has been used once
    auto *chain = static_cast<filter_chain *>(filter_alloc(sizeof(filter_chain)));
    if (chain == nullptr)
        return fail(kNoMem);
    chain->id = static_cast<int32_t>(g_next_id++);
    chain->name = name != nullptr ? name : "NONE";
    ElementQueue::init(chain->head);
    if (!register_chain(chain)) {
        std::free(chain);
        return fail(kNoMem);
    }
    return chain->id;
} catch (...) {
    return failed_by_exception(n_filter_create);
}

int n_filter_destroy(int id)
try {
    const ScopedLock lock(g_mu);
    filter_chain *chain = filter_lookup(id);
    if (chain == nullptr)
        return fail(kNoEnt);
    release_chain(chain);
    return 0;
} catch (...) {
    return failed_by_exception(n_filter_destroy);
}

void *n_filter_arg(int id)
try {
    const ScopedLock lock(g_mu);
    return filter_lookup(id);
} catch (...) {
    return failed_by_exception(n_filter_arg);
}

int n_filter_add(int id, int type_word, const void *arg)
try {
    const ScopedLock lock(g_mu);
    filter_chain *chain = filter_lookup(id);
    if (chain == nullptr)
        return fail(kNoEnt);
    uint32_t type = static_cast<uint32_t>(type_word);
    const uint32_t concat = type & FILTER_CONCAT_MASK;
    if (ElementQueue::empty(chain->head) && (concat & FILTER_CONCAT_OR))
        return fail(kInval);  // a chain cannot start with OR
    if (concat == FILTER_CONCAT_MASK || arg == nullptr)
        return fail(kInval);
    if (concat == 0)
        type |= FILTER_CONCAT_AND;

    if ((type & FILTER_TYPE_MASK) == FILTER_TYPE_FILTER) {
        filter_chain *other = live_chain(arg);
        if (other == nullptr)
            return fail(kInval);
        if (type & FILTER_CONCAT_AND)
            return and_join(chain, other) < 0 ? -1 : id;
        or_join(chain, other);
        return id;
    }
    if (fixed_length(type) == 0)
        return fail(kInval);
    filter_element *e = nullptr;
    if (int err = element_from_arg(type, arg, &e); err != 0)
        return fail(err);
    ElementQueue::insert_tail(chain->head, e);
    return id;
} catch (...) {
    return failed_by_exception(n_filter_add);
}

int n_filter_apply(int id, n_pkt *pkt)
try {
    if (pkt == nullptr || id == 0)
        return fail(kInval);
    const ScopedLock lock(g_mu);
    const filter_chain *chain = filter_lookup(id);
    if (chain == nullptr)
        return fail(kNoEnt);
    return filter_evaluate(chain, pkt);
} catch (...) {
    return failed_by_exception(n_filter_apply);
}

int n_describe_filter(int id)
try {
    const ScopedLock lock(g_mu);
    const filter_chain *chain = filter_lookup(id);
    if (chain == nullptr)
        return std::printf("NO SUCH FILTER\n");
    std::printf("FILTER_CHAIN: %s#%i @%p\n", chain->name, chain->id, static_cast<const void *>(chain));
    std::printf(" TRUE");
    for (const filter_element *e = ElementQueue::first(chain->head); e != nullptr; e = ElementQueue::next(e))
        print_element(e);
    return std::printf("\n");
} catch (...) {
    return failed_by_exception(n_describe_filter);
}

// A receive that fails keeps its own number (9 closed meanwhile, 11
// nothing now, 42, 226, 227), so that the caller can tell a socket that is
// gone from one that has nothing yet.
n_pkt *n_socket_recv_filtered(int fd, int ack_fd, int filter_id)
try {
    return on_socket(fd, kBadF, [&](socket_record *rec) -> n_pkt * {
        for (;;) {
            const bool blocking = (option_bits(rec) & SOCKET_BLOCKING) != 0;
            // A request the chain refuses is not acknowledged either.
            PacketPtr pkt(receive_packet(rec, ack_fd, blocking ? Wait::forever() : Wait::now(), filter_id));
            if (!pkt)
                return nullptr;  // the receive's error
            switch (n_filter_apply(filter_id, pkt.get())) {
            case 1:
                return pkt.release();
            case 0:
                // Rejected packets are lost to the application; a blocking
                // socket waits for one that passes.
                if (blocking)
                    continue;
                return fail_null<n_pkt>(kAgain);
            default:
                return nullptr;  // the filter's error
            }
        }
    });
} catch (...) {
    return failed_by_exception(n_socket_recv_filtered);
}

}  // extern "C"
