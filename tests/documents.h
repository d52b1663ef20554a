// Documents an IPP client sends, made at test time, and the 1-bit sheets
// each must print as: PWG and Apple raster written by libcups, JPEG and PNG
// images of black and white blocks, PDF pages of black rectangles on pixel
// boundaries, a PDF that is no PDF.
#pragma once
#include <string>
#include <vector>

#include "tests/testutil.h"

// A sheet of the named PWG media at `dpi`, as PAPPL and libcups size it:
// hundredths of millimetres times dpi / 2540, truncated. {0, 0} for a
// name libcups does not know.
struct SheetSize {
    int width = 0, height = 0;
};
SheetSize Sheet(const std::string& pwgMedia, int dpi);

// `n` full sheets with a different pattern each (PatternPage).
std::vector<TestPage> SheetPages(int n, const std::string& pwgMedia, int dpi, uint32_t seed = 1);

enum class RasterKind {
    Pwg1,    // PWG raster, black_1
    Pwg8,    // PWG raster, sgray_8: black 0, white 255
    Apple8,  // Apple raster (URF), sgray_8
};
// Writes 1-bit pages (1 = black) as a raster document of that kind, each
// page with the header libcups makes for the media, the pages' resolution
// and `sides`. False when libcups cannot write it.
bool WriteRasterDocument(const std::string& path, const std::vector<TestPage>& pages, RasterKind kind,
                         const std::string& pwgMedia, const std::string& sides = "one-sided");

// An image of `width` x `height` pixels (multiples of 8) of 8x8 blocks,
// each black or white, different for each seed; as a 1-bit page.
TestPage BlockImage(int width, int height, uint32_t seed);
// A grayscale JPEG of the image (quality 100, resolution `dpi` in its JFIF
// header): every 8x8 block is one colour, so the JPEG holds it exactly.
bool WriteJpeg(const std::string& path, const TestPage& image, int dpi);
// A grayscale PNG of the image with 1, 2, 4 or 8 bits per pixel (black 0,
// white the largest value) and `dpi` in its pHYs chunk.
bool WritePng(const std::string& path, const TestPage& image, int bitDepth, int dpi);

// What a page of `image` at the printer's resolution prints as on a sheet
// with these margins (hundredths of millimetres): unscaled, centred in the
// area within the margins, the way PAPPL places an image whose resolution
// is the printer's.
struct Margins {
    int left = 0, right = 0, top = 0, bottom = 0;
};
TestPage ImageOnSheet(const TestPage& image, SheetSize sheet, const Margins& m, int dpi);

// A PDF whose pages are black rectangles with edges on pixel boundaries at
// 600 and 1200 dpi, one pattern per page: `pages` pages of widthPt x
// heightPt points. ghostscript (make_pdf.sh) makes it from PostScript.
bool WriteRectanglePdf(const std::string& path, int pages, double widthPt, double heightPt, uint32_t seed);
// The 1-bit page `page` (from 0) of such a PDF rendered at `dpi`, top-left
// anchored, on a sheet of `sheet` pixels.
TestPage RectanglePdfPage(int page, uint32_t seed, SheetSize sheet, int dpi);
// Bytes that start like a PDF and hold no page.
bool WriteCorruptPdf(const std::string& path);

// Pages that differ from `want`: "" when equal, else the first difference.
std::string ComparePages(const TestPage& got, const TestPage& want);

// Names page records for ReadStream: "P1".. by decoding the JBIG data and
// comparing it with the pages (turned -90 when `turned`), "B" for a white
// page of the first page's size (width padded to whole bytes, as the
// sequencer's blank back side), "?" for anything else, with the difference
// from the page of the record's size added to `why`. Decodes each distinct
// record once.
PageNamer SheetNamer(const std::vector<TestPage>& pages, bool turned, std::string* why);
