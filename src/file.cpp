// Archive writer.

#include "file.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "options.h"
#include "platform.h"

extern const char file_ident[];
const char file_ident[] = "@(#)file: 1.1 96/06/24";

char archive_name[PATH_FIELD_SIZE] = "";
plat_stream archive_stream;

namespace {

// Each block lies in the copy buffer at the same offset within a page as it
// will have in the archive, so that the copy into the archive's pages is
// between equally aligned addresses, which is much the faster; the read,
// where misalignment costs less, takes it instead.
constexpr size_t PAGE_BYTES = 4096;
alignas(PAGE_BYTES) unsigned char copy_buffer[PAGE_BYTES + COPY_BUFFER_SIZE];

// The archive is unfinished: it is closed first, since an open file cannot be
// deleted everywhere, and then deleted unless the user asked to keep it.
[[noreturn]] void abandon_archive(void)
{
    plat_close(&archive_stream);
    if (!keep_partial)
        plat_remove_created(&archive_stream, archive_name);
    plat_exit(1);
}

// A write to the archive failed: say why and give up the archive.
[[noreturn]] void writer_failure(void)
{
    plat_report_error(archive_name, archive_stream.error_number);
    abandon_archive();
}

}  // namespace

int set_archive_name(const char *path)
{
    if (std::strlen(path) >= sizeof archive_name)
        return 0;
    std::strcpy(archive_name, path);
    return 1;
}

int open_archive(void)
{
    if (!plat_create(&archive_stream, archive_name)) {
        std::fprintf(stderr, "Can't write open %s\n", archive_name);
        return 0;
    }
    plat_put_byte(&archive_stream, ARCHIVE_SIGNATURE[0]);
    plat_put_byte(&archive_stream, ARCHIVE_SIGNATURE[1]);
    plat_put_byte(&archive_stream, ARCHIVE_SIGNATURE[2]);
    plat_put_byte(&archive_stream, format_version & 0xFF);
    return 1;
}

void base_name(char *dest, const char *path)
{
    const char *slash = std::strrchr(path, '/');
    const char *start = slash != nullptr ? slash + 1 : path;
    if (slash == nullptr) {
        const char *backslash = std::strrchr(path, '\\');
        if (backslash != nullptr)
            start = backslash + 1;
    }
    std::memmove(dest, start, std::strlen(start) + 1);
}

