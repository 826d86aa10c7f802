// SPDX-License-Identifier: MIT
// Received transfers written to files: arrangements, the temporary file beside the target, completion and discard.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "frag.h"

using namespace nimbet;

namespace {

// A file that the next transfer from a peer (any peer when `any`) arriving
// on a socket is written to. The temporary file exists from the moment of
// the arrangement: a target that cannot be written is refused then, never
// found out when the data are already coming.
struct Sink {
    uint64_t serial;
    bool any;
    unsigned char peer[kIdLen];
    bool keep_partial;
    std::string path;       // the target
    std::string part_path;  // the temporary file this library created
    int file;               // open on part_path
};
std::vector<Sink> g_sinks GUARDED_BY(frag_mutex());

// The most names tried beside a target (path.part, path.part.1, ...).
constexpr int kPartNames = 100;

// Creates a temporary file that did not exist before: O_EXCL never opens,
// truncates or follows (O_NOFOLLOW: not even a dangling symbolic link) what
// is there already; a name that is taken makes the next one be tried. The
// descriptor, or -1 with the system's errno.
int create_part_file(const std::string &path, std::string &made)
{
    for (int n = 0; n < kPartNames; ++n) {
        char suffix[16] = ".part";
        if (n > 0)
            std::snprintf(suffix, sizeof suffix, ".part.%d", n);
        std::string name = path + suffix;
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            made = std::move(name);
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    errno = EEXIST;
    return -1;
}

// The library's error number for a file that cannot be created.
int file_error(int sys)
{
    switch (sys) {
    case ENOENT:
    case ENOTDIR:
        return kNoEnt;
    case EACCES:
    case EPERM:
    case EROFS:
        return kAccess;
    case EEXIST:
        return kBusy;
    case ENOMEM:
        return kNoMem;
    default:
        return kInval;
    }
}

// Whether `name` is still the very file open on `fd`: a name that now
// stands for something else (replaced, a symbolic link put there) is never
// renamed or removed.
bool still_ours(int fd, const char *name)
{
    struct stat open_st {}, named {};
    return ::fstat(fd, &open_st) == 0 && ::lstat(name, &named) == 0 && S_ISREG(named.st_mode) &&
           open_st.st_dev == named.st_dev && open_st.st_ino == named.st_ino;
}

// Closes a temporary file and removes it when it is still the one created.
void remove_part_file(int fd, const std::string &name)
{
    const bool ours = still_ours(fd, name.c_str());
    ::close(fd);
    if (ours)
        ::unlink(name.c_str());
}

// Moves the first arrangement that `which` picks out of the table (called
// with frag_mutex held; nothing is allocated); its file is dropped after the
// lock is let go.
template <class Pick>
std::optional<Sink> take_sink(Pick which) REQUIRES(frag_mutex())
{
    const auto it = std::find_if(g_sinks.begin(), g_sinks.end(), which);
    if (it == g_sinks.end())
        return std::nullopt;
    std::optional<Sink> taken(std::move(*it));
    g_sinks.erase(it);
    return taken;
}

void drop_sink(Sink &s)
{
    if (s.file >= 0)
        remove_part_file(s.file, s.part_path);
    s.file = -1;
}

bool write_all(int fd, const unsigned char *data, std::size_t len, off_t at)
{
    while (len != 0) {
        const ssize_t n = ::pwrite(fd, data, len, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        len -= static_cast<std::size_t>(n);
        at += n;
    }
    return true;
}

// Writes the parts gathered in the window to the file; false when the file
// cannot take them.
bool flush_window(n_frag *f) REQUIRES(f->mu)
{
    if (f->window_len == 0)
        return true;
    const bool ok = write_all(f->file, f->window, f->window_len, static_cast<off_t>(f->window_pos));
    f->window_pos += f->window_len;
    f->window_len = 0;
    return ok;
}

// Makes a rename in the folder of `path` durable. A folder that cannot be
// opened for it (no read permission) is trusted as it is.
bool sync_folder_of(const char *path)
{
    std::string folder(path);
    const std::size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return true;
    const bool ok = ::fsync(fd) == 0 || errno == EINVAL;
    ::close(fd);
    return ok;
}

}  // namespace

namespace nimbet {

bool sink_take(n_frag *f, uint64_t serial)
{
    const ScopedLock lock(frag_mutex());
    for (auto it = g_sinks.begin(); it != g_sinks.end(); ++it) {
        if (it->serial != serial || (!it->any && !same_id(it->peer, f->id)))
            continue;
        f->sink_path = strdup(it->path.c_str());
        f->part_path = strdup(it->part_path.c_str());
        if (f->sink_path == nullptr || f->part_path == nullptr)
            return false;
        f->file = it->file;
        f->keep_partial = it->keep_partial;
        it->file = -1;
        g_sinks.erase(it);
        return true;
    }
    return true;
}

bool sink_write(n_frag *f, const unsigned char *data, uint8_t len)
{
    if (f->window == nullptr && (f->window = static_cast<unsigned char *>(std::malloc(kFileWindow))) == nullptr)
        return false;
    if (f->window_len + len > kFileWindow && !flush_window(f))
        return false;
    std::memcpy(f->window + f->window_len, data, len);
    f->window_len += len;
    return true;
}

bool sink_complete(n_frag *f)
{
    // The data reach the disk before the file takes its name, and the name
    // before the last part is acknowledged: a sender told "finished" is
    // never wrong after a power loss.
    const bool flushed = flush_window(f) && ::fsync(f->file) == 0;
    const bool ours = still_ours(f->file, f->part_path);
    const bool closed = ::close(f->file) == 0;
    f->file = -1;
    if (flushed && ours && closed && ::rename(f->part_path, f->sink_path) == 0)
        return sync_folder_of(f->sink_path);
    if (ours)
        ::unlink(f->part_path);
    return false;
}

void sink_discard(n_frag *f)
{
    if (f->file < 0)
        return;
    // What was received is written out all the same: with keep_partial it
    // becomes the target, a prefix of the data sent.
    flush_window(f);
    if (f->keep_partial && still_ours(f->file, f->part_path)) {
        ::close(f->file);
        ::rename(f->part_path, f->sink_path);
    } else {
        remove_part_file(f->file, f->part_path);
    }
    f->file = -1;
}

void sink_load(n_frag *f)
{
    if (f->sink_path == nullptr)
        return;
    const int fd = ::open(f->sink_path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return;
    auto *buf = static_cast<unsigned char *>(std::malloc(f->total_len != 0 ? f->total_len : 1));
    std::size_t got = 0;
    while (buf != nullptr && got < f->total_len) {
        const ssize_t n = ::pread(fd, buf + got, f->total_len - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (buf != nullptr && got == f->total_len)
        f->frag_data = buf;
    else
        std::free(buf);
}

// One at a time, so that a close allocates nothing.
void sinks_socket_closed(uint64_t serial)
{
    for (;;) {
        std::optional<Sink> dropped;
        {
            const ScopedLock lock(frag_mutex());
            dropped = take_sink([serial](const Sink &s) { return s.serial == serial; });
        }
        if (!dropped)
            return;
        drop_sink(*dropped);
    }
}

int write_data_file(n_frag *f, const char *path)
{
    const int result = f->total_len > INT_MAX ? INT_MAX : static_cast<int>(f->total_len);
    // A transfer written to this very file as it arrived is there already.
    if (f->sink_path != nullptr && frag_state(f) == FRAG_FINISHED && std::strcmp(f->sink_path, path) == 0)
        return result;
    if (f->frag_data == nullptr && frag_receiving(f) && frag_state(f) == FRAG_FINISHED)
        sink_load(f);
    const int out = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (out < 0)
        return fail(file_error(errno));
    bool ok = true;
    if (f->frag_data != nullptr && f->total_len != 0)
        ok = write_all(out, f->frag_data, f->total_len, 0);
    if (::close(out) != 0 || !ok)
        return fail(kInval);
    return f->frag_data != nullptr ? result : 0;
}

}  // namespace nimbet

extern "C" {

int n_frag_recv_file_opts(int fd, const unsigned char *peer_id, const char *path, int flags)
try {
    if (path == nullptr || *path == '\0' || (flags & ~FRAG_FILE_KEEP_PARTIAL) != 0)
        return fail(kInval);
    SocketRef rec = socket_acquire(fd);
    if (!rec)
        return fail(kBadF);
    Sink s{rec->serial, peer_id == nullptr, {}, (flags & FRAG_FILE_KEEP_PARTIAL) != 0, path, {}, -1};
    if (peer_id != nullptr)
        std::memcpy(s.peer, peer_id, kIdLen);
    // The file is created outside the lock: a slow disk holds up no transfer.
    s.file = create_part_file(s.path, s.part_path);
    if (s.file < 0)
        return fail(file_error(errno));
    std::optional<Sink> replaced;
    bool closing = false;
    try {
        // A close sets `closed` before it drops its socket's arrangements
        // under this lock: either it finds this one, or this sees it closing.
        const ScopedLock lock(frag_mutex());
        closing = rec->closed.load(std::memory_order_seq_cst);
        if (!closing) {
            replaced = take_sink([&s](const Sink &o) {
                return o.serial == s.serial && o.any == s.any && (s.any || same_id(o.peer, s.peer));
            });
            // Grows the table only when nothing was taken out of it; when
            // that runs out of memory the table is as it was.
            g_sinks.push_back(std::move(s));
        }
    } catch (...) {
        drop_sink(s);
        throw;
    }
    if (replaced)
        drop_sink(*replaced);
    if (closing) {
        drop_sink(s);
        return fail(kBadF);
    }
    return 0;
} catch (...) {
    return failed_by_exception(n_frag_recv_file_opts);
}

int n_frag_recv_file(int fd, const unsigned char *peer_id, const char *path)
try {
    return n_frag_recv_file_opts(fd, peer_id, path, 0);
} catch (...) {
    return failed_by_exception(n_frag_recv_file);
}

}  // extern "C"
