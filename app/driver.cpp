// The drivers: the printer's capabilities in IPP terms, the raster
// callbacks that turn PAPPL's pages into the intake's, the job glue, and the
// pass-through of the printer's own stream.
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "app/app.h"
#include "app/credentials.h"

pappl_pr_driver_t kDrivers[kDriverCount] = {
    {"fiskor_600", "Fiskor Zembrulan 600 dpi", nullptr, nullptr},
    {"fiskor_1200", "Fiskor Zembrulan 1200 dpi", nullptr, nullptr},
};

namespace {
std::string stateDirectory;
}  // namespace

void SetStateDirectory(const std::string& dir) { stateDirectory = dir; }

const std::string& StateDirectory() { return stateDirectory; }

int DriverResolution(const char* driverName)
{
    return driverName != nullptr && strcmp(driverName, "fiskor_1200") == 0 ? 1200 : 600;
}

void FailJob(pappl_job_t* job, pappl_jreason_t reason, const char* format, ...)
{
    char message[1024];
    va_list ap;
    va_start(ap, format);
    vsnprintf(message, sizeof message, format, ap);
    va_end(ap);
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", message);
    papplJobSetMessage(job, "%s", message);
    papplJobSetReasons(job, reason, PAPPL_JREASON_NONE);
}

namespace {

// ---- The job's log: the intake's lines ("DEBUG: ...") into PAPPL's job log.

struct LogCookie {
    pappl_job_t* job;
    std::string pending;
};

void EmitLine(pappl_job_t* job, const std::string& line)
{
    static const struct {
        const char* prefix;
        pappl_loglevel_t level;
    } kLevels[] = {
        {"DEBUG: ", PAPPL_LOGLEVEL_DEBUG}, {"INFO: ", PAPPL_LOGLEVEL_INFO}, {"ERROR: ", PAPPL_LOGLEVEL_ERROR}};
    for (const auto& l : kLevels) {
        const size_t n = strlen(l.prefix);
        if (line.compare(0, n, l.prefix) == 0) {
            papplLogJob(job, l.level, "%s", line.c_str() + n);
            return;
        }
    }
    papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "%s", line.c_str());
}

ssize_t LogWrite(void* cookie, const char* buf, size_t size)
{
    auto* c = static_cast<LogCookie*>(cookie);
    c->pending.append(buf, size);
    size_t start = 0;
    for (size_t nl; (nl = c->pending.find('\n', start)) != std::string::npos; start = nl + 1)
        EmitLine(c->job, c->pending.substr(start, nl - start));
    c->pending.erase(0, start);
    return (ssize_t)size;
}

int LogClose(void* cookie)
{
    auto* c = static_cast<LogCookie*>(cookie);
    if (!c->pending.empty())
        EmitLine(c->job, c->pending);
    delete c;
    return 0;
}

// A stream whose lines go to the job's log; standard error when none can be made.
FILE* OpenJobLog(pappl_job_t* job)
{
    cookie_io_functions_t io = {nullptr, LogWrite, nullptr, LogClose};
    auto* c = new LogCookie{job, {}};
    FILE* f = fopencookie(c, "w", io);
    if (f == nullptr) {
        delete c;
        return stderr;
    }
    setvbuf(f, nullptr, _IOLBF, 0);
    return f;
}

// ---- Reading the job's choices and identity.

const char* AttrString(pappl_job_t* job, const char* name)
{
    return ippGetString(papplJobGetAttribute(job, name), 0, nullptr);
}

const char* SidesKeyword(pappl_sides_t sides)
{
    switch (sides) {
    case PAPPL_SIDES_TWO_SIDED_LONG_EDGE:
        return "two-sided-long-edge";
    case PAPPL_SIDES_TWO_SIDED_SHORT_EDGE:
        return "two-sided-short-edge";
    default:
        return "one-sided";
    }
}

// A vendor attribute's value: the job's, else the printer's default (PAPPL
// 1.3.1 looks for the default among the job's attributes, where it never is).
void VendorChoice(pappl_job_t* job, const pappl_pr_options_t* options, const char* name, std::string* value)
{
    if (const char* v = cupsGetOption(name, options->num_vendor, options->vendor)) {
        *value = v;
        return;
    }
    ipp_t* defaults = papplPrinterGetDriverAttributes(papplJobGetPrinter(job));
    const std::string defaultName = std::string(name) + "-default";
    if (const char* v = ippGetString(ippFindAttribute(defaults, defaultName.c_str(), IPP_TAG_KEYWORD), 0, nullptr))
        *value = v;
    ippDelete(defaults);
}

