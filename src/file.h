// Archive writer: creates the archive, writes its entries and reacts to every
// failure while writing one.
#ifndef TESSEL_FILE_H
#define TESSEL_FILE_H

#include <cstddef>
#include <cstdint>

// The archive format.  Numbers of more than one byte are little-endian.
constexpr unsigned char ARCHIVE_SIGNATURE[3] = {0xFF, 0x00, 0x26}; // first bytes of every archive
constexpr int HEADER_SIZE = 4;         // signature, then the format version byte
constexpr unsigned char ENTRY_MARK = 0xD1; // starts each entry
constexpr unsigned char END_MARK = 0xED;   // ends the archive; nothing follows
constexpr int NAME_FIELD_SIZE = 31;    // stored name, 0x00-filled, unterminated when full
constexpr int SIZE_FIELD_SIZE = 4;     // data size, 32 bits
constexpr int CHECKSUM_SIZE = 2;       // format 2 only: sum of the entry's bytes mod 65536

// Returns the sum of the `n` bytes at `p` modulo 65536, which is all the
// entry checksum keeps; the writer and the reader both use it.  The bytes are added into two rows of sixteen 16-bit lanes, a shape compilers
// turn into two independent vector additions per 32 bytes; a lane that
// wraps around loses only multiples of 65536, so the lanes' total is still
// right modulo 65536.
inline uint32_t sum_bytes(const unsigned char *p, size_t n)
{
    constexpr size_t LANES = 16;
    constexpr size_t ROWS = 2;
    uint16_t lane[ROWS][LANES] = {};
    for (size_t step = 0; step < n / (ROWS * LANES); ++step, p += ROWS * LANES)
        for (size_t r = 0; r < ROWS; ++r)
            for (size_t j = 0; j < LANES; ++j)
                lane[r][j] = static_cast<uint16_t>(lane[r][j] + p[r * LANES + j]);
    uint32_t sum = 0;
    for (size_t r = 0; r < ROWS; ++r)
        for (size_t j = 0; j < LANES; ++j)
            sum += lane[r][j];
    for (size_t i = 0; i < n % (ROWS * LANES); ++i)
        sum += p[i];
    return sum & 0xFFFF;
}

// Paths are held in fields of 1024 bytes: 1023 bytes and a terminator.
constexpr int PATH_FIELD_SIZE = 1024;

// Data are copied in logical chunks of this size; it decides how far a file
// that grows while it is read is copied.
constexpr int COPY_CHUNK_SIZE = 8192;

// Underneath, data are read and written in blocks of up to this size: large
// blocks cost far fewer system calls than logical chunks would.
constexpr int COPY_BUFFER_SIZE = 1024 * 1024;

// add_file's result for an item that does not exist and was skipped.
constexpr int ADD_FILE_SKIPPED = 129;

// Records the archive's path.  Returns 1, or 0 when the path does not fit.
int set_archive_name(const char *path);

// Creates the archive and writes its header.  Returns 1, or 0 after printing
// "Can't write open".
int open_archive(void);

// Stores one item as one entry.  Returns 1 when stored, ADD_FILE_SKIPPED when
// the item does not exist, 0 (errno set) when it exists but cannot be read.
// Any failure while writing ends the run from here.
int add_file(const char *item);

// Writes END_MARK and closes the archive.  Returns 1 when the archive is
// complete on disk; 0 after reporting the failure and deleting the archive
// (unless keep_partial).
int close_archive(void);

// Copies the final component of `path` into `dest`, which has room for it:
// the text after the last '/', else after the last '\\', else all of it.
void base_name(char *dest, const char *path);

#endif