namespace {

// The entry being written.
struct entry {
    int input;          // the item, open for reading
    int64_t file_size;  // its size, as the open file gave it
    int32_t recorded;   // what the size field says: the low 32 bits, signed
    uint32_t checksum;  // sum of the entry's bytes written so far
    int64_t copied;     // data bytes copied so far
};

int skip_missing(const char *item)
{
    std::fprintf(stderr, "Warning: file %s is not exist!\n", item);
    return ADD_FILE_SKIPPED;
}

// The item exists but cannot be read; errno is left for the caller's report.
int refuse_unreadable(int error_number)
{
    if (verbose)
        std::fprintf(stderr, "is not readable\n");
    errno = error_number;
    return 0;
}

// Finds the item and opens it.  Returns 1 with the entry's input and size
// set, or add_file's result for an item that is missing or unreadable.
int find_and_open(const char *item, entry *e)
{
    if (verbose)
        std::fprintf(stderr, "processing %s ", item);
    // A path cut to fit would name another file; treat it as unreadable.
    if (std::strlen(item) >= PATH_FIELD_SIZE)
        return refuse_unreadable(ENAMETOOLONG);
    int missing = 0;
    e->input = plat_open_item(item, &e->file_size, &missing);
    if (e->input >= 0)
        return 1;
    if (missing)
        return skip_missing(item);
    return refuse_unreadable(errno);
}

// Writes the entry's mark, name field and size field, and starts its
// checksum with them.
void write_entry_head(const char *item, entry *e)
{
    char component[PATH_FIELD_SIZE];
    unsigned char name_field[NAME_FIELD_SIZE + 1];
    base_name(component, item);
    std::memset(name_field, 0, sizeof name_field);
    std::strncpy(reinterpret_cast<char *>(name_field), component, NAME_FIELD_SIZE);
    if (verbose)
        std::fprintf(stderr, "-> %s ", component);

    plat_put_byte(&archive_stream, ENTRY_MARK);
    if (plat_write(&archive_stream, name_field, NAME_FIELD_SIZE) < NAME_FIELD_SIZE)
        writer_failure();
    e->checksum = ENTRY_MARK + sum_bytes(name_field, NAME_FIELD_SIZE);

    // Sizes are held as signed 32-bit numbers; the field carries the low 32
    // bits even of a file too large to store.
    uint32_t low_bits = static_cast<uint32_t>(e->file_size);
    e->recorded = static_cast<int32_t>(low_bits);
    for (int i = 0; i < SIZE_FIELD_SIZE; ++i) {
        unsigned char byte = (low_bits >> (8 * i)) & 0xFF;
        plat_put_byte(&archive_stream, byte);
        e->checksum += byte;
    }
}

// A file of 2^31 bytes or more cannot be described by the size field, so it
// is refused rather than stored under a wrong size.
bool too_large(const entry *e)
{
    return e->file_size > INT32_MAX;
}

// Copies the item's data into the archive.
//
// The copy goes exactly as far as reading logical chunks until the recorded
// size is reached would go: to the end of the file, or to the first chunk
// boundary at or past the recorded size, whichever comes first.  A file that
// grows while it is copied therefore yields the same bytes as it would chunk
// by chunk, however large the reads underneath.  A short read is the end of
// the file, as a short chunk would be; one that stops exactly at the
// recorded size needs no further read to show it, since a file that had
// grown would have filled it further.
void copy_data(entry *e)
{
    int64_t limit = too_large(e) || e->recorded <= 0 ? 0 :
        (static_cast<int64_t>(e->recorded) + COPY_CHUNK_SIZE - 1) / COPY_CHUNK_SIZE * COPY_CHUNK_SIZE;
    e->copied = 0;
    while (e->copied < limit) {
        size_t want = COPY_BUFFER_SIZE;
        if (static_cast<int64_t>(want) > limit - e->copied)
            want = static_cast<size_t>(limit - e->copied);
        // Where the recorded size ends within this block, a short read that
        // reaches it ends the copy.
        int64_t left = e->recorded - e->copied;
        size_t expected = left >= 0 && left < static_cast<int64_t>(want) ?
            static_cast<size_t>(left) : want;
        unsigned char *block = copy_buffer + archive_stream.position % PAGE_BYTES;
        size_t got = plat_read_expected(e->input, block, want, expected);
        if (got == 0)
            break;
        // Summed while the block is still in the cache from the read.
        // Format 1 stores no checksum, so its data need not be summed.
        if (format_version != 1)
            e->checksum += sum_bytes(block, got);
        if (plat_write(&archive_stream, block, got) < got)
            writer_failure();
        e->copied += static_cast<int64_t>(got);
        if (got < want)
            break;
    }
}

// Ends the entry with its checksum (format 2) and closes the item.  Data
// that did not come to the recorded size would leave a size field that lies,
// so the archive is given up instead.
void finish_entry(entry *e)
{
    if (too_large(e) || e->copied != e->recorded) {
        std::fprintf(stderr, "original %d write size %lld\n", e->recorded,
                     static_cast<long long>(e->copied));
        abandon_archive();
    }

    if (format_version != 1) {
        plat_put_byte(&archive_stream, e->checksum & 0xFF);
        plat_put_byte(&archive_stream, (e->checksum >> 8) & 0xFF);
        if (archive_stream.error)
            writer_failure();
    }

    if (verbose)
        std::fprintf(stderr, "is Ok\n");
    plat_close_read(e->input);
}

}  // namespace

int add_file(const char *item)
{
    entry e = {};
    int found = find_and_open(item, &e);
    if (found != 1)
        return found;
    write_entry_head(item, &e);
    copy_data(&e);
    finish_entry(&e);
    return 1;
}

int close_archive(void)
{
    plat_put_byte(&archive_stream, END_MARK);
    if (!plat_close(&archive_stream)) {
        plat_report_error(archive_name, archive_stream.error_number);
        if (!keep_partial)
            plat_remove_created(&archive_stream, archive_name);
        return 0;
    }
    return 1;
}
