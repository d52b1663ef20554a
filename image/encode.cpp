// JBIG encoding through the external `pbmtojbg`, loading of the JBIG work
// file, and the blank back side of a two-sided job.
#include "image/image.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/types.h>
#include <sys/wait.h>
#include <memory>
#include <new>
#include <unistd.h>

namespace {

// Runs a shell command and waits for it. The shell and what it runs ignore
// SIGTERM: when a job is cancelled CUPS signals the whole process group, and
// the command must still finish the page it is working on (a hung command is
// ended by the SIGKILL that follows). The filter's own SIGTERM handler stays
// in place and still records the cancellation. Returns the wait status, or
// -1 with *failedCall and *err set when the command could not be run.
int RunShellIgnoringTerm(const char* cmd, const char** failedCall, int* err)
{
    // Block SIGTERM across fork so the child never runs the filter's handler;
    // a SIGTERM pending in the child is discarded once it is ignored.
    sigset_t term, saved;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_BLOCK, &term, &saved);
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGTERM, SIG_IGN);
        signal(SIGPIPE, SIG_DFL);
        sigprocmask(SIG_SETMASK, &saved, nullptr);
        execl("/bin/sh", "sh", "-c", cmd, (char*)nullptr);
        // No exit handlers, no flush of stdio buffers shared with the parent
        // (standard output holds printer data).
        _exit(127);
    }
    int forkErr = errno;
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    if (pid < 0) {
        *failedCall = "start";
        *err = forkErr;
        return -1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            *failedCall = "wait for";
            *err = errno;
            return -1;
        }
    }
    return status;
}

// The "ERROR: " line that tells an administrator why a page's JBIG file is
// missing or unusable, judged from how the encoder ended.
void ExplainMissingJbig(const char* jbgPath, int mPage, int encoderStatus, int openErr)
{
    if (encoderStatus == -1)
        fprintf(stderr,
                "ERROR: JBIG encoder was not run for page %d (no readable PBM image, or no process could be "
                "started)\n",
                mPage);
    else if (WIFEXITED(encoderStatus) && WEXITSTATUS(encoderStatus) == 127)
        fprintf(stderr, "ERROR: JBIG encoder pbmtojbg not found on PATH (page %d)\n", mPage);
    else if (WIFEXITED(encoderStatus) && WEXITSTATUS(encoderStatus) == 126)
        fprintf(stderr, "ERROR: JBIG encoder pbmtojbg was found but cannot be executed (page %d)\n", mPage);
    else if (WIFEXITED(encoderStatus) && WEXITSTATUS(encoderStatus) > 128)
        // The shell reports a command killed by signal n as status 128 + n.
        fprintf(stderr, "ERROR: JBIG encoder pbmtojbg was killed by signal %d (page %d)\n",
                WEXITSTATUS(encoderStatus) - 128, mPage);
    else if (WIFEXITED(encoderStatus) && WEXITSTATUS(encoderStatus) != 0)
        fprintf(stderr, "ERROR: JBIG encoder pbmtojbg failed with exit status %d (page %d)\n",
                WEXITSTATUS(encoderStatus), mPage);
    else if (WIFSIGNALED(encoderStatus))
        fprintf(stderr, "ERROR: JBIG encoder pbmtojbg was killed by signal %d (page %d)\n", WTERMSIG(encoderStatus),
                mPage);
    else
        fprintf(stderr, "ERROR: cannot open JBIG file %s: %s (page %d)\n", jbgPath, strerror(openErr), mPage);
}

}  // namespace

int pbmtojbg(const char* pbmPath, const char* jbgPath)
{
    FILE* f = fopen(pbmPath, "rb");
    if (!f) {
        perror("Error opening input file");
        return -1;
    }
    char magic[3];
    int width = 0, height = 0;
    bool header = ReadPbmHeader(f, magic, &width, &height);
    fclose(f);
    fprintf(stderr, "DEBUG: pbmtojbg. width:[%d], height:[%d], pbm_file:[%s]", width, height, pbmPath);
    if (!header) {
        fprintf(stderr, "\nDEBUG: pbmtojbg: no width and height in %s, encoder not run\n", pbmPath);
        return -1;
    }

    char cmd[512];
    memset(cmd, 0, sizeof cmd);
    int n = snprintf(cmd, sizeof cmd, "pbmtojbg -q -x %d -y %d -r -s 128 -o 0 -p 8 -m 0 %s %s", width, height, pbmPath,
                     jbgPath);
    if (n < 0 || (size_t)n >= sizeof cmd) {
        // A cut command would name the wrong files.
        fprintf(stderr, "\nDEBUG: pbmtojbg: command too long, encoder not run\n");
        return -1;
    }
    const char* failedCall = "";
    int err = 0;
    int status = RunShellIgnoringTerm(cmd, &failedCall, &err);
    fprintf(stderr, "DEBUG: pbmtojbg: %s\n", cmd);
    if (status == -1)
        fprintf(stderr, "DEBUG: pbmtojbg: cannot %s the encoder: %s\n", failedCall, strerror(err));
    return status;
}

