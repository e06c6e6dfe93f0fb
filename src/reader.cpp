// Reader: one forward pass over an archive, through one fixed buffer.

#include "reader.h"

#include <cerrno>
#include <cstring>

#include "platform.h"

extern const char reader_ident[];
const char reader_ident[] = "@(#)reader: 1.1 26/12/11";

namespace {

// Bytes of an entry's head: ENTRY_MARK, the name field, the size field.
constexpr size_t ENTRY_HEAD_SIZE = 1 + NAME_FIELD_SIZE + SIZE_FIELD_SIZE;

// Reads from a file go through this buffer, whatever the archive says about
// its sizes: memory stays the same for an archive of any size.
constexpr size_t READ_BUFFER_SIZE = 128 * 1024;
unsigned char read_buffer[READ_BUFFER_SIZE];

enum phase {
    PHASE_HEADER,    // the archive header comes next
    PHASE_MARK,      // an ENTRY_MARK or END_MARK comes next
    PHASE_DATA,      // the current entry's data come next
    PHASE_DONE,      // END_MARK was read and nothing follows it
    PHASE_STOPPED,   // a fault stopped the reading
};

size_t available(const reader *r)
{
    return r->end - r->cursor;
}

void consume(reader *r, size_t count)
{
    r->cursor += count;
    r->position += count;
}

// Records a fault; for one that stops the reading, nothing more is read.
int fail(reader *r, int kind, uint64_t offset, uint32_t found)
{
    r->fault.kind = kind;
    r->fault.offset = offset;
    r->fault.found = found;
    r->fault.computed = 0;
    r->fault.error_number = 0;
    if (kind != READER_NAME_FILL && kind != READER_CHECKSUM)
        r->phase = PHASE_STOPPED;
    return -1;
}

// Names the current entry as the one concerned by the next fault.
void blame_entry(reader *r, int named)
{
    r->fault.entry = r->current.number;
    r->fault.entry_offset = r->current.offset;
    r->fault.entry_named = named;
}

void blame_no_entry(reader *r)
{
    r->fault.entry = 0;
    r->fault.entry_offset = 0;
    r->fault.entry_named = 0;
}

// The archive ends here, before a piece it must hold.
int truncated(reader *r)
{
    return fail(r, READER_TRUNCATED, r->position + available(r), 0);
}

// Makes at least `need` bytes (at most the buffer's size) available.
// Returns 1, 0 when the archive ends first, -1 after a read error (fault set).
int fill(reader *r, size_t need)
{
    if (available(r) >= need)
        return 1;
    if (r->exhausted)
        return 0;
    size_t left = available(r);
    std::memmove(read_buffer, read_buffer + r->cursor, left);
    r->window = read_buffer;
    r->cursor = 0;
    r->end = left;
    size_t want = READ_BUFFER_SIZE - left;
    size_t got = plat_read(r->handle, read_buffer + left, want);
    int error_number = got < want ? errno : 0;
    r->end += got;
    if (got < want)
        r->exhausted = 1;
    if (error_number != 0) {
        fail(r, READER_READ_ERROR, r->position + available(r), 0);
        r->fault.error_number = error_number;
        return -1;
    }
    return available(r) >= need ? 1 : 0;
}

// fill, with a missing byte reported as a truncation.
int require(reader *r, size_t need)
{
    int got = fill(r, need);
    if (got == 0)
        return truncated(r);
    return got;
}

uint32_t little_endian(const unsigned char *p, int count)
{
    uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = (value << 8) | p[i];
    return value;
}

// After END_MARK the archive must end.
int expect_nothing_more(reader *r)
{
    int got = fill(r, 1);
    if (got < 0)
        return -1;
    if (got > 0)
        return fail(r, READER_TRAILING, r->position, r->window[r->cursor]);
    r->phase = PHASE_DONE;
    return 0;
}

// Takes the name from the name field: the bytes before its first 0x00.  Any
// nonzero byte after that terminator is damage of this entry only.
void take_name(reader *r, reader_entry *e, const unsigned char *field)
{
    size_t length = 0;
    while (length < NAME_FIELD_SIZE && field[length] != 0)
        ++length;
    std::memcpy(e->name, field, length);
    e->name[length] = 0;
    e->name_length = length;
    e->fill_fault = 0;
    for (size_t i = length; i < NAME_FIELD_SIZE; ++i) {
        if (field[i] != 0) {
            e->fill_fault = 1;
            e->fill_offset = e->offset + 1 + i;
            e->fill_found = field[i];
            fail(r, READER_NAME_FILL, e->offset + 1 + i, field[i]);
            break;
        }
    }
}

int read_entry_head(reader *r, reader_entry *e)
{
    e->number = ++r->entries;
    e->offset = r->position;
    e->name[0] = 0;
    e->name_length = 0;
    e->size = 0;
    e->fill_fault = 0;
    r->current = *e;
    blame_entry(r, 0);
    int got = fill(r, ENTRY_HEAD_SIZE);
    if (got <= 0) {
        if (got < 0)
            return -1;
        if (available(r) >= 1 + NAME_FIELD_SIZE) {
            take_name(r, e, r->window + r->cursor + 1);
            r->current = *e;
            blame_entry(r, 1);
        }
        return truncated(r);
    }
    const unsigned char *head = r->window + r->cursor;
    take_name(r, e, head + 1);
    e->size = little_endian(head + 1 + NAME_FIELD_SIZE, SIZE_FIELD_SIZE);
    r->current = *e;
    if (e->size & 0x80000000u) {
        blame_entry(r, 1);
        return fail(r, READER_SIZE, e->offset + 1 + NAME_FIELD_SIZE, e->size);
    }
    if (e->fill_fault)
        blame_entry(r, 1);
    r->sum = (ENTRY_MARK + sum_bytes(head + 1, NAME_FIELD_SIZE + SIZE_FIELD_SIZE)) & 0xFFFF;
    consume(r, ENTRY_HEAD_SIZE);
    r->remaining = e->size;
    r->summed = 1;
    r->phase = PHASE_DATA;
    return 1;
}

void start(reader *r)
{
    r->cursor = 0;
    r->position = 0;
    r->version = 0;
    r->phase = PHASE_HEADER;
    r->entries = 0;
    std::memset(&r->current, 0, sizeof r->current);
    r->remaining = 0;
    r->sum = 0;
    r->summed = 0;
    r->checked = 0;
    std::memset(&r->fault, 0, sizeof r->fault);
}

}  // namespace

