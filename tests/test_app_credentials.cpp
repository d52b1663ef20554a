// Per-printer credentials: the file store, the "credentials" sub-command
// and the web page.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "app/credentials.h"
#include "app/credentials_web.h"
#include "tests/testutil.h"

namespace {

constexpr uid_t kNobody = 65534;

// A fresh directory under the test's private /tmp, removed afterwards.
struct TempDir {
    std::string path;
    TempDir()
    {
        char name[] = "/tmp/appcred.XXXXXX";
        EXPECT_NE(mkdtemp(name), nullptr) << strerror(errno);
        path = name;
    }
    ~TempDir() { EXPECT_EQ(system(("rm -rf '" + path + "'").c_str()), 0); }
};

std::vector<std::string> List(const std::string& dir)
{
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec))
        out.push_back(e.path().filename());
    return out;
}

mode_t Mode(const std::string& path)
{
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st.st_mode;
}

uid_t Owner(const std::string& path)
{
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st.st_uid;
}

struct Loaded {
    bool ok;
    std::string why;
    PrinterCredentials c{"stale", "stale"};
};

Loaded Load(const std::string& state, const std::string& printer)
{
    Loaded l;
    l.ok = LoadCredentials(state, printer, &l.c, &l.why);
    return l;
}

// The one file a printer has, found by saving it into an empty store.
std::string FileOf(const std::string& state, const std::string& printer)
{
    std::string why;
    EXPECT_TRUE(SaveCredentials(state, printer, {"id", "pw"}, &why)) << why;
    auto files = List(state + "/credentials");
    EXPECT_EQ(files.size(), 1u);
    return files.empty() ? "" : state + "/credentials/" + files[0];
}

// Runs `f` in a child process as `uid`; its exit status.
template <typename F>
int AsUser(uid_t uid, F f)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0)
            _exit(99);
        _exit(f());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

TEST(AppCredentials, RoundTripReplaceAndModes)
{
    const PrinterCredentials cases[] = {
        {"", ""},
        {"quote\"back\\slash/", "p\"w\\{}[],:"},
        {"Jürgen Ærø 東京", "пароль"},
        {std::string(127, 'a'), std::string(127, 'b')},
        {"only-id", ""},
    };
    TempDir t;
    std::string state = t.path + "/a/b/state";  // missing parents are made too
    for (const auto& c : cases) {
        std::string why;
        mode_t old = umask(0);  // modes are exact whatever the umask
        bool saved = SaveCredentials(state, "P", c, &why);
        umask(old);
        ASSERT_TRUE(saved) << why;
        Loaded l = Load(state, "P");
        EXPECT_TRUE(l.ok) << l.why;
        EXPECT_EQ(l.c.authId + "|" + l.c.password, c.authId + "|" + c.password);
        // Each save replaces the one file; no temporary file is left.
        auto files = List(state + "/credentials");
        ASSERT_EQ(files.size(), 1u);
        EXPECT_EQ(Mode(state + "/credentials") & 07777, 0700u);
        EXPECT_EQ(Mode(state + "/credentials/" + files[0]), S_IFREG | 0600u);
    }
    // Removing leaves an empty record; a missing store is an empty one and
    // loading or removing creates nothing.
    std::string why;
    EXPECT_TRUE(RemoveCredentials(state, "P", &why)) << why;
    EXPECT_TRUE(List(state + "/credentials").empty());
    for (const std::string& s : {state, t.path + "/none"}) {
        Loaded l = Load(s, "P");
        EXPECT_TRUE(l.ok) << l.why;
        EXPECT_EQ(l.c.authId + l.c.password, "");
        EXPECT_TRUE(RemoveCredentials(s, "P", &why)) << why;
    }
    EXPECT_NE(access((t.path + "/none").c_str(), F_OK), 0);
}

