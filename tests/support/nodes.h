// SPDX-License-Identifier: MIT
// Test nodes: library sockets that talk over loopback broadcast inside the test's namespace.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "nimbet/nimbet.h"

namespace nimbet::test {

using NodeId = std::array<unsigned char, 8>;

inline constexpr uint16_t kNodePort = 47000;

// A node id 1.1.1.1.10.0.0.n.
NodeId node_id(unsigned char n);

// Sets the transfer window of a test node from NIMBET_TEST_TRANSFER_WINDOW,
// when set: the transfer tests run once with the library's default and once
// with that window (1: one part at a time).
void apply_test_window(int fd);

// Opens a library socket as a node: bound on `port` (it receives once, so
// its first send does not bind it to a temporary port), sending to the
// loopback broadcast address, so every node on the port hears every frame.
// Non-blocking, with the identifier `id`. Closes nothing: call n_socket_close.
int open_node(const NodeId &id, uint16_t port = kNodePort);

// Two nodes on the test port, a (identifier node_id(1)) and b (node_id(2)),
// opened for each test and closed after it.
class NodePair : public ::testing::Test {
protected:
    void SetUp() override
    {
        a = open_node(ida);
        b = open_node(idb);
    }
    void TearDown() override
    {
        n_socket_close(a);
        n_socket_close(b);
    }

    NodeId ida = node_id(1);
    NodeId idb = node_id(2);
    int a = -1;
    int b = -1;
};

// A plain UDP socket bound on `port` beside the nodes (SO_REUSEADDR), which
// hears every broadcast frame: the wire as it is.
class Tap {
public:
    explicit Tap(uint16_t port = kNodePort);
    ~Tap();
    Tap(const Tap &) = delete;
    Tap &operator=(const Tap &) = delete;
    // The next datagram within `ms` milliseconds; empty when none came.
    std::vector<unsigned char> next(int ms = 1000);
    // Every datagram that arrives within `ms` milliseconds.
    std::vector<std::vector<unsigned char>> drain(int ms = 50);

private:
    int fd_;
};

// Receives on every node (non-blocking) until `done` says so or `ms`
// milliseconds have passed; delivered packets go to `on_packet` (which must
// not keep them) or are freed. Returns whether `done` held.
bool pump(const std::vector<int> &fds, const std::function<bool()> &done, int ms,
          const std::function<void(int fd, n_pkt *)> &on_packet = {});

}  // namespace nimbet::test
