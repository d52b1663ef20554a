// Command line and PBM header parsing of the project's `pbmtojbg`.
#include "encoder/pbmtojbg_cli.h"

#include <cstring>

const char* const kEncoderUsage =
    "usage: pbmtojbg -q -x <width> -y <height> -r -s 128 -o 0 -p 8 -m 0 <input.pbm> <output.jbg>\n"
    "(this encoder supports only this command line)\n";

namespace {

bool IsDecimal(const char* s)
{
    if (*s == '\0')
        return false;
    for (size_t i = 0; s[i]; ++i) {
        if (s[i] < '0' || s[i] > '9' || i >= 10)
            return false;
    }
    return true;
}

bool IsPbmSpace(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Skips whitespace and comments; returns the new position.
size_t SkipSpaceAndComments(const uint8_t* data, size_t len, size_t i)
{
    while (i < len) {
        if (IsPbmSpace(data[i])) {
            ++i;
        } else if (data[i] == '#') {
            while (i < len && data[i] != '\n' && data[i] != '\r')
                ++i;
        } else {
            break;
        }
    }
    return i;
}

// Reads a decimal number of 1 to 2^32-1.
bool ReadDimension(const uint8_t* data, size_t len, size_t* i, uint32_t* value)
{
    size_t p = SkipSpaceAndComments(data, len, *i);
    if (p >= len || data[p] < '0' || data[p] > '9')
        return false;
    uint64_t v = 0;
    while (p < len && data[p] >= '0' && data[p] <= '9') {
        v = v * 10 + (data[p] - '0');
        if (v > 0xFFFFFFFFu)
            return false;
        ++p;
    }
    if (v == 0)
        return false;
    *value = static_cast<uint32_t>(v);
    *i = p;
    return true;
}

}  // namespace

bool ParseEncoderArgs(int argc, const char* const* argv, EncoderArgs* args)
{
    // The fixed words of the command line; nullptr marks a number.
    static const char* const kWords[] = {"-q",  "-x", nullptr, "-y", nullptr, "-r", "-s",
                                         "128", "-o", "0",     "-p", "8",     "-m", "0"};
    const int nWords = static_cast<int>(sizeof kWords / sizeof kWords[0]);
    if (argc != nWords + 3)
        return false;
    for (int i = 0; i < nWords; ++i) {
        const char* a = argv[i + 1];
        if (kWords[i] ? std::strcmp(a, kWords[i]) != 0 : !IsDecimal(a))
            return false;
    }
    const char* in = argv[nWords + 1];
    const char* out = argv[nWords + 2];
    if (*in == '\0' || *out == '\0')
        return false;
    args->in = in;
    args->out = out;
    return true;
}

bool ParsePbmP4Header(const uint8_t* data, size_t len, PbmP4Header* h, const char** why)
{
    if (len < 2 || data[0] != 'P' || data[1] != '4') {
        *why = "not a binary PBM (P4) file";
        return false;
    }
    size_t i = 2;
    if (!ReadDimension(data, len, &i, &h->width) || !ReadDimension(data, len, &i, &h->height)) {
        *why = "bad PBM header: width and height must be numbers from 1 to 4294967295";
        return false;
    }
    if (i >= len || !IsPbmSpace(data[i])) {
        *why = "bad PBM header: no whitespace after the height";
        return false;
    }
    h->dataOffset = i + 1;
    return true;
}
