#include "tests/documents.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <cstring>
#include <cups/raster.h>
#include <fcntl.h>
#include <jpeglib.h>
#include <memory>
#include <png.h>
#include <unistd.h>

#include "image/image.h"
#include "tools/inspect.h"

SheetSize Sheet(const std::string& pwgMedia, int dpi)
{
    const pwg_media_t* m = pwgMediaForPWG(pwgMedia.c_str());
    if (!m)
        return {};
    return {int((long long)m->width * dpi / 2540), int((long long)m->length * dpi / 2540)};
}

std::vector<TestPage> SheetPages(int n, const std::string& pwgMedia, int dpi, uint32_t seed)
{
    const SheetSize s = Sheet(pwgMedia, dpi);
    std::vector<TestPage> pages;
    for (int i = 0; i < n; i++) {
        pages.push_back(PatternPage(s.width, s.height, seed * 100 + uint32_t(i)));
        pages.back().resolution = dpi;
    }
    return pages;
}

static bool Bit(const TestPage& p, int x, int y)
{
    const int bpl = p.bytesPerLine ? p.bytesPerLine : (p.width + 7) / 8;
    return (p.bits[size_t(y) * bpl + x / 8] >> (7 - x % 8)) & 1;
}

static void SetBit(TestPage& p, int x, int y)
{
    const int bpl = p.bytesPerLine ? p.bytesPerLine : (p.width + 7) / 8;
    p.bits[size_t(y) * bpl + x / 8] |= uint8_t(0x80 >> (x % 8));
}

static TestPage WhitePage(int width, int height, int dpi)
{
    TestPage p;
    p.width = width, p.height = height, p.bytesPerLine = (width + 7) / 8, p.resolution = dpi;
    p.bits.assign(size_t(p.bytesPerLine) * height, 0);
    return p;
}

bool WriteRasterDocument(const std::string& path, const std::vector<TestPage>& pages, RasterKind kind,
                         const std::string& pwgMedia, const std::string& sides)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    cups_raster_t* ras =
        cupsRasterOpen(fd, kind == RasterKind::Apple8 ? CUPS_RASTER_WRITE_APPLE : CUPS_RASTER_WRITE_PWG);
    bool ok = ras != nullptr;
    for (const TestPage& p : pages) {
        cups_page_header2_t h;
        pwg_media_t* media = pwgMediaForPWG(pwgMedia.c_str());
        ok = ok && media &&
             cupsRasterInitPWGHeader(&h, media, kind == RasterKind::Pwg1 ? "black_1" : "sgray_8", p.resolution,
                                     p.resolution, sides.c_str(), nullptr);
        // A page that does not fill the media says so in its header: the
        // header tells its true size in pixels.
        if (ok && (int(h.cupsWidth) != p.width || int(h.cupsHeight) != p.height)) {
            h.cupsWidth = unsigned(p.width), h.cupsHeight = unsigned(p.height);
            h.cupsBytesPerLine = kind == RasterKind::Pwg1 ? unsigned(p.width + 7) / 8 : unsigned(p.width);
        }
        h.cupsInteger[CUPS_RASTER_PWG_TotalPageCount] = unsigned(pages.size());
        ok = ok && cupsRasterWriteHeader2(ras, &h);
        std::vector<uint8_t> line(h.cupsBytesPerLine);
        for (int y = 0; ok && y < p.height; y++) {
            if (kind == RasterKind::Pwg1) {
                memcpy(line.data(), &p.bits[size_t(y) * ((p.width + 7) / 8)], line.size());
            } else {
                for (int x = 0; x < p.width; x++)
                    line[size_t(x)] = Bit(p, x, y) ? 0 : 255;
            }
            ok = cupsRasterWritePixels(ras, line.data(), unsigned(line.size())) == line.size();
        }
    }
    if (ras)
        cupsRasterClose(ras);
    return close(fd) == 0 && ok;
}

TestPage BlockImage(int width, int height, uint32_t seed)
{
    const TestPage coarse = PatternPage(width / 8, height / 8, seed);
    TestPage p = WhitePage(width, height, 0);
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++)
            if (Bit(coarse, x / 8, y / 8))
                SetBit(p, x, y);
    return p;
}

