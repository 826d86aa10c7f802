// SPDX-License-Identifier: MIT
// The memory tests' own operator new: allocations counted, and made to fail on demand.
#include "allocation.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<long> g_until_failure{-1};
std::atomic<bool> g_failed{false};
std::atomic<int64_t> g_live{0};

// The memory for one allocation, or null when this is the one set to fail.
void *take(std::size_t n)
{
    if (g_until_failure.load(std::memory_order_relaxed) >= 0 &&
        g_until_failure.fetch_sub(1, std::memory_order_relaxed) == 0) {
        g_failed.store(true);
        return nullptr;
    }
    void *p = std::malloc(n != 0 ? n : 1);
    if (p != nullptr)
        g_live.fetch_add(static_cast<int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
    return p;
}

void give_back(void *p)
{
    if (p == nullptr)
        return;
    g_live.fetch_sub(static_cast<int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
    std::free(p);
}

}  // namespace

namespace nimbet::test {

void fail_allocation(long n)
{
    if (n >= 0)
        g_failed.store(false);
    g_until_failure.store(n < 0 ? -1 : n);
}

bool allocation_failed() { return g_failed.load(); }

int64_t live_bytes() { return g_live.load(); }

}  // namespace nimbet::test

void *operator new(std::size_t n)
{
    if (void *p = take(n))
        return p;
    throw std::bad_alloc();
}

void *operator new(std::size_t n, const std::nothrow_t &) noexcept { return take(n); }
void *operator new[](std::size_t n) { return operator new(n); }
void *operator new[](std::size_t n, const std::nothrow_t &) noexcept { return take(n); }
void operator delete(void *p) noexcept { give_back(p); }
void operator delete(void *p, std::size_t) noexcept { give_back(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { give_back(p); }
void operator delete[](void *p) noexcept { give_back(p); }
void operator delete[](void *p, std::size_t) noexcept { give_back(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { give_back(p); }
