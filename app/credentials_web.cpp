// The credentials page of the web interface and the "credentials"
// sub-command. Neither ever shows a stored value back: they tell whether an
// AuthID and a password are set, nothing more. Values reach this code only
// in a POST body or on standard input, never in a URL or an argument (PAPPL
// logs every request line, and arguments are visible to every user).
#include "app/credentials_web.h"

#include "app/credentials.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <pwd.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

std::mutex gMutex;      // guards gStateDir; one page change at a time
std::string gStateDir;  // set by AddCredentialsPage

void Wipe(std::string* s)
{
    if (!s->empty())
        explicit_bzero(&(*s)[0], s->size());
    s->clear();
}

// The form's values are freed by cupsFreeOptions without being cleared.
void FreeForm(int num_form, cups_option_t* form)
{
    for (int i = 0; i < num_form; ++i) {
        if (form[i].value != nullptr)
            explicit_bzero(form[i].value, strlen(form[i].value));
    }
    cupsFreeOptions(num_form, form);
}

std::string HomeDirectory()
{
    const char* home = getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return home;
    struct passwd pw;
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && found->pw_dir[0] == '/')
        return found->pw_dir;
    return "";
}

std::string PageStateDir()
{
    std::lock_guard<std::mutex> lock(gMutex);
    return gStateDir;
}

const char* SetOrNot(const std::string& s) { return s.empty() ? "not set" : "set"; }

// Applies a submitted form; returns the text for the page's banner. An
// empty field keeps the stored value, so that one can be changed without
// retyping the other (which is never shown).
std::string ApplyForm(pappl_printer_t* printer, const std::string& stateDir, int num_form, cups_option_t* form)
{
    const char* printerName = papplPrinterGetName(printer);
    std::string why;
    const char* action = cupsGetOption("action", num_form, form);
    std::lock_guard<std::mutex> lock(gMutex);
    if (action != nullptr && strcmp(action, "clear") == 0) {
        if (!RemoveCredentials(stateDir, printerName, &why)) {
            papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "Credentials not removed: %s", why.c_str());
            return "Not removed: " + why;
        }
        papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "Credentials removed from the web interface.");
        return "Credentials removed.";
    }
    const char* authId = cupsGetOption("auth_id", num_form, form);
    // Not "password": that is the field of PAPPL's own login form.
    const char* password = cupsGetOption("printer_password", num_form, form);
    bool newId = authId != nullptr && authId[0] != '\0';
    bool newPassword = password != nullptr && password[0] != '\0';
    if (!newId && !newPassword)
        return "Nothing changed: both fields were empty.";
    PrinterCredentials c;
    if (!(newId && newPassword) && !LoadCredentials(stateDir, printerName, &c, &why))
        return "Not saved: the stored credentials cannot be read (" + why +
               "). Enter both values, or remove the credentials.";
    if (newId)
        c.authId = authId;
    if (newPassword)
        c.password = password;
    bool ok = SaveCredentials(stateDir, printerName, c, &why);
    Wipe(&c.password);
    if (!ok) {
        papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "Credentials not saved: %s", why.c_str());
        return "Not saved: " + why;
    }
    papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "Credentials changed from the web interface (%s%s%s).",
                    newId ? "AuthID" : "", newId && newPassword ? " and " : "", newPassword ? "password" : "");
    return "Credentials saved.";
}

