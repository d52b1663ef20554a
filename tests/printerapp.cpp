#include "tests/printerapp.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cups/cups.h>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;

// A port nothing listens on now.
int FreePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    const bool ok = fd >= 0 && bind(fd, (sockaddr*)&a, sizeof a) == 0 && getsockname(fd, (sockaddr*)&a, &len) == 0;
    if (fd >= 0)
        close(fd);
    return ok ? ntohs(a.sin_port) : 0;
}

bool Answers(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = fd >= 0 && connect(fd, (sockaddr*)&a, sizeof a) == 0;
    if (fd >= 0)
        close(fd);
    return ok;
}

// In a child: become nobody (no supplementary groups) with the
// application's own HOME and TMPDIR, then run the program.
[[noreturn]] void ExecAsApp(const PrinterApp& app, const std::vector<std::string>& args, const std::string& in,
                            const std::string& out)
{
    const int i = open(in.empty() ? "/dev/null" : in.c_str(), O_RDONLY);
    const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (i < 0 || o < 0 || dup2(i, 0) < 0 || dup2(o, 1) < 0 || dup2(o, 2) < 0)
        _exit(126);
    const std::string home = app.dir + "/home";
    // A sanitizer build: leaks of PAPPL 1.3.1 itself (papplMainloop never frees its option list; the footer and,
    // loading the state, the system's UUID are copied over earlier copies) are not the application's.
    setenv("LSAN_OPTIONS", ("suppressions=" + app.dir + "/pappl-leaks.supp").c_str(), 1);
    setenv("HOME", home.c_str(), 1);
    setenv("TMPDIR", home.c_str(), 1);
    unsetenv("XDG_RUNTIME_DIR");
    unsetenv("CUPS_SERVER");
    // Changing credentials clears the parent-death signal: ask for it after.
    if (setgroups(0, nullptr) != 0 || setgid(kNogroup) != 0 || setuid(kNobody) != 0 ||
        prctl(PR_SET_PDEATHSIG, SIGTERM) != 0)
        _exit(125);
    signal(SIGTERM, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);
    std::vector<char*> argv;
    const std::string program = app.dir + "/bin/fiskor-printer-app";
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
}

int Shell(const std::string& c) { return system(c.c_str()); }

http_t* Connect(const PrinterApp& app)
{
    return httpConnect2("localhost", app.port, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_IF_REQUESTED, 1, 30000, nullptr);
}

}  // namespace

std::string AppProgram()
{
#ifdef FZ_APP_BIN
    return FZ_APP_BIN;
#else
    return "";
#endif
}

bool StartApp(PrinterApp& app, std::string* why)
{
    const std::string d = app.dir;
    if (access(d.c_str(), F_OK) != 0) {
        // Copies nobody can reach whatever the build directory's modes.
        const int made = Shell("umask 022 && mkdir -p " + d + "/bin " + d + "/home " + d + "/state " + d + "/spool " +
                               d + "/out && cp '" + AppProgram() + "' " + d + "/bin/ && chmod 0755 " + d + " " + d +
                               "/bin " + d + "/bin/* && chown 65534:65534 " + d + "/home " + d + "/state " + d +
                               "/spool " + d + "/out && chmod 0700 " + d + "/state " + d + "/spool");
        const bool supp = WriteFile(d + "/pappl-leaks.supp",
                                    "leak:cupsAddOption\nleak:papplSystemSetFooterHTML\nleak:papplSystemSetUUID\n");
        if (made != 0 || !supp)
            return *why = "could not lay out " + d, false;
    }
    if (app.port == 0)
        app.port = FreePort();
    const std::vector<std::string> args = {"server",
                                           "-o",
                                           "state-directory=" + d + "/state",
                                           "-o",
                                           "spool-directory=" + d + "/spool",
                                           "-o",
                                           "server-port=" + std::to_string(app.port),
                                           "-o",
                                           "listen-hostname=localhost",
                                           "-o",
                                           "log-file=" + d + "/home/log",
                                           "-o",
                                           "log-level=debug"};
    app.pid = fork();
    if (app.pid == 0)
        ExecAsApp(app, args, "", d + "/server.out");
    for (int i = 0; i < 300; i++, usleep(50000)) {
        if (waitpid(app.pid, nullptr, WNOHANG) == app.pid) {
            app.pid = -1;
            return *why = "the server ended: " + ReadFile(d + "/server.out") + AppLog(app), false;
        }
        if (Answers(app.port))
            return true;
    }
    StopApp(app);
    return *why = "the server did not answer on port " + std::to_string(app.port) + ": " + AppLog(app), false;
}