TEST(AppCredentials, PrinterNamesStayDistinctAndInside)
{
    std::string longUtf8;
    while (longUtf8.size() + 3 <= 127)
        longUtf8 += "東";
    const std::vector<std::string> names = {
        "../x",    "a/b",         "a%2Fb", "a_b", "a b", "a%20b",       ".",         "..",
        ".hidden", "%2E",         "~x",    "/",   "//",  "B\xC3\xBCro", "B%C3%BCro", std::string(127, ' '),
        longUtf8,  longUtf8 + "x"};
    TempDir t;
    std::string state = t.path + "/state";
    for (size_t i = 0; i < names.size(); ++i) {
        std::string why;
        EXPECT_TRUE(SaveCredentials(state, names[i], {"id" + std::to_string(i), "pw"}, &why)) << names[i] << why;
    }
    // One visible regular file per name, nothing anywhere else.
    auto files = List(state + "/credentials");
    EXPECT_EQ(files.size(), names.size());
    for (const auto& f : files)
        EXPECT_TRUE(f[0] != '.' && S_ISREG(Mode(state + "/credentials/" + f))) << f;
    EXPECT_EQ(List(state), std::vector<std::string>{"credentials"});
    EXPECT_EQ(List(t.path), std::vector<std::string>{"state"});
    for (size_t i = 0; i < names.size(); ++i) {
        Loaded l = Load(state, names[i]);
        EXPECT_TRUE(l.ok && l.c.authId == "id" + std::to_string(i)) << names[i] << ": " << l.why;
    }
    // Names no printer can have.
    for (const std::string& name : {std::string(), std::string(128, 'n'), std::string("a\nb"), std::string("d\x7f")}) {
        std::string why;
        EXPECT_FALSE(SaveCredentials(state, name, {"id", "pw"}, &why)) << name;
        EXPECT_NE(why.find("printer name"), std::string::npos) << why;
        EXPECT_FALSE(Load(state, name).ok) << name;
    }
    EXPECT_EQ(List(state + "/credentials").size(), names.size());
}

TEST(AppCredentials, ValuesTheJobRecordCannotHoldAreRefused)
{
    struct Case {
        PrinterCredentials c;
        const char* field;  // the reason starts so and never holds "SECRET"
    };
    const Case cases[] = {
        {{std::string(128, 'i'), "pw"}, "AuthID"},
        {{"id", std::string(120, 'p') + "SECRET12"}, "Password"},
        {{"id\n", "pw"}, "AuthID"},
        {{"id", "SECRET\t"}, "Password"},
        {{"id", "SECRET\x7f"}, "Password"},
    };
    TempDir t;
    std::string why;
    ASSERT_TRUE(SaveCredentials(t.path, "P", {"kept-id", "kept-pw"}, &why)) << why;
    for (const auto& k : cases) {
        why.clear();
        EXPECT_FALSE(SaveCredentials(t.path, "P", k.c, &why));
        EXPECT_EQ(why.rfind(k.field, 0), 0u) << why;
        EXPECT_EQ(why.find("SECRET"), std::string::npos) << why;
        Loaded l = Load(t.path, "P");
        EXPECT_TRUE(l.ok && l.c.authId == "kept-id" && l.c.password == "kept-pw");
    }
    EXPECT_EQ(List(t.path + "/credentials").size(), 1u);
}

TEST(AppCredentials, DamagedFilesAreRefusedWithAReason)
{
    const std::pair<std::string, const char*> cases[] = {
        {"", "not valid JSON"},
        {"{\"AuthID\": \"a\"", "not valid JSON"},
        {"[\"AuthID\", \"Password\"]", "JSON object"},
        {"{\"AuthID\": \"id\", \"Password\": null}", "not a string"},
        {"{\"AuthID\": \"a\\nb\"}", "control character"},
        {"{\"Password\": \"" + std::string(128, 'p') + "\"}", "longer than 127"},
        {"{\"AuthID\": \"id\"}" + std::string(5000, ' '), "larger than"},
        {"{\"AuthID\": \"id\"}", nullptr},  // a missing member is empty
    };
    TempDir t;
    std::string file = FileOf(t.path, "P");
    for (const auto& [text, reason] : cases) {
        ASSERT_TRUE(WriteFile(file, text));
        ASSERT_EQ(chmod(file.c_str(), 0600), 0);
        Loaded l = Load(t.path, "P");
        EXPECT_EQ(l.ok, reason == nullptr) << text;
        EXPECT_NE(l.why.find(reason ? reason : ""), std::string::npos) << text << " -> " << l.why;
        EXPECT_EQ(l.c.authId + l.c.password, reason ? "" : "id") << text;
    }
}

