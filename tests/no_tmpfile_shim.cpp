// Preloaded into untessel by the tests to take unnamed temporary files
// away, as on a file system that has none: an openat that asks for
// O_TMPFILE fails with EOPNOTSUPP, so the named temporary file is used.
#include <dlfcn.h>
#include <fcntl.h>

#include <cerrno>
#include <cstdarg>

namespace {

using openat_fn = int (*)(int, const char *, int, ...);

int refuse_or_pass(const char *real_name, int dir, const char *path, int flags, mode_t mode)
{
    if ((flags & O_TMPFILE) == O_TMPFILE) {
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
    return refuse_or_pass("openat", dir, path, flags, mode);
}

extern "C" int openat64(int dir, const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, mode_t) : 0;
    va_end(args);
    return refuse_or_pass("openat64", dir, path, flags, mode);
}
