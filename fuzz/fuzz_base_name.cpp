// Fuzz target: the final component that names an entry.  The input, cut at
// its first zero byte, is a path; base_name must give what a straightforward
// model of the rule gives (the text after the last '/', else after the last
// '\\', else the whole path) into a destination of exactly that size.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "file.h"
#include "fuzz_check.h"

namespace {

std::string model_component(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash != std::string::npos)
        return path.substr(slash + 1);
    size_t backslash = path.rfind('\\');
    if (backslash != std::string::npos)
        return path.substr(backslash + 1);
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *begin = reinterpret_cast<const char *>(data);
    const void *zero = std::memchr(data, 0, size);
    std::string path(begin, zero != nullptr ? static_cast<const char *>(zero) - begin : size);
    std::string expected = model_component(path);

    // Exactly the room the component needs: a byte written past it is
    // caught by AddressSanitizer.
    char *dest = static_cast<char *>(std::malloc(expected.size() + 1));
    CHECK(dest != nullptr);
    char *source = static_cast<char *>(std::malloc(path.size() + 1));
    CHECK(source != nullptr);
    std::memcpy(source, path.c_str(), path.size() + 1);
    base_name(dest, source);
    std::free(source);
    CHECK(std::strlen(dest) == expected.size());
    CHECK(expected == dest);
    std::free(dest);
    return 0;
}