bool CredentialsPage(pappl_client_t* client, void* data)
{
    auto* printer = static_cast<pappl_printer_t*>(data);
    pappl_system_t* system = papplClientGetSystem(client);
    // Login form, cookie or HTTP authentication as PAPPL does them.
    if (!papplClientHTMLAuthorize(client))
        return true;
    // Without an authentication service, PAPPL lets anyone in when no
    // administrator password is set, and PAPPL 1.3.1's password login takes
    // any password (the salt is split at the wrong character: PAPPL issue
    // 373, fixed after 1.3.1). Then only this host may see or change the
    // values: loopback and the Unix socket, as papplClientIsAuthorized rules.
    if (papplSystemGetAuthService(system) == nullptr) {
        http_status_t code = papplClientIsAuthorized(client);
        if (code != HTTP_STATUS_CONTINUE) {
            // A refused POST's body is never read: the connection ends here.
            papplClientRespond(client, code, nullptr, nullptr, 0, 0);
            return false;
        }
    }

    std::string stateDir = PageStateDir();
    std::string status;
    if (papplClientGetMethod(client) == HTTP_STATE_POST) {
        cups_option_t* form = nullptr;
        int num_form = papplClientGetForm(client, &form);
        if (num_form == 0)
            status = "Invalid form data.";
        else if (!papplClientIsValidForm(client, num_form, form))
            status = "Invalid form submission.";
        else
            status = ApplyForm(printer, stateDir, num_form, form);
        FreeForm(num_form, form);
    }

    PrinterCredentials c;
    std::string why;
    bool loaded = LoadCredentials(stateDir, papplPrinterGetName(printer), &c, &why);

    papplClientHTMLPrinterHeader(client, printer, "Credentials", 0, nullptr, nullptr);
    if (!status.empty())
        papplClientHTMLPrintf(client, "          <div class=\"banner\">%s</div>\n", status.c_str());
    papplClientHTMLPuts(client, "          <p>The printer identifies each job with this AuthID and password. Stored "
                                "values are never shown; leave a field empty to keep its value.</p>\n");
    if (loaded)
        papplClientHTMLPrintf(client, "          <p>AuthID: %s. Password: %s.</p>\n", SetOrNot(c.authId),
                              SetOrNot(c.password));
    else
        papplClientHTMLPrintf(client, "          <p>The stored credentials cannot be read: %s</p>\n", why.c_str());
    Wipe(&c.password);

    papplClientHTMLStartForm(client, papplClientGetURI(client), false);
    papplClientHTMLPuts(client,
                        "          <table class=\"form\">\n"
                        "            <tbody>\n"
                        "              <tr><th><label for=\"auth_id\">AuthID:</label></th><td><input type=\"text\" "
                        "name=\"auth_id\" id=\"auth_id\" maxlength=\"127\" autocomplete=\"off\"></td></tr>\n"
                        "              <tr><th><label for=\"printer_password\">Password:</label></th><td><input "
                        "type=\"password\" name=\"printer_password\" id=\"printer_password\" maxlength=\"127\" "
                        "autocomplete=\"new-password\"></td></tr>\n"
                        "              <tr><th></th><td><button type=\"submit\" name=\"action\" "
                        "value=\"save\">Save</button> <button type=\"submit\" name=\"action\" "
                        "value=\"clear\">Remove Credentials</button></td></tr>\n"
                        "            </tbody>\n"
                        "          </table>\n"
                        "          </form>\n");
    papplClientHTMLPrinterFooter(client);
    return true;
}

// One line from `fd`, without its end ("\n" or "\r\n"). False at end of
// input before any byte, or on a read error or an overlong line.
bool ReadLine(int fd, std::string* out, std::string* why)
{
    Wipe(out);
    bool any = false;
    for (;;) {
        char c;
        ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *why = std::string("cannot read standard input: ") + strerror(errno);
            return false;
        }
        if (n == 0)
            break;
        any = true;
        if (c == '\n')
            break;
        if (out->size() >= 4096) {
            Wipe(out);
            *why = "the line on standard input is too long";
            return false;
        }
        out->push_back(c);
    }
    if (!any) {
        *why = "no password on standard input (an empty line gives an empty password)";
        return false;
    }
    if (!out->empty() && out->back() == '\r')
        out->pop_back();
    return true;
}

// Reads a password from standard input: on a terminal, asked for twice
// without echo; otherwise the first line.
bool ReadPassword(const std::string& printer, std::string* out, std::string* why)
{
    if (!isatty(STDIN_FILENO))
        return ReadLine(STDIN_FILENO, out, why);
    struct termios saved;
    if (tcgetattr(STDIN_FILENO, &saved) != 0) {
        *why = std::string("cannot read the terminal's settings: ") + strerror(errno);
        return false;
    }
    struct termios quiet = saved;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    quiet.c_lflag |= ECHONL;
    if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) != 0) {
        *why = std::string("cannot switch the terminal's echo off: ") + strerror(errno);
        return false;
    }
    std::string again;
    fprintf(stderr, "Password for printer \"%s\": ", printer.c_str());
    bool ok = ReadLine(STDIN_FILENO, out, why);
    if (ok) {
        fprintf(stderr, "Again: ");
        ok = ReadLine(STDIN_FILENO, &again, why);
    }
    if (ok && again != *out) {
        *why = "the two passwords differ";
        ok = false;
    }
    Wipe(&again);
    if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved) != 0 && ok) {
        *why = std::string("cannot restore the terminal's echo: ") + strerror(errno);
        ok = false;
    }
    if (!ok)
        Wipe(out);
    return ok;
}

}  // namespace

