// untessel: entry, run sequence, switches and messages of the program that
// lists, tests and extracts archives.

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "names.h"
#include "platform.h"
#include "reader.h"

extern const char untessel_ident[];
const char untessel_ident[] = "@(#)untessel: 1.1 26/12/11";

namespace {

enum run_mode { MODE_NONE, MODE_LIST, MODE_TEST, MODE_EXTRACT, MODE_PRINT };

// Switches and operands, set while the command line is read.
int mode = MODE_NONE;
int verbose = 0;
int overwrite = 0;                   // -o: extracted files replace what has their name
const char *directory = nullptr;     // -C: where extracted files go
const char *archive_path = nullptr;  // as the user gave it; "-" is standard input
const char *archive_label = nullptr; // how messages name the archive
char **wanted = nullptr;             // NAME operands
int wanted_count = 0;
unsigned char *wanted_found = nullptr; // one flag per NAME: an entry had it

// The verdict, decided in main from these alone.
int fault_count = 0;                 // damage found and every failure reported
int output_error = 0;                // errno of the first failed write to stdout

// -p writes the data through this stream, in binary.
plat_stream data_output;

void usage(void)
{
    std::fprintf(stderr,
                 "usage: untessel -l [-v] ARCHIVE [NAME ...]\n"
                 "       untessel -t [-v] ARCHIVE [NAME ...]\n"
                 "       untessel -x [-ov] [-C DIR] ARCHIVE [NAME ...]\n"
                 "       untessel -p ARCHIVE [NAME ...]\n");
}

// Lines already written to standard output go out before a message, so
// that the two appear in the order of events when they share a file
// (2>&1): a message follows the -v lines of the entries before it.  A
// failure is kept for the end, like that of any other write.
void flush_output(void)
{
    errno = 0;
    if (output_error == 0 && std::fflush(stdout) != 0)
        output_error = errno != 0 ? errno : EIO;
}

// A message on standard error, after the program's name.
void say(const char *format, ...)
{
    flush_output();
    std::va_list args;
    va_start(args, format);
    std::fputs("untessel: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
}

// A fault of the archive: reported, and the run cannot end with status 0.
// Its first words, which name the archive.
void begin_fault(void)
{
    flush_output();
    std::fprintf(stderr, "untessel: %s: ", archive_label);
}

void fault(const char *format, ...)
{
    begin_fault();
    std::va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
    ++fault_count;
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
        say("only one of -l, -t, -x and -p may be given");
        return 0;
    }
    mode = wanted_mode;
    return 1;
}

int mode_of_letter(char letter)
{
    switch (letter) {
    case 'l':
        return MODE_LIST;
    case 't':
        return MODE_TEST;
    case 'x':
        return MODE_EXTRACT;
    default:
        return MODE_PRINT;
    }
}

// Letters of one switch word; -C takes the rest of the word or, when that
// is empty, the next word.  Returns 1 to go on, 0 for a usage error.
int parse_switch_word(int argc, char **argv, int *next)
{
    const char *word = argv[*next - 1];
    for (const char *p = word + 1; *p != '\0'; ++p) {
        switch (*p) {
        case 'l':
        case 't':
        case 'x':
        case 'p':
            if (!choose_mode(mode_of_letter(*p)))
                return 0;
            break;
        case 'v':
            verbose = 1;
            break;
        case 'o':
            overwrite = 1;
            break;
        case 'C':
            if (p[1] != '\0') {
                directory = p + 1;
            } else if (*next < argc) {
                directory = argv[(*next)++];
            } else {
                say("option -C needs a directory");
                return 0;
            }
            return 1;
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
        if (!parse_switch_word(argc, argv, &next))
            return 0;
    }
    if (mode == MODE_NONE) {
        say("one of -l, -t, -x or -p is required");
        return 0;
    }
    if (mode != MODE_EXTRACT && (overwrite || directory != nullptr)) {
        say("-o and -C go with -x only");
        return 0;
    }
    if (mode == MODE_PRINT && verbose) {
        say("-v does not go with -p: standard output carries the data");
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
    return 1;
}

// Where the output goes: the target directory for -x, standard output in
// binary for -p.  Returns 1, or 0 after reporting why not.
int open_output(void)
{
    if (mode == MODE_PRINT)
        plat_standard_output(&data_output);
    if (mode != MODE_EXTRACT)
        return 1;
    const char *target = directory != nullptr ? directory : ".";
    if (!plat_open_directory(target)) {
        say("%s: %s", target, plat_error_text(errno));
        ++fault_count;
        return 0;
    }
    return 1;
}

// The flags of the NAMEs.  Returns 1, or 0 after a message when there is no
// memory for them.
int make_wanted_found(void)
{
    wanted_found = static_cast<unsigned char *>(std::calloc(static_cast<size_t>(wanted_count) + 1, 1));
    if (wanted_found != nullptr)
        return 1;
    say("memory allocation failed");
    ++fault_count;
    return 0;
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
            wanted_found[i] = 1;
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

// Reads the entry's data through the checksum and drops them.  Returns
// reader_end_entry's result, after reporting a wrong checksum.
int check_entry(reader *r)
{
    const unsigned char *data = nullptr;
    size_t count = 0;
    int got;
    while ((got = reader_data(r, &data, &count)) > 0) {
    }
    int end = got < 0 ? -1 : reader_end_entry(r);
    if (end == 0)
        report_fault(*r);
    return end;
}

int test_entry(reader *r, const reader_entry &e)
{
    int end = check_entry(r);
    tell_result(*r, e, end > 0 && !e.fill_fault);
    return end;
}

// A fault of one entry that the reader did not find: "offset E: entry N
// (NAME): " and the text.
void entry_fault(const reader_entry &e, const char *format, ...)
{
    char name[ESCAPED_NAME_SIZE];
    escape_name(e.name, e.name_length, name);
    begin_fault();
    std::fprintf(stderr, "offset %llu: entry %llu (%s): ", static_cast<unsigned long long>(e.offset),
                 static_cast<unsigned long long>(e.number), name);
    std::va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    ++fault_count;
}

// A file could not be written, most likely for want of room: whatever
// follows would fail the same way, so the run ends here, with the system
// error line for the file's path.
[[noreturn]] void write_failure(const reader_entry &e, int error_number)
{
    char name[ESCAPED_NAME_SIZE];
    escape_name(e.name, e.name_length, name);
    if (directory != nullptr)
        say("%s/%s: %s", directory, name, plat_error_text(error_number));
    else
        say("%s: %s", name, plat_error_text(error_number));
    plat_exit(1);
}

// Why a complete file could not take its name.
void report_naming_failure(const reader_entry &e, int error_number)
{
    if (error_number == EEXIST)
        entry_fault(e, "not extracted: the name is taken (-o replaces what is not a directory)");
    else if (error_number == EISDIR)
        entry_fault(e, "not extracted: a directory of that name exists");
    else
        entry_fault(e, "not extracted: %s", plat_error_text(error_number));
}

// The data go into a new temporary file, which takes the entry's name only
// once it is complete and its checksum right; otherwise it disappears.
// Returns reader_end_entry's result.
int extract_entry(reader *r, const reader_entry &e)
{
    const char *refusal = name_refusal(e.name, e.name_length, plat_windows_names);
    if (refusal != nullptr) {
        entry_fault(e, "not extracted: the name %s", refusal);
        return check_entry(r);
    }
    int output = plat_create_temporary();
    if (output < 0)
        write_failure(e, errno);
    const unsigned char *data = nullptr;
    size_t count = 0;
    int got;
    while ((got = reader_data(r, &data, &count)) > 0) {
        if (!plat_write_all(output, data, count)) {
            int error_number = errno;
            plat_discard_temporary(output);
            write_failure(e, error_number);
        }
    }
    int end = got < 0 ? -1 : reader_end_entry(r);
    if (end <= 0) {
        plat_discard_temporary(output);
        if (end == 0)
            report_fault(*r);
        return end;
    }
    if (!plat_name_temporary(output, reinterpret_cast<const char *>(e.name), overwrite)) {
        report_naming_failure(e, errno);
        return end;
    }
    if (verbose) {
        char name[ESCAPED_NAME_SIZE];
        escape_name(e.name, e.name_length, name);
        emit("%s\n", name);
    }
    return end;
}

// The data go to standard output as they are read: a wrong checksum can
// only be told afterwards.  Returns reader_end_entry's result.
int print_entry(reader *r)
{
    const unsigned char *data = nullptr;
    size_t count = 0;
    int got;
    while ((got = reader_data(r, &data, &count)) > 0) {
        if (plat_write(&data_output, data, count) < count) {
            say("standard output: %s", plat_error_text(data_output.error_number));
            plat_exit(1);
        }
    }
    int end = got < 0 ? -1 : reader_end_entry(r);
    if (end == 0)
        report_fault(*r);
    return end;
}

// One entry, as the mode wants it.  Returns 0 to go on, -1 when the reading
// stopped.
int handle_entry(reader *r, const reader_entry &e)
{
    if (e.fill_fault)
        report_fill(e);
    if (!selected(e))
        return reader_end_entry(r) < 0 ? -1 : 0;
    int end;
    switch (mode) {
    case MODE_LIST:
        list_entry(e);
        end = reader_end_entry(r);
        break;
    case MODE_TEST:
        end = test_entry(r, e);
        break;
    case MODE_EXTRACT:
        end = extract_entry(r, e);
        break;
    default:
        end = print_entry(r);
        break;
    }
    return end < 0 ? -1 : 0;
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

// A NAME can be of any length, so it is escaped and written piece by piece.
void report_names_not_found(void)
{
    for (int i = 0; i < wanted_count; ++i) {
        if (wanted_found[i])
            continue;
        begin_fault();
        const unsigned char *name = reinterpret_cast<const unsigned char *>(wanted[i]);
        char piece[ESCAPED_NAME_SIZE];
        for (size_t left = std::strlen(wanted[i]); left > 0;) {
            size_t count = left < NAME_FIELD_SIZE ? left : NAME_FIELD_SIZE;
            escape_name(name, count, piece);
            std::fputs(piece, stderr);
            name += count;
            left -= count;
        }
        std::fputs(": not found in the archive\n", stderr);
        ++fault_count;
    }
}

// Standard output must have taken every byte: its final flush is checked.
void finish_output(void)
{
    if (mode == MODE_PRINT && !plat_close(&data_output) && output_error == 0)
        output_error = data_output.error_number;
    flush_output();
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
    int input = make_wanted_found() && open_output() ? open_input() : -1;
    if (input >= 0) {
        read_archive(input);
        plat_close_read(input);
        report_names_not_found();
    }
    finish_output();
    plat_exit(fault_count != 0 ? 1 : 0);
}