IppChoices ReadChoices(pappl_job_t* job, const pappl_pr_options_t* options)
{
    IppChoices c;
    c.media = options->media.size_name;
    c.source = options->media.source;
    c.type = options->media.type;
    c.sides = SidesKeyword(options->sides);
    VendorChoice(job, options, "a5-feed-edge", &c.a5FeedEdge);
    VendorChoice(job, options, "page-border", &c.pageBorder);
    if (const char* v = AttrString(job, "multiple-document-handling"))
        c.documentHandling = v;
    c.landscape = options->orientation_requested == IPP_ORIENT_LANDSCAPE;
    c.dpi = DriverResolution(papplPrinterGetDriverName(papplJobGetPrinter(job)));
    return c;
}

std::string TimeText(time_t t) { return t > 0 ? std::to_string((long long)t) : std::string(); }

JobIdentity ReadIdentity(pappl_job_t* job)
{
    JobIdentity id;
    id.jobId = papplJobGetID(job);
    if (const char* v = papplJobGetUsername(job))
        id.user = v;
    const char* title = AttrString(job, "document-name");
    if (title == nullptr)
        title = papplJobGetName(job);
    if (title != nullptr)
        id.title = title;
    if (const char* v = AttrString(job, "job-uuid"))
        id.uuid = v;
    if (const char* v = AttrString(job, "job-originating-host-name"))
        id.originHost = v;
    id.timeCreation = TimeText(papplJobGetTimeCreated(job));
    id.timeProcessing = TimeText(papplJobGetTimeProcessed(job));
    // PAPPL's own copies of an image page are not taken (see StartPage).
    ipp_attribute_t* copies = papplJobGetAttribute(job, "copies");
    id.copies = copies != nullptr ? ippGetInteger(copies, 0) : 1;
    return id;
}

// The printer's identity from its credentials file; false, with `why`, when
// the file exists but cannot be read.
bool ReadCredentials(pappl_job_t* job, JobIdentity* id, std::string* why)
{
    PrinterCredentials c;
    if (!LoadCredentials(StateDirectory(), papplPrinterGetName(papplJobGetPrinter(job)), &c, why))
        return false;
    id->authId = std::move(c.authId);
    id->password = std::move(c.password);
    return true;
}

void Wipe(std::string* s)
{
    if (!s->empty())
        explicit_bzero(&(*s)[0], s->size());
    s->clear();
}

}  // namespace

// ---- One job in the intake.

struct AppJob {
    pappl_job_t* job = nullptr;
    pappl_device_t* device = nullptr;
    FILE* log = stderr;
    PageIntake intake;
    size_t bytesSent = 0;
    size_t bytesBefore = 0;
    bool fromDocument = false;  // a raster document: its lines come from the tap
    bool refused = false;       // a page was refused; the job ends with the pages before it
    // The page whose lines are arriving.
    bool receiving = false;
    PageBitmap page;
    RasterLines lines = RasterLines::Black1;
    unsigned lineBytes = 0;
    uint32_t rows = 0;
    unsigned lastPage = 0;
    bool papplCounted = false;  // PAPPL counts the image page just ended
    uint8_t dither[16][16];
};

namespace {

bool WriteToDevice(AppJob* aj, const unsigned char* data, size_t size)
{
    if (papplDeviceWrite(aj->device, data, size) != (ssize_t)size)
        return false;
    aj->bytesSent += size;
    return true;
}

size_t DeviceBytesWritten(pappl_device_t* device)
{
    pappl_devmetrics_t m;
    memset(&m, 0, sizeof m);
    papplDeviceGetMetrics(device, &m);
    return m.write_bytes;
}

void CloseLog(AppJob* aj)
{
    if (aj->log != stderr)
        fclose(aj->log);
    aj->log = stderr;
}

}  // namespace

