// Reading and writing binary PBM work files.
#include "image/image.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

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

PbmWrite WritePbm(const char* path, int width, int height, const uint8_t* bits)
{
    FILE* f = fopen(path, "wb");
    if (!f)
        return PbmWrite::OpenFailed;
    struct stat st;
    const bool regular = fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
    static const uint8_t white[65536] = {0};
    const uint8_t* p = bits;
    uint64_t left = (((uint64_t)width + 7) / 8) * (uint64_t)height;
    bool ok = fprintf(f, "P4\n%d %d\n", width, height) > 0;
    while (ok && left > 0) {
        const size_t n = bits ? (size_t)left : (size_t)std::min<uint64_t>(left, sizeof white);
        ok = fwrite(bits ? p : white, 1, n, f) == n;
        p = bits ? p + n : p;
        left -= n;
    }
    int err = errno;
    if (fclose(f) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok)
        return PbmWrite::Ok;
    // No later step may take a cut file for a finished image.
    if (regular)
        unlink(path);
    errno = err;
    return PbmWrite::WriteFailed;
}
