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

int add_file(const char *item)
{
    char working_path[PATH_FIELD_SIZE];
    char component[PATH_FIELD_SIZE];
    unsigned char name_field[NAME_FIELD_SIZE + 1];
    int64_t file_size = 0;

    if (verbose)
        std::fprintf(stderr, "processing %s ", item);

    // A path cut to fit would name another file; treat it as unreadable.
    if (std::strlen(item) >= sizeof working_path) {
        if (verbose)
            std::fprintf(stderr, "is not readable\n");
        errno = ENAMETOOLONG;
        return 0;
    }
    std::snprintf(working_path, sizeof working_path, "%s", item);
    if (!plat_file_size(working_path, &file_size)) {
        std::fprintf(stderr, "Warning: file %s is not exist!\n", item);
        return ADD_FILE_SKIPPED;
    }

    int input = plat_open_read(working_path);
    if (input < 0) {
        int saved = errno;
        if (verbose)
            std::fprintf(stderr, "is not readable\n");
        errno = saved;
        return 0;
    }

    base_name(component, working_path);
    std::memset(name_field, 0, sizeof name_field);
    std::strncpy(reinterpret_cast<char *>(name_field), component, NAME_FIELD_SIZE);
    if (verbose)
        std::fprintf(stderr, "-> %s ", component);

    plat_put_byte(&archive_stream, ENTRY_MARK);
    if (plat_write(&archive_stream, name_field, NAME_FIELD_SIZE) < NAME_FIELD_SIZE)
        writer_failure();
    uint32_t checksum = ENTRY_MARK + sum_bytes(name_field, NAME_FIELD_SIZE);

    // Sizes are held as signed 32-bit numbers; the field carries the low 32
    // bits even of a file too large to store.
    uint32_t low_bits = static_cast<uint32_t>(file_size);
    int32_t recorded = static_cast<int32_t>(low_bits);
    for (int i = 0; i < SIZE_FIELD_SIZE; ++i) {
        unsigned char byte = (low_bits >> (8 * i)) & 0xFF;
        plat_put_byte(&archive_stream, byte);
        checksum += byte;
    }

    // A file of 2^31 bytes or more cannot be described by the size field, so
    // it is refused rather than stored under a wrong size.
    //
    // The copy goes exactly as far as reading logical chunks until the
    // recorded size is reached would go: to the end of the file, or to the
    // first chunk boundary at or past the recorded size, whichever comes
    // first.  A file that grows while it is copied therefore yields the same
    // bytes as it would chunk by chunk, however large the reads underneath.
    // A short read is the end of the file, as a short chunk would be.
    bool refused = file_size > INT32_MAX;
    int64_t copied = 0;
    int64_t limit = refused || recorded <= 0 ? 0 :
        (static_cast<int64_t>(recorded) + COPY_CHUNK_SIZE - 1) / COPY_CHUNK_SIZE * COPY_CHUNK_SIZE;
    while (copied < limit) {
        size_t want = COPY_BUFFER_SIZE;
        if (static_cast<int64_t>(want) > limit - copied)
            want = static_cast<size_t>(limit - copied);
        unsigned char *block = copy_buffer + archive_stream.position % PAGE_BYTES;
        size_t got = plat_read(input, block, want);
        if (got == 0)
            break;
        // Summed while the block is still in the cache from the read.
        // Format 1 stores no checksum, so its data need not be summed.
        if (format_version != 1)
            checksum += sum_bytes(block, got);
        if (plat_write(&archive_stream, block, got) < got)
            writer_failure();
        copied += static_cast<int64_t>(got);
        if (got < want)
            break;
    }

    if (refused || copied != recorded) {
        std::fprintf(stderr, "original %d write size %lld\n", recorded,
                     static_cast<long long>(copied));
        abandon_archive();
    }

    if (format_version != 1) {
        plat_put_byte(&archive_stream, checksum & 0xFF);
        plat_put_byte(&archive_stream, (checksum >> 8) & 0xFF);
        if (archive_stream.error)
            writer_failure();
    }

    if (verbose)
        std::fprintf(stderr, "is Ok\n");
    plat_close_read(input);
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
