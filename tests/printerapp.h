// The printer application as a user runs it: one server per test program,
// started unprivileged (user nobody, its own HOME and TMPDIR) on a free
// loopback port, with its state, spool and every printer's output (a
// `file:` device, one directory per printer) under /tmp/app of the test's
// private /tmp. Jobs go in through ipptool or the application's own
// `submit`; their state comes back over IPP.
#pragma once
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

#include "tests/testutil.h"

struct PrinterApp {
    std::string dir = "/tmp/app";  // bin/, home/, state/, spool/, out/PRINTER/, log
    int port = 0;
    pid_t pid = -1;
};

// The built application, or "" when this build has none (tests then skip).
std::string AppProgram();

// Lays out `app.dir` (first time only: state is kept for a restart),
// starts the server and waits until it answers on its socket and port.
// False with the server's log in `why`.
bool StartApp(PrinterApp& app, std::string* why);
// Stops the server (SIGTERM: PAPPL saves its state and ends). False when
// it did not end within `seconds` (it is then killed).
bool StopApp(PrinterApp& app, int seconds = 30);

// Runs the application's command line (a sub-command and its arguments) as
// the server's user; `input` goes to its standard input.
FilterRun AppCommand(const PrinterApp& app, const std::vector<std::string>& args, const std::string& input = "");
// Adds a printer with a `file:` device writing into out/NAME/.
FilterRun AddPrinter(const PrinterApp& app, const std::string& name, const std::string& driver);
std::string PrinterUri(const PrinterApp& app, const std::string& name);
// Where the device writes a job named `jobName`.
std::string OutputPath(const PrinterApp& app, const std::string& printer, const std::string& jobName);
std::string AppLog(const PrinterApp& app);
// What AddressSanitizer, LeakSanitizer or UBSan said in the server's and the
// commands' output (a sanitizer build), "" when nothing.
std::string SanitizerReports(const PrinterApp& app);

// One Print-Job request: the document, its format, and job attributes as
// ipptool lines ("ATTR keyword sides two-sided-long-edge").
struct PrintRequest {
    std::string printer, file, format, jobName, user = "alice";
    std::vector<std::string> attrs;
};
// Sends it with ipptool, again while the printer answers server-error-busy
// (PAPPL streams raster jobs and refuses one while another prints; CUPS's
// ipp backend retries too); the job id, or 0 (then `why` has ipptool's output).
int IpptoolPrint(const PrinterApp& app, const PrintRequest& r, std::string* why);
// ipptool attribute lines for common job attributes.
std::string MediaCol(const std::string& size, const std::string& source = "", const std::string& type = "");

struct JobState {
    int state = 0;         // ipp_jstate_t, 0 when the job is unknown
    std::string reasons;   // job-state-reasons, comma-separated
    int impressions = -1;  // job-impressions-completed, -1 when absent
};
JobState GetJobState(const PrinterApp& app, const std::string& printer, int id);
// Waits until every job has ended (completed, aborted or canceled).
std::vector<JobState> WaitJobs(const PrinterApp& app, const std::vector<std::pair<std::string, int>>& jobs,
                               int seconds);
bool CancelJob(const PrinterApp& app, const std::string& printer, int id);
// Printer attributes as "name=value" lines.
std::string PrinterAttributes(const PrinterApp& app, const std::string& printer);
// Set-Printer-Attributes with ipptool attribute lines (printer group); "" or why not.
std::string SetPrinterAttributes(const PrinterApp& app, const std::string& printer,
                                 const std::vector<std::string>& attrs);