AppJob* BeginAppJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device)
{
    auto* aj = new AppJob;
    aj->job = job;
    aj->device = device;
    aj->log = OpenJobLog(job);
    aj->bytesBefore = DeviceBytesWritten(device);
    const char* format = papplJobGetFormat(job);
    aj->fromDocument = format != nullptr && (!strcmp(format, "image/pwg-raster") || !strcmp(format, "image/urf"));
    memcpy(aj->dither, options->dither, sizeof aj->dither);
    // PAPPL counts one impression for each page it hands over (a raster
    // document's as the page starts, an image's once per copy after the
    // page); the job counts what the printer prints instead, as it is sent.
    RecordSink sink{[aj](const unsigned char* d, size_t n) { return WriteToDevice(aj, d, n); },
                    [job] { return papplJobIsCanceled(job); },
                    [job](int, int copies) { papplJobSetImpressionsCompleted(job, copies); }};
    JobIdentity id = ReadIdentity(job);
    std::string why;
    bool started = ReadCredentials(job, &id, &why);
    if (!started)
        aj->intake.error = "The printer's credentials cannot be read: " + why;
    else
        started = StartIntake(&aj->intake, ReadChoices(job, options), id, std::move(sink), aj->log);
    Wipe(&id.password);
    if (!started) {
        FailJob(job, PAPPL_JREASON_ERRORS_DETECTED, "%s", aj->intake.error.c_str());
        CloseLog(aj);
        delete aj;
        return nullptr;
    }
    return aj;
}

bool AppJobAddPage(AppJob* aj, PageBitmap page)
{
    if (AddPage(&aj->intake, std::move(page)))
        return true;
    FailJob(aj->job, PAPPL_JREASON_ERRORS_DETECTED, "%s", aj->intake.error.c_str());
    return false;
}

bool EndAppJob(AppJob* aj)
{
    pappl_job_t* job = aj->job;
    bool ok = FinishIntake(&aj->intake);
    papplDeviceFlush(aj->device);
    // A write that failed while the device emptied its buffer shows only in
    // the device's count of bytes written.
    if (ok && DeviceBytesWritten(aj->device) - aj->bytesBefore != aj->bytesSent) {
        aj->intake.error = "Writing the printer stream failed; the printer did not receive the whole job";
        ok = false;
    }
    if (!ok)
        FailJob(job, PAPPL_JREASON_ERRORS_DETECTED, "%s", aj->intake.error.c_str());
    ok = ok && !aj->refused;
    CloseLog(aj);
    delete aj;
    return ok;
}

namespace {

// ---- The raster callbacks.

AppJob* JobOf(pappl_job_t* job) { return static_cast<AppJob*>(papplJobGetData(job)); }

// Takes back the impression PAPPL has just counted for a page it handed
// over: a raster document's as its page starts, an image's after each copy.
void TakeBackPapplCount(AppJob* aj, bool counted)
{
    if (counted || aj->papplCounted)
        papplJobSetImpressionsCompleted(aj->job, -1);
    aj->papplCounted = false;
}

void TapLine(void* ctx, const unsigned char* line, unsigned length)
{
    auto* aj = static_cast<AppJob*>(ctx);
    if (!aj->receiving || aj->rows >= aj->page.height || length != aj->lineBytes)
        return;
    ConvertRasterLine(aj->lines, line, aj->page.width, aj->rows, aj->dither, aj->page.Row(aj->rows));
    aj->rows++;
}

bool StartJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device)
{
    AppJob* aj = BeginAppJob(job, options, device);
    papplJobSetData(job, aj);
    return aj != nullptr;
}

// A raster document's page as the document describes it, refused when it
// cannot be printed at its own size.
bool StartDocumentPage(AppJob* aj, pappl_pr_options_t* options, unsigned page)
{
    cups_page_header2_t h;
    std::string why;
    const int dpi = DriverResolution(papplPrinterGetDriverName(papplJobGetPrinter(aj->job)));
    if (!TakeRasterHeader(&h))
        why = "its page header was not seen";
    else if (!CheckRasterPage(h, dpi, &aj->lines, &why))
        ;
    else if (h.cupsBitsPerPixel == 8 && (h.cupsWidth + 7) / 8 > options->header.cupsBytesPerLine)
        // PAPPL would convert its lines into a line of the media's width.
        why = "it is " + std::to_string(h.cupsWidth) + " pixels wide, wider than the job's media (" +
              std::to_string(options->header.cupsWidth) + ")";
    else if (!MakeWhitePage(h.cupsWidth, h.cupsHeight, &aj->page))
        why = "there is no memory for it";
    if (!why.empty()) {
        FailJob(aj->job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, "Page %u cannot be printed: %s.", page, why.c_str());
        aj->refused = true;
        return false;
    }
    aj->lineBytes = h.cupsBytesPerLine;
    SetRasterLineHook(TapLine, aj);
    return true;
}