TEST(AppCredentials, OpenOrForeignFilesAndDirectoriesAreRefused)
{
    TempDir t;
    std::string file = FileOf(t.path, "P"), dir = t.path + "/credentials";
    const struct {
        std::string path;
        mode_t mode;
        uid_t owner;
        const char* reason;
    } cases[] = {
        {file, 0604, 0, "mode 0604"},
        {file, 0620, 0, "mode 0620"},
        {dir, 0750, 0, "mode 0750"},
        {dir, 0701, 0, "mode 0701"},
        {file, 0600, kNobody, "owned by uid 65534"},
        {dir, 0700, kNobody, "owned by uid 65534"},
    };
    for (const auto& k : cases) {
        if (k.owner != 0 && geteuid() != 0)
            GTEST_SKIP() << "ownership cases need root";
        ASSERT_EQ(chmod(k.path.c_str(), k.mode), 0);
        ASSERT_EQ(k.owner == 0 ? 0 : chown(k.path.c_str(), k.owner, k.owner), 0);
        Loaded l = Load(t.path, "P");
        EXPECT_FALSE(l.ok) << k.reason;
        EXPECT_NE(l.why.find(k.reason), std::string::npos) << l.why;
        // A bad mode of the directory stops saving too.
        EXPECT_TRUE(k.owner != 0 || SaveCredentials(t.path, "P", {"id", "pw"}, &l.why) == (k.path == file)) << k.reason;
        ASSERT_EQ(chmod(file.c_str(), 0600) | chmod(dir.c_str(), 0700), 0);
        ASSERT_EQ(k.owner == 0 ? 0 : chown(k.path.c_str(), 0, 0), 0);
    }
}

TEST(AppCredentials, SymbolicLinksAreNotFollowed)
{
    TempDir t;
    std::string file = FileOf(t.path, "P"), outside = t.path + "/outside.json";
    const std::string planted = "{\"AuthID\": \"planted\", \"Password\": \"planted\"}";
    ASSERT_TRUE(WriteFile(outside, planted));
    ASSERT_EQ(chmod(outside.c_str(), 0600), 0);
    ASSERT_EQ(unlink(file.c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), file.c_str()), 0);
    Loaded l = Load(t.path, "P");
    EXPECT_FALSE(l.ok);
    EXPECT_NE(l.why.find("symbolic link"), std::string::npos) << l.why;
    EXPECT_EQ(l.c.authId, "");
    // Saving replaces the link itself, never what it points to.
    ASSERT_TRUE(SaveCredentials(t.path, "P", {"new", "new"}, &l.why)) << l.why;
    EXPECT_TRUE(S_ISREG(Mode(file)));
    EXPECT_EQ(ReadFile(outside), planted);

    // A credentials directory that is a link is refused for both.
    TempDir u;
    std::string elsewhere = u.path + "/elsewhere";
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
    ASSERT_EQ(symlink(elsewhere.c_str(), (u.path + "/credentials").c_str()), 0);
    l = Load(u.path, "P");
    EXPECT_FALSE(l.ok);
    EXPECT_NE(l.why.find("not a directory"), std::string::npos) << l.why;
    EXPECT_FALSE(SaveCredentials(u.path, "P", {"id", "pw"}, &l.why));
    EXPECT_TRUE(List(elsewhere).empty());
}

TEST(AppCredentials, AFailedReplacementLeavesNoTemporaryFile)
{
    TempDir t;
    std::string file = FileOf(t.path, "P");
    // The name is taken by a directory that rename cannot replace.
    ASSERT_EQ(unlink(file.c_str()), 0);
    ASSERT_EQ(mkdir(file.c_str(), 0700), 0);
    ASSERT_TRUE(WriteFile(file + "/x", "x"));
    std::string why;
    EXPECT_FALSE(SaveCredentials(t.path, "P", {"id", "pw"}, &why));
    EXPECT_NE(why.find("cannot replace"), std::string::npos) << why;
    EXPECT_EQ(List(t.path + "/credentials").size(), 1u);
}

