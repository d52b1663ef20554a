// fiskor-printer-app: the printer as an IPP Everywhere printer, on PAPPL's
// main loop (server, add, delete, devices, drivers, submit, jobs, cancel,
// options, shutdown, and credentials). The server's options (-o name=value)
// are read here.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "app/app.h"
#include "app/credentials.h"
#include "app/credentials_web.h"

#ifndef FZ_VERSION
#define FZ_VERSION "1.0.0"
#endif

namespace {

constexpr const char* kName = "fiskor-printer-app";
constexpr const char* kFooter = "Fiskor Zembrulan printer application " FZ_VERSION;
constexpr int kDefaultPort = 8000;

std::string stateFile;
bool serving = false;  // the sub-command is "server"

// Whether the main loop will run the server: its sub-command word, found as
// papplMainloop finds it (the options -d, -h, -j, -m, -n, -o, -t, -u and -v
// take the next argument). Other sub-commands that make a system (drivers)
// get one that neither listens nor touches the state.
bool IsServerCommand(int argc, char* argv[])
{
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        if (!strcmp(a, "--"))
            i++;
        else if (a[0] == '-' && a[1] != '\0' && a[1] != '-' && strchr("dhjmnotuv", a[1]) != nullptr)
            i++;
        else if (!strcmp(a, "server"))
            return true;
    }
    return false;
}

// Makes a private directory and its missing parents; true when it exists.
bool MakeDirectory(const std::string& path)
{
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            fprintf(stderr, "%s: cannot make directory %s: %s\n", kName, part.c_str(), strerror(errno));
            return false;
        }
        if (slash == std::string::npos)
            break;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        fprintf(stderr, "%s: %s is not a directory\n", kName, path.c_str());
        return false;
    }
    return true;
}

bool ParseLogLevel(const char* value, pappl_loglevel_t* level)
{
    static const struct {
        const char* name;
        pappl_loglevel_t level;
    } kLevels[] = {{"fatal", PAPPL_LOGLEVEL_FATAL},
                   {"error", PAPPL_LOGLEVEL_ERROR},
                   {"warn", PAPPL_LOGLEVEL_WARN},
                   {"info", PAPPL_LOGLEVEL_INFO},
                   {"debug", PAPPL_LOGLEVEL_DEBUG}};
    for (const auto& l : kLevels) {
        if (strcmp(value, l.name) == 0) {
            *level = l.level;
            return true;
        }
    }
    return false;
}

bool ParsePort(const char* value, int* port)
{
    char* end = nullptr;
    errno = 0;
    long v = strtol(value, &end, 10);
    if (errno != 0 || end == value || *end != '\0' || v < 0 || v > 65535)
        return false;
    *port = (int)v;
    return true;
}

bool IsLocalClient(pappl_client_t* client)
{
    http_addr_t* addr = httpGetAddress(papplClientGetHTTP(client));
    return httpAddrFamily(addr) == AF_LOCAL || httpAddrLocalhost(addr);
}

// PAPPL keeps no job-originating-host-name; a request that makes a job
// gets the client's host as a job attribute, which the job then carries
// (one a client sent itself is replaced).
void RecordOriginatingHost(pappl_client_t* client)
{
    ipp_t* request = papplClientGetRequest(client);
    const ipp_op_t op = papplClientGetOperation(client);
    if (request == nullptr || (op != IPP_OP_PRINT_JOB && op != IPP_OP_PRINT_URI && op != IPP_OP_CREATE_JOB))
        return;
    ippDeleteAttribute(request, ippFindAttribute(request, "job-originating-host-name", IPP_TAG_ZERO));
    ippAddString(request, IPP_TAG_JOB, IPP_TAG_NAME, "job-originating-host-name", nullptr,
                 papplClientGetHostName(client));
}

