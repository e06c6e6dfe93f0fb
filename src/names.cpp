// Stored names: their safe display, and which may become files.

#include "names.h"

#include <cstring>

extern const char names_ident[];
const char names_ident[] = "@(#)names: 1.1 26/12/11";

namespace {

// Windows opens these as devices, whatever directory the name is in and
// whatever extension follows it.
const char *const DEVICE_NAMES[] = {
    "CON", "PRN", "AUX", "NUL",
    "COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8", "COM9",
    "LPT1", "LPT2", "LPT3", "LPT4", "LPT5", "LPT6", "LPT7", "LPT8", "LPT9",
};

char upper(unsigned char c)
{
    return static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
}

// The name before its first dot, with the spaces Windows drops from its
// end, compared with each device name in any case.
bool is_device_name(const unsigned char *name, size_t length)
{
    size_t stem = 0;
    while (stem < length && name[stem] != '.')
        ++stem;
    while (stem > 0 && name[stem - 1] == ' ')
        --stem;
    for (const char *device : DEVICE_NAMES) {
        size_t n = std::strlen(device);
        if (stem != n)
            continue;
        size_t i = 0;
        while (i < n && upper(name[i]) == device[i])
            ++i;
        if (i == n)
            return true;
    }
    return false;
}

const char *windows_refusal(const unsigned char *name, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        if (name[i] < 0x20 || std::strchr("\\:<>\"|?*", name[i]) != nullptr)
            return "holds a character that Windows does not allow in a file name";
    }
    if (name[length - 1] == '.' || name[length - 1] == ' ')
        return "ends in a dot or a space";
    if (is_device_name(name, length))
        return "is a Windows device name";
    return nullptr;
}

}  // namespace

void escape_name(const unsigned char *name, size_t length, char *out)
{
    static const char hex[] = "0123456789abcdef";
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = name[i];
        if (c == '\\') {
            *out++ = '\\';
            *out++ = '\\';
        } else if (c >= 0x20 && c <= 0x7E) {
            *out++ = static_cast<char>(c);
        } else {
            *out++ = '\\';
            *out++ = 'x';
            *out++ = hex[c >> 4];
            *out++ = hex[c & 0xF];
        }
    }
    *out = '\0';
}

const char *name_refusal(const unsigned char *name, size_t length, int windows_rules)
{
    if (length == 0)
        return "is empty";
    if ((length == 1 && name[0] == '.') || (length == 2 && name[0] == '.' && name[1] == '.'))
        return "names a directory";
    for (size_t i = 0; i < length; ++i) {
        if (name[i] == '/')
            return "holds a slash";
        if (name[i] == 0)
            return "holds a zero byte";
    }
    if (windows_rules)
        return windows_refusal(name, length);
    return nullptr;
}
