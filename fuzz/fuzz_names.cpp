// Fuzz target: the stored name as it is shown and as it may become a file.
// The first input byte chooses the rule set (its low bit: Windows' rules),
// the rest is the name.  name_refusal must refuse exactly what a plainly
// written model of the rules refuses, for the same reason; escape_name
// must give the model's text, made of printable ASCII only, from which the
// name can be read back, into a destination of exactly the promised size.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "fuzz_check.h"
#include "names.h"

namespace {

std::string ascii_upper(std::string s)
{
    for (char &c : s) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

bool model_device(const std::string &name)
{
    static const std::set<std::string> devices = [] {
        std::set<std::string> d = {"CON", "PRN", "AUX", "NUL"};
        for (char digit = '1'; digit <= '9'; ++digit) {
            d.insert(std::string("COM") + digit);
            d.insert(std::string("LPT") + digit);
        }
        return d;
    }();
    // What comes before the first dot, without the spaces at its end.
    std::string stem = name.substr(0, name.find('.'));
    size_t kept = stem.find_last_not_of(' ');
    stem = kept == std::string::npos ? std::string() : stem.substr(0, kept + 1);
    return devices.count(ascii_upper(stem)) != 0;
}

// nullptr: the name may become a file.
const char *model_refusal(const std::string &name, bool windows)
{
    if (name.empty())
        return "is empty";
    if (name == "." || name == "..")
        return "names a directory";
    // The first slash or zero byte is the one reported.
    size_t bad = name.find_first_of(std::string("/\0", 2));
    if (bad != std::string::npos)
        return name[bad] == '/' ? "holds a slash" : "holds a zero byte";
    if (!windows)
        return nullptr;
    for (unsigned char c : name) {
        if (c < 0x20 || std::string("\\:<>\"|?*").find(static_cast<char>(c)) != std::string::npos)
            return "holds a character that Windows does not allow in a file name";
    }
    if (name.back() == '.' || name.back() == ' ')
        return "ends in a dot or a space";
    if (model_device(name))
        return "is a Windows device name";
    return nullptr;
}

std::string model_escape(const std::string &name)
{
    std::string out;
    for (unsigned char c : name) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= ' ' && c <= '~') {
            out += static_cast<char>(c);
        } else {
            static const char digits[] = "0123456789abcdef";
            out += "\\x";
            out += digits[c / 16];
            out += digits[c % 16];
        }
    }
    return out;
}

// Reads an escaped name back; every escape must be complete and lower-case.
std::string unescape(const std::string &text)
{
    std::string name;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            name += text[i];
            continue;
        }
        CHECK(i + 1 < text.size());
        if (text[i + 1] == '\\') {
            name += '\\';
            i += 1;
            continue;
        }
        CHECK(text[i + 1] == 'x' && i + 3 < text.size());
        const std::string hex = text.substr(i + 2, 2);
        CHECK(hex.find_first_not_of("0123456789abcdef") == std::string::npos);
        name += static_cast<char>(std::strtoul(hex.c_str(), nullptr, 16));
        i += 3;
    }
    return name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const bool windows = (data[0] & 1) != 0;
    const std::string name(reinterpret_cast<const char *>(data + 1), size - 1);

    // The name in memory of exactly its length: a byte read past it is
    // caught by AddressSanitizer.
    unsigned char *copy = static_cast<unsigned char *>(std::malloc(name.size() + 1));
    CHECK(copy != nullptr);
    std::memcpy(copy, name.data(), name.size());

    const char *got = name_refusal(copy, name.size(), windows ? 1 : 0);
    const char *want = model_refusal(name, windows);
    CHECK((got == nullptr) == (want == nullptr));
    CHECK(got == nullptr || std::strcmp(got, want) == 0);

    char *text = static_cast<char *>(std::malloc(4 * name.size() + 1));
    CHECK(text != nullptr);
    escape_name(copy, name.size(), text);
    const std::string shown(text);
    CHECK(shown == model_escape(name));
    for (unsigned char c : shown)
        CHECK(c >= ' ' && c <= '~');
    CHECK(unescape(shown) == name);

    std::free(text);
    std::free(copy);
    return 0;
}
