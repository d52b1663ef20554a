// The page header of a 1-bit black-on-white CUPS raster page, as CUPS's
// raster filters deliver it to this printer's queue.
#pragma once
#include <cstring>
#include <cups/raster.h>

inline cups_page_header2_t OneBitPageHeader(int width, int height, int dpi)
{
    cups_page_header2_t h;
    memset(&h, 0, sizeof h);
    h.HWResolution[0] = h.HWResolution[1] = (unsigned)dpi;
    h.PageSize[0] = (unsigned)(((long long)width * 72 + dpi / 2) / dpi);
    h.PageSize[1] = (unsigned)(((long long)height * 72 + dpi / 2) / dpi);
    h.cupsWidth = (unsigned)width;
    h.cupsHeight = (unsigned)height;
    h.cupsBitsPerColor = 1;
    h.cupsBitsPerPixel = 1;
    h.cupsBytesPerLine = (unsigned)((width + 7) / 8);
    h.cupsColorOrder = CUPS_ORDER_CHUNKED;
    h.cupsColorSpace = CUPS_CSPACE_K;
    h.cupsNumColors = 1;
    h.NumCopies = 1;
    return h;
}
