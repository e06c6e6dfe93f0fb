// Stored names as untessel shows them and as it lets them become files.
// Names come from the archive, and an archive can come from anyone.
#ifndef TESSEL_NAMES_H
#define TESSEL_NAMES_H

#include <cstddef>

// Room for an escaped name field: at most 4 bytes per byte, and a terminator.
constexpr size_t ESCAPED_NAME_SIZE = 4 * 31 + 1;

// Writes the `length` bytes at `name` to `out` (room for 4 * length + 1) so
// that they cannot move the cursor or forge a line: 0x20 to 0x7E stand for
// themselves but the backslash, which is doubled; any other byte is \xHH.
void escape_name(const unsigned char *name, size_t length, char *out);

// Why a stored name may not become a file in the target directory, or
// nullptr when it may.  Everywhere: the empty name, "." and "..", and any
// name holding '/' or a zero byte.  With `windows_rules` also a name holding
// '\\', ':', one of < > " | ? * or a byte below 0x20, a name ending in a
// dot or a space, and the device names CON, PRN, AUX, NUL, COM1 to COM9 and
// LPT1 to LPT9 in any case, with or without an extension.
const char *name_refusal(const unsigned char *name, size_t length, int windows_rules);

#endif
