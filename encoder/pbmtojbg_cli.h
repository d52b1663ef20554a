// Command line and PBM header of the project's `pbmtojbg`. The encoder
// answers to exactly one command line, the one the filter uses:
//   pbmtojbg -q -x W -y H -r -s 128 -o 0 -p 8 -m 0 IN OUT
// (one resolution layer, so -x and -y do not change the output).
#pragma once
#include <cstddef>
#include <cstdint>

struct EncoderArgs {
    const char* in;   // "-" reads standard input
    const char* out;  // "-" writes standard output
};

extern const char* const kEncoderUsage;

// True when argv is the fixed command line; fills `args`.
bool ParseEncoderArgs(int argc, const char* const* argv, EncoderArgs* args);

struct PbmP4Header {
    uint32_t width;
    uint32_t height;
    size_t dataOffset;  // where the raster starts
};

// Parses a binary PBM header: "P4", width and height separated by
// whitespace and '#' comments (to the end of the line), then exactly one
// whitespace byte. Width and height must be between 1 and 2^32-1. On
// failure returns false and points `why` at a short reason.
bool ParsePbmP4Header(const uint8_t* data, size_t len, PbmP4Header* h, const char** why);