bool StartPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*, unsigned page)
{
    AppJob* aj = JobOf(job);
    if (aj == nullptr)
        return false;
    TakeBackPapplCount(aj, aj->fromDocument);
    aj->rows = 0;
    // PAPPL prints an image once per copy, each time as page 1; the
    // sequencer makes the copies, so only the first is taken.
    aj->receiving = page > aj->lastPage;
    if (!aj->receiving)
        return true;
    aj->lastPage = page;
    if (aj->fromDocument) {
        aj->receiving = StartDocumentPage(aj, options, page);
        return aj->receiving;
    }
    aj->lines = RasterLines::Black1;
    if (!MakeWhitePage(options->header.cupsWidth, options->header.cupsHeight, &aj->page)) {
        FailJob(job, PAPPL_JREASON_ERRORS_DETECTED, "Out of memory for page %u", page);
        aj->receiving = false;
        return false;
    }
    return true;
}

bool WriteLine(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*, unsigned y, const unsigned char* line)
{
    AppJob* aj = JobOf(job);
    if (aj == nullptr || !aj->receiving || aj->fromDocument || y >= aj->page.height)
        return true;
    memcpy(aj->page.Row(y), line, std::min<size_t>(aj->page.Stride(), options->header.cupsBytesPerLine));
    aj->rows = y + 1;
    return true;
}

// The page goes to the intake, unless it was cancelled while its lines
// arrived (it is not sent) or it ended early (PAPPL ends the job and says why).
bool EndDocumentOrImagePage(AppJob* aj, unsigned page)
{
    if (!aj->receiving)
        return true;
    aj->receiving = false;
    if (papplJobIsCanceled(aj->job)) {
        papplLogJob(aj->job, PAPPL_LOGLEVEL_INFO, "Page %u was cancelled while it arrived and is not printed.", page);
        return true;
    }
    if (aj->rows < aj->page.height)
        return true;
    return AppJobAddPage(aj, std::move(aj->page));
}

bool EndPage(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned page)
{
    AppJob* aj = JobOf(job);
    SetRasterLineHook(nullptr, nullptr);
    if (aj == nullptr)
        return false;
    const bool ok = EndDocumentOrImagePage(aj, page);
    aj->papplCounted = ok && !aj->fromDocument;
    return ok;
}

bool EndJob(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*)
{
    AppJob* aj = JobOf(job);
    SetRasterLineHook(nullptr, nullptr);
    if (aj == nullptr)
        return true;  // ended already (PAPPL calls again after a failed end)
    TakeBackPapplCount(aj, false);
    papplJobSetData(job, nullptr);
    return EndAppJob(aj);
}

// ---- The printer's own stream, byte for byte.

bool PrintFile(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t* device)
{
    const char* path = papplJobGetFilename(job);
    int fd = path != nullptr ? open(path, O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0) {
        FailJob(job, PAPPL_JREASON_ERRORS_DETECTED, "Cannot open the job's document: %s", strerror(errno));
        return false;
    }
    const size_t before = DeviceBytesWritten(device);
    size_t sent = 0;
    bool ok = true;
    unsigned char buf[65536];
    while (ok && !papplJobIsCanceled(job)) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            if (!ok)
                FailJob(job, PAPPL_JREASON_ERRORS_DETECTED, "Cannot read the job's document: %s", strerror(errno));
            break;
        }
        ok = papplDeviceWrite(device, buf, (size_t)n) == n;
        sent += (size_t)n;
    }
    close(fd);
    papplDeviceFlush(device);
    if (ok && DeviceBytesWritten(device) - before != sent)
        ok = false;
    if (!ok && papplJobGetReasons(job) == PAPPL_JREASON_NONE)
        FailJob(job, PAPPL_JREASON_ERRORS_DETECTED,
                "Writing the printer stream failed; the printer did not receive the whole job");
    return ok;
}

}  // namespace

// ---- The printer's capabilities.