bool WriteJpeg(const std::string& path, const TestPage& image, int dpi)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);  // libjpeg's own handler exits on error: in a test that fails loudly
    jpeg_create_compress(&c);
    jpeg_stdio_dest(&c, f);
    c.image_width = JDIMENSION(image.width), c.image_height = JDIMENSION(image.height);
    c.input_components = 1, c.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 100, TRUE);
    c.density_unit = 1, c.X_density = c.Y_density = UINT16(dpi), c.write_JFIF_header = TRUE;
    jpeg_start_compress(&c, TRUE);
    std::vector<JSAMPLE> line(size_t(image.width));
    for (int y = 0; y < image.height; y++) {
        for (int x = 0; x < image.width; x++)
            line[size_t(x)] = Bit(image, x, y) ? 0 : 255;
        JSAMPROW row = line.data();
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    return fclose(f) == 0;
}

bool WritePng(const std::string& path, const TestPage& image, int bitDepth, int dpi)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    bool ok = info != nullptr;
    if (ok && setjmp(png_jmpbuf(png)))
        ok = false;
    else if (ok) {
        png_init_io(png, f);
        png_set_IHDR(png, info, png_uint_32(image.width), png_uint_32(image.height), bitDepth, PNG_COLOR_TYPE_GRAY,
                     PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        const png_uint_32 perMetre = png_uint_32(dpi / 0.0254 + 0.5);
        png_set_pHYs(png, info, perMetre, perMetre, PNG_RESOLUTION_METER);
        png_write_info(png, info);
        const int white = (1 << bitDepth) - 1;
        std::vector<png_byte> line(size_t(image.width * bitDepth + 7) / 8);
        for (int y = 0; y < image.height; y++) {
            std::fill(line.begin(), line.end(), 0);
            for (int x = 0; x < image.width; x++) {
                const int v = Bit(image, x, y) ? 0 : white, bit = x * bitDepth;
                line[size_t(bit / 8)] |= png_byte(v << (8 - bitDepth - bit % 8));
            }
            png_write_row(png, line.data());
        }
        png_write_end(png, nullptr);
    }
    png_destroy_write_struct(&png, &info);
    return fclose(f) == 0 && ok;
}

TestPage ImageOnSheet(const TestPage& image, SheetSize sheet, const Margins& m, int dpi)
{
    TestPage p = WhitePage(sheet.width, sheet.height, dpi);
    const int left = m.left * dpi / 2540, top = m.top * dpi / 2540;
    const int areaW = sheet.width - (m.left + m.right) * dpi / 2540;
    const int areaH = sheet.height - (m.top + m.bottom) * dpi / 2540;
    const int x0 = left + (areaW - image.width) / 2, y0 = top + (areaH - image.height) / 2;
    for (int y = 0; y < image.height; y++)
        for (int x = 0; x < image.width; x++)
            if (Bit(image, x, y))
                SetBit(p, x0 + x, y0 + y);
    return p;
}

// The rectangles of a PDF page, in units of 0.12 point (one pixel at 600
// dpi, two at 1200): blocks on a grid of 3 points (25 units) from the
// top-left corner, so that a page placed or scaled by a pixel shows. Every
// edge is a whole number of points, exact in ghostscript's arithmetic.
struct Rect {
    int x, y, w, h;
};
static std::vector<Rect> PdfRects(int page, uint32_t seed)
{
    std::vector<Rect> rects;
    uint32_t r = (seed + uint32_t(page)) * 2654435761u + 1;
    for (int i = 0; i < 80; i++) {
        r = r * 1103515245u + 12345u;
        const int gx = int(r >> 8) % 180, gy = int(r >> 16) % 240;
        rects.push_back({25 + gx * 25, 25 + gy * 25, 25 * (1 + int(r >> 26) % 4), 25 * (1 + int(r >> 29) % 3)});
    }
    return rects;
}

