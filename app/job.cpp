// The page intake: the job's settings and record from its IPP choices, pages
// held one behind, turned and encoded in memory, and handed to the sequencer
// in the order and with the flags the filter gives them.
#include "app/job.h"

#include <cstring>
#include <new>

#include "encoder/encoder.h"
#include "image/image.h"

const MediaSize kMediaSizes[kMediaSizeCount] = {
    {"iso_a4_210x297mm", "A4", 595, 842},       {"iso_a5_148x210mm", "A5", 420, 595},
    {"jis_b5_182x257mm", "B5", 516, 729},       {"om_16k_195x270mm", "16k", 553, 765},
    {"na_letter_8.5x11in", "Letter", 612, 792}, {"na_invoice_5.5x8.5in", "Statement", 396, 612},
    {"na_legal_8.5x14in", "Legal", 612, 1008},  {"na_executive_7.25x10.5in", "Executive", 522, 756},
    {"iso_a6_105x148mm", "A6", 298, 420},       {"jis_b6_128x182mm", "B6", 363, 516},
    {"iso_b5_176x250mm", "B5ISO", 499, 709},
};

const MediaSize* FindMediaSize(const char* pwgName)
{
    for (const MediaSize& m : kMediaSizes)
        if (pwgName != nullptr && strcmp(m.pwg, pwgName) == 0)
            return &m;
    return nullptr;
}

JobChoices ChoicesFromIpp(const IppChoices& ipp)
{
    JobChoices c;
    if (const MediaSize* m = FindMediaSize(ipp.media.c_str())) {
        c.pageSize = m->ppd;
        c.pageSizeFrom = PageSizeFrom::Marking;
        c.pageA5 = strcmp(m->ppd, "A5") == 0;
    } else {
        // A size the PPD lacks: kept as given, never A5, never two-sided.
        c.pageSize = ipp.media;
        c.pageSizeFrom = PageSizeFrom::Option;
    }
    c.tray = ipp.source == "manual" ? TrayChoice::Manual : ipp.source == "auto" ? TrayChoice::Auto : TrayChoice::Main;
    c.resolution1200 = ipp.dpi == 1200;
    c.duplex = ipp.sides == "two-sided-long-edge"    ? DuplexChoice::NoTumble
               : ipp.sides == "two-sided-short-edge" ? DuplexChoice::Tumble
                                                     : DuplexChoice::None;
    c.feedEdge = ipp.a5FeedEdge == "long-edge-first";
    c.landscape = ipp.landscape;
    c.media = ipp.type == "stationery-recycled"      ? MediaChoice::Recycle
              : ipp.type == "stationery-lightweight" ? MediaChoice::Thin
              : ipp.type == "stationery-heavyweight" ? MediaChoice::Thick
                                                     : MediaChoice::Plain;
    c.borderless = ipp.pageBorder == "off";
    return c;
}

bool MakeWhitePage(uint32_t width, uint32_t height, PageBitmap* page)
{
    page->width = width;
    page->height = height;
    try {
        page->bits.assign(page->Stride() * height, 0);
    } catch (const std::bad_alloc&) {
        page->bits.clear();
        return false;
    }
    return true;
}