bool DriverCallback(pappl_system_t*, const char* driverName, const char*, const char*, pappl_pr_driver_data_t* data,
                    ipp_t** attrs, void*)
{
    const pappl_pr_driver_t* driver = nullptr;
    for (const pappl_pr_driver_t& d : kDrivers)
        if (driverName != nullptr && strcmp(d.name, driverName) == 0)
            driver = &d;
    if (driver == nullptr)
        return false;
    const int dpi = DriverResolution(driverName);

    papplCopyString(data->make_and_model, driver->description, sizeof data->make_and_model);
    data->format = kVendorFormat;
    data->printfile_cb = PrintFile;
    data->rstartjob_cb = StartJob;
    data->rstartpage_cb = StartPage;
    data->rwriteline_cb = WriteLine;
    data->rendpage_cb = EndPage;
    data->rendjob_cb = EndJob;
    data->ppm = 20;
    data->kind = PAPPL_KIND_DOCUMENT;

    data->color_supported = (pappl_color_mode_t)(PAPPL_COLOR_MODE_AUTO | PAPPL_COLOR_MODE_MONOCHROME);
    data->color_default = PAPPL_COLOR_MODE_MONOCHROME;
    data->raster_types = (pappl_raster_type_t)(PAPPL_PWG_RASTER_TYPE_BLACK_1 | PAPPL_PWG_RASTER_TYPE_SGRAY_8);
    data->force_raster_type = PAPPL_PWG_RASTER_TYPE_BLACK_1;
    MakeDitherMatrix(data->gdither);
    MakeDitherMatrix(data->pdither);
    data->quality_default = IPP_QUALITY_NORMAL;
    data->orient_default = IPP_ORIENT_NONE;

    data->duplex = PAPPL_DUPLEX_NORMAL;
    data->sides_supported =
        (pappl_sides_t)(PAPPL_SIDES_ONE_SIDED | PAPPL_SIDES_TWO_SIDED_LONG_EDGE | PAPPL_SIDES_TWO_SIDED_SHORT_EDGE);
    data->sides_default = PAPPL_SIDES_ONE_SIDED;

    data->num_resolution = 1;
    data->x_resolution[0] = data->y_resolution[0] = dpi;
    data->x_default = data->y_default = dpi;

    // The pages are whole sheets (the PPD's imageable area is the sheet), but
    // clients need bordered sizes too: a printer with borderless sizes only
    // gets a CUPS queue whose default size does not exist.
    data->borderless = true;
    data->left_right = data->bottom_top = 423;
    data->num_media = kMediaSizeCount;
    for (int i = 0; i < kMediaSizeCount; i++)
        data->media[i] = kMediaSizes[i].pwg;
    static const char* const sources[] = {"main", "manual"};  // PAPPL adds "auto" itself
    data->num_source = 2;
    for (int i = 0; i < data->num_source; i++) {
        data->source[i] = sources[i];
        pappl_media_col_t& m = data->media_ready[i];
        memset(&m, 0, sizeof m);
        papplCopyString(m.size_name, kMediaSizes[0].pwg, sizeof m.size_name);
        pwg_media_t* pwg = pwgMediaForPWG(m.size_name);
        m.size_width = pwg->width;
        m.size_length = pwg->length;
        papplCopyString(m.source, sources[i], sizeof m.source);
        papplCopyString(m.type, "stationery", sizeof m.type);
    }
    data->media_default = data->media_ready[0];
    static const char* const types[] = {"stationery", "stationery-recycled", "stationery-lightweight",
                                        "stationery-heavyweight"};
    data->num_type = 4;
    for (int i = 0; i < data->num_type; i++)
        data->type[i] = types[i];

    // Vendor attributes: the A5 feed edge and the page border.
    data->num_vendor = 2;
    data->vendor[0] = "a5-feed-edge";
    data->vendor[1] = "page-border";
    *attrs = ippNew();
    static const char* const feedEdges[] = {"short-edge-first", "long-edge-first"};
    static const char* const borders[] = {"on", "off"};
    ippAddString(*attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "a5-feed-edge-default", nullptr, feedEdges[0]);
    ippAddStrings(*attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "a5-feed-edge-supported", 2, nullptr, feedEdges);
    ippAddString(*attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "page-border-default", nullptr, borders[0]);
    ippAddStrings(*attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "page-border-supported", 2, nullptr, borders);
    return true;
}
