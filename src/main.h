// Run sequence, usage text, work list and list file.
#ifndef TESSEL_MAIN_H
#define TESSEL_MAIN_H

#include <cstddef>

// Prints the usage text to standard error.
void usage(void);

// Appends a reference to `item` (never a copy) to the work list.  Returns 0,
// or -1 after printing the memory message when no room could be obtained.
int add_item(const char *item);

// Frees the work list; the texts it refers to are not its own.
void release_work_list(void);

// Applies the text-mode rules to the `count` bytes at `text` in place: CR LF
// becomes LF, a lone CR stays, a byte 0x1A ends the text.  Returns the new count.
size_t translate_list_text(char *text, size_t count);

// Cuts the zero-terminated `text` into lines in place and appends every
// non-empty line to the work list.  Returns 0, or -1 when add_item failed.
int cut_list_text(char *text);

// Reads the list file named by -f and appends its names; ends the run with
// status 1 when it cannot.
void read_list_file(void);

#endif
