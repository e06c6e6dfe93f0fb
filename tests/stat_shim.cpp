// Preloaded into tessel by the tests to make a file look smaller than it is,
// as if it grew between the status query and the copy: a path containing
// ".reported-N" is reported as N bytes long.
#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

extern "C" int stat(const char *path, struct stat *st)
{
    using stat_fn = int (*)(const char *, struct stat *);
    static stat_fn real = reinterpret_cast<stat_fn>(dlsym(RTLD_NEXT, "stat"));
    int result = real(path, st);
    const char *mark = std::strstr(path, ".reported-");
    if (result == 0 && mark != nullptr)
        st->st_size = std::atoll(mark + std::strlen(".reported-"));
    return result;
}
