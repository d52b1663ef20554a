// Raster page capture: one page of 1-bit CUPS raster into a PBM work file,
// and the look-ahead that tells whether another page follows.
#include "image/image.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unistd.h>

PageWorkFiles::PageWorkFiles(int jobId, int rasterPage, int image)
{
    snprintf(pbm, sizeof pbm, "%s%d_%d_gs.pbm", kWorkDir, jobId, rasterPage);
    snprintf(rotated, sizeof rotated, "%s%d_%d_gs_rotated.pbm", kWorkDir, jobId, image);
    snprintf(jbg, sizeof jbg, "%s%d-%d.jbg", kWorkDir, jobId, image);
}

PageWorkFiles::~PageWorkFiles()
{
    const char* keep = getenv("FISKOR_KEEP_WORK_FILES");
    if (keep != nullptr && *keep != '\0')
        return;
    for (const char* path : {pbm, rotated, jbg})
        if (unlink(path) != 0 && errno != ENOENT)
            fprintf(stderr, "DEBUG: cannot remove work file %s: %s\n", path, strerror(errno));
}

bool CheckPageHeader(const cups_page_header2_t& h, char* why, size_t whyLen)
{
    const uint64_t width = h.cupsWidth;
    const uint64_t height = h.cupsHeight;
    const uint64_t bpl = h.cupsBytesPerLine;
    const uint64_t needed = (width + 7) / 8;
    if (h.cupsBitsPerPixel != 1 || h.cupsBitsPerColor != 1) {
        snprintf(why, whyLen, "%u bits per pixel and %u bits per color, not 1-bit raster", h.cupsBitsPerPixel,
                 h.cupsBitsPerColor);
        return false;
    }
    if (width == 0 || height == 0) {
        snprintf(why, whyLen, "empty page (%llu x %llu pixels)", (unsigned long long)width, (unsigned long long)height);
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
        snprintf(why, whyLen, "page of %llu bytes is larger than %llu bytes", (unsigned long long)(height * bpl),
                 (unsigned long long)kMaxPageBytes);
        return false;
    }
    return true;
}

int capturePage(cups_raster_t* ras, const cups_page_header2_t& h, int rasterPage, const char* pbmPath)
{
    fprintf(stderr, "DEBUG: Page%d begin ,page_width = %d,page_height=%d, page_line_bytes=%d \n", rasterPage,
            (int)h.cupsWidth, (int)h.cupsHeight, (int)h.cupsBytesPerLine);
    fprintf(stderr, "INFO: Printing page %d\n", rasterPage);

    const uint64_t size = (uint64_t)h.cupsHeight * h.cupsBytesPerLine;
    if (size == 0 || size > kMaxPageBytes) {
        fprintf(stderr, "ERROR: page %d: page of %llu bytes cannot be captured\n", rasterPage,
                (unsigned long long)size);
        return -1;
    }
    // calloc: a short read leaves the missing lines white. Large blocks come
    // from fresh zero pages, so this costs no pass over the page.
    std::unique_ptr<unsigned char, void (*)(void*)> pixels((unsigned char*)calloc(size, 1), free);
    if (!pixels) {
        fprintf(stderr, "ERROR: page %d: cannot allocate %llu bytes for the page image\n", rasterPage,
                (unsigned long long)size);
        return -1;
    }
    // kMaxPageBytes fits the unsigned length of the call.
    unsigned got = cupsRasterReadPixels(ras, pixels.get(), (unsigned)size);
    if (got <= INT_MAX)
        fprintf(stderr, "DEBUG: Page %d read %d pixels\n", rasterPage, (int)got);
    else
        fprintf(stderr, "DEBUG: Page %d read %u pixels\n", rasterPage, got);

    if (WritePbm(pbmPath, (int)h.cupsWidth, (int)h.cupsHeight, pixels.get()) != PbmWrite::Ok) {
        fprintf(stderr, "ERROR: page %d: cannot write work file %s: %s\n", rasterPage, pbmPath, strerror(errno));
        return -1;
    }
    return 0;
}

bool readAhead(cups_raster_t* ras, cups_page_header2_t* h) { return cupsRasterReadHeader2(ras, h) != 0; }
