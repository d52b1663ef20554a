// PDF documents for the printer application: ghostscript renders the
// document to 1-bit PBM pages in a child process, which this file starts,
// confines, feeds and watches; the pages come back on a pipe and go to the
// caller one by one.
#include "app/fd.h"
#include "app/pdf.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <new>
#include <poll.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// No page may hold more pixels than this (256 MiB of rows).
constexpr uint64_t kMaxPagePixels = uint64_t(1) << 31;
// Bytes of a PBM header (magic, comments, sizes) before it counts as garbage.
constexpr size_t kMaxPbmHeader = 4096;
// Ghostscript's diagnostics kept for the reason: the first and the last bytes.
constexpr size_t kKeepErr = 1024;
// Longest hint from the diagnostics that goes into a reason.
constexpr size_t kMaxHint = 200;
// The descriptor the document has in the child, and its name there.
constexpr int kDocFd = 3;
constexpr const char* kDocPath = "/proc/self/fd/3";
// The descriptor the child reports a failed setup on; closed by a good exec.
constexpr int kFailFd = 4;

bool MakePipe(Fd* readEnd, Fd* writeEnd)
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0)
        return false;
    readEnd->fd = p[0];
    writeEnd->fd = p[1];
    return true;
}

std::string ErrnoText(int err) { return std::string(strerror(err)); }

// The program's path: as given when it names a directory, else the first
// executable file of that name in PATH.
std::string FindProgram(const char* name)
{
    if (strchr(name, '/'))
        return access(name, X_OK) == 0 ? name : "";
    const char* path = getenv("PATH");
    std::string dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return "";
}

// Who ghostscript runs as when the caller is root: "lp", else "nobody".
struct RunAs {
    bool drop = false;
    uid_t uid = 0;
    gid_t gid = 0;
};

bool UnprivilegedUser(RunAs* as)
{
    for (const char* name : {"lp", "nobody"}) {
        struct passwd pw, *found = nullptr;
        std::vector<char> buf(16384);
        if (getpwnam_r(name, &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_uid != 0 &&
            found->pw_gid != 0) {
            as->drop = true;
            as->uid = found->pw_uid;
            as->gid = found->pw_gid;
            return true;
        }
    }
    return false;
}

// What the child was doing when its setup failed, reported on kFailFd.
enum ChildStep : int { kStepFds = 1, kStepUser, kStepDocument, kStepCopy, kStepLimits, kStepExec };
struct ChildFailure {
    int step = 0;
    int err = 0;
};

const char* StepText(int step)
{
    switch (step) {
    case kStepFds:
        return "set up its descriptors";
    case kStepUser:
        return "switch to an unprivileged user";
    case kStepDocument:
        return "reach the document";
    case kStepCopy:
        return "copy the document for the unprivileged user";
    case kStepLimits:
        return "set its resource limits";
    case kStepExec:
        return "run the program";
    }
    return "start";
}

// Everything the child needs, made before fork: between fork and exec the
// child of a threaded process may only make async-signal-safe calls.
struct ChildPlan {
    std::string program;
    std::vector<std::string> args, env;
    std::vector<char*> argv, envp;
    int devNull = -1, out = -1, err = -1, doc = -1, fail = -1;
    off_t docSize = 0;
    RunAs as;
    pid_t parent = 0;
    size_t memoryBytes = 0;
    int seconds = 0;
};

[[noreturn]] void ChildFail(int step)
{
    ChildFailure f;
    f.step = step;
    f.err = errno;
    ssize_t n;
    do {
        n = write(kFailFd, &f, sizeof f);
    } while (n < 0 && errno == EINTR);
    _exit(127);
}

void CloseFrom(int first)
{
#ifdef SYS_close_range
    if (syscall(SYS_close_range, (unsigned)first, ~0U, 0) == 0)
        return;
#endif
    struct rlimit rl;
    int last = 65536;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < (rlim_t)last)
        last = (int)rl.rlim_cur;
    for (int fd = first; fd < last; fd++)
        close(fd);
}

