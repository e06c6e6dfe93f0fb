// Fuzz target: the reader.  The input is a whole archive.  It is read twice
// through reader_open_memory, once reading the data of the odd entries and
// skipping those of the even ones, once the other way round, and every step
// must agree with a straightforward model of the format written out below:
// the same entries (offset, name, size), the same faults in the same order
// (kind, offset, entry, value found), the same end.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "reader.h"

namespace {

struct model_fault {
    int kind;
    uint64_t offset;
    uint64_t entry;         // from 1; 0 for none
    uint64_t entry_offset;
    int entry_named;
    uint32_t found;
    uint32_t computed;

    bool operator==(const model_fault &o) const
    {
        return kind == o.kind && offset == o.offset && entry == o.entry &&
               entry_offset == o.entry_offset && entry_named == o.entry_named &&
               found == o.found && computed == o.computed;
    }
};

struct model_entry {
    uint64_t offset;
    std::string name;
    uint32_t size;
    bool fill;              // a nonzero byte after the name
    bool operator==(const model_entry &o) const
    {
        return offset == o.offset && name == o.name && size == o.size && fill == o.fill;
    }
};

struct outcome {
    std::vector<model_entry> entries;  // every entry whose head was read whole
    std::vector<model_fault> faults;
    bool sound_end;                    // END_MARK, then nothing
};

uint32_t le(const uint8_t *p, int n)
{
    uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i)
        v = v << 8 | p[i];
    return v;
}

// Whether the pass reads the data of entry `number` (else skips them).
bool reads(uint64_t number, int pass)
{
    return (number + static_cast<uint64_t>(pass)) % 2 == 1;
}

// The format: header FF 00 26 V (V 1 or 2), entries D1, 31-byte name
// field, 32-bit size (top bit clear), data, and in format 2 a 16-bit sum
// of the entry's bytes; then ED and nothing more.  A checksum is compared
// when the pass read the data, or when there are none.
outcome model(const uint8_t *d, size_t n, int pass)
{
    outcome out;
    out.sound_end = false;
    auto stop = [&](int kind, uint64_t offset, uint32_t found) {
        out.faults.push_back({kind, offset, 0, 0, 0, found, 0});
        return out;
    };
    static const uint8_t signature[3] = {0xFF, 0x00, 0x26};
    for (size_t i = 0; i < 3 && i < n; ++i)
        if (d[i] != signature[i])
            return stop(READER_SIGNATURE, i, d[i]);
    if (n < 4)
        return stop(READER_TRUNCATED, n, 0);
    if (d[3] != 1 && d[3] != 2)
        return stop(READER_VERSION, 3, d[3]);
    const int version = d[3];
    size_t pos = 4;
    uint64_t number = 0;
    for (;;) {
        if (pos == n)
            return stop(READER_TRUNCATED, n, 0);
        if (d[pos] == 0xED) {
            if (pos + 1 < n)
                return stop(READER_TRAILING, pos + 1, d[pos + 1]);
            out.sound_end = true;
            return out;
        }
        if (d[pos] != 0xD1)
            return stop(READER_MARK, pos, d[pos]);
        ++number;
        const size_t start = pos;
        const size_t left = n - pos;
        auto entry_fault = [&](int kind, uint64_t offset, int named, uint32_t found,
                               uint32_t computed) {
            out.faults.push_back({kind, offset, number, start, named, found, computed});
        };
        model_entry e = {start, "", 0, false};
        if (left >= 32) {
            const uint8_t *field = d + pos + 1;
            size_t length = 0;
            while (length < 31 && field[length] != 0)
                ++length;
            e.name.assign(reinterpret_cast<const char *>(field), length);
            for (size_t i = length; i < 31; ++i) {
                if (field[i] != 0) {
                    e.fill = true;
                    entry_fault(READER_NAME_FILL, start + 1 + i, 1, field[i], 0);
                    break;
                }
            }
        }
        if (left < 36) {
            entry_fault(READER_TRUNCATED, n, left >= 32, 0, 0);
            return out;
        }
        e.size = le(d + pos + 32, 4);
        if (e.size & 0x80000000u) {
            entry_fault(READER_SIZE, start + 32, 1, e.size, 0);
            return out;
        }
        out.entries.push_back(e);
        if (left - 36 < e.size) {
            entry_fault(READER_TRUNCATED, n, 1, 0, 0);
            return out;
        }
        pos += 36 + e.size;
        if (version == 2) {
            if (n - pos < 2) {
                entry_fault(READER_TRUNCATED, n, 1, 0, 0);
                return out;
            }
            uint32_t sum = 0;
            for (size_t i = start; i < pos; ++i)
                sum += d[i];
            sum &= 0xFFFF;
            uint32_t stored = le(d + pos, 2);
            if ((reads(number, pass) || e.size == 0) && stored != sum)
                entry_fault(READER_CHECKSUM, pos, 1, stored, sum);
            pos += 2;
        }
    }
}