void reader_open_handle(reader *r, int handle)
{
    start(r);
    r->handle = handle;
    int64_t left = 0;
    r->seekable = plat_input_left(handle, &left);
    r->source_size = r->seekable ? static_cast<uint64_t>(left) : 0;
    r->window = read_buffer;
    r->end = 0;
    r->exhausted = 0;
}

void reader_open_memory(reader *r, const unsigned char *data, size_t size)
{
    start(r);
    r->handle = -1;
    r->seekable = 0;
    r->source_size = size;
    r->window = data;
    r->end = size;
    r->exhausted = 1;
}

int reader_header(reader *r)
{
    blame_no_entry(r);
    int got = fill(r, HEADER_SIZE);
    if (got < 0)
        return 0;
    const unsigned char *p = r->window + r->cursor;
    size_t have = available(r);
    for (size_t i = 0; i < sizeof ARCHIVE_SIGNATURE && i < have; ++i) {
        if (p[i] != ARCHIVE_SIGNATURE[i]) {
            fail(r, READER_SIGNATURE, i, p[i]);
            return 0;
        }
    }
    if (got == 0) {
        truncated(r);
        return 0;
    }
    if (p[3] != 1 && p[3] != 2) {
        fail(r, READER_VERSION, 3, p[3]);
        return 0;
    }
    r->version = p[3];
    consume(r, HEADER_SIZE);
    r->phase = PHASE_MARK;
    return 1;
}

int reader_next(reader *r, reader_entry *e)
{
    e->fill_fault = 0;
    if (r->phase == PHASE_DATA && reader_end_entry(r) < 0)
        return -1;
    if (r->phase == PHASE_DONE)
        return 0;
    if (r->phase != PHASE_MARK)
        return -1;
    blame_no_entry(r);
    if (require(r, 1) < 0)
        return -1;
    unsigned char mark = r->window[r->cursor];
    if (mark == END_MARK) {
        consume(r, 1);
        return expect_nothing_more(r);
    }
    if (mark != ENTRY_MARK)
        return fail(r, READER_MARK, r->position, mark);
    return read_entry_head(r, e);
}

int reader_data(reader *r, const unsigned char **data, size_t *count)
{
    if (r->phase != PHASE_DATA || r->remaining == 0)
        return r->phase == PHASE_STOPPED ? -1 : 0;
    blame_entry(r, 1);
    if (require(r, 1) < 0)
        return -1;
    size_t n = available(r);
    if (n > r->remaining)
        n = r->remaining;
    *data = r->window + r->cursor;
    *count = n;
    // Format 1 stores no checksum, so its data need not be summed.
    if (r->version != 1)
        r->sum = (r->sum + sum_bytes(*data, n)) & 0xFFFF;
    consume(r, n);
    r->remaining -= static_cast<uint32_t>(n);
    return 1;
}

int reader_skip_data(reader *r)
{
    if (r->phase != PHASE_DATA)
        return r->phase == PHASE_STOPPED ? -1 : 1;
    blame_entry(r, 1);
    if (r->remaining > 0)
        r->summed = 0;
    size_t n = available(r);
    if (n > r->remaining)
        n = r->remaining;
    consume(r, n);
    r->remaining -= static_cast<uint32_t>(n);
    if (r->remaining == 0)
        return 1;
    if (r->seekable) {
        // The whole buffer is used up, so the input's own position is the
        // archive's: seek from there, after making sure the data are there.
        if (r->position + r->remaining > r->source_size)
            return fail(r, READER_TRUNCATED, r->source_size, 0);
        if (!plat_skip(r->handle, r->remaining)) {
            fail(r, READER_READ_ERROR, r->position, 0);
            r->fault.error_number = errno;
            return -1;
        }
        r->position += r->remaining;
        r->remaining = 0;
        r->cursor = r->end = 0;
        r->exhausted = 0;
        return 1;
    }
    while (r->remaining > 0) {
        if (require(r, 1) < 0)
            return -1;
        n = available(r);
        if (n > r->remaining)
            n = r->remaining;
        consume(r, n);
        r->remaining -= static_cast<uint32_t>(n);
    }
    return 1;
}

int reader_end_entry(reader *r)
{
    r->checked = 0;
    if (r->phase != PHASE_DATA)
        return r->phase == PHASE_STOPPED ? -1 : 1;
    if (reader_skip_data(r) < 0)
        return -1;
    r->phase = PHASE_MARK;
    if (r->version == 1)
        return 1;
    blame_entry(r, 1);
    if (require(r, CHECKSUM_SIZE) < 0)
        return -1;
    uint32_t stored = little_endian(r->window + r->cursor, CHECKSUM_SIZE);
    uint64_t at = r->position;
    consume(r, CHECKSUM_SIZE);
    if (!r->summed)
        return 1;
    r->checked = 1;
    if (stored != r->sum) {
        fail(r, READER_CHECKSUM, at, stored);
        r->fault.computed = r->sum;
        return 0;
    }
    return 1;
}
