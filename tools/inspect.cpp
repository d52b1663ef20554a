// Printer stream inspector: parsing, JBIG decoding and page image output.
#include "tools/inspect.h"

// jbig.h declares C functions without C++ linkage of its own.
extern "C" {
#include <jbig.h>
}
#include <png.h>

#include <cerrno>
#include <cstdarg>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char kJobTag[16] = {'t', 'a', 'm', 'r', 'e', 'l', '_', 'p', 'a', 'r', 'a', 'm', 0, 0, 0, 0};
const char kPageName[16] = {'t', 'a', 'm', 'r', 'e', 'l', '_', 'p', 'r', 'i', 'n', 't', 'e', 'r', 0, 0};
constexpr size_t kJobHeaderSize = 20;
constexpr size_t kPageHeaderSize = 32;
constexpr size_t kJbigHeaderSize = 20;

// The parameter table's rows, in the order the text carries them.
const char* const kParamKeys[kInspectParamCount] = {"PageSize",
                                                    "Resolution",
                                                    "resX",
                                                    "resY",
                                                    "FeedEdge",
                                                    "Collate",
                                                    "Duplex",
                                                    "MediaType",
                                                    "InputSlot",
                                                    "number-up",
                                                    "job-uuid",
                                                    "job-originating-host-name",
                                                    "date-time-at-creation",
                                                    "date-time-at-processing",
                                                    "time-at-creation",
                                                    "time-at-processing",
                                                    "copies",
                                                    "jobId",
                                                    "DocName",
                                                    "HostName",
                                                    "LoginName",
                                                    "AuthID",
                                                    "AuthPassword",
                                                    "Border"};

uint32_t ReadLe32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint32_t ReadBe32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

