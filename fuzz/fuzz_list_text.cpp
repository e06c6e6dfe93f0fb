// Fuzz target: the list text.  The input is a list file's bytes; they go
// through translate_list_text and cut_list_text as read_list_file sends
// them, and the work list must hold exactly the lines that a straightforward
// model of the text-mode rules yields: CR LF becomes LF, a lone CR stays,
// 0x1A ends the text, a zero byte ends the list, empty lines are dropped.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// main.cpp holds the work list in its own unnamed namespace; including it
// lets the target read the list.  Its main() is renamed out of the way of
// the fuzzer's.
#define main tessel_entry
#include "main.cpp"
#include "fuzz_check.h"
#undef main

namespace {

// The text after the text-mode rules, before the lines are cut.
std::string model_text(const uint8_t *data, size_t size)
{
    std::string raw(reinterpret_cast<const char *>(data), size);
    size_t end = raw.find('\x1A');
    if (end != std::string::npos)
        raw.resize(end);
    std::string text;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n')
            continue;
        text += raw[i];
    }
    return text;
}

std::vector<std::string> model_items(std::string text)
{
    size_t zero = text.find('\0');
    if (zero != std::string::npos)
        text.resize(zero);
    std::vector<std::string> items;
    size_t start = 0;
    for (;;) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!line.empty())
            items.push_back(line);
        if (end == std::string::npos)
            return items;
        start = end + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Room for the bytes and a terminator, as read_list_file obtains it.
    char *text = static_cast<char *>(std::malloc(size + 1));
    CHECK(text != nullptr);
    if (size > 0)
        std::memcpy(text, data, size);

    std::string expected_text = model_text(data, size);
    size_t got = translate_list_text(text, size);
    CHECK(got == expected_text.size());
    CHECK(std::memcmp(text, expected_text.data(), got) == 0);

    // An empty text is refused by read_list_file before any line is cut.
    if (got > 0) {
        text[got] = '\0';
        CHECK(cut_list_text(text) == 0);

        std::vector<std::string> expected = model_items(expected_text);
        CHECK(item_count >= 0);
        CHECK(static_cast<size_t>(item_count) == expected.size());
        for (int i = 0; i < item_count; ++i) {
            const char *item = items[i];
            CHECK(item >= text && item < text + got);
            size_t length = std::strlen(item);
            CHECK(length > 0);
            CHECK(std::memchr(item, '\n', length) == nullptr);
            CHECK(std::memchr(item, '\x1A', length) == nullptr);
            CHECK(std::string(item, length) == expected[static_cast<size_t>(i)]);
        }
    }

    release_work_list();
    CHECK(items == nullptr && item_count == 0 && item_capacity == 0);
    std::free(text);
    return 0;
}
