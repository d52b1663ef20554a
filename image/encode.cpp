// JBIG encoding through the external `pbmtojbg`, loading of the JBIG work
// file, and the blank back side of a two-sided job.
#include "image/image.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/types.h>
#include <sys/wait.h>
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
        fprintf(stderr, "ERROR: JBIG encoder pbmtojbg was killed by signal %d (page %d)\n",
                WTERMSIG(encoderStatus), mPage);
    else
        fprintf(stderr, "ERROR: cannot open JBIG file %s: %s (page %d)\n", jbgPath, strerror(openErr), mPage);
}

// Writes the all-white PBM of the blank back side.
bool WriteBlankPbm(const char* path, int width, int height)
{
    FILE* f = fopen(path, "wb");
    if (!f)
        return false;
    static const unsigned char zeros[65536] = {0};
    uint64_t left = (uint64_t)height * (uint64_t)(width / 8);
    bool ok = fprintf(f, "P4\n%d %d\n", width, height) > 0;
    while (ok && left > 0) {
        size_t n = left < sizeof zeros ? (size_t)left : sizeof zeros;
        ok = fwrite(zeros, 1, n, f) == n;
        left -= n;
    }
    int err = errno;
    if (fclose(f) != 0 && ok) {
        ok = false;
        err = errno;
    }
    errno = err;
    return ok;
}

} // namespace

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
    int n = snprintf(cmd, sizeof cmd, "pbmtojbg -q -x %d -y %d -r -s 128 -o 0 -p 8 -m 0 %s %s", width, height,
                     pbmPath, jbgPath);
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

int OpenPageData(const char* jbgPath, int mPage, bool extra, int encoderStatus, FILE** f, int64_t* size)
{
    *f = nullptr;
    *size = -1;
    // An encoder that failed may still have left a file, cut short; such a
    // page must not be printed as if it were whole.
    if (encoderStatus != 0) {
        fprintf(stderr, extra ? "DEBUG: extra page %d jbg file is not usable\n"
                             : "DEBUG: page %d jbg file is not usable\n", mPage);
        ExplainMissingJbig(jbgPath, mPage, encoderStatus, ENOENT);
        return -1;
    }
    FILE* fp = fopen(jbgPath, "rb");
    if (!fp) {
        int err = errno;
        fprintf(stderr, extra ? "DEBUG: extra page %d jbg file cannot be opened\n"
                             : "DEBUG: page %d jbg file cannot be opened\n", mPage);
        ExplainMissingJbig(jbgPath, mPage, encoderStatus, err);
        return -1;
    }
    if (fseeko(fp, 0, SEEK_END) != 0) {
        fprintf(stderr, extra ? "DEBUG: extra page %d fseek end failed\n" : "DEBUG: page %d fseek end failed\n", mPage);
        fclose(fp);
        return -1;
    }
    off_t pos = ftello(fp);
    if (pos < 0) {
        fprintf(stderr, extra ? "DEBUG: extra page %d ftell failed \n" : "DEBUG: page %d ftell failed \n", mPage);
        fclose(fp);
        return -1;
    }
    fprintf(stderr, extra ? "DEBUG: extra page %d jbg file size: %ld \n" : "DEBUG: page %d jbg file size: %ld \n",
            mPage, (long)pos);
    if (fseeko(fp, 0, SEEK_SET) != 0) {
        fprintf(stderr, extra ? "DEBUG: extra page %d fseek begin failed\n" : "DEBUG: page %d fseek begin failed\n",
                mPage);
        fclose(fp);
        return -1;
    }
    *f = fp;
    *size = (int64_t)pos;
    return 0;
}

int ReadPageData(FILE* f, int64_t size, unsigned char** data)
{
    *data = nullptr;
    if (size < 0)
        return -1;
    unsigned char* buf = (unsigned char*)malloc(size > 0 ? (size_t)size : 1);
    if (!buf)
        return -1;
    size_t got = fread(buf, 1, (size_t)size, f);
    // Bytes the file no longer has are sent as zeros.
    if (got < (size_t)size)
        memset(buf + got, 0, (size_t)size - got);
    *data = buf;
    return 0;
}

int makeExtraPage(int jobId, int mPage, int blankWidth, int blankHeight, bool a5l, FILE** f, int64_t* size)
{
    *f = nullptr;
    *size = -1;
    char pbm[kNameSize];
    PbmWorkName(pbm, jobId, mPage);
    if (access(pbm, F_OK) != 0) {
        fprintf(stderr,
                "DEBUG: extra file %s not exists, ignore, create a empty pbm file, cupsheight %d, width %d "
                "bytesperline %d\n",
                pbm, blankHeight, blankWidth, blankWidth / 8);
        if (!WriteBlankPbm(pbm, blankWidth, blankHeight)) {
            fprintf(stderr, "ERROR: page %d: cannot write work file %s: %s\n", mPage, pbm, strerror(errno));
            return -1;
        }
    }
    const char* input = pbm;
    char rotated[kNameSize];
    if (a5l) {
        RotatedWorkName(rotated, jobId, mPage);
        // As for printed pages, a failed turn shows as a missing JBIG file.
        rotatePbm(pbm, rotated, -90);
        fprintf(stderr, "DEBUG: A5L need rotate.[-90]");
        input = rotated;
    }
    char jbg[kNameSize];
    JbgWorkName(jbg, jobId, mPage);
    int status = pbmtojbg(input, jbg);
    return OpenPageData(jbg, mPage, true, status, f, size);
}
