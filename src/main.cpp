// Entry and run sequence: banner, switches, work list, list file, exit status.

#include "main.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "file.h"
#include "options.h"
#include "platform.h"

extern const char main_ident[];
const char main_ident[] = "@(#)main: 1.1 96/06/24";

namespace {

const char VERSION[] = "2.0";
constexpr int WORK_LIST_STEP = 100;  // the work list grows by this many items
const char NO_MEMORY[] = "memory allocation failed. please add more memory.\n";

// The work list: references to argument words and to lines of the list text.
const char **items = nullptr;
int item_count = 0;
int item_capacity = 0;

// The list text lives until the process ends: the work list points into it.
char *list_text = nullptr;

[[noreturn]] void fail_run(void)
{
    release_work_list();
    plat_exit(1);
}

}  // namespace

void usage(void)
{
    std::fprintf(stderr, "usage:\n\ttessel [-options] output <user files ...>\n");
    std::fprintf(stderr, "\t\t-v: verbose\n");
    std::fprintf(stderr, "\t\t-h: this display\n");
    std::fprintf(stderr, "\t\t-1: create arc ver1 format\n");
}

int add_item(const char *item)
{
    if (item_count == item_capacity) {
        // Growing past INT_MAX items, or past what size_t can count in
        // bytes, is treated like any other refusal of memory.
        if (item_capacity > INT_MAX - WORK_LIST_STEP ||
            static_cast<size_t>(item_capacity) + WORK_LIST_STEP > SIZE_MAX / sizeof *items) {
            std::fprintf(stderr, NO_MEMORY);
            return -1;
        }
        int capacity = item_capacity + WORK_LIST_STEP;
        void *grown = std::realloc(items, static_cast<size_t>(capacity) * sizeof *items);
        if (grown == nullptr) {
            std::fprintf(stderr, NO_MEMORY);
            return -1;
        }
        items = static_cast<const char **>(grown);
        item_capacity = capacity;
    }
    items[item_count++] = item;
    return 0;
}

void release_work_list(void)
{
    std::free(items);
    items = nullptr;
    item_count = 0;
    item_capacity = 0;
}

size_t translate_list_text(char *text, size_t count)
{
    size_t out = 0;
    for (size_t in = 0; in < count; ++in) {
        char c = text[in];
        if (c == '\x1A')
            break;
        if (c == '\r' && in + 1 < count && text[in + 1] == '\n')
            continue;
        text[out++] = c;
    }
    return out;
}

int cut_list_text(char *text)
{
    char *line = text;
    for (;;) {
        char *end = std::strchr(line, '\n');
        if (end != nullptr)
            *end = '\0';
        if (*line != '\0' && add_item(line) != 0)
            return -1;
        if (end == nullptr)
            return 0;
        line = end + 1;
    }
}

void read_list_file(void)
{
    int input = plat_open_read(list_file_name);
    if (input < 0) {
        plat_report_error(list_file_name, errno);
        fail_run();
    }

    int64_t size = 0;
    if (!plat_input_size(input, &size)) {
        plat_report_error(list_file_name, errno);
        fail_run();
    }
    if (static_cast<uint64_t>(size) >= SIZE_MAX ||
        (list_text = static_cast<char *>(std::malloc(static_cast<size_t>(size) + 1))) == nullptr) {
        std::fprintf(stderr, NO_MEMORY);
        fail_run();
    }

    size_t got = plat_read(input, list_text, static_cast<size_t>(size));
    int read_error = got < static_cast<size_t>(size) ? errno : 0;
    got = translate_list_text(list_text, got);
    if (got < 1) {
        // An empty list is a failure too, though no system call failed.
        plat_report_error(list_file_name, read_error);
        std::free(list_text);
        list_text = nullptr;
        plat_close_read(input);
        fail_run();
    }
    list_text[got] = '\0';

    if (cut_list_text(list_text) != 0) {
        plat_close_read(input);
        fail_run();
    }
    plat_close_read(input);
}

int main(int argc, char **argv)
{
    plat_init();
    std::fprintf(stderr, "Vessa Archiver Ver %s  (c) the tessel developers\n", VERSION);

    if (argc < 3) {
        usage();
        plat_exit(1);
    }

    list_file_name[0] = '\0';
    int next = 1;
    while (next < argc) {
        const char *word = argv[next++];
        if (word[0] == '-') {
            if (!parse_switches(word)) {
                usage();
                plat_exit(1);
            }
            continue;
        }
        if (!set_archive_name(word)) {
            std::fprintf(stderr, "%s is not valid file name\n", word);
            plat_exit(1);
        }
        break;
    }

    if (!open_archive())
        plat_exit(1);

    for (; next < argc; ++next) {
        if (add_item(argv[next]) != 0)
            fail_run();
    }
    if (list_file_name[0] != '\0')
        read_list_file();

    for (int i = 0; i < item_count; ++i) {
        if (add_file(items[i]) == 0) {
            plat_report_error(items[i], errno);
            fail_run();
        }
    }
    release_work_list();

    plat_exit(close_archive() ? 0 : 1);
}