// The administrator saves as root; the service, running as the state
// directory's owner, reads them, and may not write a read-only store.
TEST(AppCredentials, RootWritesForTheStateDirectorysOwner)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    TempDir t;
    ASSERT_EQ(chown(t.path.c_str(), kNobody, kNobody), 0);
    std::string why;
    std::string file = FileOf(t.path, "P");
    EXPECT_EQ(Owner(t.path + "/credentials"), kNobody);
    EXPECT_EQ(Owner(file), kNobody);
    int status = AsUser(kNobody, [&] {
        PrinterCredentials c;
        std::string w;
        if (!LoadCredentials(t.path, "P", &c, &w) || c.authId != "id" || c.password != "pw")
            return 1;
        if (chmod((t.path + "/credentials").c_str(), 0500) != 0 || SaveCredentials(t.path, "P", {"id2", "pw2"}, &w))
            return 2;
        return List(t.path + "/credentials").size() == 1 && LoadCredentials(t.path, "P", &c, &w) ? 0 : 3;
    });
    EXPECT_EQ(status, 0);
}

// The sub-command as papplMainloop calls it, with `input` on standard input.
static int RunSubcommand(const std::vector<std::pair<std::string, std::string>>& opts, const std::string& input)
{
    cups_option_t* options = nullptr;
    int n = 0;
    for (const auto& [name, value] : opts)
        n = cupsAddOption(name.c_str(), value.c_str(), n, &options);
    int p[2];
    EXPECT_EQ(pipe(p), 0);
    EXPECT_EQ(write(p[1], input.data(), input.size()), ssize_t(input.size()));
    close(p[1]);
    int saved = dup(STDIN_FILENO);
    dup2(p[0], STDIN_FILENO);
    close(p[0]);
    int status = CredentialsSubcommand("fiskor-printer-app", n, options, 0, nullptr, nullptr);
    dup2(saved, STDIN_FILENO);
    close(saved);
    cupsFreeOptions(n, options);
    return status;
}

TEST(AppCredentials, SubcommandReadsThePasswordFromStandardInput)
{
    TempDir t;
    const std::pair<std::string, std::string> dir = {"state-directory", t.path}, printer = {"printer-name", "Office 2"};
    struct Case {
        std::vector<std::pair<std::string, std::string>> opts;
        std::string input;
        int status;
        PrinterCredentials after;
        const char* out = "";  // standard output starts so
    };
    const Case cases[] = {
        {{printer, dir, {"auth-id", "AUTH_1"}}, "pw one\nsecond line\n", 0, {"AUTH_1", "pw one"}},
        {{printer, dir, {"auth-id", "AUTH_2"}}, "crlf\r\n", 0, {"AUTH_2", "crlf"}},
        {{printer, dir, {"auth-id", "AUTH_4"}}, "\n", 0, {"AUTH_4", ""}},
        // Refusals leave the last saved values.
        {{printer, dir, {"auth-id", "AUTH_5"}}, "", 1, {"AUTH_4", ""}},
        {{printer, dir, {"auth-id", std::string(128, 'x')}}, "pw\n", 1, {"AUTH_4", ""}},
        {{printer, dir, {"auth-id", "AUTH_7"}, {"password", "visible"}}, "pw\n", 1, {"AUTH_4", ""}},
        {{dir, {"auth-id", "AUTH_9"}}, "pw\n", 1, {"AUTH_4", ""}},
        {{printer, dir, {"auth-id", "AUTH_10"}, {"clear", "true"}}, "pw\n", 1, {"AUTH_4", ""}},
        {{printer, dir}, "", 0, {"AUTH_4", ""}, "AuthID: set\nPassword: not set\n"},  // only tells
        {{printer, dir, {"auth-id", ""}}, "pw\n", 0, {"", "pw"}},
        {{printer, dir}, "", 0, {"", "pw"}, "AuthID: not set\nPassword: set\n"},
        {{printer, dir, {"clear", "true"}}, "", 0, {"", ""}},
    };
    for (const auto& k : cases) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int status = RunSubcommand(k.opts, k.input);
        std::string out = testing::internal::GetCapturedStdout();
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(status, k.status) << k.input << out << err;
        EXPECT_EQ(out.rfind(k.out, 0), 0u) << out;
        EXPECT_EQ(status == 0, err.empty()) << err;
        Loaded l = Load(t.path, "Office 2");
        EXPECT_TRUE(l.ok) << l.why;
        EXPECT_EQ(l.c.authId + "|" + l.c.password, k.after.authId + "|" + k.after.password) << k.input;
        // Neither value is ever printed.
        for (const std::string& v : {k.after.authId, k.after.password, std::string("visible")})
            EXPECT_TRUE(v.empty() || (out + err).find(v) == std::string::npos) << v;
    }
}

