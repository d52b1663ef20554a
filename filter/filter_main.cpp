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
    Sequencer seq;
    char params[kJobParamsTextSize];
    cups_raster_t* ras = nullptr;
    cups_page_header2_t header;
    int blankWidth = 0;
    int blankHeight = 0;
};

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

// Encodes a page's image and hands its JBIG data to the sequencer (steps 1-6).
int EncodeAndPlace(Job& job, const char* pbm)
{
    Sequencer& seq = job.seq;
    char jbg[kNameSize] = {0};
    JbgWorkName(jbg, job.jobId, seq.m_page);
    int encoderStatus = pbmtojbg(pbm, jbg);

    FILE* f = nullptr;
    int64_t size = -1;
    if (OpenPageData(jbg, seq.m_page, false, encoderStatus, &f, &size) != 0)
        return -1;
    printer_header h = SeqBeginPage(&seq, &cancel_job, size);
    unsigned char* data = nullptr;
    if (ReadPageData(f, size, &data) != 0) {
        fprintf(stderr, "DEBUG: page %d jbg data cannot be allocated\n", seq.m_page);
        fprintf(stderr, "ERROR: Out of memory for the JBIG data of page %d\n", seq.m_page);
        fclose(f);
        return -1;
    }
    bool placed = SeqPlacePage(&seq, &h, data, size);
    free(data);
    fclose(f);
    SeqPageDone(&seq);
    if (!placed) {
        fprintf(stderr, "ERROR: Out of memory for holding page %d of a two-sided sheet\n", seq.m_page);
        return -1;
    }
    return 0;
}

// The blank back side after an odd last page of a two-sided job (step 7).
int AddBlankBackSide(Job& job)
{
    Sequencer& seq = job.seq;
    seq.m_page++;
    FILE* f = nullptr;
    int64_t size = -1;
    if (makeExtraPage(job.jobId, seq.m_page, job.blankWidth, job.blankHeight, IsA5L(job.settings), &f, &size) != 0)
        return -1;
    unsigned char* data = nullptr;
    if (ReadPageData(f, size, &data) != 0) {
        fprintf(stderr, "ERROR: Out of memory for the JBIG data of the blank back side\n");
        fclose(f);
        return -1;
    }
    bool placed = SeqExtraPage(&seq, data, size);
    free(data);
    fclose(f);
    SeqExtraDone(&seq);
    if (!placed) {
        fprintf(stderr, "ERROR: Out of memory for holding the blank back side\n");
        return -1;
    }
    return 0;
}

// One pass of the page loop. Returns 0, or -1 when the job must end with
// status 255 (the reason has been written).
int PrintOnePage(Job& job)
{
    Sequencer& seq = job.seq;
    char why[128];
    // Page 1's header was checked before the job record; later ones come
    // from the look-ahead.
    if (seq.raster_page > 1 && !CheckPageHeader(job.header, why, sizeof why)) {
        fprintf(stderr, "ERROR: Raster page %d cannot be printed: %s\n", seq.raster_page, why);
        return -1;
    }
    char pbm[kNameSize] = {0};
    PbmWorkName(pbm, job.jobId, seq.raster_page);
    if (capturePage(job.ras, job.header, seq.raster_page, pbm) != 0)
        return -1;
    seq.copies_left = seq.copies;
    if (!readAhead(job.ras, &job.header))
        seq.no_more_pages = 1;
    seq.m_page++;
    fprintf(stderr, "DEBUG: page %d handleImg done,pring m_page=%d begin\n", seq.raster_page, seq.m_page);

    const char* encoderInput = pbm;
    char rotated[kNameSize] = {0};
    if (IsA5L(job.settings)) {
        int angle = (seq.duplex != 0 && seq.m_page % 2 == 0) ? 90 : -90;
        char source[kNameSize] = {0};
        PbmWorkName(source, job.jobId, seq.m_page);
        RotatedWorkName(rotated, job.jobId, seq.m_page);
        rotatePbm(source, rotated, angle);
        fprintf(stderr, "DEBUG: A5L need rotate.[%d]", angle);
        encoderInput = rotated;
    }
    if (EncodeAndPlace(job, encoderInput) != 0)
        return -1;
    seq.raster_page++;
    if (seq.extra_page && AddBlankBackSide(job) != 0)
        return -1;
    SeqPairOutput(&seq);
    return 0;
}

int Finish(Job& job, int status)
{
    SeqFree(&job.seq);
    if (job.ras)
        cupsRasterClose(job.ras);
    return status;
}

} // namespace

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
    if (!SeqInit(&job.seq, job.settings.collate, 0, 0, stdout, stderr)) {
        fprintf(stderr, "Buff1 or Buff2 malloc failed\n");
        return 1;
    }
    if (!ResolvePrintSettings(argv[5], argv[4], job.table, &job.settings))
        return Finish(job, 1);
    job.seq.duplex = job.settings.duplex;
    job.seq.copies = job.settings.copies;

    char* text = job.params;
    BuildJobParams(&text, job.table);

    if (PrepareWorkDir("/tmp/velmarsh", job.jobId) < 0)
        return Finish(job, 1);

    job.seq.raster_page = 1;
    job.seq.m_page = 0;
    job.seq.written_records = 0;
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
    WriteJobRecord(stdout, job.params, JobParamsForLog(job.table).c_str());
    job.seq.no_more_pages = 0;
    job.seq.extra_page = 0;
    job.blankWidth = 8 * (int)job.header.cupsBytesPerLine;
    job.blankHeight = (int)job.header.cupsHeight;

    while (job.seq.no_more_pages == 0 && cancel_job == 0) {
        if (PrintOnePage(job) != 0)
            return Finish(job, kExitPageFailure);
        if (StdoutFailed())
            return Finish(job, 1);
    }
    // The last records may still sit in the stream's buffer; a failed flush
    // sets its error indicator.
    fflush(stdout);
    return Finish(job, StdoutFailed() ? 1 : 0);
}
