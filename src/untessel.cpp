// untessel: entry, run sequence, switches and messages of the program that
// lists and tests archives.

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform.h"
#include "reader.h"

extern const char untessel_ident[];
const char untessel_ident[] = "@(#)untessel: 1.1 26/12/11";

namespace {

enum run_mode { MODE_NONE, MODE_LIST, MODE_TEST };

// Switches and operands, set while the command line is read.
int mode = MODE_NONE;
int verbose = 0;
const char *archive_path = nullptr;  // as the user gave it; "-" is standard input
const char *archive_label = nullptr; // how messages name the archive
char **wanted = nullptr;             // NAME operands
int wanted_count = 0;
std::vector<unsigned char> wanted_found;

// The verdict, decided in main from these alone.
int fault_count = 0;                 // damage found and every failure reported
int output_error = 0;                // errno of the first failed write to stdout

// Room for a name field's bytes escaped: 4 output bytes per byte at most.
constexpr size_t ESCAPED_NAME_SIZE = 4 * NAME_FIELD_SIZE + 1;

void usage(void)
{
    std::fprintf(stderr,
                 "usage: untessel -l [-v] ARCHIVE [NAME ...]\n"
                 "       untessel -t [-v] ARCHIVE [NAME ...]\n");
}

// A message on standard error, after the program's name.
void say(const char *format, ...)
{
    std::va_list args;
    va_start(args, format);
    std::fputs("untessel: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
}

// A fault of the archive: reported, and the run cannot end with status 0.
void fault(const char *format, ...)
{
    std::va_list args;
    va_start(args, format);
    std::fprintf(stderr, "untessel: %s: ", archive_label);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
    ++fault_count;
}

// Stored names come from the archive, so they are printed in a form that
// cannot move the cursor or forge a line: printable ASCII stands for
// itself, a backslash is doubled, every other byte is \xHH.
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

// A line on standard output.  After the first failed write nothing more is
// written; the failure is reported once, at the end.
void emit(const char *format, ...)
{
    if (output_error != 0)
        return;
    std::va_list args;
    va_start(args, format);
    errno = 0;
    if (std::vfprintf(stdout, format, args) < 0 || std::ferror(stdout))
        output_error = errno != 0 ? errno : EIO;
    va_end(args);
}

int choose_mode(int wanted_mode)
{
    if (mode != MODE_NONE && mode != wanted_mode) {
        say("only one of -l and -t may be given");
        return 0;
    }
    mode = wanted_mode;
    return 1;
}

// Letters of one switch word.  Returns 1 to go on, 0 for a usage error.
int parse_switch_word(const char *word)
{
    for (const char *p = word + 1; *p != '\0'; ++p) {
        switch (*p) {
        case 'l':
            if (!choose_mode(MODE_LIST))
                return 0;
            break;
        case 't':
            if (!choose_mode(MODE_TEST))
                return 0;
            break;
        case 'v':
            verbose = 1;
            break;
        default:
            if (static_cast<unsigned char>(*p) >= 0x20 && static_cast<unsigned char>(*p) < 0x7F)
                say("unknown option -%c", *p);
            else
                say("unknown option byte 0x%02x", static_cast<unsigned char>(*p));
            return 0;
        }
    }
    return 1;
}

// Switches first (letters may share a word, "--" ends them), then ARCHIVE,
// then the NAMEs.  Returns 1, or 0 for a usage error (message printed).
int parse_command_line(int argc, char **argv)
{
    int next = 1;
    while (next < argc && argv[next][0] == '-' && argv[next][1] != '\0') {
        const char *word = argv[next++];
        if (std::strcmp(word, "--") == 0)
            break;
        if (!parse_switch_word(word))
            return 0;
    }
    if (mode == MODE_NONE) {
        say("one of -l or -t is required");
        return 0;
    }
    if (next >= argc) {
        say("no archive named");
        return 0;
    }
    archive_path = argv[next++];
    archive_label = std::strcmp(archive_path, "-") == 0 ? "standard input" : archive_path;
    wanted = argv + next;
    wanted_count = argc - next;
    wanted_found.assign(static_cast<size_t>(wanted_count), 0);
    return 1;
}

int open_input(void)
{
    if (std::strcmp(archive_path, "-") == 0)
        return plat_standard_input();
    int input = plat_open_archive(archive_path);
    if (input < 0) {
        say("%s: %s", archive_path, plat_error_text(errno));
        ++fault_count;
    }
    return input;
}

// Whether the entry is among those asked for; marks the NAMEs it matches.
bool selected(const reader_entry &e)
{
    if (wanted_count == 0)
        return true;
    bool any = false;
    for (int i = 0; i < wanted_count; ++i) {
        if (std::strlen(wanted[i]) == e.name_length &&
            std::memcmp(wanted[i], e.name, e.name_length) == 0) {
            wanted_found[static_cast<size_t>(i)] = 1;
            any = true;
        }
    }
    return any;
}

// "entry N (NAME)", or "entry N" when its name field was not read whole.
void describe_entry(const reader_fault &f, const reader_entry &e, char *out, size_t room)
{
    if (f.entry_named) {
        char name[ESCAPED_NAME_SIZE];
        escape_name(e.name, e.name_length, name);
        std::snprintf(out, room, "entry %llu (%s)", static_cast<unsigned long long>(f.entry), name);
    } else {
        std::snprintf(out, room, "entry %llu", static_cast<unsigned long long>(f.entry));
    }
}

// A nonzero byte after an entry's name.  It is told from the entry, which
// keeps it even when the same head also stops the reading.
void report_fill(const reader_entry &e)
{
    char name[ESCAPED_NAME_SIZE];
    escape_name(e.name, e.name_length, name);
    fault("offset %llu: entry %llu (%s): nonzero byte 0x%02x after the name, at offset %llu",
          static_cast<unsigned long long>(e.offset), static_cast<unsigned long long>(e.number),
          name, static_cast<unsigned>(e.fill_found),
          static_cast<unsigned long long>(e.fill_offset));
}

// One message for the fault the reader found.  An entry's fault is placed
// at the entry's offset; every other fault at the byte concerned.
void report_fault(const reader &r)
{
    const reader_fault &f = r.fault;
    unsigned long long at = f.entry != 0 ? f.entry_offset : f.offset;
    unsigned long long offset = f.offset;
    char entry[ESCAPED_NAME_SIZE + 40];
    describe_entry(f, r.current, entry, sizeof entry);
    switch (f.kind) {
    case READER_READ_ERROR:
        fault("offset %llu: read error: %s", offset, plat_error_text(f.error_number));
        break;
    case READER_TRUNCATED:
        if (f.entry != 0)
            fault("offset %llu: %s: truncated: the archive ends at offset %llu", at, entry, offset);
        else if (r.version == 0)
            fault("offset %llu: truncated in the archive header", offset);
        else
            fault("offset %llu: truncated: the end mark is missing", offset);
        break;
    case READER_SIGNATURE:
        fault("offset %llu: not a tessel archive (byte 0x%02x where the signature ff 00 26 belongs)",
              offset, static_cast<unsigned>(f.found));
        break;
    case READER_VERSION:
        fault("offset %llu: unknown format version %u", offset, static_cast<unsigned>(f.found));
        break;
    case READER_MARK:
        fault("offset %llu: byte 0x%02x where an entry mark (0xd1) or the end mark (0xed) belongs",
              offset, static_cast<unsigned>(f.found));
        break;
    case READER_SIZE:
        fault("offset %llu: %s: data size 0x%08x has its top bit set", at, entry,
              static_cast<unsigned>(f.found));
        break;
    case READER_TRAILING:
        fault("offset %llu: data after the end mark", offset);
        break;
    case READER_NAME_FILL:
        report_fill(r.current);
        break;
    case READER_CHECKSUM:
        fault("offset %llu: %s: checksum mismatch (stored 0x%04x, computed 0x%04x)", at, entry,
              static_cast<unsigned>(f.found), static_cast<unsigned>(f.computed));
        break;
    default:
        fault("offset %llu: unexpected fault %d", offset, f.kind);
        break;
    }
}

void list_entry(const reader_entry &e)
{
    char name[ESCAPED_NAME_SIZE];
    escape_name(e.name, e.name_length, name);
    emit("%10lu  %s\n", static_cast<unsigned long>(e.size), name);
}

// The -v line of -t for one entry.
void tell_result(const reader &r, const reader_entry &e, bool sound)
{
    if (!verbose)
        return;
    char name[ESCAPED_NAME_SIZE];
    escape_name(e.name, e.name_length, name);
    if (!sound)
        emit("%s: FAILED\n", name);
    else if (r.version == 1)
        emit("%s: ok (format 1 has no checksums: structure only)\n", name);
    else
        emit("%s: ok\n", name);
}

// Reads the entry's data through the checksum.  Returns the reader's
// reader_end_entry result.
int test_entry(reader *r, const reader_entry &e)
{
    const unsigned char *data = nullptr;
    size_t count = 0;
    int got;
    while ((got = reader_data(r, &data, &count)) > 0) {
    }
    int end = got < 0 ? -1 : reader_end_entry(r);
    if (end == 0)
        report_fault(*r);
    tell_result(*r, e, end > 0 && !e.fill_fault);
    return end;
}

// One entry, as the mode wants it.  Returns 0 to go on, -1 when the reading
// stopped.
int handle_entry(reader *r, const reader_entry &e)
{
    if (e.fill_fault)
        report_fill(e);
    bool chosen = selected(e);
    if (chosen && mode == MODE_LIST)
        list_entry(e);
    if (chosen && mode == MODE_TEST)
        return test_entry(r, e) < 0 ? -1 : 0;
    return reader_end_entry(r) < 0 ? -1 : 0;
}

// The whole pass: header, entries, end.  Faults are reported as found.
void read_archive(int input)
{
    static reader r;
    reader_open_handle(&r, input);
    if (!reader_header(&r)) {
        report_fault(r);
        return;
    }
    reader_entry e;
    int got;
    while ((got = reader_next(&r, &e)) > 0) {
        if (handle_entry(&r, e) < 0) {
            report_fault(r);
            return;
        }
        if (output_error != 0)
            return;
    }
    if (got < 0) {
        // A head that stops the reading may have a nonzero fill byte too,
        // which handle_entry never saw.
        if (e.fill_fault)
            report_fill(e);
        report_fault(r);
    }
}

void report_names_not_found(void)
{
    for (int i = 0; i < wanted_count; ++i) {
        if (wanted_found[static_cast<size_t>(i)])
            continue;
        size_t length = std::strlen(wanted[i]);
        std::vector<char> name(4 * length + 1);
        escape_name(reinterpret_cast<const unsigned char *>(wanted[i]), length, name.data());
        fault("%s: not found in the archive", name.data());
    }
}

// Standard output must have taken every line: its final flush is checked.
void finish_output(void)
{
    errno = 0;
    if (output_error == 0 && std::fflush(stdout) != 0)
        output_error = errno != 0 ? errno : EIO;
    if (output_error != 0) {
        say("standard output: %s", plat_error_text(output_error));
        ++fault_count;
    }
}

}  // namespace

int main(int argc, char **argv)
{
    plat_init();
    if (!parse_command_line(argc, argv)) {
        usage();
        plat_exit(1);
    }
    int input = open_input();
    if (input >= 0) {
        read_archive(input);
        plat_close_read(input);
        report_names_not_found();
    }
    finish_output();
    plat_exit(fault_count != 0 ? 1 : 0);
}
