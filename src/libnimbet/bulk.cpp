// Bulk transfer: a buffer or a whole file sent to one node as a fragmented transfer.
#include <cstdio>
#include <vector>

#include "internal.h"
#include "socket.h"

using namespace nimbet;

namespace {

bool both_open(int fd, int ack_fd) { return socket_lookup(fd) != nullptr && socket_lookup(ack_fd) != nullptr; }

// Fragments are handled only on sockets with SOCKET_FRAG: the one the
// acknowledgements come back to, and the one that sends.
void enable_fragments(int fd, int ack_fd)
{
    n_socket_set_option(ack_fd, SOCKET_FRAG, 1);
    n_socket_set_option(fd, SOCKET_FRAG, 1);
}

// Reads a whole file; false when it cannot be opened or read (n_errno set).
bool read_file(const char *path, std::vector<unsigned char> &out)
{
    std::FILE *in = std::fopen(path, "rb");
    if (in == nullptr) {
        n_errno = kInval;
        return false;
    }
    long size = -1;
    if (std::fseek(in, 0, SEEK_END) == 0)
        size = std::ftell(in);
    if (size < 0 || static_cast<unsigned long>(size) > UINT32_MAX || std::fseek(in, 0, SEEK_SET) != 0) {
        std::fclose(in);
        n_errno = kInval;
        return false;
    }
    try {
        out.resize(static_cast<std::size_t>(size));
    } catch (const std::bad_alloc &) {
        std::fclose(in);
        n_errno = kNoMem;
        return false;
    }
    out.resize(std::fread(out.data(), 1, out.size(), in));
    std::fclose(in);
    return true;
}

}  // namespace

extern "C" {

int n_socket_send_buffer(int fd, int ack_fd, const unsigned char *data, int len, const unsigned char *dest_id,
                         const unsigned char *type)
{
    if (!both_open(fd, ack_fd) || len < 0)
        return fail(kInval);
    enable_fragments(fd, ack_fd);
    return n_frag_init_send(fd, dest_id, data, static_cast<uint32_t>(len), type);
}

int n_socket_send_buffer_str(int fd, int ack_fd, const unsigned char *data, int len, const char *dest_text,
                             const char *type_name)
{
    if (dest_text == nullptr || type_name == nullptr)
        return fail(kInval);
    unsigned char dest[kIdLen];
    if (!decode_destination(dest_text, dest))
        return fail(kIlSeq);
    unsigned char type[2];
    n_util_str2acl(type_name, type);
    return n_socket_send_buffer(fd, ack_fd, data, len, dest, type);
}

int n_socket_send_file(int fd, int ack_fd, const char *path, const unsigned char *dest_id,
                       const unsigned char *type)
{
    if (!both_open(fd, ack_fd) || path == nullptr)
        return fail(kInval);
    std::vector<unsigned char> contents;
    if (!read_file(path, contents))
        return -1;
    enable_fragments(fd, ack_fd);
    return n_frag_init_send(fd, dest_id, contents.data(), static_cast<uint32_t>(contents.size()), type);
}

}  // extern "C"
