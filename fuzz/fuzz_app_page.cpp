// The printer application's page path with any raster page header and any
// number of lines: the header check, the line conversion and the page
// intake as the driver uses them (a page counts once all its lines came),
// then the printer stream it
// writes, which must parse and carry the pages as converted.
//
// Input: a header (resolution, size, bits, colour space and order, bytes
// per line), the job's mode (sides, A5 fed long edge first, collation,
// copies), a line count, then the lines' bytes, repeated as needed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/job.h"
#include "tools/inspect.h"

namespace {

struct Reader {
    const uint8_t* data;
    size_t size, at = 0;
    uint32_t U32()
    {
        uint32_t v = 0;
        for (int i = 0; i < 4; i++)
            v = v << 8 | (at < size ? data[at++] : 0);
        return v;
    }
    uint8_t U8() { return at < size ? data[at++] : 0; }
};

// Small numbers most of the time, any number sometimes.
uint32_t Dimension(Reader& r)
{
    const uint32_t v = r.U32();
    return v & 0x80000000u ? v : v % 300;
}

FILE* Log()
{
    static FILE* null = fopen("/dev/null", "w");
    return null;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Reader r{data, size};
    cups_page_header2_t h{};
    const int dpi = r.U8() & 1 ? 1200 : 600;
    const uint8_t resolution = r.U8();
    h.HWResolution[0] = resolution & 1 ? unsigned(dpi) : r.U32();
    h.HWResolution[1] = resolution & 2 ? unsigned(dpi) : r.U32();
    h.cupsWidth = Dimension(r), h.cupsHeight = Dimension(r);
    const uint8_t kind = r.U8();
    h.cupsBitsPerColor = kind & 1 ? 8 : kind & 2 ? r.U8() : 1;
    h.cupsBitsPerPixel = kind & 4 ? r.U8() : h.cupsBitsPerColor;
    // Any value, as libcups copies a document's header bytes into the header's fields.
    const uint32_t space = kind & 8 ? r.U8() : kind & 16 ? CUPS_CSPACE_SW : CUPS_CSPACE_K;
    const uint32_t order = kind & 32 ? r.U8() : CUPS_ORDER_CHUNKED;
    memcpy(&h.cupsColorSpace, &space, sizeof space);
    memcpy(&h.cupsColorOrder, &order, sizeof order);
    h.cupsBytesPerLine = kind & 64 ? r.U32() : unsigned((uint64_t(h.cupsWidth) * h.cupsBitsPerPixel + 7) / 8);

    const uint8_t mode = r.U8();
    IppChoices ipp;
    ipp.dpi = dpi;
    ipp.sides = mode & 1 ? "two-sided-long-edge" : "one-sided";
    ipp.media = mode & 2 ? "iso_a5_148x210mm" : "iso_a4_210x297mm";
    ipp.a5FeedEdge = mode & 4 ? "long-edge-first" : "short-edge-first";
    ipp.documentHandling = mode & 8 ? "separate-documents-collated-copies" : "";
    JobIdentity id;
    id.jobId = 1;
    id.copies = 1 + (mode >> 4) % 3;
    const uint32_t lineCount = Dimension(r);

    RasterLines lines;
    std::string why;
    if (!CheckRasterPage(h, dpi, &lines, &why)) {
        if (why.empty())
            __builtin_trap();  // a refusal always says why
        return 0;
    }
    // The check allows pages of hundreds of megabytes; the fuzzer keeps to small ones.
    if (uint64_t(h.cupsWidth) * h.cupsHeight > (uint64_t(1) << 22))
        return 0;

    std::string stream;
    RecordSink sink{[&](const unsigned char* d, size_t n) { return stream.append((const char*)d, n), true; },
                    [] { return false; }};
    PageIntake in;
    if (!StartIntake(&in, ipp, id, std::move(sink), Log()))
        __builtin_trap();
    PageBitmap page;
    if (!MakeWhitePage(h.cupsWidth, h.cupsHeight, &page))
        return 0;
    uint8_t dither[16][16];
    MakeDitherMatrix(dither);
    std::vector<uint8_t> line(h.cupsBytesPerLine);
    // The lines are the input's remaining bytes, repeated; none comes whole when there are fewer bytes than a line.
    const size_t bodyStart = r.at, body = size - std::min(size, bodyStart);
    uint32_t rows = 0;
    for (uint32_t n = 0; n < lineCount && rows < page.height && body >= line.size(); n++) {
        for (size_t i = 0; i < line.size(); i++)
            line[i] = data[bodyStart + (size_t(n) * line.size() + i) % body];
        ConvertRasterLine(lines, line.data(), page.width, rows, dither, page.Row(rows));
        rows++;
    }
    const bool whole = rows == page.height;
    PageBitmap sent = page;  // as the encoder sees it: no bits past the width
    if (sent.width % 8)
        for (uint32_t y = 0; y < sent.height; y++)
            sent.Row(y)[sent.Stride() - 1] &= uint8_t(0xff << (8 - sent.width % 8));
    if (whole && !AddPage(&in, std::move(page)))
        return 0;  // only a page too large for the intake's buffers fails here
    if (!FinishIntake(&in))
        return 0;

    ParsedStream ps;
    std::string error;
    if (!ParseStream((const uint8_t*)stream.data(), stream.size(), &ps, &error)) {
        fprintf(stderr, "the stream does not parse: %s\n", error.c_str());
        __builtin_trap();
    }
    if (!whole) {
        if (!ps.pages.empty())
            __builtin_trap();  // a page whose lines did not all come is never sent
        return 0;
    }
    // Unturned pages come back as converted; every record decodes.
    const bool turned = mode & 2 && mode & 4;
    for (const InspectPage& p : ps.pages) {
        PageImage img;
        if (!DecodeJbig(p.data, p.datasize, kInspectMaxPixels, &img, &error))
            __builtin_trap();
        if (!turned && img.width == sent.width && img.bits != sent.bits &&
            std::any_of(img.bits.begin(), img.bits.end(), [](uint8_t b) { return b != 0; }))
            __builtin_trap();
    }
    return 0;
}