const char kCredentialsUsage[] = "credentials -d PRINTER [-o state-directory=DIR]\n"
                                 "    Tell whether PRINTER's AuthID and password are set.\n"
                                 "credentials -d PRINTER -o auth-id=ID [-o state-directory=DIR]\n"
                                 "    Set PRINTER's AuthID to ID and its password to one line read from\n"
                                 "    standard input (asked for twice without echo on a terminal).\n"
                                 "credentials -d PRINTER -o clear=true [-o state-directory=DIR]\n"
                                 "    Remove PRINTER's AuthID and password.\n";

std::string DefaultStateDirectory()
{
    if (geteuid() == 0)
        return "/var/lib/fiskor-printer-app";
    // The XDG rule: a relative value is ignored.
    const char* xdg = getenv("XDG_STATE_HOME");
    if (xdg != nullptr && xdg[0] == '/')
        return std::string(xdg) + "/fiskor-printer-app";
    std::string home = HomeDirectory();
    if (home.empty())
        return "";
    return home + "/.local/state/fiskor-printer-app";
}

std::string StateDirectoryFromOptions(int num_options, cups_option_t* options)
{
    const char* dir = cupsGetOption(kStateDirectoryOption, num_options, options);
    return dir != nullptr && dir[0] != '\0' ? std::string(dir) : DefaultStateDirectory();
}

void AddCredentialsPage(pappl_system_t* system, pappl_printer_t* printer, const std::string& stateDir)
{
    {
        std::lock_guard<std::mutex> lock(gMutex);
        gStateDir = stateDir;
    }
    char path[1024];
    if (papplPrinterGetPath(printer, "credentials", path, sizeof path) == nullptr)
        return;
    // The printer itself is the page's data: PAPPL removes the page with it.
    papplSystemAddResourceCallback(system, path, "text/html", CredentialsPage, printer);
    papplPrinterAddLink(printer, "Credentials", path,
                        pappl_loptions_t(PAPPL_LOPTIONS_CONFIGURATION | PAPPL_LOPTIONS_HTTPS_REQUIRED));
}

int CredentialsSubcommand(const char* base_name, int num_options, cups_option_t* options, int num_files, char** files,
                          void* data)
{
    (void)files;
    (void)data;
    auto fail = [&](const std::string& text) {
        fprintf(stderr, "%s: %s\n", base_name, text.c_str());
        return 1;
    };
    if (num_files > 0)
        return fail("the credentials sub-command takes no files");
    for (int i = 0; i < num_options; ++i) {
        const char* name = options[i].name;
        if (strcmp(name, "password") == 0)
            return fail("the password is read from standard input, never from the command line");
        if (strcmp(name, "printer-name") != 0 && strcmp(name, kStateDirectoryOption) != 0 &&
            strcmp(name, "auth-id") != 0 && strcmp(name, "clear") != 0)
            return fail(std::string("the credentials sub-command has no option \"") + name + "\"\nusage:\n" +
                        kCredentialsUsage);
    }
    const char* printer = cupsGetOption("printer-name", num_options, options);
    if (printer == nullptr || printer[0] == '\0')
        return fail(std::string("missing -d PRINTER\nusage:\n") + kCredentialsUsage);
    std::string stateDir = StateDirectoryFromOptions(num_options, options);
    if (stateDir.empty())
        return fail("no state directory: give -o state-directory=DIR");
    const char* authId = cupsGetOption("auth-id", num_options, options);
    const char* clear = cupsGetOption("clear", num_options, options);
    bool clearing = clear != nullptr && strcmp(clear, "false") != 0 && strcmp(clear, "no") != 0;
    if (clearing && authId != nullptr)
        return fail("give either auth-id or clear, not both");

    std::string why;
    if (clearing) {
        if (!RemoveCredentials(stateDir, printer, &why))
            return fail(why);
        printf("Credentials of printer \"%s\" removed.\n", printer);
        return 0;
    }
    if (authId == nullptr) {
        PrinterCredentials c;
        if (!LoadCredentials(stateDir, printer, &c, &why))
            return fail(why);
        printf("AuthID: %s\nPassword: %s\n", SetOrNot(c.authId), SetOrNot(c.password));
        Wipe(&c.password);
        return 0;
    }
    PrinterCredentials c;
    c.authId = authId;
    if (!ReadPassword(printer, &c.password, &why))
        return fail(why);
    bool ok = SaveCredentials(stateDir, printer, c, &why);
    Wipe(&c.password);
    if (!ok)
        return fail(why);
    printf("Credentials of printer \"%s\" saved.\n", printer);
    return 0;
}
