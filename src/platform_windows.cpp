// Platform module: the calls that differ between systems, for Windows.

// SetFileInformationByHandle, used to delete the archive through a handle
// whose identity was checked, needs Windows Vista or later.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600
#endif

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include "platform.h"
#include "platform_system.h"

namespace {

// The runtime's read and write take an unsigned int count and answer with an
// int, so one call never asks for more than this.
constexpr size_t MAX_TRANSFER = 1u << 30;

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

}  // namespace

// Keeps the runtime from expanding wildcards in the argument words before
// main sees them: an item holding ? or * is reported missing, never matched.
extern "C" int _dowildcard;
int _dowildcard = 0;

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

int system_input_status(int fd, int *regular, int64_t *size)
{
    struct _stati64 st;
    if (_fstati64(fd, &st) != 0)
        return 0;
    *regular = (st.st_mode & _S_IFMT) == _S_IFREG;
    *size = static_cast<int64_t>(st.st_size);
    return 1;
}

int system_create(plat_stream *stream, const char *path)
{
    int fd = _open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT,
                   _S_IREAD | _S_IWRITE);
    if (fd < 0)
        return -1;
    uint64_t volume = 0;
    uint64_t index = 0;
    if (regular_file_identity(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), &volume, &index)) {
        stream->is_regular = 1;
        stream->device = volume;
        stream->inode = index;
    }
    return fd;
}

void plat_init(void)
{
    // Windows has no signal for a file size limit or a vanished reader: both
    // show as failed writes already.  Standard error stays in text mode, so
    // its lines end in CR LF as usual there.
}

// The runtime's status query and its open do not agree on every path: a
// path longer than MAX_PATH, for one, opens under Wine but is not found.
// What the query does not find is a missing item, so here it is asked
// before the open.
int plat_open_item(const char *path, int64_t *size, int *missing)
{
    struct _stati64 st;
    *missing = refused_by_status_query(path) || _stati64(path, &st) != 0;
    if (*missing)
        return -1;
    return open_regular_input(path, size);
}

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
