// Document formats the application reads itself (MIME filters to the
// printer's own format, so PAPPL finds them before its built-in ones):
// PNG of every bit depth and colour type, and PDF.
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <png.h>
#include <vector>

#include "app/app.h"
#include "app/pdf.h"

namespace {

// The resolution a PNG file states in its pHYs chunk, in pixels per inch,
// rounded as libpng rounds it; 0 when it states none or none that is square.
int PngPixelsPerInch(const char* path)
{
    std::unique_ptr<FILE, int (*)(FILE*)> f(fopen(path, "rb"), fclose);
    unsigned char b[9];
    if (!f || fread(b, 1, 8, f.get()) != 8)
        return 0;
    auto be32 = [](const unsigned char* p) { return (uint32_t)p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3]; };
    // The chunk comes before the image data.
    while (fread(b, 1, 8, f.get()) == 8) {
        const uint32_t length = be32(b);
        if (!memcmp(b + 4, "IDAT", 4) || !memcmp(b + 4, "IEND", 4) || length > 0x7fffffff)
            return 0;
        if (!memcmp(b + 4, "pHYs", 4)) {
            if (length != 9 || fread(b, 1, 9, f.get()) != 9 || b[8] != 1 || be32(b) != be32(b + 4))
                return 0;
            return (int)((be32(b) * 127ull + 2500) / 5000);
        }
        if (fseek(f.get(), (long)length + 4, SEEK_CUR) != 0)
            return 0;
    }
    return 0;
}

}  // namespace

// Decoded by libpng to 8-bit grey, transparency over white, then printed by
// PAPPL's image code like a JPEG. PAPPL's own PNG filter in 1.3.1 prints
// 1-bit images all black.
bool PngFilter(pappl_job_t* job, pappl_device_t* device, void*)
{
    const char* path = papplJobGetFilename(job);
    png_image image;
    memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path)) {
        FailJob(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, "The PNG image cannot be read: %s", image.message);
        return false;
    }
    int maxWidth = 0, maxHeight = 0;
    const size_t maxSize =
        papplSystemGetMaxImageSize(papplPrinterGetSystem(papplJobGetPrinter(job)), &maxWidth, &maxHeight);
    if (image.width > (png_uint_32)maxWidth || image.height > (png_uint_32)maxHeight ||
        (size_t)image.width * image.height > maxSize) {
        png_image_free(&image);
        FailJob(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, "The PNG image (%u x %u pixels) is too large to print.",
                image.width, image.height);
        return false;
    }
    image.format = PNG_FORMAT_GRAY;
    std::vector<png_byte> pixels;
    try {
        pixels.resize(PNG_IMAGE_SIZE(image));
    } catch (const std::bad_alloc&) {
        png_image_free(&image);
        FailJob(job, PAPPL_JREASON_ERRORS_DETECTED, "Out of memory for the PNG image");
        return false;
    }
    png_color white = {255, 255, 255};
    if (!png_image_finish_read(&image, &white, pixels.data(), 0, nullptr)) {
        FailJob(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, "The PNG image cannot be read: %s", image.message);
        return false;
    }
    const int ppi = PngPixelsPerInch(path);
    papplLogJob(job, PAPPL_LOGLEVEL_INFO, "PNG image is %ux%u pixels, %d pixels per inch", image.width, image.height,
                ppi);
    pappl_pr_options_t* options = papplJobCreatePrintOptions(job, 1, false);
    if (options == nullptr) {
        FailJob(job, PAPPL_JREASON_ERRORS_DETECTED, "Out of memory for the job's options");
        return false;
    }
    // The sequencer makes the copies: PAPPL prints the image once.
    options->copies = 1;
    const bool ok =
        papplJobFilterImage(job, device, options, pixels.data(), (int)image.width, (int)image.height, 1, ppi, false);
    papplJobDeletePrintOptions(options);
    return ok;
}

// Rendered by ghostscript (app/pdf.h) at the driver's resolution on the
// job's sheet, each page straight into the intake. A document that cannot
// be rendered, or has no pages, ends the job with the pages before the
// failure.
bool PdfFilter(pappl_job_t* job, pappl_device_t* device, void*)
{
    pappl_pr_options_t* options = papplJobCreatePrintOptions(job, 0, false);
    if (options == nullptr) {
        FailJob(job, PAPPL_JREASON_ERRORS_DETECTED, "Out of memory for the job's options");
        return false;
    }
    double widthPt = options->media.size_width * 72.0 / 2540.0;
    double heightPt = options->media.size_length * 72.0 / 2540.0;
    if (const MediaSize* m = FindMediaSize(options->media.size_name)) {
        widthPt = m->widthPt;
        heightPt = m->heightPt;
    }
    AppJob* aj = BeginAppJob(job, options, device);
    papplJobDeletePrintOptions(options);
    if (aj == nullptr)
        return false;
    const int dpi = DriverResolution(papplPrinterGetDriverName(papplJobGetPrinter(job)));
    bool intakeFailed = false;
    auto onPage = [&](const uint8_t* rows, int width, int height) {
        if (papplJobIsCanceled(job))
            return false;
        PageBitmap page;
        page.width = (uint32_t)width;
        page.height = (uint32_t)height;
        try {
            page.bits.assign(rows, rows + page.Stride() * page.height);
        } catch (const std::bad_alloc&) {
            FailJob(job, PAPPL_JREASON_ERRORS_DETECTED, "Out of memory for a page of the PDF document");
            intakeFailed = true;
            return false;
        }
        intakeFailed = !AppJobAddPage(aj, std::move(page));
        return !intakeFailed;
    };
    std::string why;
    const int pages = RenderPdf(papplJobGetFilename(job), dpi, widthPt, heightPt, onPage, &why);
    const bool rendered = pages >= 0 || intakeFailed || papplJobIsCanceled(job);
    if (!rendered)
        FailJob(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, "The PDF document cannot be printed: %s", why.c_str());
    else if (pages >= 0)
        papplLogJob(job, PAPPL_LOGLEVEL_INFO, "%d PDF pages rendered at %d dpi", pages, dpi);
    const bool ended = EndAppJob(aj);
    return ended && rendered && !intakeFailed;
}
