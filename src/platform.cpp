// Platform module: the operating system calls behind platform.h.

#include "platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>

#ifdef _WIN32
// SetFileInformationByHandle, used to delete the archive through a handle
// whose identity was checked, needs Windows Vista or later.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600
#endif
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

extern const char platform_ident[];
const char platform_ident[] = "@(#)platform: 1.1 26/12/11";

namespace {

// Output is gathered here and handed to the system in large writes.  There is
// only ever one output stream open, the archive.
constexpr size_t STREAM_BUFFER_SIZE = 64 * 1024;
unsigned char stream_buffer[STREAM_BUFFER_SIZE];
plat_stream *open_stream = nullptr;

#ifdef _WIN32
// The runtime's read and write take an unsigned int count and answer with an
// int, so one call never asks for more than this.
constexpr size_t MAX_TRANSFER = 1u << 30;

long system_write(int fd, const void *data, size_t count)
{
    return _write(fd, data, static_cast<unsigned>(count < MAX_TRANSFER ? count : MAX_TRANSFER));
}

long system_read(int fd, void *buffer, size_t count)
{
    return _read(fd, buffer, static_cast<unsigned>(count < MAX_TRANSFER ? count : MAX_TRANSFER));
}

int64_t system_seek(int fd, int64_t offset, int whence)
{
    return _lseeki64(fd, offset, whence);
}

int system_close(int fd)
{
    return _close(fd);
}

// Binary mode: every byte is stored as it is.  Opening a directory fails
// here already (EACCES); a device such as NUL or CON opens, and is refused
// by plat_open_read like a directory.
int system_open_input(const char *path)
{
    return _open(path, _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}

// 1 with *regular set, or 0 with errno set.
int system_is_regular(int fd, int *regular)
{
    struct _stati64 st;
    if (_fstati64(fd, &st) != 0)
        return 0;
    *regular = (st.st_mode & _S_IFMT) == _S_IFREG;
    return 1;
}

// The identity of an open file: the volume's serial number and the file's
// index on it, the Windows counterpart of a device and inode number.  Only a
// file on disk that is not a directory counts as a regular file.
bool regular_file_identity(HANDLE handle, uint64_t *volume, uint64_t *index)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info))
        return false;
    if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    *volume = info.dwVolumeSerialNumber;
    *index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}
#else
long system_write(int fd, const void *data, size_t count)
{
    return write(fd, data, count);
}

long system_read(int fd, void *buffer, size_t count)
{
    return read(fd, buffer, count);
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
// and plat_read clears it where they do not, which saves two system calls
// per file.
int system_open_input(const char *path)
{
    return open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

// 1 with *regular set, or 0 with errno set.
int system_is_regular(int fd, int *regular)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return 0;
    *regular = S_ISREG(st.st_mode);
    return 1;
}
#endif

// Wildcards are refused rather than matched, and a drive name alone ("C:") is
// not a file, so neither ever passes the status query.
bool refused_by_status_query(const char *path)
{
    if (std::strpbrk(path, "?*") != nullptr)
        return true;
    return std::strlen(path) == 2 && path[1] == ':';
}

// Hands the buffered bytes to the system.  The first failure sets the error
// indicator for good.
int flush_stream(plat_stream *stream)
{
    size_t done = 0;
    while (!stream->error && done < stream->fill) {
        long n = system_write(stream->fd, stream_buffer + done, stream->fill - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            stream->error = 1;
            stream->error_number = n < 0 ? errno : ENOSPC;
        }
    }
    stream->fill = 0;
    return !stream->error;
}

// Writes a block straight from the caller's memory, bypassing the buffer.
void write_direct(plat_stream *stream, const unsigned char *data, size_t count)
{
    while (!stream->error && count > 0) {
        long n = system_write(stream->fd, data, count);
        if (n > 0) {
            data += n;
            count -= static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            stream->error = 1;
            stream->error_number = n < 0 ? errno : ENOSPC;
        }
    }
}

#ifndef _WIN32
// An input opened by plat_open_read still has O_NONBLOCK set.  A file
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
#endif

}  // namespace

#ifdef _WIN32
// Keeps the runtime from expanding wildcards in the argument words before
// main sees them: an item holding ? or * is reported missing, never matched.
extern "C" int _dowildcard;
int _dowildcard = 0;

void plat_init(void)
{
    // Windows has no signal for a file size limit or a vanished reader: both
    // show as failed writes already.  Standard error stays in text mode, so
    // its lines end in CR LF as usual there.
}
#else
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
#endif

int plat_file_size(const char *path, int64_t *size)
{
    if (refused_by_status_query(path))
        return 0;
#ifdef _WIN32
    struct _stati64 st;
    if (_stati64(path, &st) != 0)
        return 0;
#else
    struct stat st;
    if (stat(path, &st) != 0)
        return 0;
#endif
    *size = static_cast<int64_t>(st.st_size);
    return 1;
}

