// Switches: set while the argument words are parsed, read everywhere after.
#ifndef TESSEL_OPTIONS_H
#define TESSEL_OPTIONS_H

#include <cstdint>

// Room for the list file's name: 127 bytes and a terminator.
constexpr int LIST_FILE_NAME_SIZE = 128;

extern int verbose;                             // -v: print progress messages
extern int keep_partial;                        // -d: never delete a failed archive
extern uint16_t format_version;                 // -1: 1; otherwise 2
extern char list_file_name[LIST_FILE_NAME_SIZE]; // -fNAME: list file, empty for none

// Applies the letters of one word that begins with "-".  Returns 1 to go on,
// 0 to stop (after -h, an unknown letter, or a list file name too long).
int parse_switches(const char *word);

#endif