// Puts the descriptors where the child expects them: 0 /dev/null, 1 the page
// pipe, 2 the diagnostics pipe, 3 the document, kFailFd the failure pipe
// (close-on-exec); closes every other one.
bool ChildDescriptors(const ChildPlan& p)
{
    // Copies above the targets first, so no source is overwritten by the
    // move of another (a daemon's own 0-2 may be anything).
    const int from[] = {p.devNull, p.out, p.err, p.doc, p.fail};
    int moved[5];
    for (int i = 0; i < 5; i++) {
        moved[i] = fcntl(from[i], F_DUPFD_CLOEXEC, 10);
        if (moved[i] < 0)
            return false;
    }
    if (dup3(moved[4], kFailFd, O_CLOEXEC) < 0)
        return false;
    for (int target = 0; target < 4; target++)
        if (dup2(moved[target], target) < 0)
            return false;
    CloseFrom(kFailFd + 1);
    return true;
}

bool ChildDropPrivileges(const RunAs& as)
{
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);  // not on every kernel: best effort
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return false;
    if (!as.drop)
        return true;
    if (setgroups(0, nullptr) != 0 || setresgid(as.gid, as.gid, as.gid) != 0 || setresuid(as.uid, as.uid, as.uid) != 0)
        return false;
    // Checked, not trusted; and the way back must be closed.
    uid_t r, e, s;
    gid_t rg, eg, sg;
    const bool switched = getresuid(&r, &e, &s) == 0 && r == as.uid && e == as.uid && s == as.uid &&
                          getresgid(&rg, &eg, &sg) == 0 && rg == as.gid && eg == as.gid && sg == as.gid &&
                          getgroups(0, nullptr) == 0 && setuid(0) != 0;
    if (!switched)
        errno = EPERM;
    return switched;
}

