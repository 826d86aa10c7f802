// SPDX-License-Identifier: MIT
// Test harness: a private network namespace with loopback up and, on request, veth pairs.
#pragma once

#include <string>

namespace nimbet::test {

// Moves the calling process into a fresh network namespace (falling back to
// a user namespace when not privileged), brings `lo` up, and checks that
// nothing but `lo` is there. Any failure ends the process with a message:
// a test that cannot isolate itself must not run.
void enter_private_netns();

// Creates a veth pair in the current namespace, assigns the given addresses
// (CIDR text such as "10.200.0.1/24", may be empty) and brings both ends up.
// Both ends are recorded as interfaces this harness created.
void create_veth(const std::string &name_a, const std::string &cidr_a,
                 const std::string &name_b, const std::string &cidr_b);

// Fails loudly (ends the process) when an interface is present that the
// harness did not create. Socket tests call it before they open a socket.
void require_only_own_interfaces();

// True once enter_private_netns() has succeeded in this process.
bool in_private_netns();

}  // namespace nimbet::test
