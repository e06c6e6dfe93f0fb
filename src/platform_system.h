// Platform module, inside: what platform.cpp needs from the file of the
// system it is built for (platform_posix.cpp or platform_windows.cpp).
// Nothing outside the platform module includes this header.
#ifndef TESSEL_PLATFORM_SYSTEM_H
#define TESSEL_PLATFORM_SYSTEM_H

#include <cstddef>
#include <cstdint>

#include "platform.h"

// One write of at most `count` bytes.  Returns the count written, or -1 with
// errno set.
long system_write(int fd, const void *data, size_t count);

// One read of at most `count` bytes, waiting for data.  Returns the count
// read, 0 at the end of the file, or -1 with errno set.
long system_read(int fd, void *buffer, size_t count);

// Moves the position of `fd`.  Returns the new position, or -1 with errno set.
int64_t system_seek(int fd, int64_t offset, int whence);

// Closes a descriptor.  Returns 0, or -1 with errno set.
int system_close(int fd);

// Opens an input file for binary reading without blocking on a FIFO.
// Returns a descriptor, or -1 with errno set.
int system_open_input(const char *path);

// Tells whether `fd` is a regular file, and its size.  Returns 1 with
// *regular and *size set, or 0 with errno set.
int system_input_status(int fd, int *regular, int64_t *size);

// Creates (or truncates) `path` for binary writing, never blocking, and
// records in `stream` whether it is a regular file and its identity.
// Returns the descriptor, or -1 with errno set.
int system_create(plat_stream *stream, const char *path);

// The descriptor of standard output, switched to binary writing.
int system_standard_output(void);

// plat_open_read, which also stores the size of the file it opened.
int open_regular_input(const char *path, int64_t *size);

// Whether a path can never pass the status query: it holds ? or *, or it is
// a drive name alone such as "C:".
bool refused_by_status_query(const char *path);

#endif