namespace {

// The parameter functions write to the job's log while a job's settings are
// decided on this thread.
struct ParamsLogScope {
    FILE* saved;
    explicit ParamsLogScope(FILE* log) : saved(ParamsLog()) { SetParamsLog(log); }
    ~ParamsLogScope() { SetParamsLog(saved == stderr ? nullptr : saved); }
};

// The rows the filter takes from CUPS's option text and arguments, in the
// filter's order.
void FillJobRecord(const JobIdentity& id, PARAM_KEY_SPERATOR_VALUE* table)
{
    memcpy(table, tblDefParam, sizeof(PARAM_KEY_SPERATOR_VALUE) * kParamRows);
    SetJobParam("number-up", "1", table);
    SetJobParam("job-uuid", id.uuid.c_str(), table);
    SetJobParam("job-originating-host-name", id.originHost.c_str(), table);
    SetJobParam("time-at-creation", id.timeCreation.c_str(), table);
    SetJobParam("time-at-processing", id.timeProcessing.c_str(), table);
    SetJobParam("jobId", std::to_string(id.jobId).c_str(), table);
    SetJobParam("LoginName", id.user.c_str(), table);
    char docName[256] = {};
    char* docPtr = docName;
    getDocumenName(id.title.c_str(), &docPtr);
    SetJobParam("DocName", docName, table);
    SetJobParam("copies", std::to_string(id.copies).c_str(), table);
    SetHostNameParam(table);
}

// Collation as the filter reads it from the option text, from
// multiple-document-handling (a keyword; anything else counts as absent).
int CollateFrom(const std::string& handling)
{
    bool keyword = !handling.empty();
    for (char ch : handling)
        if (!((ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '-'))
            keyword = false;
    return DetectCollate(keyword ? ("multiple-document-handling=" + handling).c_str() : "");
}

bool Fail(PageIntake* in, const std::string& why)
{
    if (in->error.empty())
        in->error = why;
    return false;
}

// The page turned a quarter for A5 fed long edge first, by the filter's angles.
bool TurnPage(PageBitmap* page, int angle)
{
    PageBitmap turned;
    if (!MakeWhitePage(page->height, page->width, &turned))
        return false;
    RotateBits(page->bits.data(), (int)page->width, (int)page->height, angle, turned.bits.data());
    *page = std::move(turned);
    return true;
}

bool Encode(PageIntake* in, const PageBitmap& page, std::vector<uint8_t>* jbig)
{
    try {
        *jbig = EncodeJbig(page.bits.data(), page.width, page.height, in->threads);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool SendBlankBack(PageIntake* in)
{
    PageBitmap blank;
    std::vector<uint8_t> jbig;
    if (!MakeWhitePage(in->blankWidth, in->blankHeight, &blank) || (IsA5L(in->settings) && !TurnPage(&blank, -90)) ||
        !Encode(in, blank, &jbig))
        return Fail(in, "Out of memory for the blank back side");
    if (IsA5L(in->settings))
        fprintf(in->log, "DEBUG: A5L need rotate.[-90]\n");
    if (!in->seq->AddBlankBack(jbig.data(), jbig.size()))
        return Fail(in, "Out of memory for holding the blank back side");
    return true;
}

// The held page to the sequencer, and the blank back side when it is due.
bool SendHeld(PageIntake* in, bool last)
{
    PageBitmap page = std::move(*in->held);
    in->held.reset();
    const int image = in->seq->NextImage();
    if (IsA5L(in->settings)) {
        const int angle = (in->settings.duplex != 0 && image % 2 == 0) ? 90 : -90;
        if (!TurnPage(&page, angle))
            return Fail(in, "Out of memory for turning page " + std::to_string(image));
        fprintf(in->log, "DEBUG: A5L need rotate.[%d]\n", angle);
    }
    std::vector<uint8_t> jbig;
    if (!Encode(in, page, &jbig))
        return Fail(in, "Out of memory for the JBIG data of page " + std::to_string(image));
    page = PageBitmap();
    if (!in->seq->AddPage(jbig.data(), jbig.size(), last))
        return Fail(in, "Out of memory for holding page " + std::to_string(image) + " of a two-sided sheet");
    if (in->seq->BlankBackDue() && !SendBlankBack(in))
        return false;
    if (in->seq->WriteFailed())
        return Fail(in, "Writing the printer stream failed; the printer did not receive the whole job");
    return true;
}

}  // namespace

bool StartIntake(PageIntake* in, const IppChoices& ipp, const JobIdentity& id, RecordSink sink, FILE* log)
{
    in->log = log != nullptr ? log : stderr;
    ParamsLogScope scope(in->log);
    FillJobRecord(id, in->table);
    in->settings.collate = (unsigned char)CollateFrom(ipp.documentHandling);
    in->seq = std::make_unique<Sequencer>(std::move(sink), in->log);
    if (!in->seq->Allocated())
        return Fail(in, "Out of memory for the page buffers");
    JobChoices choices = ChoicesFromIpp(ipp);
    choices.identity = JobChoices::Identity{id.authId, id.password};
    ApplyJobChoices(choices, std::to_string(id.copies).c_str(), in->table, &in->settings);
    explicit_bzero(&choices.identity->password[0], choices.identity->password.size());
    in->seq->SetMode(in->settings.collate, in->settings.duplex, in->settings.copies);
    char* text = in->text;
    BuildJobParams(&text, in->table);
    in->threads = JbigDefaultThreads();
    return true;
}

bool AddPage(PageIntake* in, PageBitmap page)
{
    if (!in->error.empty())
        return false;
    if (in->seq->Finished())
        return true;  // cancelled: the held page was the last
    if (page.width == 0 || page.height == 0 || page.bits.size() < page.Stride() * page.height)
        return Fail(in, "A page without pixels cannot be printed");
    if (!in->recordSent) {
        in->seq->WriteJobRecord(in->text, JobParamsForLog(in->table).c_str());
        in->recordSent = true;
        in->blankWidth = 8 * (uint32_t)page.Stride();
        in->blankHeight = page.height;
        if (in->seq->WriteFailed())
            return Fail(in, "Writing the printer stream failed; the printer did not receive the whole job");
    }
    if (in->held && !SendHeld(in, false))
        return false;
    if (!in->seq->Finished())
        in->held = std::move(page);
    return true;
}

bool FinishIntake(PageIntake* in)
{
    if (!in->error.empty())
        return false;
    if (in->held && !SendHeld(in, true))
        return false;
    return true;
}

bool CheckRasterPage(const cups_page_header2_t& h, int dpi, RasterLines* lines, std::string* why)
{
    char text[256];
    const unsigned bits = h.cupsBitsPerColor;
    // A document's header is copied in byte for byte: its enum fields may
    // hold any value, so they are read as the integers they are.
    unsigned order = 0, space = 0;
    memcpy(&order, &h.cupsColorOrder, sizeof order);
    memcpy(&space, &h.cupsColorSpace, sizeof space);
    if ((int)h.HWResolution[0] != dpi || (int)h.HWResolution[1] != dpi) {
        snprintf(text, sizeof text, "its resolution is %ux%u dpi and this printer prints %d dpi only; it is not scaled",
                 h.HWResolution[0], h.HWResolution[1], dpi);
    } else if (h.cupsWidth == 0 || h.cupsHeight == 0) {
        snprintf(text, sizeof text, "it is empty (%u x %u pixels)", h.cupsWidth, h.cupsHeight);
    } else if ((bits != 1 && bits != 8) || h.cupsBitsPerPixel != bits || order != CUPS_ORDER_CHUNKED) {
        snprintf(text, sizeof text, "it has %u bits per pixel and %u per colour; only 1- and 8-bit grey prints",
                 h.cupsBitsPerPixel, bits);
    } else if ((uint64_t)h.cupsBytesPerLine != ((uint64_t)h.cupsWidth * bits + 7) / 8) {
        snprintf(text, sizeof text, "its %u bytes per line do not match its width of %u pixels", h.cupsBytesPerLine,
                 h.cupsWidth);
    } else if ((uint64_t)h.cupsHeight * (((uint64_t)h.cupsWidth + 7) / 8) > kMaxPageBytes) {
        snprintf(text, sizeof text, "it is too large (%u x %u pixels)", h.cupsWidth, h.cupsHeight);
    } else if (space == CUPS_CSPACE_K) {
        *lines = bits == 1 ? RasterLines::Black1 : RasterLines::Black8;
        return true;
    } else if (space == CUPS_CSPACE_W || space == CUPS_CSPACE_SW) {
        *lines = bits == 1 ? RasterLines::White1 : RasterLines::White8;
        return true;
    } else {
        snprintf(text, sizeof text, "its colour space %u is not grey or black", space);
    }
    *why = text;
    return false;
}

void ConvertRasterLine(RasterLines lines, const uint8_t* in, uint32_t width, uint32_t y, const uint8_t (*dither)[16],
                       uint8_t* out)
{
    const size_t stride = ((size_t)width + 7) / 8;
    switch (lines) {
    case RasterLines::Black1:
        memcpy(out, in, stride);
        return;
    case RasterLines::White1:
        for (size_t i = 0; i < stride; i++)
            out[i] = (uint8_t)~in[i];
        return;
    case RasterLines::Black8:
    case RasterLines::White8:
        break;
    }
    const uint8_t* row = dither[y & 15];
    const bool black8 = lines == RasterLines::Black8;
    memset(out, 0, stride);
    for (uint32_t x = 0; x < width; x++) {
        const bool black = black8 ? in[x] > row[x & 15] : in[x] <= row[x & 15];
        if (black)
            out[x / 8] |= (uint8_t)(0x80 >> (x & 7));
    }
}

void MakeDitherMatrix(uint8_t (*dither)[16])
{
    // The Bayer index interleaves the bits of x ^ y and y, the lowest
    // coordinate bits giving the highest index bits.
    for (int y = 0; y < 16; y++) {
        for (int x = 0; x < 16; x++) {
            int index = 0;
            for (int bit = 0; bit < 4; bit++) {
                index = (index << 1) | (((x ^ y) >> bit) & 1);
                index = (index << 1) | ((y >> bit) & 1);
            }
            dither[y][x] = (uint8_t)(index * 255 / 256);
        }
    }
}
