// A PBM work file through the header reader and the file-to-file rotation;
// every turn that succeeds must match the per-pixel definition.
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include "image/image.h"

namespace {
std::string g_in, g_out;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_in = "/tmp/fuzz_pbm_in_" + std::to_string(getpid());
    g_out = "/tmp/fuzz_pbm_out_" + std::to_string(getpid());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    static const int angles[3] = {-90, 90, 180};
    int angle = angles[data[0] % 3];
    FILE* f = fopen(g_in.c_str(), "wb");
    if (!f)
        return 0;
    fwrite(data + 1, 1, size - 1, f);
    fclose(f);

    // Keep images small enough for the reference turn.
    f = fopen(g_in.c_str(), "rb");
    char magic[3] = {0};
    int w = 0, h = 0;
    bool header = f && ReadPbmHeader(f, magic, &w, &h);
    if (f)
        fclose(f);
    if (!header || w <= 0 || h <= 0 || (int64_t)w * h > (1 << 22))
        return 0;

    if (rotatePbm(g_in.c_str(), g_out.c_str(), angle) == 0) {
        // Compare with the in-memory reference turn of the same raster.
        f = fopen(g_in.c_str(), "rb");
        ReadPbmHeader(f, magic, &w, &h);
        fgetc(f);
        size_t stride = (size_t)(w + 7) / 8;
        std::vector<uint8_t> src(stride * h);
        size_t got = fread(src.data(), 1, src.size(), f);
        fclose(f);
        if (got != src.size())
            __builtin_trap();  // a short raster must have been refused
        size_t outSize = angle == 180 ? stride * h : (size_t)(h + 7) / 8 * w;
        std::vector<uint8_t> want(outSize);
        RotateBitsReference(src.data(), w, h, angle, want.data());
        std::string out;
        FILE* o = fopen(g_out.c_str(), "rb");
        char buf[65536];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, o)) > 0)
            out.append(buf, n);
        fclose(o);
        if (out.size() < want.size() ||
            out.compare(out.size() - want.size(), want.size(), std::string(want.begin(), want.end())) != 0)
            __builtin_trap();
    }
    return 0;
}
