// Platform module: every call into the operating system, and every difference
// between the systems tessel runs on, lives behind these functions.
#ifndef TESSEL_PLATFORM_H
#define TESSEL_PLATFORM_H

#include <cstddef>
#include <cstdint>

// A buffered output stream.  Once a write has failed the stream accepts
// nothing more, so whatever reached the file is always a prefix of what was
// meant to be written.
struct plat_stream {
    int fd;               // -1 while the stream is closed
    int error;            // error indicator: set by the first failed write
    int error_number;     // errno of that failure
    size_t fill;          // bytes waiting in the buffer
    uint64_t position;    // bytes accepted so far: where the next one goes
    int is_regular;       // what was opened is a regular file ...
    uint64_t device;      // ... with this identity, checked before deleting
    uint64_t inode;       // (on Windows: volume serial number, file index)
};

// Prepares the process: a file size limit or a vanished reader then shows as
// a failed write with a message instead of killing the run silently.
void plat_init(void);

// Opens a regular file for binary reading, never blocking.  Returns a handle,
// or -1 with errno set (EACCES for a directory, FIFO, device or socket).
int plat_open_read(const char *path);

// Opens an item to be stored as plat_open_read does, and stores its size,
// taken from the open file.  When it cannot, sets *missing to 1 when the
// status query does not find the item, or to 0 when the item exists and
// errno says why it cannot be opened.  Paths holding ? or *, and a bare
// drive name such as "C:", are never found, whatever exists on disk.
int plat_open_item(const char *path, int64_t *size, int *missing);

// Reads until `count` bytes, end of file or an error.  Returns the number of
// bytes read; errno tells an error from the end of the file when it is short.
size_t plat_read(int handle, void *buffer, size_t count);

// Reads as plat_read does, and also stops after a read that comes back short
// with exactly `expected` bytes in: a file of that size has then been read
// whole, and one more read could only see its end.
size_t plat_read_expected(int handle, void *buffer, size_t count, size_t expected);

// Finds the size of an open input by seeking to its end and back to its
// start.  Returns 1, or 0 with errno set.
int plat_input_size(int handle, int64_t *size);

// Opens an archive for binary reading: a regular file, a FIFO or a device,
// but not a directory.  Returns a handle, or -1 with errno set.
int plat_open_archive(const char *path);

// The handle of standard input, switched to binary reading where the system
// would otherwise translate line ends.
int plat_standard_input(void);

// For a regular file, stores the bytes from the handle's position to the
// end and returns 1; returns 0 for anything that cannot seek (a pipe).
int plat_input_left(int handle, int64_t *left);

// Moves the input `count` bytes forward without reading them.  Returns 1,
// or 0 with errno set.
int plat_skip(int handle, int64_t count);

// Closes an input handle.
void plat_close_read(int handle);

// Creates (or truncates) `path` for binary writing, never blocking.
// Returns 1, or 0 with errno set.
int plat_create(plat_stream *stream, const char *path);

// Appends one byte; a failure shows only through the error indicator.
void plat_put_byte(plat_stream *stream, int byte);

// Appends a block.  Returns `count` when all of it was accepted, less when the
// stream failed (errno is then in `error_number`).
size_t plat_write(plat_stream *stream, const void *data, size_t count);

// Flushes and closes.  Returns 1 when every byte ever written reached the
// file, 0 otherwise, with the cause in `error_number`.
int plat_close(plat_stream *stream);

// Deletes `path` only when it is still the regular file `stream` opened, so
// a device, a FIFO or a file put there by someone else is never removed.
void plat_remove_created(const plat_stream *stream, const char *path);

// Names that this system cannot or must not create as one file in a
// directory, beyond the empty name, "." and ".." and a slash: 1 where
// Windows' own rules apply (reserved characters, device names, a final
// dot or space), else 0.
extern const int plat_windows_names;

// Opens the directory that extracted files go into, and keeps it open for
// the run, so that replacing its path meanwhile redirects nothing.  Also
// makes SIGINT, SIGTERM and SIGHUP remove a temporary file before the
// process ends.  Returns 1, or 0 with errno set.
int plat_open_directory(const char *path);

// Creates a new temporary file inside that directory, exclusively, with
// mode 0666 less the umask; where the file system can, it has no name at
// all until plat_name_temporary.  Returns a handle for writing, or -1 with
// errno set.
int plat_create_temporary(void);

// Writes all `count` bytes to a handle.  Returns 1, or 0 with errno set.
int plat_write_all(int handle, const void *data, size_t count);

// Closes the temporary file and gives it `name` inside the directory.
// Without `replace`, only when nothing has that name (else errno EEXIST);
// with it, whatever has the name is replaced, a symbolic link itself and
// never what it points to, except a directory (errno EISDIR).  On any
// failure the temporary file is gone.  Returns 1, or 0 with errno set.
int plat_name_temporary(int handle, const char *name, int replace);

// Closes the temporary file and removes it: nothing of it stays.
void plat_discard_temporary(int handle);

// Makes `stream` write to standard output, in binary mode.
void plat_standard_output(plat_stream *stream);

// The platform's text for an errno value; 0 gives "No error".
const char *plat_error_text(int error_number);

// The system error line: "name: text\n", or "text\n" when name is empty.
void plat_report_error(const char *name, int error_number);

// Ends the process.  Streams still open are flushed and closed first, as the
// runtime does for its own streams at exit.
[[noreturn]] void plat_exit(int status);

#endif