// The web page, served by a PAPPL system in this process on a loopback port.
namespace {

bool TestDriver(pappl_system_t*, const char*, const char*, const char*, pappl_pr_driver_data_t* d, ipp_t**, void*)
{
    snprintf(d->make_and_model, sizeof d->make_and_model, "Test Printer");
    d->raster_types = PAPPL_PWG_RASTER_TYPE_BLACK_1;
    d->num_resolution = 1;
    d->x_resolution[0] = d->y_resolution[0] = d->x_default = d->y_default = 600;
    d->num_media = 1;
    d->media[0] = "iso_a4_210x297mm";
    d->num_source = 1;
    d->source[0] = "main";
    snprintf(d->media_default.size_name, sizeof d->media_default.size_name, "iso_a4_210x297mm");
    d->media_default.size_width = 21000;
    d->media_default.size_length = 29700;
    snprintf(d->media_default.source, sizeof d->media_default.source, "main");
    d->media_ready[0] = d->media_default;
    return true;
}

pappl_system_t* gKeptSystem;  // reachable, so not reported as a leak

// Port 0: binds and returns a free port. Otherwise connects and closes,
// which wakes the server's loop.
int Loopback(int port)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    socklen_t len = sizeof a;
    auto* sa = reinterpret_cast<sockaddr*>(&a);
    bool ok = s >= 0 && (port != 0 ? connect(s, sa, len) == 0 : bind(s, sa, len) == 0 && getsockname(s, sa, &len) == 0);
    if (s >= 0)
        close(s);
    return ok ? ntohs(a.sin_port) : -1;
}

struct Reply {
    int status = 0;
    std::string body;
};

// One request on a new connection; `form` is sent as a POST body.
Reply Request(int port, const std::string& path, const std::string* form = nullptr,
              const std::string& host = "127.0.0.1")
{
    Reply r;
    http_t* http = httpConnect2(host.c_str(), port, nullptr, AF_INET, HTTP_ENCRYPTION_NEVER, 1, 10000, nullptr);
    if (http == nullptr)
        return r;
    httpSetTimeout(http, 10.0, nullptr, nullptr);
    httpClearFields(http);
    http_status_t status = HTTP_STATUS_ERROR;
    if (form != nullptr) {
        httpSetField(http, HTTP_FIELD_CONTENT_TYPE, "application/x-www-form-urlencoded");
        httpSetLength(http, form->size());
        if (httpPost(http, path.c_str()) == 0 && httpWrite2(http, form->data(), form->size()) == ssize_t(form->size()))
            status = HTTP_STATUS_CONTINUE;
    } else if (httpGet(http, path.c_str()) == 0) {
        status = HTTP_STATUS_CONTINUE;
    }
    while (status == HTTP_STATUS_CONTINUE)
        status = httpUpdate(http);
    r.status = status;
    char buf[4096];
    ssize_t n;
    while ((n = httpRead2(http, buf, sizeof buf)) > 0)
        r.body.append(buf, size_t(n));
    httpClose(http);
    return r;
}

