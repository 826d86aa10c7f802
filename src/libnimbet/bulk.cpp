// SPDX-License-Identifier: MIT
// Bulk transfer: a buffer or a whole file sent to one node as a fragmented transfer.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "frag.h"
#include "internal.h"
#include "socket.h"

using namespace nimbet;

namespace {

// Fragments are handled only on sockets with SOCKET_FRAG: the one the
// acknowledgements come back to, and the one that sends.
void enable_fragments(socket_record *rec, socket_record *ack)
{
    set_option_bits(ack, SOCKET_FRAG, true);
    set_option_bits(rec, SOCKET_FRAG, true);
}

}  // namespace

extern "C" {

int n_socket_send_buffer(int fd, int ack_fd, const unsigned char *data, int len, const unsigned char *dest_id,
                         const unsigned char *type)
try {
    if (len < 0)
        return fail(kInval);
    return on_sockets(fd, ack_fd, kInval, [&](socket_record *rec, socket_record *ack) {
        enable_fragments(rec, ack);
        return frag_start_send(rec, dest_id, data, static_cast<uint32_t>(len), type);
    });
} catch (...) {
    return failed_by_exception(n_socket_send_buffer);
}

int n_socket_send_buffer_str(int fd, int ack_fd, const unsigned char *data, int len, const char *dest_text,
                             const char *type_name)
try {
    if (dest_text == nullptr || type_name == nullptr)
        return fail(kInval);
    unsigned char dest[kIdLen];
    if (!decode_destination(dest_text, dest))
        return fail(kIlSeq);
    unsigned char type[2];
    n_util_str2acl(type_name, type);
    return n_socket_send_buffer(fd, ack_fd, data, len, dest, type);
} catch (...) {
    return failed_by_exception(n_socket_send_buffer_str);
}

// A regular file is read part by part while the transfer runs, so memory
// does not grow with its size; it may hold up to 4 GiB - 1 bytes, the most
// a transfer can count. Anything else is refused: a pipe or a device has no
// length to announce and may never end, and opening a FIFO would wait for a
// writer (it is opened without waiting, then refused). Every refusal is 22,
// as callers have always seen it; one that the system reported keeps its
// errno (ENOENT, EACCES, ...) as the cause.
int n_socket_send_file(int fd, int ack_fd, const char *path, const unsigned char *dest_id,
                       const unsigned char *type)
try {
    if (path == nullptr)
        return fail(kInval);
    return on_sockets(fd, ack_fd, kInval, [&](socket_record *rec, socket_record *ack) {
        const int file = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (file < 0)
            return fail_sys(kInval, errno);
        struct stat st {};
        const int cause = ::fstat(file, &st) != 0 ? errno : 0;
        if (cause != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > UINT32_MAX) {
            ::close(file);
            return fail_sys(kInval, cause);
        }
        enable_fragments(rec, ack);
        return frag_start_send_file(rec, dest_id, file, static_cast<uint32_t>(st.st_size), type);
    });
} catch (...) {
    return failed_by_exception(n_socket_send_file);
}

}  // extern "C"