// Who may do what when no authentication service is given. This host (the
// Unix socket, loopback) may do everything, as in PAPPL. Other hosts may
// print and handle jobs, and nothing else: no printer or system settings by
// IPP or on the web pages. PAPPL alone would open its web pages to every
// host, and the access password of PAPPL 1.3.1 takes any password. PAPPL
// asks this only of clients that are local or use TLS; other hosts get
// "upgrade required" first. With auth-service=SERVICE, PAPPL asks that PAM
// service for every request from other hosts instead, printing included.
http_status_t Authorize(pappl_client_t* client, const char*, gid_t, void*)
{
    RecordOriginatingHost(client);
    if (IsLocalClient(client))
        return HTTP_STATUS_CONTINUE;
    if (papplClientGetRequest(client) == nullptr)
        return HTTP_STATUS_FORBIDDEN;  // a web page
    switch (papplClientGetOperation(client)) {
    case IPP_OP_PRINT_JOB:
    case IPP_OP_PRINT_URI:
    case IPP_OP_VALIDATE_JOB:
    case IPP_OP_CREATE_JOB:
    case IPP_OP_SEND_DOCUMENT:
    case IPP_OP_SEND_URI:
    case IPP_OP_CANCEL_JOB:
    case IPP_OP_CANCEL_MY_JOBS:
    case IPP_OP_CLOSE_JOB:
    case IPP_OP_CREATE_JOB_SUBSCRIPTIONS:
    case IPP_OP_CREATE_PRINTER_SUBSCRIPTIONS:
    case IPP_OP_GET_NOTIFICATIONS:
    case IPP_OP_GET_SUBSCRIPTION_ATTRIBUTES:
    case IPP_OP_GET_SUBSCRIPTIONS:
    case IPP_OP_RENEW_SUBSCRIPTION:
    case IPP_OP_CANCEL_SUBSCRIPTION:
        return HTTP_STATUS_CONTINUE;
    default:
        return HTTP_STATUS_FORBIDDEN;
    }
}

bool SaveState(pappl_system_t* system, void*) { return papplSystemSaveState(system, stateFile.c_str()); }

// Every printer, loaded or added, gets the credentials page.
void PrinterCreated(pappl_printer_t* printer, void*)
{
    AddCredentialsPage(papplPrinterGetSystem(printer), printer, StateDirectory());
}

// A printer deleted (not one dropped at shutdown) takes its credentials along.
void Event(pappl_system_t* system, pappl_printer_t* printer, pappl_job_t*, pappl_event_t event, void*)
{
    if (printer == nullptr || !(event & PAPPL_EVENT_PRINTER_DELETED))
        return;
    std::string why;
    if (!RemoveCredentials(StateDirectory(), papplPrinterGetName(printer), &why))
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "The credentials of printer %s were not removed: %s",
                 papplPrinterGetName(printer), why.c_str());
}

pappl_system_t* Fail(pappl_system_t* system, const char* message, const char* detail)
{
    fprintf(stderr, "%s: %s%s\n", kName, message, detail);
    if (system != nullptr)
        papplSystemDelete(system);
    return nullptr;
}

