// SPDX-License-Identifier: MIT
// The node that the receive-path fuzz targets feed: one library socket, opened once per process.
#pragma once

#include <arpa/inet.h>

#include <time.h>

#include <cstdlib>
#include <vector>

#include "frag.h"
#include "socket.h"

namespace nimbet::fuzz {

inline constexpr unsigned char kSelf[8] = {1, 1, 1, 1, 127, 0, 0, 1};

// The node under test: it stands on 127.0.0.1 with identifier kSelf, and its
// only destination is 127.0.0.2, where nothing listens, so the
// acknowledgements and parts it sends stay on loopback and go nowhere.
inline socket_record *node(uint16_t port)
{
    static socket_record *rec = [port] {
        const int fd = n_socket_open(inet_addr("127.0.0.1"), inet_addr("127.0.0.2"), port);
        if (fd < 0)
            std::abort();
        n_socket_set_id(fd, kSelf);
        n_socket_set_option(fd, SOCKET_BLOCKING, 0);
        return socket_acquire(fd).get();  // the registry keeps it for the process's life
    }();
    return rec;
}

// The library's clock runs ahead of the real one by what age() added: a
// fuzz input moves time on without waiting.
inline uint32_t g_clock_ahead = 0;

inline uint32_t ahead_clock()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms) + g_clock_ahead;
}

inline void age(uint32_t ms)
{
    set_clock(&ahead_clock);
    g_clock_ahead += ms;
}

// Every input starts from nothing: no transfers, none remembered.
inline void forget_transfers()
{
    for (const FragRef &f : frag_snapshot()) {
        const FragLock lock(f.get());
        frag_unregister(f.get());
    }
    ended_clear();
}

}  // namespace nimbet::fuzz
