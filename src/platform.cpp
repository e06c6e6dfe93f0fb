// Platform module, the part common to every system: the buffered output
// stream, inputs, the error line and the exit.  The calls that differ
// between systems are in platform_posix.cpp and platform_windows.cpp.

#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform_system.h"

extern const char platform_ident[];
const char platform_ident[] = "@(#)platform: 1.1 26/12/11";

namespace {

// Output is gathered here and handed to the system in large writes.  There is
// only ever one output stream open, the archive.
constexpr size_t STREAM_BUFFER_SIZE = 64 * 1024;
unsigned char stream_buffer[STREAM_BUFFER_SIZE];
plat_stream *open_stream = nullptr;

// Writes a block through to the system; the first failure sets the error
// indicator for good, so nothing after it reaches the file.
void write_through(plat_stream *stream, const unsigned char *data, size_t count)
{
    if (!stream->error && !plat_write_all(stream->fd, data, count)) {
        stream->error = 1;
        stream->error_number = errno;
    }
}

// Hands the buffered bytes to the system.
int flush_stream(plat_stream *stream)
{
    write_through(stream, stream_buffer, stream->fill);
    stream->fill = 0;
    return !stream->error;
}

}  // namespace

bool refused_by_status_query(const char *path)
{
    // Wildcards are refused rather than matched, and a drive name alone
    // ("C:") is not a file, so neither ever passes the status query.
    if (std::strpbrk(path, "?*") != nullptr)
        return true;
    return std::strlen(path) == 2 && path[1] == ':';
}

int open_regular_input(const char *path, int64_t *size)
{
    int fd = system_open_input(path);
    if (fd < 0)
        return -1;
    int regular = 0;
    int64_t status_size = 0;
    if (!system_input_status(fd, &regular, &status_size)) {
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
    *size = status_size;
    return fd;
}

int plat_open_read(const char *path)
{
    int64_t size = 0;
    return open_regular_input(path, &size);
}

size_t plat_read(int handle, void *buffer, size_t count)
{
    // A short read can never bring the count to `count` itself.
    return plat_read_expected(handle, buffer, count, count);
}

size_t plat_read_expected(int handle, void *buffer, size_t count, size_t expected)
{
    unsigned char *p = static_cast<unsigned char *>(buffer);
    size_t done = 0;
    errno = 0;
    while (done < count) {
        long n = system_read(handle, p + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            if (done == expected && done < count)
                break;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
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

int plat_input_left(int handle, int64_t *left)
{
    int regular = 0;
    int64_t size = 0;
    if (!system_input_status(handle, &regular, &size) || !regular)
        return 0;
    int64_t here = system_seek(handle, 0, SEEK_CUR);
    if (here < 0 || size < here)
        return 0;
    *left = size - here;
    return 1;
}

int plat_skip(int handle, int64_t count)
{
    return system_seek(handle, count, SEEK_CUR) >= 0;
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
    int fd = system_create(stream, path);
    if (fd < 0)
        return 0;
    stream->fd = fd;
    open_stream = stream;
    return 1;
}

void plat_standard_output(plat_stream *stream)
{
    stream->fd = system_standard_output();
    stream->error = 0;
    stream->error_number = 0;
    stream->fill = 0;
    stream->position = 0;
    stream->is_regular = 0;
    open_stream = stream;
}

int plat_write_all(int handle, const void *data, size_t count)
{
    const unsigned char *p = static_cast<const unsigned char *>(data);
    while (count > 0) {
        long n = system_write(handle, p, count);
        if (n > 0) {
            p += n;
            count -= static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            if (n == 0)
                errno = ENOSPC;
            return 0;
        }
    }
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
        write_through(stream, p, count);
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
