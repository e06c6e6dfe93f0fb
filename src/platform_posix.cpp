// Platform module: the calls that differ between systems, for POSIX systems.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

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

// The directory extracted files go into, open for the whole run.
int target_directory = -1;

// Whether files without a name can be made and named later: the system
// offers O_TMPFILE and /proc gives a path by which to link such a file.
bool anonymous_temporaries = false;

// Whether an unnamed file can be linked through its descriptor itself
// (AT_EMPTY_PATH), which spares a path lookup in /proc for every file.
// Older kernels allow that only with a privilege, and answer ENOENT.
bool empty_path_links = true;

// The temporary file's name while one is visible in the target directory,
// for the signal handler to remove.  Set and cleared only with the
// signals blocked, so the handler never sees it half-written.
char temporary_name[64];
volatile sig_atomic_t temporary_visible = 0;
unsigned long temporary_counter = 0;

const int CLEANUP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// Removes a visible temporary file, then lets the signal end the process
// as it would have without the handler.
void remove_temporary_and_die(int signal_number)
{
    if (temporary_visible)
        unlinkat(target_directory, temporary_name, 0);
    std::signal(signal_number, SIG_DFL);
    raise(signal_number);
}

void block_cleanup_signals(sigset_t *saved)
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : CLEANUP_SIGNALS)
        sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, saved);
}

void restore_signals(const sigset_t *saved)
{
    sigprocmask(SIG_SETMASK, saved, nullptr);
}

// Links the unnamed file `fd` as `name` in the target directory; like any
// linkat, never over an existing name and never through a link there.
// Returns 0, or -1 with errno set.
int link_unnamed(int fd, const char *name)
{
#ifdef AT_EMPTY_PATH
    if (empty_path_links) {
        if (linkat(fd, "", target_directory, name, AT_EMPTY_PATH) == 0)
            return 0;
        if (errno != ENOENT)
            return -1;
        empty_path_links = false;
    }
#endif
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, path, target_directory, name, AT_SYMLINK_FOLLOW);
}

// Creates a new file under a fresh temporary name, exclusively and never
// through a symbolic link, and records the name for the signal handler.
int create_visible_temporary(void)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        sigset_t saved;
        block_cleanup_signals(&saved);
        std::snprintf(temporary_name, sizeof temporary_name, ".untessel-%ld-%lu.tmp",
                      static_cast<long>(getpid()), ++temporary_counter);
        int fd = openat(target_directory, temporary_name,
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
        int saved_errno = errno;
        if (fd >= 0)
            temporary_visible = 1;
        restore_signals(&saved);
        if (fd >= 0 || saved_errno != EEXIST) {
            errno = saved_errno;
            return fd;
        }
    }
    errno = EEXIST;
    return -1;
}

// Gives an unnamed file a fresh temporary name (for a replacing rename).
int link_anonymous_as_temporary(int fd)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        sigset_t saved;
        block_cleanup_signals(&saved);
        std::snprintf(temporary_name, sizeof temporary_name, ".untessel-%ld-%lu.tmp",
                      static_cast<long>(getpid()), ++temporary_counter);
        int done = link_unnamed(fd, temporary_name);
        int saved_errno = errno;
        if (done == 0)
            temporary_visible = 1;
        restore_signals(&saved);
        if (done == 0)
            return 1;
        if (saved_errno != EEXIST) {
            errno = saved_errno;
            return 0;
        }
    }
    errno = EEXIST;
    return 0;
}

// Removes the visible temporary name, if there is one.
void forget_temporary(void)
{
    sigset_t saved;
    block_cleanup_signals(&saved);
    if (temporary_visible)
        unlinkat(target_directory, temporary_name, 0);
    temporary_visible = 0;
    restore_signals(&saved);
}

// Renames the visible temporary file to `name`.  Without `replace`, a
// hard link gives the name only when nothing has it yet, and never
// through a symbolic link; the temporary name is removed either way.
int rename_temporary(const char *name, int replace)
{
    int done;
    sigset_t saved;
    block_cleanup_signals(&saved);
    if (replace) {
        done = renameat(target_directory, temporary_name, target_directory, name);
    } else {
        done = linkat(target_directory, temporary_name, target_directory, name, 0);
        if (done != 0 && (errno == EPERM || errno == EOPNOTSUPP)) {
            // A file system without hard links: the name is checked, then
            // taken by a rename, which leaves a moment in between.
            struct stat st;
            if (fstatat(target_directory, name, &st, AT_SYMLINK_NOFOLLOW) == 0)
                errno = EEXIST;
            else if (errno == ENOENT)
                done = renameat(target_directory, temporary_name, target_directory, name);
        }
    }
    int saved_errno = errno;
    if (done != 0 || !replace)
        unlinkat(target_directory, temporary_name, 0);  // gone already after a rename
    temporary_visible = 0;
    restore_signals(&saved);
    errno = saved_errno;
    return done == 0;
}

}  // namespace

const int plat_windows_names = 0;

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

int plat_open_archive(const char *path)
{
    int fd = open(path, O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    // A directory opens, but every read of it fails: say so at once.
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(fd);
        errno = EISDIR;
        return -1;
    }
    return fd;
}

int plat_standard_input(void)
{
    return STDIN_FILENO;
}

int system_standard_output(void)
{
    return STDOUT_FILENO;
}

int plat_open_directory(const char *path)
{
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    target_directory = fd;
#ifdef O_TMPFILE
    // An unnamed file is given its name by a link from its descriptor or,
    // where that needs a privilege, from /proc/self/fd/N, which does not;
    // without /proc it might never be named.
    anonymous_temporaries = access("/proc/self/fd", X_OK) == 0;
#endif
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = remove_temporary_and_die;
    sigemptyset(&action.sa_mask);
    for (int sig : CLEANUP_SIGNALS)
        sigaddset(&action.sa_mask, sig);
    for (int sig : CLEANUP_SIGNALS) {
        struct sigaction old;
        // A signal ignored by whoever started us stays ignored.
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            sigaction(sig, &action, nullptr);
    }
    return 1;
}

int plat_create_temporary(void)
{
#ifdef O_TMPFILE
    if (anonymous_temporaries) {
        int fd = openat(target_directory, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (fd >= 0)
            return fd;
        // Not every file system offers unnamed files.
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
            return -1;
        anonymous_temporaries = false;
    }
#endif
    return create_visible_temporary();
}

int plat_name_temporary(int handle, const char *name, int replace)
{
    if (!temporary_visible) {
        // An unnamed file: linked straight to its name when nothing may be
        // replaced (linkat never replaces and never follows a link at the
        // name), or first to a temporary name that is then renamed.
        int done;
        if (replace) {
            done = link_anonymous_as_temporary(handle);
        } else {
            done = link_unnamed(handle, name) == 0;
        }
        int saved_errno = errno;
        if (close(handle) != 0 && done) {
            saved_errno = errno;
            forget_temporary();
            if (!replace)
                unlinkat(target_directory, name, 0);
            done = 0;
        }
        errno = saved_errno;
        if (!done || !replace)
            return done;
        return rename_temporary(name, replace);
    }
    // A named temporary file: closed first, so that a failure to write its
    // last bytes is known before it takes the name.
    if (close(handle) != 0) {
        int saved_errno = errno;
        forget_temporary();
        errno = saved_errno;
        return 0;
    }
    return rename_temporary(name, replace);
}

void plat_discard_temporary(int handle)
{
    close(handle);
    forget_temporary();
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
