// A PBM work file through the header reader and the file-to-file rotation;
// every turn that succeeds must match the per-pixel definition.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

#include "image/image.h"

namespace {
std::string g_in, g_out;

std::string Slurp(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}
}  // namespace

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
    const long rasterAt = header ? (fgetc(f), ftell(f)) : 0;
    if (f)
        fclose(f);
    if (!header || w <= 0 || h <= 0 || (int64_t)w * h > (1 << 22))
        return 0;

    if (rotatePbm(g_in.c_str(), g_out.c_str(), angle) == 0) {
        // Compare with the in-memory reference turn of the same raster, which
        // must have been complete (a short raster is refused).
        const std::string in = Slurp(g_in), out = Slurp(g_out);
        const size_t bytes = (size_t)(w + 7) / 8 * h, at = (size_t)rasterAt;
        if (in.size() < at + bytes)
            __builtin_trap();
        std::vector<uint8_t> want(angle == 180 ? bytes : (size_t)(h + 7) / 8 * w);
        RotateBitsReference((const uint8_t*)in.data() + at, w, h, angle, want.data());
        if (out.size() < want.size() ||
            out.compare(out.size() - want.size(), want.size(), (const char*)want.data(), want.size()) != 0)
            __builtin_trap();
    }
    return 0;
}
