// Raster input: arbitrary bytes as a CUPS raster stream, through header
// validation, page capture and the look-ahead.
#include <cstdint>
#include <cstring>
#include <cups/raster.h>

#include "image/image.h"

namespace {
struct Memory {
    const uint8_t* data;
    size_t size;
    size_t at;
};

ssize_t ReadMemory(void* ctx, unsigned char* buf, size_t bytes)
{
    Memory* m = static_cast<Memory*>(ctx);
    size_t n = m->size - m->at < bytes ? m->size - m->at : bytes;
    memcpy(buf, m->data + m->at, n);
    m->at += n;
    return (ssize_t)n;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Memory m{data, size, 0};
    cups_raster_t* ras = cupsRasterOpenIO(ReadMemory, &m, CUPS_RASTER_READ);
    if (!ras)
        return 0;
    cups_page_header2_t h;
    char why[128];
    // Pages are bounded so one input cannot ask for gigabytes.
    if (cupsRasterReadHeader2(ras, &h)) {
        for (int page = 1; page <= 4; page++) {
            if (!CheckPageHeader(h, why, sizeof why) || (uint64_t)h.cupsBytesPerLine * h.cupsHeight > (16u << 20))
                break;
            if (capturePage(ras, h, page, "/dev/null") != 0)
                break;
            if (!readAhead(ras, &h))
                break;
        }
    }
    cupsRasterClose(ras);
    return 0;
}
