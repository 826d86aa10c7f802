// SPDX-License-Identifier: MIT
// The pcap capture file: file header, and one raw IPv4/UDP record per datagram.
#include "pcap.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

namespace nimbet_tool {

namespace {

constexpr uint32_t kMagic = 0xa1b2c3d4;  // microsecond timestamps, written in host order
constexpr uint32_t kLinkRawIpv4 = 101;
constexpr uint32_t kSnapLength = 65535;
constexpr std::size_t kIpHeader = 20;
constexpr std::size_t kUdpHeader = 8;
constexpr std::size_t kMaxPayload = 65535 - kIpHeader - kUdpHeader;

void put16(unsigned char *p, uint16_t v)
{
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v);
}

// Addresses and ports of sockaddr_in are in network order already.
void put_raw(unsigned char *p, const void *v, std::size_t n) { std::memcpy(p, v, n); }

uint16_t ip_checksum(const unsigned char *p, std::size_t n)
{
    uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < n; i += 2)
        sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

}  // namespace

PcapWriter::PcapWriter(std::FILE *out) : out_(out) {}

PcapWriter::~PcapWriter()
{
    if (out_ != nullptr && out_ != stdout)
        std::fclose(out_);
}

PcapWriter *PcapWriter::open(const std::string &path, bool no_clobber, std::string *error)
{
    std::FILE *f = path == "-" ? stdout : std::fopen(path.c_str(), no_clobber ? "wbx" : "wb");
    if (f == nullptr) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    auto *w = new PcapWriter(f);
    if (!w->header()) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        delete w;
        return nullptr;
    }
    return w;
}

bool PcapWriter::header()
{
    struct {
        uint32_t magic;
        uint16_t major, minor;
        int32_t zone;
        uint32_t sigfigs, snaplen, linktype;
    } h{kMagic, 2, 4, 0, 0, kSnapLength, kLinkRawIpv4};
    return std::fwrite(&h, sizeof h, 1, out_) == 1 && std::fflush(out_) == 0;
}

bool PcapWriter::write(const timeval &when, const sockaddr_in &from, const sockaddr_in &to,
                       const unsigned char *data, std::size_t len)
{
    if (len > kMaxPayload)
        len = kMaxPayload;
    std::vector<unsigned char> packet(kIpHeader + kUdpHeader + len);
    unsigned char *ip = packet.data();
    ip[0] = 0x45;  // version 4, 5 words of header
    put16(ip + 2, static_cast<uint16_t>(packet.size()));
    put16(ip + 4, ++ip_id_);
    ip[8] = 64;  // time to live
    ip[9] = 17;  // UDP
    put_raw(ip + 12, &from.sin_addr.s_addr, 4);
    put_raw(ip + 16, &to.sin_addr.s_addr, 4);
    put16(ip + 10, ip_checksum(ip, kIpHeader));
    unsigned char *udp = ip + kIpHeader;
    put_raw(udp, &from.sin_port, 2);
    put_raw(udp + 2, &to.sin_port, 2);
    put16(udp + 4, static_cast<uint16_t>(kUdpHeader + len));
    // A UDP checksum of 0 over IPv4 means "not computed".
    if (len != 0)
        std::memcpy(udp + kUdpHeader, data, len);

    const uint32_t record[4] = {static_cast<uint32_t>(when.tv_sec), static_cast<uint32_t>(when.tv_usec),
                                static_cast<uint32_t>(packet.size()), static_cast<uint32_t>(packet.size())};
    if (std::fwrite(record, sizeof record, 1, out_) != 1 || std::fwrite(packet.data(), packet.size(), 1, out_) != 1 ||
        std::fflush(out_) != 0)
        return false;
    ++records_;
    return true;
}

}  // namespace nimbet_tool
