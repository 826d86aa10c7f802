// SPDX-License-Identifier: MIT
// nimbet bridge: the gateway between one segment of nodes and an MQTT broker.
#pragma once

namespace nimbet::bridge {

// Runs `nimbet bridge PORT --mqtt HOST[:PORT] [OPTIONS]`; argv[0] is "bridge".
// Returns the exit status.
int run(int argc, char **argv);

}  // namespace nimbet::bridge