// Ghostscript opens the document by its /proc name, which checks the file's
// own permissions against the user now running. A document the
// unprivileged user may not read is copied, through the descriptor the
// parent opened, into a sealed memory file of that user.
bool ChildDocument(const ChildPlan& p, int* step)
{
    *step = kStepDocument;
    int probe = open(kDocPath, O_RDONLY | O_CLOEXEC);
    if (probe >= 0) {
        close(probe);
        return true;
    }
    if (errno != EACCES)
        return false;
    *step = kStepCopy;
    if ((uint64_t)p.docSize > p.memoryBytes) {
        errno = EFBIG;
        return false;
    }
    int mem = (int)syscall(SYS_memfd_create, "document", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (mem < 0)
        return false;
    off_t offset = 0;
    for (;;) {
        ssize_t n = sendfile(mem, kDocFd, &offset, 1 << 20);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        if ((uint64_t)offset > p.memoryBytes) {
            errno = EFBIG;
            return false;
        }
    }
    if (fcntl(mem, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0)
        return false;
    if (dup2(mem, kDocFd) < 0)
        return false;
    close(mem);
    *step = kStepDocument;
    probe = open(kDocPath, O_RDONLY | O_CLOEXEC);
    if (probe < 0)
        return false;
    close(probe);
    return true;
}

bool ChildLimits(const ChildPlan& p)
{
    struct rlimit memory = {(rlim_t)p.memoryBytes, (rlim_t)p.memoryBytes};
    // The soft limit sends SIGXCPU; a second later SIGKILL.
    struct rlimit cpu = {(rlim_t)p.seconds, (rlim_t)p.seconds + 1};
    struct rlimit none = {0, 0};
    return setrlimit(RLIMIT_AS, &memory) == 0 && setrlimit(RLIMIT_CPU, &cpu) == 0 &&
           setrlimit(RLIMIT_CORE, &none) == 0 && setrlimit(RLIMIT_FSIZE, &none) == 0;
}

[[noreturn]] void RunChild(const ChildPlan& p)
{
    // Own process group: the parent ends the child and anything it started
    // with one kill.
    setpgid(0, 0);
    // Default dispositions and no blocked signals, whatever the calling
    // thread had (a server ignores SIGPIPE, blocks signals in its threads).
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; sig++)
        sigaction(sig, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    if (!ChildDescriptors(p)) {
        // The failure pipe may not be in place yet.
        dup2(p.fail, kFailFd);
        ChildFail(kStepFds);
    }
    if (chdir("/") != 0)
        ChildFail(kStepFds);
    if (!ChildDropPrivileges(p.as))
        ChildFail(kStepUser);
    // A credential change clears the parent-death signal: set it now, then
    // make sure the parent did not go before it was set.
    prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
    if (getppid() != p.parent)
        _exit(127);
    int step = 0;
    if (!ChildDocument(p, &step))
        ChildFail(step);
    // Last: the document copy above is a file write, which RLIMIT_FSIZE
    // would stop.
    if (!ChildLimits(p))
        ChildFail(kStepLimits);
    execve(p.program.c_str(), p.argv.data(), p.envp.data());
    ChildFail(kStepExec);
}

// A positive number with four decimals and a point whatever the process's
// locale (a server may have called setlocale).
std::string Number(double v)
{
    const long long tenThousandths = std::llround(v * 10000);
    char buf[64];
    snprintf(buf, sizeof buf, "%lld.%04lld", tenThousandths / 10000, tenThousandths % 10000);
    return buf;
}

// The ghostscript command line. The document is read with `runpdf`, never
// `run`: a "PDF" that is PostScript is not executed.
std::vector<std::string> GhostscriptArgs(int dpi, double widthPt, double heightPt)
{
    return {"gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pbmraw", "-r" + std::to_string(dpi),
            // Band lists in memory: ghostscript needs no temporary files.
            "-sBandListStorage=memory", "-dFIXEDMEDIA", "-dPDFFitPage", "-dDEVICEWIDTHPOINTS=" + Number(widthPt),
            "-dDEVICEHEIGHTPOINTS=" + Number(heightPt), "-sOutputFile=%stdout",
            // PostScript's own output goes to diagnostics, never into pages.
            "-sstdout=%stderr", std::string("--permit-file-read=") + kDocPath, "-c",
            std::string("(") + kDocPath + ") (r) file runpdf"};
}

// Nothing from the caller's environment (GS_OPTIONS, GS_LIB...) reaches
// ghostscript; it has no home and no place for temporary files.
std::vector<std::string> GhostscriptEnv()
{
    return {"PATH=/usr/bin:/bin", "HOME=/nonexistent", "TMPDIR=/nonexistent", "LC_ALL=C"};
}

// Reads concatenated binary PBM images (P4) and hands each complete page on.
struct PbmReader {
    enum State { kMagic, kMagic4, kSpace, kComment, kNumber, kRows };
    State state = kMagic;
    State afterComment = kSpace;
    int field = 0;  // 0 width, 1 height
    uint64_t value = 0;
    int digits = 0;
    size_t headerBytes = 0;
    int width = 0, height = 0;
    size_t stride = 0, filled = 0;
    std::vector<uint8_t> rows;
    int pages = 0;      // pages handed on
    bool stop = false;  // the sink asked to stop
    std::string error;  // set when the stream is not PBM or not usable
    Clock::duration inSink{};

    bool InPage() const { return state != kMagic || headerBytes > 0; }
};

bool IsPbmSpace(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::string PageText(const PbmReader& r) { return "page " + std::to_string(r.pages + 1); }

// The rows of the page whose header just ended: sized and bounded.
bool StartRows(PbmReader& r)
{
    if ((uint64_t)r.width * (uint64_t)r.height > kMaxPagePixels) {
        r.error = "ghostscript's output for " + PageText(r) + " is too large (" + std::to_string(r.width) + " x " +
                  std::to_string(r.height) + " pixels)";
        return false;
    }
    r.stride = ((size_t)r.width + 7) / 8;
    try {
        r.rows.resize(r.stride * (size_t)r.height);
    } catch (const std::bad_alloc&) {
        r.error = "no memory for " + PageText(r) + " (" + std::to_string(r.width) + " x " + std::to_string(r.height) +
                  " pixels)";
        return false;
    }
    r.filled = 0;
    return true;
}

// The byte after a width or height: whitespace or a comment's start.
bool EndNumber(PbmReader& r, uint8_t c)
{
    if (r.value == 0 || !(IsPbmSpace(c) || c == '#')) {
        r.error = "ghostscript's output for " + PageText(r) + " has a bad PBM header";
        return false;
    }
    if (r.field == 0) {
        r.width = (int)r.value;
        r.field = 1;
        r.afterComment = PbmReader::kSpace;
        r.state = c == '#' ? PbmReader::kComment : PbmReader::kSpace;
        return true;
    }
    // The height ends with one whitespace byte (a comment's line end counts
    // as that byte); the rows follow.
    r.height = (int)r.value;
    if (!StartRows(r))
        return false;
    r.afterComment = PbmReader::kRows;
    r.state = c == '#' ? PbmReader::kComment : PbmReader::kRows;
    return true;
}

// A header byte; false when the header is unusable (reader.error set).
bool HeaderByte(PbmReader& r, uint8_t c)
{
    if (++r.headerBytes > kMaxPbmHeader) {
        r.error = "ghostscript's output for " + PageText(r) + " has an overlong PBM header";
        return false;
    }
    switch (r.state) {
    case PbmReader::kMagic:
        if (c != 'P') {
            r.error = "ghostscript's output for " + PageText(r) + " is not a PBM image";
            return false;
        }
        r.state = PbmReader::kMagic4;
        return true;
    case PbmReader::kMagic4:
        if (c != '4') {
            r.error = "ghostscript's output for " + PageText(r) + " is not a binary PBM image";
            return false;
        }
        r.state = PbmReader::kSpace;
        r.field = 0;
        return true;
    case PbmReader::kComment:
        if (c == '\n' || c == '\r')
            r.state = r.afterComment;
        return true;
    case PbmReader::kSpace:
        if (c == '#') {
            r.afterComment = PbmReader::kSpace;
            r.state = PbmReader::kComment;
            return true;
        }
        if (IsPbmSpace(c))
            return true;
        if (c < '0' || c > '9' || r.field > 1) {
            r.error = "ghostscript's output for " + PageText(r) + " has a bad PBM header";
            return false;
        }
        r.state = PbmReader::kNumber;
        r.value = 0;
        r.digits = 0;
        [[fallthrough]];
    case PbmReader::kNumber:
        if (c >= '0' && c <= '9') {
            if (++r.digits > 9) {
                r.error = "ghostscript's output for " + PageText(r) + " has an absurd page size";
                return false;
            }
            r.value = r.value * 10 + (c - '0');
            return true;
        }
        return EndNumber(r, c);
    case PbmReader::kRows:
        break;
    }
    return true;
}

// Feeds bytes from the page pipe; false once no more are wanted (the sink
// stopped or the stream is unusable).
bool FeedPbm(PbmReader& r, const uint8_t* data, size_t n, const PdfPageSink& onPage)
{
    size_t i = 0;
    while (i < n) {
        if (r.state == PbmReader::kRows) {
            const size_t take = std::min(n - i, r.rows.size() - r.filled);
            memcpy(r.rows.data() + r.filled, data + i, take);
            r.filled += take;
            i += take;
            if (r.filled < r.rows.size())
                continue;
            const Clock::time_point start = Clock::now();
            const bool more = onPage(r.rows.data(), r.width, r.height);
            r.inSink += Clock::now() - start;
            r.pages++;
            r.state = PbmReader::kMagic;
            r.headerBytes = 0;
            if (!more) {
                r.stop = true;
                return false;
            }
            continue;
        }
        // Whitespace between two images is harmless.
        if (r.state == PbmReader::kMagic && r.headerBytes == 0 && IsPbmSpace(data[i])) {
            i++;
            continue;
        }
        if (!HeaderByte(r, data[i++]))
            return false;
    }
    return true;
}

// Ghostscript's diagnostics: the beginning and the end.
struct ErrText {
    std::string head, tail;
    bool tailCut = false;

    void Add(const char* data, size_t n)
    {
        const size_t toHead = std::min(n, kKeepErr - std::min(kKeepErr, head.size()));
        head.append(data, toHead);
        tail.append(data + toHead, n - toHead);
        if (tail.size() > 2 * kKeepErr) {
            tail.erase(0, tail.size() - kKeepErr);
            tailCut = true;
        }
    }
};

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos)
            end = text.size();
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// One line made fit for a job's log: printable ASCII, no decoration, no
// runs of blanks.
std::string CleanLine(const std::string& line)
{
    std::string out;
    for (unsigned char c : line) {
        const char k = (c >= 0x20 && c < 0x7f) ? (char)c : (c == '\t' ? ' ' : '?');
        if (k == ' ' && (out.empty() || out.back() == ' '))
            continue;
        out += k;
    }
    size_t first = out.find_first_not_of("* ");
    out = first == std::string::npos ? "" : out.substr(first);
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

// A short hint from the diagnostics: the first line that says something
// and, when different, the last.
std::string Hint(const ErrText& e)
{
    std::vector<std::string> lines = Lines(e.head);
    std::vector<std::string> tailLines = Lines(e.tail);
    if (e.tailCut && !tailLines.empty())
        tailLines.erase(tailLines.begin());  // cut in the middle
    lines.insert(lines.end(), tailLines.begin(), tailLines.end());
    std::string first, last;
    for (const std::string& l : lines) {
        std::string c = CleanLine(l);
        if (c.empty())
            continue;
        if (first.empty())
            first = c;
        last = c;
    }
    std::string hint = first;
    if (last != first)
        hint += " / " + last;
    if (hint.size() > kMaxHint)
        hint = hint.substr(0, kMaxHint - 3) + "...";
    return hint;
}

bool MentionsMemory(const ErrText& e)
{
    std::string all = e.head + "\n" + e.tail;
    std::transform(all.begin(), all.end(), all.begin(), [](unsigned char c) { return (char)tolower(c); });
    for (const char* what : {"vmerror", "out of memory", "cannot allocate memory", "failed to map segment"})
        if (all.find(what) != std::string::npos)
            return true;
    return false;
}

std::string WithHint(const std::string& reason, const ErrText& e)
{
    std::string hint = Hint(e);
    return hint.empty() ? reason : reason + ": " + hint;
}

// Why ghostscript's own end is a failure, or "" when it exited with 0.
std::string ExitReason(int status, const ErrText& e)
{
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return "";
    if (WIFEXITED(status)) {
        std::string what = MentionsMemory(e) ? "ghostscript ran out of memory" : "ghostscript failed";
        return WithHint(what + " (exit status " + std::to_string(WEXITSTATUS(status)) + ")", e);
    }
    if (WIFSIGNALED(status)) {
        const int sig = WTERMSIG(status);
        std::string what = "ghostscript was killed by signal " + std::to_string(sig) + " (" + strsignal(sig) + ")";
        if (sig == SIGXCPU)
            what += ": out of CPU time";
        else if (sig == SIGKILL)
            what += ": out of CPU time or memory?";
        else if (sig == SIGXFSZ)
            what += ": it tried to write a file";
        else if (sig == SIGSEGV || sig == SIGBUS || sig == SIGABRT)
            what += MentionsMemory(e) ? ": out of memory" : ": out of memory?";
        return WithHint(what, e);
    }
    return "ghostscript ended in an unknown way";
}

// The running child: ended and collected when this goes out of scope,
// whatever way the rendering ends.
struct Child {
    pid_t pid = -1;
    bool reaped = false;
    bool lost = false;  // collected elsewhere: status unknown
    int status = 0;

    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child()
    {
        KillGroup();
        Reap();
    }
    // Only while the leader is not collected: until then its id cannot name
    // another process group.
    void KillGroup() const
    {
        if (pid > 0 && !reaped) {
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);  // in case it had not made its group yet
        }
    }
    // False when its end cannot be known (a caller that ignores SIGCHLD has
    // its children collected by the kernel).
    bool Reap()
    {
        if (pid > 0 && !reaped) {
            while (waitpid(pid, &status, 0) < 0) {
                if (errno != EINTR) {
                    lost = true;
                    break;
                }
            }
            reaped = true;
        }
        return !lost;
    }
    // Whether the leader has exited, without collecting it.
    bool Exited()
    {
        siginfo_t info;
        memset(&info, 0, sizeof info);
        if (waitid(P_PID, (id_t)pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0)
            return info.si_pid == pid;
        if (errno == ECHILD) {
            // Collected already: its id is not ours any more.
            reaped = lost = true;
            return true;
        }
        return false;
    }
};

// The parent's ends of the child's pipes, and what came through them.
struct Watch {
    Fd out, err, fail, pidFd;
    bool outOpen = true, errOpen = true, failOpen = true;
    bool exited = false, timedOut = false;
    int readErr = 0;
    PbmReader reader;
    ErrText errText;
    ChildFailure failure;
    size_t failBytes = 0;
};

bool PrepareChild(const char* path, int dpi, double widthPt, double heightPt, const PdfRenderLimits& limits,
                  ChildPlan* plan, Fd* doc, Fd* devNull, std::string* why)
{
    doc->fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (doc->fd < 0) {
        *why = "cannot open the document: " + ErrnoText(errno);
        return false;
    }
    struct stat st;
    if (fstat(doc->fd, &st) != 0) {
        *why = "cannot examine the document: " + ErrnoText(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *why = "the document is not a regular file";
        return false;
    }
    const int flags = fcntl(doc->fd, F_GETFL);
    if (flags < 0 || fcntl(doc->fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        *why = "cannot prepare the document: " + ErrnoText(errno);
        return false;
    }
    devNull->fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (devNull->fd < 0) {
        *why = "cannot open /dev/null: " + ErrnoText(errno);
        return false;
    }
    plan->program = FindProgram(limits.ghostscript);
    if (plan->program.empty()) {
        *why = std::string("cannot start ghostscript: no program ") + limits.ghostscript;
        return false;
    }
    if (geteuid() == 0 && !UnprivilegedUser(&plan->as)) {
        *why = "cannot start ghostscript: no unprivileged user (lp or nobody) to run it as";
        return false;
    }
    plan->args = GhostscriptArgs(dpi, widthPt, heightPt);
    plan->env = GhostscriptEnv();
    for (std::string& a : plan->args)
        plan->argv.push_back(&a[0]);
    plan->argv.push_back(nullptr);
    for (std::string& e : plan->env)
        plan->envp.push_back(&e[0]);
    plan->envp.push_back(nullptr);
    plan->docSize = st.st_size;
    plan->parent = getpid();
    plan->memoryBytes = limits.memoryBytes;
    plan->seconds = limits.seconds;
    return true;
}

bool ValidRequest(const char* path, int dpi, double widthPt, double heightPt, const PdfRenderLimits& limits,
                  std::string* why)
{
    if (!path || !*path) {
        *why = "no document";
        return false;
    }
    if (dpi < 1 || dpi > 9600) {
        *why = "unusable resolution " + std::to_string(dpi);
        return false;
    }
    // Ghostscript's pages are at most 200 inches on a side.
    if (!std::isfinite(widthPt) || !std::isfinite(heightPt) || widthPt < 1 || heightPt < 1 || widthPt > 14400 ||
        heightPt > 14400) {
        *why = "unusable sheet size";
        return false;
    }
    const double pixels = std::ceil(widthPt * dpi / 72) * std::ceil(heightPt * dpi / 72);
    if (pixels > (double)kMaxPagePixels) {
        *why = "the sheet is too large at " + std::to_string(dpi) + " dpi";
        return false;
    }
    if (limits.seconds < 1 || limits.seconds > 1000000 || limits.memoryBytes < (size_t(1) << 20) ||
        !limits.ghostscript || !*limits.ghostscript) {
        *why = "unusable limits for ghostscript";
        return false;
    }
    return true;
}

// Reads what one ready descriptor holds into `into`; false at its end or
// on an error (w.readErr set).
bool ReadSome(Watch& w, int fd, void* into, size_t size, ssize_t* got)
{
    for (;;) {
        const ssize_t n = read(fd, into, size);
        if (n < 0 && errno == EINTR)
            continue;
        *got = n > 0 ? n : 0;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (n < 0)
            w.readErr = errno;
        return n > 0;
    }
}

// Starts ghostscript with its three pipes; false with *why set when it
// cannot.
bool StartChild(ChildPlan& plan, Fd& doc, Fd& devNull, Child* child, Watch* w, std::string* why)
{
    Fd outW, errW, failW;
    if (!MakePipe(&w->out, &outW) || !MakePipe(&w->err, &errW) || !MakePipe(&w->fail, &failW)) {
        *why = "cannot make pipes for ghostscript: " + ErrnoText(errno);
        return false;
    }
    // Fewer wake-ups for large pages; the default size works too.
    fcntl(outW.fd, F_SETPIPE_SZ, 1 << 20);
    plan.devNull = devNull.fd;
    plan.out = outW.fd;
    plan.err = errW.fd;
    plan.doc = doc.fd;
    plan.fail = failW.fd;
    child->pid = fork();
    if (child->pid < 0) {
        *why = "cannot start ghostscript: " + ErrnoText(errno);
        return false;
    }
    if (child->pid == 0)
        RunChild(plan);
    setpgid(child->pid, child->pid);  // also done by the child; whichever comes first
    for (int fd : {w->out.fd, w->err.fd, w->fail.fd}) {
        const int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
            *why = "cannot prepare ghostscript's pipes: " + ErrnoText(errno);
            return false;
        }
    }
    // Readable when the child exits; without it (old kernels) the loop looks
    // every 50 ms.
    w->pidFd.fd = (int)syscall(SYS_pidfd_open, child->pid, 0);
    return true;
}

// One wait for output, or for the child's end, and what it brought.
void WatchOnce(Watch& w, long long ms, std::vector<uint8_t>& buf, const PdfPageSink& onPage)
{
    struct pollfd fds[4];
    int nfds = 0, outIx = -1, errIx = -1, failIx = -1;
    if (w.outOpen) {
        outIx = nfds;
        fds[nfds++] = {w.out.fd, POLLIN, 0};
    }
    if (w.errOpen) {
        errIx = nfds;
        fds[nfds++] = {w.err.fd, POLLIN, 0};
    }
    if (w.failOpen) {
        failIx = nfds;
        fds[nfds++] = {w.fail.fd, POLLIN, 0};
    }
    if (w.pidFd.fd >= 0 && !w.exited)
        fds[nfds++] = {w.pidFd.fd, POLLIN, 0};
    const int ready = poll(fds, (nfds_t)nfds, (int)std::min(ms, (long long)INT32_MAX));
    if (ready < 0) {
        if (errno != EINTR)
            w.readErr = errno;
        return;
    }
    ssize_t got = 0;
    if (failIx >= 0 && fds[failIx].revents) {
        // At most one report, written at once by a child about to exit.
        w.failOpen = ReadSome(w, w.fail.fd, reinterpret_cast<uint8_t*>(&w.failure) + w.failBytes,
                              sizeof w.failure - w.failBytes, &got);
        w.failBytes += (size_t)got;
        if (w.failBytes == sizeof w.failure)
            w.failOpen = false;
    }
    if (errIx >= 0 && fds[errIx].revents) {
        w.errOpen = ReadSome(w, w.err.fd, buf.data(), buf.size(), &got);
        w.errText.Add(reinterpret_cast<const char*>(buf.data()), (size_t)got);
    }
    if (outIx >= 0 && fds[outIx].revents) {
        w.outOpen = ReadSome(w, w.out.fd, buf.data(), buf.size(), &got);
        if (got > 0)
            FeedPbm(w.reader, buf.data(), (size_t)got, onPage);
    }
}

// Reads pages and diagnostics until the child has ended and its pipes are
// done, the time is up, the sink stops, or the output is unusable.
void WatchChild(Child& child, Watch& w, int seconds, const PdfPageSink& onPage)
{
    std::vector<uint8_t> buf(1 << 16);
    const Clock::time_point start = Clock::now();
    const Clock::duration budget = std::chrono::seconds(seconds);
    while (!w.reader.stop && w.reader.error.empty() && w.readErr == 0) {
        if (!w.exited && child.Exited()) {
            w.exited = true;
            // Anything it left behind in its group goes with it, so the pipes
            // reach their end.
            child.KillGroup();
        }
        if (w.exited && !w.outOpen && !w.errOpen && !w.failOpen)
            return;
        // Time spent in onPage is the caller's, not ghostscript's.
        const Clock::duration left = budget - (Clock::now() - start - w.reader.inSink);
        if (left <= Clock::duration::zero()) {
            w.timedOut = true;
            return;
        }
        long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1;
        if (w.pidFd.fd < 0 && !w.exited)
            ms = std::min(ms, 50LL);
        WatchOnce(w, ms, buf, onPage);
    }
}

// Why the rendering failed, the first reason that explains it; "" when it
// did not.
std::string FailureReason(const Child& child, bool collected, const Watch& w, const ChildPlan& plan)
{
    const PbmReader& r = w.reader;
    if (w.failBytes == sizeof w.failure)
        return std::string("ghostscript's process could not ") + StepText(w.failure.step) + ": " +
               ErrnoText(w.failure.err) + " (" + plan.program + ")";
    if (r.stop)
        return "rendering stopped after page " + std::to_string(r.pages);
    if (w.timedOut)
        return "ghostscript took longer than " + std::to_string(plan.seconds) + " s and was stopped";
    if (w.readErr != 0)
        return "cannot read ghostscript's output: " + ErrnoText(w.readErr);
    // A page the parser refused made the parent end ghostscript: that is
    // the reason, not the kill.
    if (!r.error.empty())
        return r.error;
    if (!collected)
        return "cannot learn how ghostscript ended (its process was collected elsewhere)";
    // Its own failure explains a cut page better than the cut.
    const std::string exit = ExitReason(child.status, w.errText);
    if (!exit.empty())
        return exit;
    if (r.InPage())
        return WithHint("ghostscript's output ended inside " + PageText(r), w.errText);
    if (r.pages == 0)
        return WithHint("the document has no pages", w.errText);
    return "";
}

}  // namespace

int RenderPdf(const char* path, int dpi, double widthPt, double heightPt, const PdfPageSink& onPage, std::string* why,
              const PdfRenderLimits& limits)
{
    std::string scratch;
    if (!why)
        why = &scratch;
    why->clear();
    if (!ValidRequest(path, dpi, widthPt, heightPt, limits, why))
        return -1;
    if (!onPage) {
        *why = "no receiver for the pages";
        return -1;
    }
    ChildPlan plan;
    Fd doc, devNull;
    if (!PrepareChild(path, dpi, widthPt, heightPt, limits, &plan, &doc, &devNull, why))
        return -1;
    // Declared before the pipes: on any way out, the pipes close first, then
    // the child is ended and collected.
    Child child;
    Watch w;
    if (!StartChild(plan, doc, devNull, &child, &w, why))
        return -1;
    doc.Reset();
    devNull.Reset();
    WatchChild(child, w, limits.seconds, onPage);
    // Whatever is still running of it ends now; a child that ended by
    // itself has had its group ended already.
    if (!w.exited)
        child.KillGroup();
    const bool collected = child.Reap();
    *why = FailureReason(child, collected, w, plan);
    return why->empty() ? w.reader.pages : -1;
}