int plat_open_read(const char *path)
{
    int fd = system_open_input(path);
    if (fd < 0)
        return -1;
    int regular = 0;
    if (!system_is_regular(fd, &regular)) {
        int saved = errno;
        system_close(fd);
        errno = saved;
        return -1;
    }
    if (!regular) {
        system_close(fd);
        errno = EACCES;
        return -1;
    }
    return fd;
}

size_t plat_read(int handle, void *buffer, size_t count)
{
    unsigned char *p = static_cast<unsigned char *>(buffer);
    size_t done = 0;
    errno = 0;
    while (done < count) {
        long n = system_read(handle, p + done, count - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n < 0 && errno == EINTR)
            continue;
#ifndef _WIN32
        else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && make_blocking(handle))
            continue;
#endif
        else
            break;
    }
    return done;
}

int plat_input_size(int handle, int64_t *size)
{
    int64_t end = system_seek(handle, 0, SEEK_END);
    if (end < 0 || system_seek(handle, 0, SEEK_SET) != 0)
        return 0;
    *size = end;
    return 1;
}

void plat_close_read(int handle)
{
    system_close(handle);
}

int plat_create(plat_stream *stream, const char *path)
{
    stream->fd = -1;
    stream->error = 0;
    stream->error_number = 0;
    stream->fill = 0;
    stream->position = 0;
    stream->is_regular = 0;
#ifdef _WIN32
    int fd = _open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT,
                   _S_IREAD | _S_IWRITE);
    if (fd < 0)
        return 0;
    uint64_t volume = 0;
    uint64_t index = 0;
    if (regular_file_identity(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), &volume, &index)) {
        stream->is_regular = 1;
        stream->device = volume;
        stream->inode = index;
    }
#else
    // O_NONBLOCK: a FIFO nobody reads fails at once instead of hanging.
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0)
        return 0;
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        stream->is_regular = 1;
        stream->device = static_cast<uint64_t>(st.st_dev);
        stream->inode = static_cast<uint64_t>(st.st_ino);
    }
#endif
    stream->fd = fd;
    open_stream = stream;
    return 1;
}

void plat_put_byte(plat_stream *stream, int byte)
{
    if (stream->error)
        return;
    if (stream->fill == STREAM_BUFFER_SIZE && !flush_stream(stream))
        return;
    stream_buffer[stream->fill++] = static_cast<unsigned char>(byte);
    ++stream->position;
}

size_t plat_write(plat_stream *stream, const void *data, size_t count)
{
    const unsigned char *p = static_cast<const unsigned char *>(data);
    if (stream->error)
        return 0;
    if (count >= STREAM_BUFFER_SIZE) {
        if (!flush_stream(stream))
            return 0;
        write_direct(stream, p, count);
        if (stream->error)
            return 0;
        stream->position += count;
        return count;
    }
    if (count > STREAM_BUFFER_SIZE - stream->fill && !flush_stream(stream))
        return 0;
    std::memcpy(stream_buffer + stream->fill, p, count);
    stream->fill += count;
    stream->position += count;
    return count;
}

int plat_close(plat_stream *stream)
{
    if (stream->fd < 0)
        return !stream->error;
    flush_stream(stream);
    if (system_close(stream->fd) != 0 && !stream->error) {
        stream->error = 1;
        stream->error_number = errno;
    }
    stream->fd = -1;
    if (open_stream == stream)
        open_stream = nullptr;
    return !stream->error;
}

#ifdef _WIN32
void plat_remove_created(const plat_stream *stream, const char *path)
{
    if (!stream->is_regular)
        return;
    // Windows has no inode, but the volume serial number and the file index
    // identify a file just as well.  The path is opened without following a
    // reparse point (a symbolic link or junction put in the archive's place
    // is not the file this run created), the identity is checked on that
    // handle, and the deletion is asked for through the same handle, so no
    // other file can take the path's place between the check and the delete.
    HANDLE handle = CreateFileA(path, DELETE | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return;
    uint64_t volume = 0;
    uint64_t index = 0;
    if (regular_file_identity(handle, &volume, &index) &&
        volume == stream->device && index == stream->inode) {
        FILE_DISPOSITION_INFO disposition;
        disposition.DeleteFile = TRUE;
        SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
    }
    CloseHandle(handle);
}
#else
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
#endif

const char *plat_error_text(int error_number)
{
    // glibc (and Wine's msvcrt) call the absence of an error "Success", which
    // reads as nonsense in a line that reports a failure.
    if (error_number == 0)
        return "No error";
    return std::strerror(error_number);
}

void plat_report_error(const char *name, int error_number)
{
    if (name[0] == '\0')
        std::fprintf(stderr, "%s\n", plat_error_text(error_number));
    else
        std::fprintf(stderr, "%s: %s\n", name, plat_error_text(error_number));
}

void plat_exit(int status)
{
    if (open_stream != nullptr)
        plat_close(open_stream);
    std::exit(status);
}
