// SPDX-License-Identifier: MIT
// The chunk stack: received parts collected in fixed 1024-byte chunks, joined once at the end.
#pragma once

#include <cstdlib>
#include <cstring>

#include "internal.h"

namespace nimbet {

inline constexpr std::size_t OBSTACK_CHUNK_SIZE = 1024;

struct obstack_chunk {
    uint32_t used;
    unsigned char data[OBSTACK_CHUNK_SIZE];
    TqLink<obstack_chunk> link;
};

using chunk_stack = TqHead<obstack_chunk>;
using ChunkQueue = TailQueue<&obstack_chunk::link>;

inline void chunk_stack_init(chunk_stack &stack) { ChunkQueue::init(stack); }

// Appends n bytes behind the used bytes of the last chunk when they fit
// there, else at the start of a new chunk: a part never spans two chunks,
// so storing a part never moves earlier data. Returns false when a new chunk
// cannot be allocated (nothing is stored then).
inline bool chunk_stack_append(chunk_stack &stack, const unsigned char *bytes, uint8_t n)
{
    N_ASSERT(n + 1u <= OBSTACK_CHUNK_SIZE, "OBSTACK_CHUNK_SIZE too small for application");
    obstack_chunk *last = ChunkQueue::last(stack);
    if (last == nullptr || last->used + n > OBSTACK_CHUNK_SIZE) {
        last = static_cast<obstack_chunk *>(std::malloc(sizeof(obstack_chunk)));
        if (last == nullptr)
            return false;
        last->used = 0;
        ChunkQueue::insert_tail(stack, last);
    }
    if (n != 0)
        std::memcpy(last->data + last->used, bytes, n);
    last->used += n;
    return true;
}

// Joins all chunks into one malloc'd buffer (the caller owns it) and empties
// the stack. When the buffer cannot be allocated, returns null and keeps the
// chunks. An empty stack still yields a (1-byte) buffer, so that finished
// empty data are told apart from missing data.
inline unsigned char *chunk_stack_collect(chunk_stack &stack, std::size_t *size = nullptr)
{
    std::size_t total = 0;
    for (obstack_chunk *c : ChunkQueue::each(stack))
        total += c->used;
    auto *buf = static_cast<unsigned char *>(std::malloc(total != 0 ? total : 1));
    if (buf == nullptr)
        return nullptr;
    std::size_t off = 0;
    for (obstack_chunk *c : ChunkQueue::each(stack)) {
        std::memcpy(buf + off, c->data, c->used);
        off += c->used;
        ChunkQueue::remove(stack, c);
        std::free(c);
    }
    if (size != nullptr)
        *size = total;
    return buf;
}

// Releases every chunk; the stack is empty and usable again.
inline void chunk_stack_release(chunk_stack &stack)
{
    for (obstack_chunk *c : ChunkQueue::each(stack)) {
        ChunkQueue::remove(stack, c);
        std::free(c);
    }
}

}  // namespace nimbet