model_fault taken(const reader &r)
{
    const reader_fault &f = r.fault;
    CHECK(f.error_number == 0);
    return {f.kind, f.offset, f.entry, f.entry_offset, f.entry_named, f.found, f.computed};
}

// The same pass through the reader.
outcome through_reader(const uint8_t *d, size_t n, int pass)
{
    outcome out;
    out.sound_end = false;
    static reader r;
    reader_open_memory(&r, d, n);
    if (!reader_header(&r)) {
        out.faults.push_back(taken(r));
        CHECK(r.fault.kind != READER_NO_FAULT);
        return out;
    }
    CHECK(r.version == d[3]);
    reader_entry e;
    int got;
    while ((got = reader_next(&r, &e)) > 0) {
        CHECK(e.number == r.entries);
        CHECK(e.name_length <= 31 && e.name[e.name_length] == 0);
        CHECK(std::memchr(e.name, 0, e.name_length) == nullptr);
        out.entries.push_back({e.offset, std::string(reinterpret_cast<const char *>(e.name),
                                                     e.name_length), e.size, e.fill_fault != 0});
        if (e.fill_fault) {
            out.faults.push_back(taken(r));
            CHECK(r.fault.kind == READER_NAME_FILL && r.fault.offset == e.fill_offset &&
                  r.fault.found == e.fill_found);
        }
        int done = 1;
        if (reads(e.number, pass)) {
            // The pieces are the entry's data, in order, from the input itself.
            uint64_t at = e.offset + 36;
            const unsigned char *piece = nullptr;
            size_t count = 0;
            while ((done = reader_data(&r, &piece, &count)) > 0) {
                CHECK(count > 0 && at + count <= e.offset + 36 + e.size);
                CHECK(piece == d + at);
                at += count;
            }
            if (done == 0)
                CHECK(at == e.offset + 36 + e.size);
        } else {
            done = reader_skip_data(&r);
        }
        if (done >= 0)
            done = reader_end_entry(&r);
        if (done == 0) {
            CHECK(r.fault.kind == READER_CHECKSUM && r.checked);
            out.faults.push_back(taken(r));
        }
        if (done < 0)
            break;
    }
    if (got < 0) {
        // A head that stops the reading keeps its fill fault in the entry.
        if (e.fill_fault)
            out.faults.push_back({READER_NAME_FILL, e.fill_offset, e.number, e.offset, 1,
                                  e.fill_found, 0});
    }
    if (got != 0) {
        out.faults.push_back(taken(r));
        CHECK(reader_next(&r, &e) < 0);
    } else {
        out.sound_end = true;
        CHECK(reader_next(&r, &e) == 0);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    for (int pass = 0; pass < 2; ++pass) {
        outcome want = model(data, size, pass);
        outcome got = through_reader(data, size, pass);
        CHECK(got.entries.size() == want.entries.size());
        for (size_t i = 0; i < want.entries.size(); ++i)
            CHECK(got.entries[i] == want.entries[i]);
        CHECK(got.faults.size() == want.faults.size());
        for (size_t i = 0; i < want.faults.size(); ++i)
            CHECK(got.faults[i] == want.faults[i]);
        CHECK(got.sound_end == want.sound_end);
    }
    return 0;
}
