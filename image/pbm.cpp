// Reading the header of a binary PBM work file.
#include "image/image.h"

#include <cstdio>

void skipPbmComments(FILE* f)
{
    for (;;) {
        int c = fgetc(f);
        if (c == EOF)
            return;
        if (c == '#') {
            // A comment runs to the next line feed or carriage return.
            do {
                c = fgetc(f);
            } while (c != EOF && c != '\n' && c != '\r');
            if (c == EOF)
                return;
            continue;
        }
        if (c == ' ' || c == '\n' || c == '\r')
            continue;
        // Tabs and every other character end the skip.
        ungetc(c, f);
        return;
    }
}

bool ReadPbmHeader(FILE* f, char magic[3], int* width, int* height)
{
    magic[0] = '\0';
    if (fscanf(f, "%2s", magic) != 1)
        return false;
    skipPbmComments(f);
    if (fscanf(f, "%d", width) != 1)
        return false;
    skipPbmComments(f);
    if (fscanf(f, "%d", height) != 1)
        return false;
    return true;
}
