// SPDX-License-Identifier: MIT
// Frames in memory: building a packet, CRC-16, parsing and walking tuples, against memcpy of the same 120 bytes.
#include <cstring>
#include <vector>

#include "nimbet/nimbet.h"
#include "ratios.h"
#include "sample_frame.h"

namespace {

using nimbet::bench::add_tuples;
constexpr unsigned kFrameLen = nimbet::bench::kSampleFrameLen;

// The frame as a node would send it, built by hand in the wire layout.
std::vector<unsigned char> make_frame()
{
    n_pkt *pkt = n_pkt_alloc();
    add_tuples(pkt);
    std::vector<unsigned char> f(kFrameLen, 0);
    f[0] = 2;
    for (int i = 0; i < 44; ++i)
        f[1 + i] = static_cast<unsigned char>(i);
    const unsigned char src[8] = {1, 1, 1, 1, 10, 0, 0, 1};
    std::memcpy(&f[45], src, 8);
    f[53] = 77;
    std::size_t off = PACKET_HEADER_SIZE;
    for (n_acl *t = n_acl_first(pkt); t != nullptr; t = n_acl_next(pkt, t)) {
        f[off] = t->type[0];
        f[off + 1] = t->type[1];
        f[off + 2] = t->len;
        std::memcpy(&f[off + 3], t->data, t->len);
        off += 3u + t->len;
    }
    n_pkt_free(pkt);
    n_util_crc16_append(f.data(), kFrameLen);
    return f;
}

const std::vector<unsigned char> &frame()
{
    static const std::vector<unsigned char> f = make_frame();
    return f;
}

void BM_Memcpy(benchmark::State &state)
{
    const auto &f = frame();
    unsigned char copy[kFrameLen];
    for (auto _ : state) {
        benchmark::DoNotOptimize(f.data());
        std::memcpy(copy, f.data(), kFrameLen);
        benchmark::DoNotOptimize(copy);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Memcpy);

void BM_Crc16(benchmark::State &state)
{
    const auto &f = frame();
    unsigned char hi = 0, lo = 0;
    for (auto _ : state) {
        n_util_crc16(f.data(), kFrameLen, &hi, &lo);
        benchmark::DoNotOptimize(hi);
        benchmark::DoNotOptimize(lo);
    }
}
BENCHMARK(BM_Crc16);

// What a receive does with the bytes: a new packet, CRC check, header and
// tuples copied out, the packet released.
void BM_Parse(benchmark::State &state)
{
    const auto &f = frame();
    for (auto _ : state) {
        n_pkt *pkt = n_pkt_alloc();
        if (n_pkt_parse(pkt, f.data(), kFrameLen) != 0)
            state.SkipWithError("the frame does not parse");
        benchmark::DoNotOptimize(pkt->acl_count);
        n_pkt_free(pkt);
    }
}
BENCHMARK(BM_Parse);

// What an application does before a send: a packet with its three tuples.
void BM_BuildPacket(benchmark::State &state)
{
    for (auto _ : state) {
        n_pkt *pkt = n_pkt_alloc();
        add_tuples(pkt);
        benchmark::DoNotOptimize(pkt->acl_len);
        n_pkt_free(pkt);
    }
}
BENCHMARK(BM_BuildPacket);

// Walking the tuples of a received packet and looking one up by its name.
void BM_TupleWalk(benchmark::State &state)
{
    n_pkt *pkt = n_pkt_alloc();
    n_pkt_parse(pkt, frame().data(), kFrameLen);
    for (auto _ : state) {
        unsigned sum = 0;
        for (n_acl *t = n_acl_first(pkt); t != nullptr; t = n_acl_next(pkt, t))
            sum += t->len;
        n_acl *msg = nullptr;
        n_acl_findfirst_str(pkt, "msg", &msg);
        benchmark::DoNotOptimize(sum);
        benchmark::DoNotOptimize(msg);
    }
    n_pkt_free(pkt);
}
BENCHMARK(BM_TupleWalk);

}  // namespace

int main(int argc, char **argv)
{
    return nimbet::bench::run_with_ratios(
        argc, argv,
        {
            {"BM_Crc16", "BM_Memcpy", "CRC-16 over a 120-byte frame / memcpy of it"},
            {"BM_Parse", "BM_Memcpy", "parse a 120-byte frame (alloc, check, free) / memcpy"},
            {"BM_BuildPacket", "BM_Memcpy", "build a packet of 3 tuples (64 bytes) / memcpy"},
            {"BM_TupleWalk", "BM_Memcpy", "walk 3 tuples and find one by name / memcpy"},
        });
}