// An IPv4 address of this host that is not a loopback one, if any.
std::string NonLoopbackAddress()
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return "";
    std::string out;
    for (ifaddrs* i = list; i != nullptr && out.empty(); i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET || (i->ifa_flags & IFF_LOOPBACK) != 0 ||
            (i->ifa_flags & IFF_UP) == 0)
            continue;
        char text[INET_ADDRSTRLEN];
        if (inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr, text, sizeof text) != nullptr)
            out = text;
    }
    freeifaddrs(list);
    return out;
}

std::string Token(const std::string& page)
{
    const std::string key = "name=\"session\" value=\"";
    size_t at = page.find(key) == std::string::npos ? page.size() : page.find(key) + key.size();
    return page.substr(at, page.find('"', at) - at);
}

}  // namespace

TEST(AppCredentialsWeb, PageSetsAndNeverShowsBack)
{
    TempDir t;
    std::string state = t.path + "/state", spool = t.path + "/spool", log = t.path + "/log";
    ASSERT_EQ(mkdir(state.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(spool.c_str(), 0700), 0);
    int port = Loopback(0);
    ASSERT_GT(port, 0);
    pappl_system_t* system = papplSystemCreate(
        pappl_soptions_t(PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE | PAPPL_SOPTIONS_NO_TLS), "Test",
        port, nullptr, spool.c_str(), log.c_str(), PAPPL_LOGLEVEL_DEBUG, nullptr, false);
    ASSERT_NE(system, nullptr);
    ASSERT_TRUE(papplSystemAddListeners(system, "127.0.0.1"));
    std::string remote = NonLoopbackAddress();
    if (!remote.empty()) {
        ASSERT_TRUE(papplSystemAddListeners(system, remote.c_str()));
    }
    papplSystemSetFooterHTML(system, "test");
    static pappl_pr_driver_t drivers[] = {{"test", "Test", nullptr, nullptr}};
    papplSystemSetPrinterDrivers(system, 1, drivers, nullptr, nullptr, TestDriver, nullptr);
    pappl_printer_t* printer = papplPrinterCreate(system, 0, "Office 2", "test", nullptr, "file:///dev/null");
    ASSERT_NE(printer, nullptr);
    AddCredentialsPage(system, printer, state);
    AddCredentialsPage(system, printer, state);  // a second call changes nothing
    char path[256];
    papplPrinterGetPath(printer, "credentials", path, sizeof path);
    std::thread server([system] { papplSystemRun(system); });
    for (int i = 0; i < 500 && !papplSystemIsRunning(system); ++i)
        usleep(10000);

    // The printer's page links here, once.
    Reply home = Request(port, std::string(path).substr(0, std::string(path).rfind('/')) + "/");
    EXPECT_EQ(home.status, HTTP_STATUS_OK);
    EXPECT_EQ(Count(home.body, std::string(path) + "\">Credentials</a>"), 1u) << home.body;

    Reply page = Request(port, path);
    EXPECT_EQ(page.status, HTTP_STATUS_OK);
    EXPECT_NE(page.body.find("AuthID: not set. Password: not set."), std::string::npos) << page.body;
    // The form sends the fields the page reads.
    for (const char* field : {"name=\"auth_id\"", "name=\"printer_password\"", "value=\"save\"", "value=\"clear\""})
        EXPECT_NE(page.body.find(field), std::string::npos) << field;
    std::string token = Token(page.body);
    ASSERT_FALSE(token.empty()) << page.body;
    std::string pw128(128, 'q');
    struct Case {
        std::string form;  // "session=TOKEN&" is put in front unless it starts with '!'
        const char* banner;
        PrinterCredentials after;
    };
    const Case cases[] = {
        {"!auth_id=WEB_ID_1&printer_password=WEB_PW_1&action=save", "Invalid form submission.", {"", ""}},
        {"!session=forged&auth_id=WEB_ID_1&printer_password=WEB_PW_1&action=save",
         "Invalid form submission.",
         {"", ""}},
        {"auth_id=WEB_ID_1&printer_password=WEB_PW_1&action=save", "Credentials saved.", {"WEB_ID_1", "WEB_PW_1"}},
        {"auth_id=WEB_ID_3&printer_password=&action=save", "Credentials saved.", {"WEB_ID_3", "WEB_PW_1"}},
        {"auth_id=&printer_password=&action=save", "Nothing changed", {"WEB_ID_3", "WEB_PW_1"}},
        {"auth_id=WEB_ID_4&printer_password=" + pw128 + "&action=save",
         "Password is longer than 127",
         {"WEB_ID_3", "WEB_PW_1"}},
        {"auth_id=WEB%0AID&printer_password=WEB_PW_5&action=save",
         "AuthID contains a control",
         {"WEB_ID_3", "WEB_PW_1"}},
        {"auth_id=WEB_ID_6&printer_password=WEB_PW_6&action=clear", "Credentials removed.", {"", ""}},
    };
    for (const auto& k : cases) {
        std::string form = k.form[0] == '!' ? k.form.substr(1) : "session=" + token + "&" + k.form;
        Reply r = Request(port, path, &form);
        EXPECT_EQ(r.status, HTTP_STATUS_OK) << k.form;
        EXPECT_NE(r.body.find(k.banner), std::string::npos) << k.form << "\n" << r.body;
        Loaded l = Load(state, "Office 2");
        EXPECT_TRUE(l.ok) << l.why;
        EXPECT_EQ(l.c.authId + "|" + l.c.password, k.after.authId + "|" + k.after.password) << k.form;
        std::string shown = std::string("AuthID: ") + (l.c.authId.empty() ? "not set" : "set") +
                            ". Password: " + (l.c.password.empty() ? "not set" : "set") + ".";
        EXPECT_NE(r.body.find(shown), std::string::npos) << shown << "\n" << r.body;
        EXPECT_EQ(r.body.find("WEB_"), std::string::npos) << k.form << "\n" << r.body;
    }
    // Values in a URL are never taken (PAPPL logs every request line).
    Reply q =
        Request(port, std::string(path) + "?session=" + token + "&auth_id=URL_ID&printer_password=URL_PW&action=save");
    EXPECT_EQ(q.status, HTTP_STATUS_OK);
    EXPECT_EQ(Load(state, "Office 2").c.authId + Load(state, "Office 2").c.password, "");

    // From another host, with no authentication service, nothing is shown
    // or changed (PAPPL 1.3.1's web password takes any password).
    EXPECT_FALSE(remote.empty()) << "no address but loopback: the remote case did not run";
    std::string form = "session=" + token + "&auth_id=WEB_ID_7&printer_password=WEB_PW_7&action=save";
    const std::string* forms[] = {&form, nullptr};
    for (const std::string* f : forms) {
        Reply r = remote.empty() ? Reply{HTTP_STATUS_FORBIDDEN, ""} : Request(port, path, f, remote);
        EXPECT_EQ(r.status, HTTP_STATUS_FORBIDDEN) << r.body;
        EXPECT_EQ(r.body.find("AuthID:"), std::string::npos) << r.body;
    }
    EXPECT_EQ(Load(state, "Office 2").c.authId + Load(state, "Office 2").c.password, "");
    // With an administrator password set, PAPPL's login form comes first.
    char hash[256];
    papplSystemHashPassword(system, nullptr, "admin-secret", hash, sizeof hash);
    papplSystemSetPassword(system, hash);
    Reply locked = Request(port, path);
    EXPECT_NE(locked.body.find("value=\"Login\""), std::string::npos) << locked.body;
    EXPECT_EQ(locked.body.find("AuthID:"), std::string::npos) << locked.body;

    papplSystemShutdown(system);
    Loopback(port);
    server.join();
    // Not deleted: papplSystemRun does not wait for its client threads.
    gKeptSystem = system;
    // No value reached the log, even at debug level.
    std::string logText = ReadFile(log);
    EXPECT_NE(logText.find("/credentials"), std::string::npos);
    for (const char* secret : {"WEB_ID", "WEB_PW", "admin-secret", pw128.c_str()})
        EXPECT_EQ(logText.find(secret), std::string::npos) << secret;
}
