// SPDX-License-Identifier: MIT
// A pcap capture file of datagrams: what `nimbet listen --pcap` writes.
#pragma once

#include <netinet/in.h>
#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace nimbet_tool {

// Writes the classic pcap format (microsecond timestamps, link type "raw
// IPv4"), which tcpdump and Wireshark read. Each datagram becomes one IPv4
// packet with a UDP header made up from the addresses given, so that
// dissectors see the ports. Every record is flushed at once: a capture cut
// short by Ctrl-C or a kill stays readable.
class PcapWriter {
public:
    // Takes over `out` (closed by the destructor unless it is stdout).
    explicit PcapWriter(std::FILE *out);
    ~PcapWriter();
    PcapWriter(const PcapWriter &) = delete;
    PcapWriter &operator=(const PcapWriter &) = delete;

    // Opens path ("-": standard output) and writes the file header; null
    // with the system's reason in *error when it cannot. An existing file is
    // overwritten, unless no_clobber.
    static PcapWriter *open(const std::string &path, bool no_clobber, std::string *error);

    // Appends one datagram of len bytes from `from` to `to`; false when the
    // write failed.
    bool write(const timeval &when, const sockaddr_in &from, const sockaddr_in &to, const unsigned char *data,
               std::size_t len);

    unsigned long records() const { return records_; }

private:
    bool header();
    std::FILE *out_;
    unsigned long records_ = 0;
    uint16_t ip_id_ = 0;
};

}  // namespace nimbet_tool