namespace {

// Opens and measures the page's JBIG file, then reads it whole. Every
// failure prints the lines naming the page and returns false.
bool LoadPageData(const char* jbgPath, int mPage, bool extra, int encoderStatus, std::vector<unsigned char>* data)
{
    // An encoder that failed may still have left a file, cut short; such a
    // page must not be printed as if it were whole.
    if (encoderStatus != 0) {
        fprintf(stderr,
                extra ? "DEBUG: extra page %d jbg file is not usable\n" : "DEBUG: page %d jbg file is not usable\n",
                mPage);
        ExplainMissingJbig(jbgPath, mPage, encoderStatus, ENOENT);
        return false;
    }
    std::unique_ptr<FILE, int (*)(FILE*)> f(fopen(jbgPath, "rb"), fclose);
    if (!f) {
        int err = errno;
        fprintf(stderr,
                extra ? "DEBUG: extra page %d jbg file cannot be opened\n"
                      : "DEBUG: page %d jbg file cannot be opened\n",
                mPage);
        ExplainMissingJbig(jbgPath, mPage, encoderStatus, err);
        return false;
    }
    const char* failed = nullptr;
    off_t pos = -1;
    if (fseeko(f.get(), 0, SEEK_END) != 0)
        failed = "fseek end failed";
    else if ((pos = ftello(f.get())) < 0)
        failed = "ftell failed ";
    if (failed == nullptr) {
        fprintf(stderr, extra ? "DEBUG: extra page %d jbg file size: %ld \n" : "DEBUG: page %d jbg file size: %ld \n",
                mPage, (long)pos);
        if (fseeko(f.get(), 0, SEEK_SET) != 0)
            failed = "fseek begin failed";
    }
    if (failed != nullptr) {
        fprintf(stderr, extra ? "DEBUG: extra page %d %s\n" : "DEBUG: page %d %s\n", mPage, failed);
        return false;
    }
    try {
        // Bytes the file no longer has are sent as zeros.
        data->assign((size_t)pos, 0);
    } catch (const std::bad_alloc&) {
        if (extra) {
            fprintf(stderr, "ERROR: Out of memory for the JBIG data of the blank back side\n");
        } else {
            fprintf(stderr, "DEBUG: page %d jbg data cannot be allocated\n", mPage);
            fprintf(stderr, "ERROR: Out of memory for the JBIG data of page %d\n", mPage);
        }
        return false;
    }
    if (!data->empty()) {
        size_t got = fread(data->data(), 1, data->size(), f.get());
        (void)got;
    }
    return true;
}

}  // namespace

int EncodePage(const char* pbmPath, const char* jbgPath, int mPage, bool extra, std::vector<unsigned char>* data)
{
    int status = pbmtojbg(pbmPath, jbgPath);
    return LoadPageData(jbgPath, mPage, extra, status, data) ? 0 : -1;
}

int makeExtraPage(int jobId, int mPage, int blankWidth, int blankHeight, bool a5l, std::vector<unsigned char>* data)
{
    PageWorkFiles files(jobId, mPage, mPage);
    if (access(files.pbm, F_OK) != 0) {
        fprintf(stderr,
                "DEBUG: extra file %s not exists, ignore, create a empty pbm file, cupsheight %d, width %d "
                "bytesperline %d\n",
                files.pbm, blankHeight, blankWidth, blankWidth / 8);
        if (WritePbm(files.pbm, blankWidth, blankHeight, nullptr) != PbmWrite::Ok) {
            fprintf(stderr, "ERROR: page %d: cannot write work file %s: %s\n", mPage, files.pbm, strerror(errno));
            return -1;
        }
    }
    const char* input = files.pbm;
    if (a5l) {
        // As for printed pages, a failed turn shows as a missing JBIG file.
        rotatePbm(files.pbm, files.rotated, -90);
        fprintf(stderr, "DEBUG: A5L need rotate.[-90]");
        input = files.rotated;
    }
    return EncodePage(input, files.jbg, mPage, true, data);
}
