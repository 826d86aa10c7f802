// SPDX-License-Identifier: MIT
// The node that the receive-path fuzz targets feed: one library socket, opened once per process.
#pragma once

#include <arpa/inet.h>

#include <cstdlib>

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

}  // namespace nimbet::fuzz
