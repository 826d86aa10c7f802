// SPDX-License-Identifier: MIT
// What clang's lock analysis accepts and refuses on the library's own records (compiled with -verify, never run).
#include "frag.h"
#include "socket.h"

using namespace nimbet;

// Accepted: each guarded member touched, and each function that needs a
// lock called, with that lock held.
uint16_t port_under_its_lock(socket_record *rec)
{
    const ScopedLock lock(rec->mu);
    return rec->port;
}

uint32_t length_under_its_lock(n_frag *f)
{
    const FragLock lock(f);
    frag_abort(f, "aborted");
    return f->total_len;
}

uint32_t length_where_the_lock_is_asserted(n_frag *f)
{
    frag_assert_held(f);
    return f->total_len;
}

n_frag *next_under_the_registry_lock(n_frag *f)
{
    const ScopedLock lock(frag_mutex());
    return f->link.tqe_next;
}

// Refused: the same without the lock, after it was let go, or taken twice.
uint16_t port_without_its_lock(socket_record *rec)
{
    // expected-error@+1 {{reading variable 'port' requires holding mutex 'rec->mu'}}
    return rec->port;
}

void destinations_without_their_lock(socket_record *rec)
{
    // expected-error@+1 {{writing variable 'num_interfaces' requires holding mutex 'rec->mu' exclusively}}
    rec->num_interfaces = 0;
}

uint32_t length_after_the_lock_went(n_frag *f)
{
    {
        const FragLock lock(f);
    }
    return f->total_len;  // expected-error {{reading variable 'total_len' requires holding mutex 'f->mu'}}
}

void abort_without_the_lock(n_frag *f)
{
    // expected-error@+1 {{calling function 'frag_abort' requires holding mutex 'f->mu' exclusively}}
    frag_abort(f, "aborted");
}

uint32_t length_under_another_transfers_lock(n_frag *f, n_frag *other)
{
    const FragLock lock(other);
    // expected-error@+1 {{reading variable 'total_len' requires holding mutex 'f->mu'}}
    return f->total_len;  // expected-note {{found near match 'other->mu'}}
}

n_frag *next_without_the_registry_lock(n_frag *f)
{
    return f->link.tqe_next;  // expected-error {{requires holding mutex 'frag_mutex()'}}
}

void socket_lock_taken_twice(socket_record *rec)
{
    const ScopedLock lock(rec->mu);  // expected-note {{mutex acquired here}}
    const ScopedLock again(rec->mu);  // expected-error {{acquiring mutex 'rec->mu' that is already held}}
}
