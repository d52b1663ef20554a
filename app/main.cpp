// fiskor-printer-app: the printer as an IPP Everywhere printer, on PAPPL's
// main loop (server, add, delete, devices, drivers, submit, jobs, cancel,
// options, shutdown). The server's options (-o name=value) are read here.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "app/app.h"

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

// The state directory when none is given: the system's as root, else the user's.
std::string DefaultStateDirectory()
{
    if (getuid() == 0)
        return std::string("/var/lib/") + kName;
    if (const char* xdg = getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg == '/')
        return std::string(xdg) + "/" + kName;
    if (const char* home = getenv("HOME"); home != nullptr && *home == '/')
        return std::string(home) + "/.config/" + kName;
    return std::string();
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

bool IsLoopback(const char* host)
{
    return !strcmp(host, "localhost") || !strcmp(host, "127.0.0.1") || !strcmp(host, "::1") || !strcmp(host, "[::1]");
}

bool SaveState(pappl_system_t* system, void*) { return papplSystemSaveState(system, stateFile.c_str()); }

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
    const std::string stateDir = option("state-directory", DefaultStateDirectory().c_str());
    if (stateDir.empty())
        return Fail(nullptr, "no state-directory given and no HOME to put one in", "");
    const std::string spoolDir = option("spool-directory", (stateDir + "/spool").c_str());
    if (!MakeDirectory(stateDir) || !MakeDirectory(spoolDir))
        return nullptr;
    stateFile = stateDir + "/" + kName + ".state";
    const char* listen = option("listen-hostname", "localhost");
    const char* authService = option("auth-service", nullptr);

    const pappl_soptions_t soptions = (pappl_soptions_t)(PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE |
                                                         PAPPL_SOPTIONS_WEB_LOG | PAPPL_SOPTIONS_WEB_SECURITY);
    pappl_system_t* system = papplSystemCreate(soptions, kName, port, "_print,_universal", spoolDir.c_str(),
                                               option("log-file", "-"), level, authService, false);
    if (system == nullptr)
        return Fail(nullptr, "cannot create the printer application", "");
    // The main loop's own start of a server for a sub-command listens on the
    // local socket only.
    if (cupsGetOption("private-server", numOptions, options) == nullptr && !papplSystemAddListeners(system, listen))
        return Fail(system, "cannot listen on ", listen);
    if (const char* v = option("server-hostname", nullptr))
        papplSystemSetHostName(system, v);
    if (const char* v = option("admin-group", nullptr))
        papplSystemSetAdminGroup(system, v);

    papplSystemAddMIMEFilter(system, "image/png", kVendorFormat, PngFilter, nullptr);
    papplSystemSetPrinterDrivers(system, kDriverCount, kDrivers, nullptr, nullptr, DriverCallback, nullptr);
    papplSystemSetFooterHTML(system, kFooter);
    static pappl_version_t version = {"Fiskor Zembrulan", "", FZ_VERSION, {1, 0, 0, 0}};
    sscanf(FZ_VERSION, "%hu.%hu.%hu", &version.version[0], &version.version[1], &version.version[2]);
    papplSystemSetVersions(system, 1, &version);
    papplSystemSetSaveCallback(system, SaveState, nullptr);
    if (!papplSystemLoadState(system, stateFile.c_str()))
        papplSystemSetDNSSDName(system, "Fiskor Zembrulan");

    // Changes from other hosts need a login: PAPPL refuses their IPP
    // administration unless an authentication service is set, but its web
    // pages are open until an access password is set.
    char hash[100] = "";
    papplSystemGetPassword(system, hash, sizeof hash);
    if (!IsLoopback(listen) && authService == nullptr && hash[0] == '\0')
        return Fail(system,
                    "listening beyond this host needs auth-service=SERVICE or an access password: set one on the "
                    "web interface's Security page while listening on localhost, then restart with listen-hostname=",
                    listen);
    return system;
}

}  // namespace

int main(int argc, char* argv[])
{
    serving = IsServerCommand(argc, argv);
    return papplMainloop(argc, argv, FZ_VERSION, kFooter, kDriverCount, kDrivers, nullptr, DriverCallback, nullptr,
                         nullptr, SystemCallback, nullptr, nullptr);
}
