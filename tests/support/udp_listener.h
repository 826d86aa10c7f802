// SPDX-License-Identifier: MIT
// A plain UDP socket that tests bind inside their namespace to see the datagrams the library sends.
#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <vector>

namespace nimbet::test {

class UdpListener {
public:
    // Binds to addr:port (host byte order); ends the test program when that
    // fails, as every later check would be meaningless.
    explicit UdpListener(uint16_t port, uint32_t addr = INADDR_ANY)
    {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = htonl(addr);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
            std::perror("UdpListener");
            std::exit(4);
        }
    }
    ~UdpListener() { ::close(fd_); }
    UdpListener(const UdpListener &) = delete;
    UdpListener &operator=(const UdpListener &) = delete;

    // One datagram, or an empty vector when none arrives within timeout_ms.
    std::vector<unsigned char> receive(int timeout_ms = 2000)
    {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) != 1)
            return {};
        std::vector<unsigned char> buf(2048);
        const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
        buf.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return buf;
    }

private:
    int fd_ = -1;
};

}  // namespace nimbet::test
