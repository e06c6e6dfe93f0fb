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

}  // namespace

extern "C" int openat(int dir, const char *path, int flags, ...)
{
    using openat_fn = int (*)(int, const char *, int, ...);
    va_list args;
    va_start(args, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, mode_t) : 0;
    va_end(args);
    if ((flags & O_TMPFILE) == O_TMPFILE && refusing("no-tmpfile")) {
        errno = EOPNOTSUPP;
        return -1;
    }
    openat_fn real = reinterpret_cast<openat_fn>(dlsym(RTLD_NEXT, "openat"));
    return real(dir, path, flags, mode);
}

// The same function under the name that 64-bit file offsets give it.
extern "C" int openat64(int dir, const char *path, int flags, ...) __attribute__((alias("openat")));

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