pappl_system_t* SystemCallback(int numOptions, cups_option_t* options, void*)
{
    auto option = [&](const char* name, const char* fallback) {
        const char* v = cupsGetOption(name, numOptions, options);
        return v != nullptr ? v : fallback;
    };
    pappl_loglevel_t level = PAPPL_LOGLEVEL_INFO;
    if (!ParseLogLevel(option("log-level", "info"), &level))
        return Fail(nullptr, "bad log-level (fatal, error, warn, info or debug): ", option("log-level", ""));
    int port = kDefaultPort;
    if (const char* v = option("server-port", nullptr); v != nullptr && !ParsePort(v, &port))
        return Fail(nullptr, "bad server-port: ", v);
    if (!serving) {
        pappl_system_t* system = papplSystemCreate(PAPPL_SOPTIONS_NONE, kName, port, nullptr, papplGetTempDir(), "-",
                                                   PAPPL_LOGLEVEL_WARN, nullptr, false);
        if (system != nullptr)
            papplSystemSetPrinterDrivers(system, kDriverCount, kDrivers, nullptr, nullptr, DriverCallback, nullptr);
        return system;
    }
    const std::string stateDir = StateDirectoryFromOptions(numOptions, options);
    if (stateDir.empty())
        return Fail(nullptr, "no state directory: give -o state-directory=DIR", "");
    const std::string spoolDir = option("spool-directory", (stateDir + "/spool").c_str());
    if (!MakeDirectory(stateDir) || !MakeDirectory(spoolDir))
        return nullptr;
    SetStateDirectory(stateDir);
    stateFile = stateDir + "/" + kName + ".state";
    const char* authService = option("auth-service", nullptr);

    const auto soptions =
        (pappl_soptions_t)(PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE | PAPPL_SOPTIONS_WEB_LOG);
    pappl_system_t* system = papplSystemCreate(soptions, kName, port, "_print,_universal", spoolDir.c_str(),
                                               option("log-file", "-"), level, authService, false);
    if (system == nullptr)
        return Fail(nullptr, "cannot create the printer application", "");
    if (authService == nullptr)
        papplSystemSetAuthCallback(system, "Basic", Authorize, nullptr);
    // The main loop's own start of a server for a sub-command listens on the
    // local socket only.
    const char* listen = option("listen-hostname", "localhost");
    if (cupsGetOption("private-server", numOptions, options) == nullptr && !papplSystemAddListeners(system, listen))
        return Fail(system, "cannot listen on ", listen);
    if (const char* v = option("server-hostname", nullptr))
        papplSystemSetHostName(system, v);
    if (const char* v = option("admin-group", nullptr))
        papplSystemSetAdminGroup(system, v);

    papplSystemAddMIMEFilter(system, "image/png", kVendorFormat, PngFilter, nullptr);
    papplSystemAddMIMEFilter(system, "application/pdf", kVendorFormat, PdfFilter, nullptr);
    papplSystemSetPrinterDrivers(system, kDriverCount, kDrivers, nullptr, PrinterCreated, DriverCallback, nullptr);
    papplSystemSetEventCallback(system, Event, nullptr);
    papplSystemSetFooterHTML(system, kFooter);
    static pappl_version_t version = {"Fiskor Zembrulan", "", FZ_VERSION, {1, 0, 0, 0}};
    sscanf(FZ_VERSION, "%hu.%hu.%hu", &version.version[0], &version.version[1], &version.version[2]);
    papplSystemSetVersions(system, 1, &version);
    papplSystemSetSaveCallback(system, SaveState, nullptr);
    if (!papplSystemLoadState(system, stateFile.c_str()))
        papplSystemSetDNSSDName(system, "Fiskor Zembrulan");
    return system;
}

void Usage(void*)
{
    printf("Usage: %s SUB-COMMAND [OPTIONS] [FILENAME]\n\n"
           "Sub-commands:\n"
           "  add -d PRINTER -m DRIVER -v DEVICE-URI   Add a printer (drivers fiskor_600, fiskor_1200).\n"
           "  cancel, jobs, submit                     Jobs (-d PRINTER, -j JOB-ID, -n COPIES, -o NAME=VALUE).\n"
           "  delete, modify, options, printers, default, pause, resume, status, devices, drivers\n"
           "  server                                   Run the server.\n"
           "  shutdown                                 Stop the running server.\n"
           "  credentials                              A printer's AuthID and password:\n"
           "%s\n"
           "Server options (-o NAME=VALUE): state-directory, spool-directory, server-port (8000),\n"
           "listen-hostname (localhost), log-file (- for standard error), log-level, auth-service,\n"
           "admin-group, server-hostname. See %s(1).\n",
           kName, kCredentialsUsage, kName);
}

}  // namespace

int main(int argc, char* argv[])
{
    serving = IsServerCommand(argc, argv);
    return papplMainloop(argc, argv, FZ_VERSION, kFooter, kDriverCount, kDrivers, nullptr, DriverCallback,
                         kCredentialsSubcommand, CredentialsSubcommand, SystemCallback, Usage, nullptr);
}
