// Raster page capture: one page of 1-bit CUPS raster into a PBM work file,
// and the look-ahead that tells whether another page follows.
#include "image/image.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

void PbmWorkName(char* out, int jobId, int page)
{
    memset(out, 0, kNameSize);
    snprintf(out, kNameSize, "%s%d_%d_gs.pbm", kWorkDir, jobId, page);
}

void RotatedWorkName(char* out, int jobId, int page)
{
    memset(out, 0, kNameSize);
    snprintf(out, kNameSize, "%s%d_%d_gs_rotated.pbm", kWorkDir, jobId, page);
}

void JbgWorkName(char* out, int jobId, int page)
{
    memset(out, 0, kNameSize);
    snprintf(out, kNameSize, "%s%d-%d.jbg", kWorkDir, jobId, page);
}

bool CheckPageHeader(const cups_page_header2_t& h, char* why, size_t whyLen)
{
    const uint64_t width = h.cupsWidth;
    const uint64_t height = h.cupsHeight;
    const uint64_t bpl = h.cupsBytesPerLine;
    const uint64_t needed = (width + 7) / 8;
    if (h.cupsBitsPerPixel != 1 || h.cupsBitsPerColor != 1) {
        snprintf(why, whyLen, "%u bits per pixel and %u bits per color, not 1-bit raster",
                 h.cupsBitsPerPixel, h.cupsBitsPerColor);
        return false;
    }
    if (width == 0 || height == 0) {
        snprintf(why, whyLen, "empty page (%llu x %llu pixels)",
                 (unsigned long long)width, (unsigned long long)height);
        return false;
    }
    // The padded width (8 x bytes per line) names the blank back side's
    // size and must fit an int like the rest.
    if (width > INT_MAX || height > INT_MAX || 8 * bpl > INT_MAX) {
        snprintf(why, whyLen, "page size out of range (%llu x %llu pixels, %llu bytes per line)",
                 (unsigned long long)width, (unsigned long long)height, (unsigned long long)bpl);
        return false;
    }
    // The PBM rows are the raster lines unchanged, so a line must be exactly
    // as long as the width needs: a shorter one lacks pixels, a longer one
    // would shear the image in the PBM.
    if (bpl != needed) {
        snprintf(why, whyLen, "%llu bytes per line do not match a width of %llu pixels (%llu bytes)",
                 (unsigned long long)bpl, (unsigned long long)width, (unsigned long long)needed);
        return false;
    }
    if (height * bpl > kMaxPageBytes) {
        snprintf(why, whyLen, "page of %llu bytes is larger than %llu bytes",
                 (unsigned long long)(height * bpl), (unsigned long long)kMaxPageBytes);
        return false;
    }
    return true;
}

namespace {

int WorkFileError(int rasterPage, const char* path, int err)
{
    fprintf(stderr, "ERROR: page %d: cannot write work file %s: %s\n", rasterPage, path, strerror(err));
    return -1;
}

} // namespace

int capturePage(cups_raster_t* ras, const cups_page_header2_t& h, int rasterPage, const char* pbmPath)
{
    fprintf(stderr, "DEBUG: Page%d begin ,page_width = %d,page_height=%d, page_line_bytes=%d \n",
            rasterPage, (int)h.cupsWidth, (int)h.cupsHeight, (int)h.cupsBytesPerLine);
    fprintf(stderr, "INFO: Printing page %d\n", rasterPage);

    const uint64_t size = (uint64_t)h.cupsHeight * h.cupsBytesPerLine;
    if (size == 0 || size > kMaxPageBytes) {
        fprintf(stderr, "ERROR: page %d: page of %llu bytes cannot be captured\n", rasterPage,
                (unsigned long long)size);
        return -1;
    }
    // calloc: a short read leaves the missing lines white. Large blocks come
    // from fresh zero pages, so this costs no pass over the page.
    unsigned char* pixels = (unsigned char*)calloc(size, 1);
    if (!pixels) {
        fprintf(stderr, "ERROR: page %d: cannot allocate %llu bytes for the page image\n", rasterPage,
                (unsigned long long)size);
        return -1;
    }
    // kMaxPageBytes fits the unsigned length of the call.
    unsigned got = cupsRasterReadPixels(ras, pixels, (unsigned)size);
    if (got <= INT_MAX)
        fprintf(stderr, "DEBUG: Page %d read %d pixels\n", rasterPage, (int)got);
    else
        fprintf(stderr, "DEBUG: Page %d read %u pixels\n", rasterPage, got);

    FILE* f = fopen(pbmPath, "wb");
    if (!f) {
        int err = errno;
        free(pixels);
        return WorkFileError(rasterPage, pbmPath, err);
    }
    bool ok = fprintf(f, "P4\n%d %d\n", (int)h.cupsWidth, (int)h.cupsHeight) > 0;
    int err = errno;
    if (ok) {
        ok = fwrite(pixels, 1, size, f) == size;
        err = errno;
    }
    free(pixels);
    if (fclose(f) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (!ok)
        return WorkFileError(rasterPage, pbmPath, err);
    return 0;
}

bool readAhead(cups_raster_t* ras, cups_page_header2_t* h)
{
    return cupsRasterReadHeader2(ras, h) != 0;
}
