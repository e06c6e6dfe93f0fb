// Fuzz target: the switch words.  The input is split at its zero bytes into
// argument words, each given a leading "-" and handed to parse_switches in
// turn until one stops the walk, as main does.  The switches and every
// message must match a straightforward model of the letter rules, and
// list_file_name must always be terminated within its field.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "options.h"
#include "fuzz_check.h"

namespace {

FILE *real_stderr = nullptr;

struct Model {
    int verbose = 0;
    int keep_partial = 0;
    int format_version = 2;
    std::string list_file_name;
    std::string messages;
};

// One word, letter by letter; returns 1 to go on, 0 to stop.
int model_word(Model &m, const std::string &word)
{
    for (size_t i = 1; i < word.size(); ++i) {
        char c = word[i];
        if (c == '1') {
            m.format_version = 1;
        } else if (c == 'd') {
            m.keep_partial = 1;
        } else if (c == 'n') {
        } else if (c == 'v') {
            m.verbose = 1;
        } else if (c == 'f') {
            std::string rest = word.substr(i + 1);
            if (rest.size() > 127) {
                m.messages += "list file name is too long: " + rest + "\n";
                return 0;
            }
            m.list_file_name = rest;
            return 1;
        } else if (c == 'h') {
            return 0;
        } else {
            m.messages += "detect illegal option ";
            m.messages += c;
            m.messages += "\n";
            return 0;
        }
    }
    return 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (real_stderr == nullptr)
        real_stderr = stderr;

    std::vector<std::string> words;
    std::string word = "-";
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            words.push_back(word);
            word = "-";
        } else {
            word += static_cast<char>(data[i]);
        }
    }
    words.push_back(word);

    // The switches start as main leaves them before the walk.
    verbose = 0;
    keep_partial = 0;
    format_version = 2;
    std::memset(list_file_name, 0, sizeof list_file_name);

    // parse_switches writes its messages to stderr: catch them to compare
    // (glibc lets the stream be replaced).
    char *caught = nullptr;
    size_t caught_size = 0;
    FILE *memory = open_memstream(&caught, &caught_size);
    CHECK(memory != nullptr);
    stderr = memory;

    Model model;
    for (const std::string &w : words) {
        // Each word in a block of its own size, so that reading past its
        // terminator is caught.
        char *copy = static_cast<char *>(std::malloc(w.size() + 1));
        CHECK(copy != nullptr);
        std::memcpy(copy, w.c_str(), w.size() + 1);
        int result = parse_switches(copy);
        std::free(copy);
        int expected = model_word(model, w);
        CHECK(result == 0 || result == 1);
        CHECK(result == expected);
        CHECK(std::memchr(list_file_name, '\0', sizeof list_file_name) != nullptr);
        if (result == 0)
            break;
    }

    stderr = real_stderr;
    std::fclose(memory);
    CHECK(verbose == model.verbose);
    CHECK(keep_partial == model.keep_partial);
    CHECK(format_version == model.format_version);
    CHECK(std::strlen(list_file_name) <= 127);
    CHECK(list_file_name == model.list_file_name);
    CHECK(std::string(caught, caught_size) == model.messages);
    std::free(caught);
    return 0;
}
