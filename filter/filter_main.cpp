// The filter's job: start-up in a fixed order, the job record, then one pass
// of the page loop per raster page.
#include "filter/filter.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cups/raster.h>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "image/image.h"
#include "params/params.h"
#include "stream/stream.h"

volatile sig_atomic_t cancel_job = 0;

namespace {

constexpr int kExitPageFailure = 255;

void sighandler(int)
{
    static const char msg[] = "DEBUG: 捕获SIGTERM信号,终止中\n";
    ssize_t n = write(STDERR_FILENO, msg, sizeof msg - 1);
    (void)n;
    cancel_job = 1;
}

void InstallSignals()
{
    signal(SIGPIPE, SIG_IGN);
    // A persistent handler; interrupted reads and writes resume.
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = sighandler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
}

// The job id as atoi reads it (leading decimal digits), without overflow.
int JobIdFromArg(const char* s)
{
    errno = 0;
    long v = strtol(s, nullptr, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return (int)v;
}

struct Job {
    int jobId = 0;
    PARAM_KEY_SPERATOR_VALUE table[kParamRows];
    PrintSettings settings;
    char params[kJobParamsTextSize];
    cups_raster_t* ras = nullptr;
    cups_page_header2_t header;
    int rasterPage = 1;
    int blankWidth = 0;
    int blankHeight = 0;
};

bool WriteStdout(const unsigned char* data, size_t size) { return fwrite(data, 1, size, stdout) == size; }

bool Cancelled() { return cancel_job != 0; }

// CUPS counts a job's pages from these lines (page log, job-impressions-completed, page quotas). A page counts once
// its record has left the filter: the stream is flushed first, and a record whose flush fails is not counted (the
// failure ends the job).
void PageSent(int page, int copies)
{
    if (fflush(stdout) != 0)
        return;
    fprintf(stderr, "PAGE: %d %d\n", page, copies);
    fflush(stderr);
}

// Steps that fill the parameter table from the arguments.
void FillParamsFromArgs(Job& job, char** argv)
{
    job.jobId = JobIdFromArg(argv[1]);
    memcpy(job.table, tblDefParam, sizeof job.table);
    GetJobParamFromCups(argv[5], job.table);
    SetJobParam("jobId", argv[1], job.table);
    SetJobParam("LoginName", argv[2], job.table);
    char docName[256];
    memset(docName, 0, sizeof docName);
    char* docPtr = docName;
    getDocumenName(argv[3], &docPtr);
    SetJobParam("DocName", docName, job.table);
    SetJobParam("copies", argv[4], job.table);
    SetHostNameParam(job.table);
}

bool StdoutFailed()
{
    if (!ferror(stdout))
        return false;
    fprintf(stderr, "ERROR: Writing the printer stream failed; the printer did not receive the whole job\n");
    return true;
}

// Captures the current raster page, looks ahead, turns an A5 page fed long
// edge first and encodes it. Returns 0 with the page's JBIG data, or -1 when
// the job must end with status 255 (the reason has been written). The
// page's work files are gone when it returns.
int CaptureAndEncode(Job& job, int image, bool* last, std::vector<unsigned char>* data)
{
    PageWorkFiles files(job.jobId, job.rasterPage, image);
    if (capturePage(job.ras, job.header, job.rasterPage, files.pbm) != 0)
        return -1;
    *last = !readAhead(job.ras, &job.header);
    fprintf(stderr, "DEBUG: page %d handleImg done,pring m_page=%d begin\n", job.rasterPage, image);

    const char* encoderInput = files.pbm;
    if (IsA5L(job.settings)) {
        const int angle = (job.settings.duplex != 0 && image % 2 == 0) ? 90 : -90;
        rotatePbm(files.pbm, files.rotated, angle);
        fprintf(stderr, "DEBUG: A5L need rotate.[%d]", angle);
        encoderInput = files.rotated;
    }
    return EncodePage(encoderInput, files.jbg, image, false, data);
}

// One pass of the page loop: the page, its hand-over to the sequencer, and
// the blank back side when the job ends on a front side. Returns 0, or -1
// when the job must end with status 255.
int PrintOnePage(Job& job, Sequencer& seq)
{
    char why[128];
    // Page 1's header was checked before the job record; later ones come
    // from the look-ahead.
    if (job.rasterPage > 1 && !CheckPageHeader(job.header, why, sizeof why)) {
        fprintf(stderr, "ERROR: Raster page %d cannot be printed: %s\n", job.rasterPage, why);
        return -1;
    }
    const int image = seq.NextImage();
    bool last = false;
    std::vector<unsigned char> data;
    if (CaptureAndEncode(job, image, &last, &data) != 0)
        return -1;
    if (!seq.AddPage(data.data(), data.size(), last)) {
        fprintf(stderr, "ERROR: Out of memory for holding page %d of a two-sided sheet\n", image);
        return -1;
    }
    job.rasterPage++;
    if (!seq.BlankBackDue())
        return 0;
    if (makeExtraPage(job.jobId, seq.NextImage(), job.blankWidth, job.blankHeight, IsA5L(job.settings), &data) != 0)
        return -1;
    if (!seq.AddBlankBack(data.data(), data.size())) {
        fprintf(stderr, "ERROR: Out of memory for holding the blank back side\n");
        return -1;
    }
    return 0;
}

int Finish(Job& job, int status)
{
    if (job.ras)
        cupsRasterClose(job.ras);
    return status;
}

}  // namespace
int FilterMain(int argc, char** argv)
{
    InstallSignals();
    for (int i = 0; i < argc; i++) {
        std::string shown = i == 5 ? OptionsForLog(argv[i]) : LogSafe(argv[i]);
        fprintf(stderr, "DEBUG: fiskor_zembrulan argv[%d]=%s \n", i, shown.c_str());
    }
    if (argc < 6 || argc > 7) {
        fprintf(stderr, "Usage: %s job user title copies options [file]\n", LogSafe(argc > 0 ? argv[0] : "").c_str());
        return 1;
    }

    // Without a standard output every later open could take descriptor 1
    // and receive the printer stream.
    if (fcntl(STDOUT_FILENO, F_GETFD) < 0) {
        fprintf(stderr, "ERROR: The printer stream (standard output) is not open\n");
        return 1;
    }

    static Job job;  // large fixed-size tables; one job per process
    FillParamsFromArgs(job, argv);
    job.settings.collate = (unsigned char)DetectCollate(argv[5]);
    Sequencer seq(RecordSink{WriteStdout, Cancelled, PageSent});
    if (!seq.Allocated()) {
        fprintf(stderr, "Buff1 or Buff2 malloc failed\n");
        return 1;
    }
    if (!ResolvePrintSettings(argv[5], argv[4], job.table, &job.settings))
        return Finish(job, 1);
    seq.SetMode(job.settings.collate, job.settings.duplex, job.settings.copies);

    char* text = job.params;
    BuildJobParams(&text, job.table);

    if (PrepareWorkDir("/tmp/velmarsh", job.jobId) < 0)
        return Finish(job, 1);

    job.ras = cupsRasterOpen(0, CUPS_RASTER_READ);
    if (!job.ras || !cupsRasterReadHeader2(job.ras, &job.header)) {
        fprintf(stderr, "DEBUG: First page header is null \n");
        return Finish(job, 0);
    }
    char why[128];
    if (!CheckPageHeader(job.header, why, sizeof why)) {
        fprintf(stderr, "ERROR: Raster page 1 cannot be printed: %s\n", why);
        return Finish(job, 1);
    }
    seq.WriteJobRecord(job.params, JobParamsForLog(job.table).c_str());
    job.blankWidth = 8 * (int)job.header.cupsBytesPerLine;
    job.blankHeight = (int)job.header.cupsHeight;

    while (!seq.Finished() && cancel_job == 0) {
        if (PrintOnePage(job, seq) != 0)
            return Finish(job, kExitPageFailure);
        if (StdoutFailed())
            return Finish(job, 1);
    }
    // The last records may still sit in the stream's buffer; a failed flush
    // sets its error indicator.
    fflush(stdout);
    return Finish(job, StdoutFailed() ? 1 : 0);
}
