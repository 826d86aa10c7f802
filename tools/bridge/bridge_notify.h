// SPDX-License-Identifier: MIT
// Telling systemd how the gateway is: ready, its status, alive (the watchdog), stopping.
#pragma once

#include <cstdint>
#include <string>

namespace nimbet::bridge {

// Does nothing unless the service manager asked for notices (NOTIFY_SOCKET).
// With libsystemd in the build its sd_notify is used, otherwise the same
// datagram is written here.
class ServiceNotifier {
public:
    ServiceNotifier();
    void ready(const std::string &status);
    void status(const std::string &status);
    void stopping();
    // A reload begins; ready() ends it.
    void reloading();
    // Sends WATCHDOG=1 when half the watchdog interval has passed since the
    // last one; call it from the loop whose progress it vouches for.
    void tick(uint32_t now_ms);
    // Milliseconds until tick() has something to do (max_ms without a watchdog).
    int next_ms(uint32_t now_ms, int max_ms) const;

private:
    void send(const std::string &text);
    bool enabled_ = false;
    uint32_t interval_ms_ = 0;  // half the watchdog's interval; 0: no watchdog
    uint32_t last_ = 0;
};

}  // namespace nimbet::bridge
