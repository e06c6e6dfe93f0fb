// Platform module: the calls that differ between systems, for Windows.

// SetFileInformationByHandle, used to delete the archive through a handle
// whose identity was checked, needs Windows Vista or later.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

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

// The directory extracted files go into, by path (Windows' runtime cannot
// create a file relative to an open directory), and a handle on it that
// refuses to share deletion, so it cannot be renamed or removed meanwhile.
std::string target_directory;
HANDLE target_handle = INVALID_HANDLE_VALUE;

// The temporary file's full path while it exists, for the console handler.
char temporary_path[MAX_PATH + 64];
volatile LONG temporary_exists = 0;
unsigned long temporary_counter = 0;

// The C library's number for the last Windows error, for the messages.
int errno_from_windows(DWORD error)
{
    switch (error) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_DIRECTORY:
        return ENOTDIR;
    default:
        return EIO;
    }
}

// Ctrl+C and the like: the temporary file is marked for deletion (it was
// opened sharing deletion), which happens when the process ends.
BOOL WINAPI remove_temporary_on_break(DWORD)
{
    if (temporary_exists)
        DeleteFileA(temporary_path);
    return FALSE;
}

std::string path_in_target(const char *name)
{
    return target_directory + "\\" + name;
}

}  // namespace

const int plat_windows_names = 1;

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

int plat_open_archive(const char *path)
{
    // Opening a directory fails here already, with EACCES.
    return _open(path, _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}

int plat_standard_input(void)
{
    // Standard input starts in text mode, which would turn CR LF into LF
    // and stop at the first 0x1A.
    _setmode(0, _O_BINARY);
    return 0;
}

int system_standard_output(void)
{
    // Data written by -p are bytes, not text: no LF becomes CR LF.
    _setmode(1, _O_BINARY);
    return 1;
}

int plat_open_directory(const char *path)
{
    HANDLE handle = CreateFileA(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        errno = errno_from_windows(GetLastError());
        return 0;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info) ||
        !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(handle);
        errno = ENOTDIR;
        return 0;
    }
    target_handle = handle;
    target_directory = path;
    SetConsoleCtrlHandler(remove_temporary_on_break, TRUE);
    return 1;
}

int plat_create_temporary(void)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::snprintf(temporary_path, sizeof temporary_path, "%s\\.untessel-%lu-%lu.tmp",
                      target_directory.c_str(), static_cast<unsigned long>(GetCurrentProcessId()),
                      ++temporary_counter);
        if (target_directory.size() + 40 > MAX_PATH) {
            errno = ENAMETOOLONG;
            return -1;
        }
        HANDLE handle = CreateFileA(temporary_path, GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            DWORD error = GetLastError();
            if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS)
                continue;
            errno = errno_from_windows(error);
            return -1;
        }
        InterlockedExchange(&temporary_exists, 1);
        int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
        if (fd < 0) {
            CloseHandle(handle);
            DeleteFileA(temporary_path);
            InterlockedExchange(&temporary_exists, 0);
            errno = EIO;
            return -1;
        }
        return fd;
    }
    errno = EEXIST;
    return -1;
}

int plat_name_temporary(int handle, const char *name, int replace)
{
    // Closed first, so that a failure to write its last bytes is known
    // before it takes the name.
    if (_close(handle) != 0) {
        int saved = errno;
        DeleteFileA(temporary_path);
        InterlockedExchange(&temporary_exists, 0);
        errno = saved;
        return 0;
    }
    std::string final_path = path_in_target(name);
    DWORD attributes = GetFileAttributesA(final_path.c_str());
    BOOL done;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
        !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        // Never replaced, and never to be reported as anything else.
        done = FALSE;
        errno = replace ? EISDIR : EEXIST;
    } else {
        done = MoveFileExA(temporary_path, final_path.c_str(),
                           replace ? MOVEFILE_REPLACE_EXISTING : 0);
        if (!done)
            errno = errno_from_windows(GetLastError());
    }
    if (!done)
        DeleteFileA(temporary_path);
    InterlockedExchange(&temporary_exists, 0);
    return done ? 1 : 0;
}

void plat_discard_temporary(int handle)
{
    _close(handle);
    DeleteFileA(temporary_path);
    InterlockedExchange(&temporary_exists, 0);
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