bool StopApp(PrinterApp& app, int seconds)
{
    if (app.pid <= 0)
        return true;
    kill(app.pid, SIGTERM);
    for (int i = 0; i < seconds * 20; i++, usleep(50000))
        if (waitpid(app.pid, nullptr, WNOHANG) == app.pid)
            return app.pid = -1, true;
    kill(app.pid, SIGKILL);
    waitpid(app.pid, nullptr, 0);
    app.pid = -1;
    return false;
}

FilterRun AppCommand(const PrinterApp& app, const std::vector<std::string>& args, const std::string& input)
{
    static std::atomic<int> counter{0};
    const std::string base = app.dir + "/command-" + std::to_string(counter++);
    FilterRun r;
    if (!input.empty() && !WriteFile(base + ".in", input))
        return r;
    const pid_t pid = fork();
    if (pid == 0)
        ExecAsApp(app, args, input.empty() ? "" : base + ".in", base + ".out");
    int status = 0;
    for (int i = 0; i < 60 * 100; i++, usleep(10000))
        if (waitpid(pid, &status, WNOHANG) == pid) {
            r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
    if (r.status < 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    r.out = ReadFile(base + ".out");
    return r;
}

FilterRun AddPrinter(const PrinterApp& app, const std::string& name, const std::string& driver)
{
    const std::string out = app.dir + "/out/" + name;
    if (Shell("mkdir -p " + out + " && chown 65534:65534 " + out) != 0)
        return {};
    return AppCommand(app, {"add", "-d", name, "-m", driver, "-v", "file://" + out});
}

std::string PrinterUri(const PrinterApp& app, const std::string& name)
{
    return "ipp://localhost:" + std::to_string(app.port) + "/ipp/print/" + name;
}

std::string OutputPath(const PrinterApp& app, const std::string& printer, const std::string& jobName)
{
    return app.dir + "/out/" + printer + "/" + jobName + ".prn";
}

std::string AppLog(const PrinterApp& app) { return ReadFile(app.dir + "/home/log"); }

std::string SanitizerReports(const PrinterApp& app)
{
    std::string reports;
    DIR* d = opendir(app.dir.c_str());
    for (dirent* e = d ? readdir(d) : nullptr; e; e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.size() < 4 || name.compare(name.size() - 4, 4, ".out") != 0)
            continue;
        const std::string text = ReadFile(app.dir + "/" + name);
        for (const char* mark : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"})
            if (const size_t at = text.find(mark); at != std::string::npos)
                reports += name + ": " + text.substr(at, 2000) + "\n";
    }
    if (d)
        closedir(d);
    return reports;
}

std::string MediaCol(const std::string& size, const std::string& source, const std::string& type)
{
    std::string s = "ATTR collection media-col {\n";
    if (!size.empty())
        s += "  MEMBER keyword media-size-name \"" + size + "\"\n";
    if (!source.empty())
        s += "  MEMBER keyword media-source \"" + source + "\"\n";
    if (!type.empty())
        s += "  MEMBER keyword media-type \"" + type + "\"\n";
    return s + "}";
}

// Runs one ipptool test file against the printer; its output. Safe to call
// from several threads at once.
static FilterRun Ipptool(const PrinterApp& app, const std::string& printer, const std::string& text)
{
    static std::atomic<int> counter{0};
    const std::string base = app.dir + "/request-" + std::to_string(counter++), test = base + ".test";
    const std::string out = base + ".out", uri = PrinterUri(app, printer);
    FilterRun r;
    if (!WriteFile(test, text))
        return r;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const char* argv[] = {"ipptool", "-c", "-T", "60", uri.c_str(), test.c_str(), nullptr};
    pid_t pid = -1;
    int status = 0;
    if (posix_spawnp(&pid, "ipptool", &actions, nullptr, const_cast<char**>(argv), environ) == 0 &&
        waitpid(pid, &status, 0) == pid)
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    posix_spawn_file_actions_destroy(&actions);
    r.out = ReadFile(out);
    return r;
}

int IpptoolPrint(const PrinterApp& app, const PrintRequest& r, std::string* why)
{
    std::string t = "{\n NAME \"print " + r.jobName + "\"\n OPERATION Print-Job\n GROUP operation-attributes-tag\n" +
                    " ATTR charset attributes-charset utf-8\n ATTR naturalLanguage attributes-natural-language en\n" +
                    " ATTR uri printer-uri $uri\n ATTR name requesting-user-name \"" + r.user + "\"\n" +
                    " ATTR name job-name \"" + r.jobName + "\"\n ATTR mimeMediaType document-format " + r.format +
                    "\n GROUP job-attributes-tag\n";
    for (const std::string& a : r.attrs)
        t += " " + a + "\n";
    t += " FILE \"" + r.file + "\"\n STATUS successful-ok\n DISPLAY job-id\n}\n";
    FilterRun run = Ipptool(app, r.printer, t);
    // PAPPL answers server-error-busy to a raster job while the printer prints another: send it again, as CUPS's
    // ipp backend does (ipptool's own -R finds the connection closed).
    for (int tries = 0;
         run.status != 0 && run.out.find("Currently printing another job") != std::string::npos && tries < 600;
         tries++) {
        usleep(200000);
        run = Ipptool(app, r.printer, t);
    }
    const size_t at = run.out.find("job-id\n");
    const int id = run.status == 0 && at != std::string::npos ? atoi(run.out.c_str() + at + 7) : 0;
    if (id == 0)
        *why = "ipptool: " + run.out + "\n" + t;
    return id;
}

JobState GetJobState(const PrinterApp& app, const std::string& printer, int id)
{
    JobState s;
    http_t* http = Connect(app);
    if (!http)
        return s;
    ipp_t* req = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
    ippAddString(req, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, PrinterUri(app, printer).c_str());
    ippAddInteger(req, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", id);
    ippAddString(req, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "alice");
    ipp_t* resp = cupsDoRequest(http, req, ("/ipp/print/" + printer).c_str());
    if (ipp_attribute_t* a = ippFindAttribute(resp, "job-state", IPP_TAG_ENUM))
        s.state = ippGetInteger(a, 0);
    if (ipp_attribute_t* a = ippFindAttribute(resp, "job-impressions-completed", IPP_TAG_INTEGER))
        s.impressions = ippGetInteger(a, 0);
    if (ipp_attribute_t* a = ippFindAttribute(resp, "job-state-reasons", IPP_TAG_KEYWORD)) {
        char text[1024];
        ippAttributeString(a, text, sizeof text);
        s.reasons = text;
    }
    ippDelete(resp);
    httpClose(http);
    return s;
}

std::vector<JobState> WaitJobs(const PrinterApp& app, const std::vector<std::pair<std::string, int>>& jobs, int seconds)
{
    std::vector<JobState> states(jobs.size());
    for (int tenths = 0; tenths <= seconds * 10; tenths++, usleep(100000)) {
        bool all = true;
        for (size_t i = 0; i < jobs.size(); i++) {
            if (states[i].state < IPP_JSTATE_CANCELED)
                states[i] = GetJobState(app, jobs[i].first, jobs[i].second);
            all = all && states[i].state >= IPP_JSTATE_CANCELED;
        }
        if (all)
            break;
    }
    return states;
}

bool CancelJob(const PrinterApp& app, const std::string& printer, int id)
{
    return AppCommand(app, {"cancel", "-d", printer, "-j", std::to_string(id)}).status == 0;
}

std::string PrinterAttributes(const PrinterApp& app, const std::string& printer)
{
    std::string text;
    http_t* http = Connect(app);
    if (!http)
        return text;
    ipp_t* req = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(req, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, PrinterUri(app, printer).c_str());
    ipp_t* resp = cupsDoRequest(http, req, ("/ipp/print/" + printer).c_str());
    std::vector<char> value(65536);
    for (ipp_attribute_t* a = ippFirstAttribute(resp); a; a = ippNextAttribute(resp))
        if (ippGetName(a)) {
            ippAttributeString(a, value.data(), value.size());
            text += std::string(ippGetName(a)) + "=" + value.data() + "\n";
        }
    ippDelete(resp);
    httpClose(http);
    return text;
}

std::string SetPrinterAttributes(const PrinterApp& app, const std::string& printer,
                                 const std::vector<std::string>& attrs)
{
    std::string t = "{\n NAME \"set\"\n OPERATION Set-Printer-Attributes\n GROUP operation-attributes-tag\n"
                    " ATTR charset attributes-charset utf-8\n ATTR naturalLanguage attributes-natural-language en\n"
                    " ATTR uri printer-uri $uri\n ATTR name requesting-user-name \"root\"\n"
                    " GROUP printer-attributes-tag\n";
    for (const std::string& a : attrs)
        t += " " + a + "\n";
    t += " STATUS successful-ok\n}\n";
    const FilterRun run = Ipptool(app, printer, t);
    return run.status == 0 ? "" : "ipptool: " + run.out + "\n" + t;
}