bool WriteRectanglePdf(const std::string& path, int pages, double widthPt, double heightPt, uint32_t seed)
{
    std::string ps = "%!PS-Adobe-3.0\n";
    char line[200];
    for (int page = 0; page < pages; page++) {
        snprintf(line, sizeof line, "<< /PageSize [%.2f %.2f] >> setpagedevice 0 setgray\n", widthPt, heightPt);
        ps += line;
        for (const Rect& q : PdfRects(page, seed)) {
            // PDF space runs up from the bottom edge; the rectangle hangs from the top edge.
            snprintf(line, sizeof line, "%.2f %.2f %.2f %.2f rectfill\n", q.x * 0.12, heightPt - (q.y + q.h) * 0.12,
                     q.w * 0.12, q.h * 0.12);
            ps += line;
        }
        ps += "showpage\n";
    }
    const std::string psPath = path + ".ps";
    return WriteFile(psPath, ps) &&
           system(("'" FZ_SOURCE_DIR "/scripts/make_pdf.sh' '" + psPath + "' '" + path + "'").c_str()) == 0;
}

TestPage RectanglePdfPage(int page, uint32_t seed, SheetSize sheet, int dpi)
{
    TestPage p = WhitePage(sheet.width, sheet.height, dpi);
    const int s = dpi / 600;
    for (const Rect& q : PdfRects(page, seed))
        for (int y = q.y * s; y < (q.y + q.h) * s && y < sheet.height; y++)
            for (int x = q.x * s; x < (q.x + q.w) * s && x < sheet.width; x++)
                SetBit(p, x, y);
    return p;
}

bool WriteCorruptPdf(const std::string& path)
{
    return WriteFile(path, "%PDF-1.7\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n%%garbage: no pages, no "
                           "xref, no trailer\n\x01\x02\x03 stream endstream\n%%EOF\n");
}

std::string ComparePages(const TestPage& got, const TestPage& want)
{
    if (got.width != want.width || got.height != want.height)
        return "size " + std::to_string(got.width) + "x" + std::to_string(got.height) + ", want " +
               std::to_string(want.width) + "x" + std::to_string(want.height);
    if (got.bits == want.bits)
        return "";
    long differ = 0;
    int firstX = -1, firstY = -1;
    for (int y = 0; y < got.height; y++)
        for (int x = 0; x < got.width; x++)
            if (Bit(got, x, y) != Bit(want, x, y) && differ++ == 0)
                firstX = x, firstY = y;
    if (differ == 0)
        return "";
    return std::to_string(differ) + " pixels differ, the first at (" + std::to_string(firstX) + "," +
           std::to_string(firstY) + ")";
}

PageNamer SheetNamer(const std::vector<TestPage>& pages, bool turned, std::string* why)
{
    auto wanted = std::make_shared<std::vector<TestPage>>();
    for (const TestPage& p : pages) {
        TestPage w = p;
        if (turned) {
            w = WhitePage(p.height, p.width, p.resolution);
            RotateBitsReference(p.bits.data(), p.width, p.height, -90, w.bits.data());
        }
        wanted->push_back(w);
    }
    auto seen = std::make_shared<std::map<std::string, std::string>>();
    return [=](const uint8_t* data, size_t size) -> std::string {
        const std::string key((const char*)data, size);
        if (auto at = seen->find(key); at != seen->end())
            return at->second;
        PageImage img;
        std::string error, name = "?";
        if (!DecodeJbig(data, size, kInspectMaxPixels, &img, &error)) {
            *why += "record not decoded: " + error + "\n";
            return (*seen)[key] = name;
        }
        TestPage got = WhitePage(int(img.width), int(img.height), 0);
        got.bits = img.bits;
        for (size_t i = 0; i < wanted->size() && name == "?"; i++)
            if (got.width == (*wanted)[i].width && got.bits == (*wanted)[i].bits)
                name = "P" + std::to_string(i + 1);
        const bool white = std::all_of(img.bits.begin(), img.bits.end(), [](uint8_t b) { return b == 0; });
        if (name == "?" && white && !wanted->empty()) {
            const TestPage& first = wanted->front();
            if (got.width == 8 * ((first.width + 7) / 8) && got.height == first.height)
                name = "B";
        }
        for (size_t i = 0; i < wanted->size() && name == "?"; i++)
            if (i + 1 == wanted->size() || (got.width == (*wanted)[i].width && got.height == (*wanted)[i].height))
                *why += "record is not page " + std::to_string(i + 1) + ": " + ComparePages(got, (*wanted)[i]) + "\n";
        return (*seen)[key] = name;
    };
}
