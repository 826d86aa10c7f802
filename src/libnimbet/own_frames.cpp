// SPDX-License-Identifier: MIT
// A kernel filter that spares a socket reading back the frames it sent itself to other nodes.
//
// On a broadcast network every node also receives its own frames. Those
// addressed to another node change nothing when they come back (a socket
// without SOCKET_RECV_ALL passes over them), but each costs a read and a
// check. A classic BPF program attached to the system socket drops them
// before they are queued: a frame whose source identifier is the socket's
// own and whose first "CAD" tuple names another node. Everything else,
// malformed datagrams included, reaches the library as before. The filter is
// off while the socket has SOCKET_RECV_ALL, and while it counts the kernel's
// drops, which would count the filtered frames too. (A trace hook sees such a
// frame once, as sent.)
#include <linux/filter.h>
#include <sys/socket.h>

#include "frame.h"
#include "socket.h"

namespace nimbet {

namespace {

// The filter sees the datagram from its UDP header on: a frame offset plus
// kPayload is where the program reads it.
constexpr uint32_t kPayload = 8;
// The identifier is compared as two 32-bit words.
constexpr uint32_t kIdHalf = kIdLen / 2;
// Accept the whole datagram / drop it.
constexpr uint32_t kKeepAll = 0xFFFFFFFFu;
constexpr uint32_t kDropAll = 0;
// Tuples looked at before the filter gives up and lets the frame through.
constexpr int kTuples = 8;

enum Scratch : uint32_t { kLen = 0, kOffset = 1, kOffsetEnd = 2 };

// A small assembler: instructions, and forward jumps to labels resolved at
// the end. (Plain arrays: the program is small and its size known.)
class Program {
public:
    void op(uint16_t code, uint32_t k) { code_[n_++] = BPF_STMT(code, k); }
    // A conditional jump: to `yes` when the condition holds, else to `no`
    // (-1: the next instruction).
    void jump(uint16_t code, uint32_t k, int yes, int no = -1)
    {
        fixups_[fixup_count_++] = {n_, yes, no};
        code_[n_++] = BPF_JUMP(code, k, 0, 0);
    }
    int label() { return labels_++; }
    void place(int l) { at_[l] = n_; }
    // Resolves the jumps; the program and its length.
    sock_fprog finish()
    {
        for (std::size_t i = 0; i < fixup_count_; ++i) {
            const Fixup &f = fixups_[i];
            const auto rel = [&](int l) { return l < 0 ? uint8_t{0} : static_cast<uint8_t>(at_[l] - f.at - 1); };
            code_[f.at].jt = rel(f.yes);
            code_[f.at].jf = rel(f.no);
        }
        return {static_cast<unsigned short>(n_), code_};
    }

private:
    struct Fixup {
        std::size_t at;
        int yes, no;
    };
    sock_filter code_[160];
    std::size_t n_ = 0;
    Fixup fixups_[64];
    std::size_t fixup_count_ = 0;
    std::size_t at_[4] = {};
    int labels_ = 0;
};

// Jumps to `out` unless the datagram holds `end` bytes from the offset kept
// in scratch kOffset (plus the CRC); leaves that offset in X.
void require(Program &p, uint32_t end, int out)
{
    p.op(BPF_LD | BPF_MEM, kOffset);
    p.op(BPF_ALU | BPF_ADD | BPF_K, end + kCrcLen + kPayload);
    p.op(BPF_MISC | BPF_TAX, 0);
    p.op(BPF_LD | BPF_MEM, kLen);
    p.jump(BPF_JMP | BPF_JGE | BPF_X, 0, -1, out);
    p.op(BPF_LDX | BPF_MEM, kOffset);
}

// Builds the filter for a socket with identifier `id` into p.
void own_frame_program(Program &p, const unsigned char id[kIdLen])
{
    const int keep = p.label();
    const int drop = p.label();
    const int cad = p.label();
    const uint32_t hi = get_be32(id);
    const uint32_t lo = get_be32(id + kIdHalf);

    // A frame (long enough, format 2) from this very socket's identifier.
    p.op(BPF_LD | BPF_W | BPF_LEN, 0);
    p.op(BPF_ST, kLen);
    p.jump(BPF_JMP | BPF_JGE | BPF_K, kPayload + PACKET_MIN_FRAME, -1, keep);
    p.op(BPF_LD | BPF_B | BPF_ABS, kPayload + kFormatOffset);
    p.jump(BPF_JMP | BPF_JEQ | BPF_K, kFrameFormat, -1, keep);
    p.op(BPF_LD | BPF_W | BPF_ABS, kPayload + kSrcIdOffset);
    p.jump(BPF_JMP | BPF_JEQ | BPF_K, hi, -1, keep);
    p.op(BPF_LD | BPF_W | BPF_ABS, kPayload + kSrcIdOffset + kIdHalf);
    p.jump(BPF_JMP | BPF_JEQ | BPF_K, lo, -1, keep);

    // Walk the tuples to the first "CAD", as far as the datagram goes.
    p.op(BPF_LD | BPF_IMM, kTuplesOffset);
    p.op(BPF_ST, kOffset);
    for (int t = 0; t < kTuples; ++t) {
        require(p, kTupleHeader, keep);
        p.op(BPF_LD | BPF_H | BPF_IND, kPayload);
        p.jump(BPF_JMP | BPF_JEQ | BPF_K, (uint32_t{kTypeCAD[0]} << 8) | kTypeCAD[1], cad);
        p.op(BPF_LD | BPF_B | BPF_IND, kPayload + kTupleLenOffset);
        p.op(BPF_ALU | BPF_ADD | BPF_K, kTupleHeader);
        p.op(BPF_ALU | BPF_ADD | BPF_X, 0);
        p.op(BPF_ST, kOffset);
    }
    p.op(BPF_RET | BPF_K, kKeepAll);

    // A "CAD" that cannot name this socket, or names another identifier.
    p.place(cad);
    p.op(BPF_LD | BPF_B | BPF_IND, kPayload + kTupleLenOffset);
    p.jump(BPF_JMP | BPF_JGE | BPF_K, kIdLen, -1, drop);
    require(p, kTupleHeader + kIdLen, keep);
    p.op(BPF_LD | BPF_W | BPF_IND, kPayload + kTupleHeader);
    p.jump(BPF_JMP | BPF_JEQ | BPF_K, hi, -1, drop);
    p.op(BPF_LD | BPF_W | BPF_IND, kPayload + kTupleHeader + kIdHalf);
    p.jump(BPF_JMP | BPF_JEQ | BPF_K, lo, keep, drop);

    p.place(drop);
    p.op(BPF_RET | BPF_K, kDropAll);
    p.place(keep);
    p.op(BPF_RET | BPF_K, kKeepAll);
}

}  // namespace

// The whole update runs under the socket's lock (two quick system calls at
// most, never a wait): two threads changing the identifier at once must not
// leave the filter of the older one attached, nor race on own_filter.
void update_own_frame_filter(socket_record *rec)
{
    const ScopedLock lock(rec->mu);
    const bool want = (rec->options & SOCKET_RECV_ALL) == 0 && !rec->kernel_drops;
    if (!want) {
        const int unused = 0;  // the option takes no value, but the system wants an int's room
        if (rec->own_filter)
            ::setsockopt(rec->fd, SOL_SOCKET, SO_DETACH_FILTER, &unused, sizeof unused);
        rec->own_filter = false;
        return;
    }
    Program p;
    own_frame_program(p, rec->id);
    const sock_fprog prog = p.finish();
    rec->own_filter = ::setsockopt(rec->fd, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog) == 0;
}

}  // namespace nimbet
