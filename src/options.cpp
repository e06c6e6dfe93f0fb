// Switches and their parsing.

#include "options.h"

#include <cstdio>
#include <cstring>

extern const char options_ident[];
const char options_ident[] = "@(#)options: 1.1 96/06/24";

int verbose = 0;
int keep_partial = 0;
uint16_t format_version = 2;
char list_file_name[LIST_FILE_NAME_SIZE] = "";

int parse_switches(const char *word)
{
    for (const char *p = word + 1; *p != '\0'; ++p) {
        switch (*p) {
        case '1':
            format_version = 1;
            break;
        case 'd':
            keep_partial = 1;
            break;
        case 'f':
            // The rest of the word is the name.  A name that does not fit is
            // refused: a prefix of it could name some other file.
            if (std::strlen(p + 1) >= sizeof list_file_name) {
                std::fprintf(stderr, "list file name is too long: %s\n", p + 1);
                return 0;
            }
            std::strcpy(list_file_name, p + 1);
            return 1;
        case 'h':
            return 0;
        case 'n':
            break;
        case 'v':
            verbose = 1;
            break;
        default:
            std::fprintf(stderr, "detect illegal option %c\n", *p);
            return 0;
        }
    }
    return 1;
}
