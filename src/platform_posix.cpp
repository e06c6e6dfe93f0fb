// Platform module: the calls that differ between systems, for POSIX systems.

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform.h"
#include "platform_system.h"

namespace {

// An input opened by system_open_input still has O_NONBLOCK set.  A file
// system that honours it for regular files says "try again" instead of
// waiting; the read then waits like any other.  Returns 1 when the flag was
// set and is now cleared, so the read is worth retrying.
int make_blocking(int handle)
{
    int flags = fcntl(handle, F_GETFL);
    if (flags < 0 || !(flags & O_NONBLOCK))
        return 0;
    return fcntl(handle, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

}  // namespace

long system_write(int fd, const void *data, size_t count)
{
    return write(fd, data, count);
}

long system_read(int fd, void *buffer, size_t count)
{
    for (;;) {
        long n = read(fd, buffer, count);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && make_blocking(fd))
            continue;
        return n;
    }
}

int64_t system_seek(int fd, int64_t offset, int whence)
{
    return lseek(fd, static_cast<off_t>(offset), whence);
}

int system_close(int fd)
{
    return close(fd);
}

// O_NONBLOCK keeps a FIFO from stalling the open; plat_open_read refuses it.
// The flag stays set: reads of a regular file ignore it almost everywhere,
// and system_read clears it where they do not, which saves two system calls
// per file.
int system_open_input(const char *path)
{
    return open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

int system_input_status(int fd, int *regular, int64_t *size)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return 0;
    *regular = S_ISREG(st.st_mode);
    *size = static_cast<int64_t>(st.st_size);
    return 1;
}

int system_create(plat_stream *stream, const char *path)
{
    // O_NONBLOCK: a FIFO nobody reads fails at once instead of hanging.
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0)
        return -1;
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        stream->is_regular = 1;
        stream->device = static_cast<uint64_t>(st.st_dev);
        stream->inode = static_cast<uint64_t>(st.st_ino);
    }
    return fd;
}

void plat_init(void)
{
    // With a standard descriptor closed, the archive would be given its
    // number and every message would land inside the archive.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            int null_fd = open("/dev/null", O_RDWR);
            if (null_fd >= 0 && null_fd != fd)
                close(null_fd);
        }
    }
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
}

// The item is opened first, and its status asked only when the open fails,
// to tell a missing item from one that cannot be read: whatever opens
// exists, so a stored file costs no status query.
int plat_open_item(const char *path, int64_t *size, int *missing)
{
    *missing = refused_by_status_query(path);
    if (*missing)
        return -1;
    int fd = open_regular_input(path, size);
    if (fd < 0) {
        int open_error = errno;
        struct stat st;
        *missing = stat(path, &st) != 0;
        errno = open_error;
    }
    return fd;
}

void plat_remove_created(const plat_stream *stream, const char *path)
{
    if (!stream->is_regular)
        return;
    // lstat, not stat: a symbolic link put in the archive's place is not the
    // file this run created, and neither is whatever it points to.
    struct stat st;
    if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return;
    if (static_cast<uint64_t>(st.st_dev) != stream->device ||
        static_cast<uint64_t>(st.st_ino) != stream->inode)
        return;
    unlink(path);
}
