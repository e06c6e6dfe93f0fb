// Reader: parses an archive in one forward pass, entry by entry, in constant
// memory.  It never prints and never ends the process: every result and
// every kind of damage comes back to the caller as a value.
#ifndef TESSEL_READER_H
#define TESSEL_READER_H

#include <cstddef>
#include <cstdint>

#include "file.h"

// Kinds of damage.  The first group stops the reading: what follows cannot
// be found.  The second marks one entry only; reading goes on.
enum reader_fault_kind {
    READER_NO_FAULT = 0,
    READER_READ_ERROR,   // the system could not read the archive
    READER_TRUNCATED,    // the archive ends before a piece it must hold
    READER_SIGNATURE,    // the first three bytes are not the signature
    READER_VERSION,      // the version byte is neither 1 nor 2
    READER_MARK,         // neither ENTRY_MARK nor END_MARK where one belongs
    READER_SIZE,         // a data size with its top bit set
    READER_TRAILING,     // bytes after END_MARK
    READER_NAME_FILL,    // a nonzero byte after the name's terminator
    READER_CHECKSUM,     // the stored checksum is not the sum of the entry
};

// One fault: what, where, and in which entry.
struct reader_fault {
    int kind;               // a reader_fault_kind
    uint64_t offset;        // the byte at fault; for TRUNCATED, the archive's length
    uint64_t entry;         // the entry concerned, from 1; 0 for none
    uint64_t entry_offset;  // where that entry's ENTRY_MARK is
    int entry_named;        // the entry's name field was read whole
    uint32_t found;         // the byte, version, size or stored checksum found
    uint32_t computed;      // for CHECKSUM: the sum of the entry's bytes
    int error_number;       // for READ_ERROR: the system's error
};

// The head of one entry.
struct reader_entry {
    uint64_t number;                         // from 1, in archive order
    uint64_t offset;                         // of its ENTRY_MARK
    unsigned char name[NAME_FIELD_SIZE + 1]; // bytes before the first 0x00, terminated
    size_t name_length;
    uint32_t size;                           // data bytes
    int fill_fault;                          // a nonzero byte after the name's terminator:
    uint64_t fill_offset;                    //   the first one's offset
    uint32_t fill_found;                     //   and its value
};

// The state of one pass over one archive.  Fields are the reader's own.
struct reader {
    int handle;                   // platform input handle; -1 for memory
    int seekable;                 // a regular file: data can be skipped by seeking
    uint64_t source_size;         // its size, when seekable
    const unsigned char *window;  // bytes at hand: the buffer, or the memory
    size_t cursor;                // next unread byte of the window
    size_t end;                   // end of the valid bytes of the window
    int exhausted;                // the source has no more bytes
    uint64_t position;            // archive offset of window[cursor]
    int version;                  // format version, once the header is read
    int phase;                    // where in the archive the next byte belongs
    uint64_t entries;             // entry heads read so far
    reader_entry current;         // the entry being read
    uint32_t remaining;           // its data bytes not yet passed
    uint32_t sum;                 // running checksum of the current entry
    int summed;                   // every data byte so far went through the sum
    int checked;                  // the last reader_end_entry compared a checksum
    reader_fault fault;           // the latest fault
};

// Starts a pass over an open platform input (read from its current position).
void reader_open_handle(reader *r, int handle);

// Starts a pass over `size` bytes in memory.
void reader_open_memory(reader *r, const unsigned char *data, size_t size);

// Reads the archive header.  Returns 1 with r->version set, or 0 with the
// fault in r->fault (the reading stops).
int reader_header(reader *r);

// Reads the next mark and, for an entry, its head into *e.  Returns 1 for an
// entry, 0 at a sound end (END_MARK with nothing after it), -1 when the
// reading stops (r->fault).  A nonzero byte after the name is a fault of the
// entry alone: e->fill_fault and its place are set, and with the result 1
// r->fault describes it as well.  When the head also stops the reading (a
// size with its top bit set, the archive ending inside the head), the result
// is -1 with the stop in r->fault, and e still tells of the fill.
int reader_next(reader *r, reader_entry *e);

// Hands out the current entry's data in pieces, from the reader's buffer.
// Returns 1 with *data and *count set (count > 0), 0 when the data are
// done, -1 when the reading stops (r->fault).  The piece is valid until
// the next call.
int reader_data(reader *r, const unsigned char **data, size_t *count);

// Passes over the rest of the current entry's data, seeking where it can.
// Returns 1, or -1 when the reading stops (r->fault).
int reader_skip_data(reader *r);

// Ends the current entry after its data: reads the checksum in format 2 and,
// when every data byte was handed out, compares it.  Returns 1 when sound
// (r->checked says whether a checksum was compared), 0 for a wrong checksum
// (r->fault; reading goes on), -1 when the reading stops (r->fault).
int reader_end_entry(reader *r);

#endif