std::string Fmt(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Fmt(const char* fmt, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

bool Fail(std::string* error, size_t offset, uint64_t record, const std::string& what)
{
    if (record == 0)
        *error = Fmt("byte %zu, job record: ", offset) + what;
    else
        *error = Fmt("byte %zu, page record %llu: ", offset, (unsigned long long)record) + what;
    return false;
}

// Index of the first byte where `got` (n bytes) differs from `want`, or n.
size_t FirstMismatch(const uint8_t* got, const char* want, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (got[i] != uint8_t(want[i]))
            return i;
    return n;
}

// Position of `needle` in text[from, len), or len when absent.
size_t FindFrom(const char* text, size_t len, size_t from, const std::string& needle)
{
    if (needle.size() > len)
        return len;
    for (size_t i = from; i + needle.size() <= len; ++i)
        if (memcmp(text + i, needle.data(), needle.size()) == 0)
            return i;
    return len;
}

// Parses the parameter text; on failure `*where` is the character offset.
bool ParseParamsAt(const char* text, size_t len, InspectParams* out, size_t* where, std::string* what)
{
    *out = InspectParams{};
    size_t pos = 0;
    for (int i = 0; i < kInspectParamCount; ++i) {
        const std::string head = std::string(kParamKeys[i]) + "=";
        if (len - pos < head.size() || memcmp(text + pos, head.data(), head.size()) != 0) {
            *where = pos;
            *what = "expected \"" + head + "\" (row " + std::to_string(i + 1) + ")";
            return false;
        }
        const size_t vstart = pos + head.size();
        size_t vend;
        if (i + 1 < kInspectParamCount) {
            vend = FindFrom(text, len, vstart, std::string(", ") + kParamKeys[i + 1] + "=");
            if (vend == len) {
                *where = vstart;
                *what = std::string("no \", ") + kParamKeys[i + 1] + "=\" after the value of " + kParamKeys[i];
                return false;
            }
        } else {
            if (len - vstart < 2 || text[len - 2] != ',' || text[len - 1] != ' ') {
                *where = len;
                *what = "the parameter text does not end in \", \"";
                return false;
            }
            vend = len - 2;
        }
        const size_t vlen = vend - vstart;
        if (vlen > sizeof out->row[i].value - 1) {
            *where = vstart;
            *what = std::string("value of ") + kParamKeys[i] + " has " + std::to_string(vlen) +
                    " characters, more than 255";
            return false;
        }
        const void* nul = memchr(text + vstart, '\0', vlen);
        if (nul) {
            *where = size_t(static_cast<const char*>(nul) - text);
            *what = std::string("NUL byte in the value of ") + kParamKeys[i];
            return false;
        }
        snprintf(out->row[i].key, sizeof out->row[i].key, "%s", kParamKeys[i]);
        memcpy(out->row[i].value, text + vstart, vlen);
        out->row[i].value[vlen] = '\0';
        pos = vend + 2;
    }
    return true;
}

bool ParseJobRecord(const uint8_t* data, size_t len, ParsedStream* out, std::string* error)
{
    const size_t tagBytes = len < sizeof kJobTag ? len : sizeof kJobTag;
    const size_t bad = FirstMismatch(data, kJobTag, tagBytes);
    if (bad < tagBytes)
        return Fail(error, bad, 0, "tag is not \"tamrel_param\" followed by 4 zero bytes");
    if (len < kJobHeaderSize)
        return Fail(error, len < 16 ? len : 16, 0,
                    Fmt("stream ends after %zu bytes, inside the 20-byte job record header", len));
    const uint32_t size = ReadLe32(data + 16);
    if (size > kInspectMaxParamText)
        return Fail(error, 16, 0,
                    Fmt("job_params_size %u is larger than the %u bytes a parameter text can have", size,
                        kInspectMaxParamText));
    if (size > len - kJobHeaderSize)
        return Fail(error, 16, 0, Fmt("job_params_size %u but only %zu bytes follow", size, len - kJobHeaderSize));
    const char* text = reinterpret_cast<const char*>(data + kJobHeaderSize);
    size_t where = 0;
    std::string what;
    if (!ParseParamsAt(text, size, &out->params, &where, &what))
        return Fail(error, kJobHeaderSize + where, 0, "parameter text: " + what);
    out->has_job_record = true;
    out->job_params_size = size;
    out->job_params.assign(text, size);
    return true;
}

bool ParsePageRecord(const uint8_t* data, size_t len, size_t pos, uint64_t record, InspectPage* page,
                     std::string* error)
{
    const size_t left = len - pos;
    const uint8_t* p = data + pos;
    const size_t nameBytes = left < sizeof kPageName ? left : sizeof kPageName;
    const size_t bad = FirstMismatch(p, kPageName, nameBytes);
    if (bad < nameBytes)
        return Fail(error, pos + bad, record, "name is not \"tamrel_printer\" followed by 2 zero bytes");
    if (left < kPageHeaderSize)
        return Fail(error, pos, record, Fmt("stream ends %zu bytes into the 32-byte page record header", left));
    page->offset = pos;
    page->firstpage = ReadLe32(p + 16);
    page->lastpage = ReadLe32(p + 20);
    page->datasize = ReadLe32(p + 24);
    page->pageseq = ReadLe32(p + 28);
    if (page->firstpage > 1)
        return Fail(error, pos + 16, record, Fmt("firstpage is %u, not 0 or 1", page->firstpage));
    if (page->lastpage > 1)
        return Fail(error, pos + 20, record, Fmt("lastpage is %u, not 0 or 1", page->lastpage));
    if (page->datasize > left - kPageHeaderSize)
        return Fail(error, pos + 24, record,
                    Fmt("datasize %u but only %zu bytes follow", page->datasize, left - kPageHeaderSize));
    if (page->pageseq != record)
        return Fail(error, pos + 28, record,
                    Fmt("pageseq is %u, expected %llu", page->pageseq, (unsigned long long)record));
    page->data = p + kPageHeaderSize;
    return true;
}

}  // namespace

bool ParseJobParams(const char* text, size_t len, InspectParams* out, std::string* error)
{
    size_t where = 0;
    std::string what;
    if (ParseParamsAt(text, len, out, &where, &what))
        return true;
    *error = Fmt("character %zu: ", where) + what;
    return false;
}

const char* InspectParamValue(const InspectParams& p, const char* key)
{
    for (const InspectParam& r : p.row)
        if (strcmp(r.key, key) == 0)
            return r.value;
    return nullptr;
}

bool ParseStream(const uint8_t* data, size_t len, ParsedStream* out, std::string* error)
{
    *out = ParsedStream{};
    if (len == 0)
        return true;
    if (!ParseJobRecord(data, len, out, error))
        return false;
    size_t pos = kJobHeaderSize + out->job_params_size;
    uint64_t record = 1;
    while (pos < len) {
        InspectPage page{};
        if (!ParsePageRecord(data, len, pos, record, &page, error))
            return false;
        out->pages.push_back(page);
        pos += kPageHeaderSize + page.datasize;
        ++record;
    }
    return true;
}

uint32_t SheetOfPage(uint32_t pageseq) { return pageseq / 2 + pageseq % 2; }

bool IsFrontSide(uint32_t pageseq) { return pageseq % 2 == 1; }

namespace {

// Header checks made before libjbig sees the data, so that a hostile header
// cannot make it allocate a huge image.
bool CheckJbigHeader(const uint8_t* d, size_t len, uint64_t max_pixels, uint32_t* width, uint32_t* height,
                     std::string* error)
{
    if (len < kJbigHeaderSize) {
        *error = Fmt("JBIG data of %zu bytes is shorter than its 20-byte header", len);
        return false;
    }
    if (d[0] != 0 || d[1] != 0) {
        *error = Fmt("JBIG header has resolution layers %u to %u; a page has exactly one (0 to 0)", d[0], d[1]);
        return false;
    }
    if (d[2] != 1) {
        *error = Fmt("JBIG header has %u bit planes; a page has one", d[2]);
        return false;
    }
    *width = ReadBe32(d + 4);
    *height = ReadBe32(d + 8);
    if (*width == 0 || *height == 0) {
        *error = Fmt("JBIG image is %u x %u pixels, empty", *width, *height);
        return false;
    }
    const uint64_t pixels = uint64_t(*width) * *height;
    if (pixels > max_pixels) {
        *error = Fmt("JBIG image of %u x %u pixels is larger than the %llu pixels accepted", *width, *height,
                     (unsigned long long)max_pixels);
        return false;
    }
    return true;
}

// Feeds the data to the decoder in chunks copied to a scratch buffer (the
// decoder takes a non-const pointer). Returns the decoder's last status and
// the bytes it consumed.
int FeedJbig(jbg_dec_state* s, const uint8_t* data, size_t len, size_t* consumed)
{
    unsigned char chunk[16384];
    size_t pos = 0;
    int r = JBG_EAGAIN;
    while (pos < len) {
        const size_t n = len - pos < sizeof chunk ? len - pos : sizeof chunk;
        memcpy(chunk, data + pos, n);
        size_t cnt = 0;
        r = jbg_dec_in(s, chunk, n, &cnt);
        if (cnt > n)
            cnt = n;
        pos += cnt;
        if (r != JBG_EAGAIN)
            break;
        if (cnt == 0)
            break;  // no progress: treat as the end of the data
    }
    *consumed = pos;
    return r;
}

}  // namespace

bool DecodeJbig(const uint8_t* data, size_t len, uint64_t max_pixels, PageImage* out, std::string* error)
{
    *out = PageImage{};
    uint32_t width = 0, height = 0;
    if (!CheckJbigHeader(data, len, max_pixels, &width, &height, error))
        return false;

    jbg_dec_state s;
    jbg_dec_init(&s);
    jbg_dec_maxsize(&s, width, height);
    size_t consumed = 0;
    const int r = FeedJbig(&s, data, len, &consumed);
    bool ok = false;
    if (r == JBG_EAGAIN) {
        *error = Fmt("JBIG data ends after %zu bytes, before the image is complete", len);
    } else if (r != JBG_EOK) {
        *error = Fmt("JBIG data invalid near byte %zu: %s", consumed, jbg_strerror(r));
    } else if (consumed != len) {
        *error = Fmt("%zu bytes follow the end of the JBIG image at byte %zu", len - consumed, consumed);
    } else {
        const unsigned long w = jbg_dec_getwidth(&s);
        const unsigned long h = jbg_dec_getheight(&s);
        const unsigned char* img = jbg_dec_getimage(&s, 0);
        const uint64_t rowBytes = (uint64_t(w) + 7) / 8;
        if (w != width || h == 0 || h > height || img == nullptr || jbg_dec_getsize(&s) != rowBytes * h) {
            *error = Fmt("JBIG decoder gave a %lu x %lu image for a %u x %u header", w, h, width, height);
        } else {
            out->width = uint32_t(w);
            out->height = uint32_t(h);
            out->bits.assign(img, img + rowBytes * h);
            ok = true;
        }
    }
    jbg_dec_free(&s);
    return ok;
}

bool WritePagePbm(const char* path, const PageImage& img, std::string* error)
{
    FILE* f = fopen(path, "wb");
    if (!f) {
        *error = Fmt("%s: %s", path, strerror(errno));
        return false;
    }
    bool ok = fprintf(f, "P4\n%u %u\n", img.width, img.height) > 0;
    if (ok && !img.bits.empty())
        ok = fwrite(img.bits.data(), 1, img.bits.size(), f) == img.bits.size();
    int err = ok ? 0 : errno;
    if (fclose(f) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (!ok)
        *error = Fmt("%s: %s", path, strerror(err ? err : EIO));
    return ok;
}

namespace {

struct PngErrorBuf {
    char msg[256];
};

void PngError(png_structp png, png_const_charp msg)
{
    PngErrorBuf* buf = static_cast<PngErrorBuf*>(png_get_error_ptr(png));
    snprintf(buf->msg, sizeof buf->msg, "%s", msg);
    png_longjmp(png, 1);
}

void PngWarning(png_structp, png_const_charp) {}

// The part that runs under libpng's longjmp error handling; it owns no C++
// objects, so a jump out of it skips no destructor.
bool WritePngRows(png_structp png, png_infop info, FILE* f, const PageImage* img, unsigned char* row)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_init_io(png, f);
    png_set_IHDR(png, info, img->width, img->height, 1, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const size_t rowBytes = (size_t(img->width) + 7) / 8;
    for (uint32_t y = 0; y < img->height; ++y) {
        // Page images use 1 for black; 1-bit grayscale PNG uses 0 for black.
        const uint8_t* src = img->bits.data() + size_t(y) * rowBytes;
        for (size_t i = 0; i < rowBytes; ++i)
            row[i] = uint8_t(~src[i]);
        png_write_row(png, row);
    }
    png_write_end(png, nullptr);
    return true;
}

}  // namespace

bool WritePagePng(const char* path, const PageImage& img, std::string* error)
{
    const size_t rowBytes = (size_t(img.width) + 7) / 8;
    if (img.width == 0 || img.height == 0 || img.bits.size() != rowBytes * img.height) {
        *error = Fmt("%s: page image of %u x %u pixels with %zu bytes cannot be written", path, img.width, img.height,
                     img.bits.size());
        return false;
    }
    FILE* f = fopen(path, "wb");
    if (!f) {
        *error = Fmt("%s: %s", path, strerror(errno));
        return false;
    }
    PngErrorBuf ebuf;
    snprintf(ebuf.msg, sizeof ebuf.msg, "%s", "out of memory");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &ebuf, PngError, PngWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    unsigned char* row = static_cast<unsigned char*>(malloc(rowBytes));
    bool ok = png && info && row && WritePngRows(png, info, f, &img, row);
    png_destroy_write_struct(png ? &png : nullptr, info ? &info : nullptr);
    free(row);
    std::string why = ebuf.msg;
    if (fclose(f) != 0 && ok) {
        ok = false;
        why = strerror(errno);
    }
    if (!ok)
        *error = Fmt("%s: ", path) + why;
    return ok;
}
