// Preloaded into untessel by the tests to make the system look older or
// poorer than it is, as TEMPORARY_SHIM in the environment says:
//   no-tmpfile      an openat that asks for O_TMPFILE fails with EOPNOTSUPP,
//                   as on a file system without unnamed files, so the
//                   named temporary file is used;
//   no-empty-path   a linkat with AT_EMPTY_PATH fails with ENOENT, as for an
//                   unprivileged process on kernels before 6.10, so unnamed
//                   files are linked through /proc/self/fd.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

bool refusing(const char *what)
{
    const char *setting = std::getenv("TEMPORARY_SHIM");
    return setting != nullptr && std::strcmp(setting, what) == 0;
}

using openat_fn = int (*)(int, const char *, int, ...);

int open_unless_unnamed(const char *real_name, int dir, const char *path, int flags,
                        mode_t mode)
{
    if ((flags & O_TMPFILE) == O_TMPFILE && refusing("no-tmpfile")) {
        errno = EOPNOTSUPP;
        return -1;
    }
    openat_fn real = reinterpret_cast<openat_fn>(dlsym(RTLD_NEXT, real_name));
    return real(dir, path, flags, mode);
}

}  // namespace

extern "C" int openat(int dir, const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, mode_t) : 0;
    va_end(args);
    return open_unless_unnamed("openat", dir, path, flags, mode);
}

extern "C" int openat64(int dir, const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, mode_t) : 0;
    va_end(args);
    return open_unless_unnamed("openat64", dir, path, flags, mode);
}

extern "C" int linkat(int old_dir, const char *old_path, int new_dir, const char *new_path,
                      int flags)
{
    using linkat_fn = int (*)(int, const char *, int, const char *, int);
    if ((flags & AT_EMPTY_PATH) && refusing("no-empty-path")) {
        errno = ENOENT;
        return -1;
    }
    linkat_fn real = reinterpret_cast<linkat_fn>(dlsym(RTLD_NEXT, "linkat"));
    return real(old_dir, old_path, new_dir, new_path, flags);
}
