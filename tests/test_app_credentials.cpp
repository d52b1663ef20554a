// The printer application's per-printer credentials: the file store (names,
// modes, ownership, refusals, atomic replacement) and the "credentials"
// sub-command that fills it from standard input.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <set>
#include <string>
#include <netinet/in.h>
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
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return out;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..")
            out.push_back(n);
    }
    closedir(d);
    return out;
}

mode_t Mode(const std::string& path)
{
    struct stat st;
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st.st_mode;
}

PrinterCredentials Loaded(const std::string& state, const std::string& printer, bool* ok, std::string* why)
{
    PrinterCredentials c{"stale", "stale"};
    *ok = LoadCredentials(state, printer, &c, why);
    return c;
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

TEST(AppCredentials, RoundTripAndReplace)
{
    const PrinterCredentials cases[] = {
        {"", ""},
        {"user-1", "s3cret"},
        {"quote\"back\\slash/", "p\"w\\{}[],:"},
        {"Jürgen Ærø 東京", "пароль"},
        {std::string(127, 'a'), std::string(127, 'b')},
        {"only-id", ""},
        {"", "only-password"},
    };
    TempDir t;
    std::string state = t.path + "/state";
    for (const auto& c : cases) {
        std::string why;
        ASSERT_TRUE(SaveCredentials(state, "P", c, &why)) << why;
        bool ok;
        PrinterCredentials got = Loaded(state, "P", &ok, &why);
        EXPECT_TRUE(ok) << why;
        EXPECT_EQ(got.authId, c.authId);
        EXPECT_EQ(got.password, c.password);
        // Each save replaces the one file; no temporary file is left.
        EXPECT_EQ(List(state + "/credentials").size(), 1u);
    }
}

TEST(AppCredentials, ModesWhateverTheUmask)
{
    TempDir t;
    std::string state = t.path + "/a/b/state";  // missing parents are made too
    mode_t old = umask(0);
    std::string why;
    bool saved = SaveCredentials(state, "P", {"id", "pw"}, &why);
    umask(old);
    ASSERT_TRUE(saved) << why;
    EXPECT_EQ(Mode(state + "/credentials") & 07777, 0700u);
    auto files = List(state + "/credentials");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(Mode(state + "/credentials/" + files[0]) & 07777, 0600u);
    EXPECT_TRUE(S_ISREG(Mode(state + "/credentials/" + files[0])));
}

TEST(AppCredentials, PrinterNamesStayDistinctAndInside)
{
    const std::string longAscii(127, ' ');
    std::string longUtf8;
    while (longUtf8.size() + 3 <= 127)
        longUtf8 += "東";
    const std::vector<std::string> names = {
        "../x", "a/b",     "a%2Fb",     "a_b",       "a b",    "a%20b",        "x y",       ".",
        "..",   ".hidden", "%2E",       "%2Ehidden", "~x",     "B\xC3\xBCro",  "B%C3%BCro", "\xC3\xA9",
        "/",    "//",      "a/../../b", longAscii,   longUtf8, longUtf8 + "x",
    };
    TempDir t;
    std::string state = t.path + "/state";
    ASSERT_EQ(mkdir(state.c_str(), 0700), 0);
    for (size_t i = 0; i < names.size(); ++i) {
        std::string why;
        EXPECT_TRUE(SaveCredentials(state, names[i], {"id" + std::to_string(i), "pw" + std::to_string(i)}, &why))
            << names[i] << ": " << why;
    }
    // One visible regular file per name, all in the credentials directory,
    // nothing anywhere else.
    auto files = List(state + "/credentials");
    EXPECT_EQ(files.size(), names.size());
    for (const auto& f : files) {
        EXPECT_NE(f[0], '.') << f;
        EXPECT_TRUE(S_ISREG(Mode(state + "/credentials/" + f))) << f;
    }
    EXPECT_EQ(List(state), std::vector<std::string>{"credentials"});
    EXPECT_EQ(List(t.path), std::vector<std::string>{"state"});
    for (size_t i = 0; i < names.size(); ++i) {
        bool ok;
        std::string why;
        PrinterCredentials c = Loaded(state, names[i], &ok, &why);
        EXPECT_TRUE(ok) << names[i] << ": " << why;
        EXPECT_EQ(c.authId, "id" + std::to_string(i)) << names[i];
    }

    // Names no printer can have.
    const std::string refused[] = {"", std::string(128, 'n'), "a\nb", "tab\t", "del\x7f"};
    for (const auto& name : refused) {
        std::string why;
        EXPECT_FALSE(SaveCredentials(state, name, {"id", "pw"}, &why)) << name;
        EXPECT_NE(why.find("printer name"), std::string::npos) << why;
        bool ok;
        Loaded(state, name, &ok, &why);
        EXPECT_FALSE(ok) << name;
    }
    EXPECT_EQ(List(state + "/credentials").size(), names.size());
}

TEST(AppCredentials, ValuesTheJobRecordCannotHoldAreRefused)
{
    struct Case {
        PrinterCredentials c;
        const char* field;
        const char* secret;  // must not appear in the reason
    };
    const Case cases[] = {
        {{std::string(128, 'i'), "pw"}, "AuthID", nullptr},
        {{"id", std::string(120, 'p') + "SECRET12"}, "Password", "SECRET12"},
        {{"id\n", "pw"}, "AuthID", nullptr},
        {{"id", "SECRET\r"}, "Password", "SECRET"},
        {{"id", "SECRET\t"}, "Password", "SECRET"},
        {{"\x1b[2Jid", "pw"}, "AuthID", nullptr},
        {{"id", "SECRET\x7f"}, "Password", "SECRET"},
    };
    TempDir t;
    std::string why;
    ASSERT_TRUE(SaveCredentials(t.path, "P", {"kept-id", "kept-pw"}, &why)) << why;
    for (const auto& k : cases) {
        why.clear();
        EXPECT_FALSE(SaveCredentials(t.path, "P", k.c, &why));
        EXPECT_EQ(why.rfind(k.field, 0), 0u) << why;
        if (k.secret != nullptr) {
            EXPECT_EQ(why.find(k.secret), std::string::npos) << why;
        }
        bool ok;
        PrinterCredentials got = Loaded(t.path, "P", &ok, &why);
        EXPECT_TRUE(ok);
        EXPECT_EQ(got.authId, "kept-id");
        EXPECT_EQ(got.password, "kept-pw");
    }
    EXPECT_EQ(List(t.path + "/credentials").size(), 1u);
}

TEST(AppCredentials, MissingMeansEmpty)
{
    TempDir t;
    std::string why;
    bool ok;
    // No state directory, no credentials directory, no file.
    for (const std::string& state : {t.path + "/none", t.path}) {
        PrinterCredentials c = Loaded(state, "P", &ok, &why);
        EXPECT_TRUE(ok) << why;
        EXPECT_EQ(c.authId, "");
        EXPECT_EQ(c.password, "");
        EXPECT_TRUE(RemoveCredentials(state, "P", &why)) << why;
    }
    ASSERT_TRUE(SaveCredentials(t.path, "other", {"id", "pw"}, &why)) << why;
    PrinterCredentials c = Loaded(t.path, "P", &ok, &why);
    EXPECT_TRUE(ok) << why;
    EXPECT_EQ(c.authId + c.password, "");
    EXPECT_NE(access((t.path + "/none").c_str(), F_OK), 0);  // loading and removing create nothing

    ASSERT_TRUE(SaveCredentials(t.path, "P", {"id", "pw"}, &why)) << why;
    EXPECT_TRUE(RemoveCredentials(t.path, "P", &why)) << why;
    c = Loaded(t.path, "P", &ok, &why);
    EXPECT_TRUE(ok);
    EXPECT_EQ(c.authId + c.password, "");
    EXPECT_EQ(List(t.path + "/credentials").size(), 1u);  // "other" stays
}

TEST(AppCredentials, DamagedFilesAreRefusedWithAReason)
{
    struct Case {
        std::string text;
        const char* reason;
    };
    const Case cases[] = {
        {"", "not valid JSON"},
        {"{\"AuthID\": \"a\"", "not valid JSON"},
        {"[\"AuthID\", \"Password\"]", "JSON object"},
        {"\"text\"", "JSON object"},
        {"{\"AuthID\": 5, \"Password\": \"pw\"}", "not a string"},
        {"{\"AuthID\": \"id\", \"Password\": null}", "not a string"},
        {"{\"AuthID\": \"a\\nb\"}", "control character"},
        {"{\"Password\": \"" + std::string(128, 'p') + "\"}", "longer than 127"},
        {"{\"AuthID\": \"id\"}" + std::string(5000, ' '), "larger than"},
    };
    TempDir t;
    std::string file = FileOf(t.path, "P");
    for (const auto& k : cases) {
        ASSERT_TRUE(WriteFile(file, k.text));
        ASSERT_EQ(chmod(file.c_str(), 0600), 0);
        bool ok;
        std::string why;
        PrinterCredentials c = Loaded(t.path, "P", &ok, &why);
        EXPECT_FALSE(ok) << k.text;
        EXPECT_NE(why.find(k.reason), std::string::npos) << k.text << " -> " << why;
        EXPECT_EQ(c.authId + c.password, "") << k.text;
    }
    // Members may be missing: the file then sets only the other one.
    ASSERT_TRUE(WriteFile(file, "{\"AuthID\": \"id\"}"));
    bool ok;
    std::string why;
    PrinterCredentials c = Loaded(t.path, "P", &ok, &why);
    EXPECT_TRUE(ok) << why;
    EXPECT_EQ(c.authId, "id");
    EXPECT_EQ(c.password, "");
}

TEST(AppCredentials, OpenOrForeignFilesAndDirectoriesAreRefused)
{
    TempDir t;
    std::string file = FileOf(t.path, "P");
    std::string dir = t.path + "/credentials";
    struct Case {
        std::string path;
        mode_t mode;
        uid_t owner;
        const char* reason;
        bool saveRefused;  // a bad directory stops saving too
    };
    const Case cases[] = {
        {file, 0640, 0, "mode 0640", false}, {file, 0604, 0, "mode 0604", false}, {file, 0620, 0, "mode 0620", false},
        {dir, 0750, 0, "mode 0750", true},   {dir, 0701, 0, "mode 0701", true},
    };
    for (const auto& k : cases) {
        ASSERT_EQ(chmod(k.path.c_str(), k.mode), 0);
        bool ok;
        std::string why;
        Loaded(t.path, "P", &ok, &why);
        EXPECT_FALSE(ok) << k.reason;
        EXPECT_NE(why.find(k.reason), std::string::npos) << why;
        EXPECT_EQ(SaveCredentials(t.path, "P", {"id", "pw"}, &why), !k.saveRefused) << k.reason;
        ASSERT_EQ(chmod(file.c_str(), 0600), 0);
        ASSERT_EQ(chmod(dir.c_str(), 0700), 0);
    }
    if (geteuid() != 0)
        GTEST_SKIP() << "ownership cases need root";
    for (const std::string& path : {file, dir}) {
        ASSERT_EQ(chown(path.c_str(), kNobody, kNobody), 0);
        bool ok;
        std::string why;
        Loaded(t.path, "P", &ok, &why);
        EXPECT_FALSE(ok) << path;
        EXPECT_NE(why.find("owned by uid 65534"), std::string::npos) << why;
        ASSERT_EQ(chown(path.c_str(), 0, 0), 0);
    }
}

TEST(AppCredentials, SymbolicLinksAreNotFollowed)
{
    TempDir t;
    std::string file = FileOf(t.path, "P");
    std::string outside = t.path + "/outside.json";
    ASSERT_TRUE(WriteFile(outside, "{\"AuthID\": \"planted\", \"Password\": \"planted\"}"));
    ASSERT_EQ(chmod(outside.c_str(), 0600), 0);
    ASSERT_EQ(unlink(file.c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), file.c_str()), 0);
    bool ok;
    std::string why;
    PrinterCredentials c = Loaded(t.path, "P", &ok, &why);
    EXPECT_FALSE(ok);
    EXPECT_NE(why.find("symbolic link"), std::string::npos) << why;
    EXPECT_EQ(c.authId, "");
    // Saving replaces the link itself, never what it points to.
    ASSERT_TRUE(SaveCredentials(t.path, "P", {"new", "new"}, &why)) << why;
    EXPECT_TRUE(S_ISREG(Mode(file)));
    EXPECT_EQ(ReadFile(outside), "{\"AuthID\": \"planted\", \"Password\": \"planted\"}");

    // A credentials directory that is a link is refused for both.
    TempDir u;
    std::string elsewhere = u.path + "/elsewhere";
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
    ASSERT_EQ(symlink(elsewhere.c_str(), (u.path + "/credentials").c_str()), 0);
    Loaded(u.path, "P", &ok, &why);
    EXPECT_FALSE(ok);
    EXPECT_NE(why.find("not a directory"), std::string::npos) << why;
    EXPECT_FALSE(SaveCredentials(u.path, "P", {"id", "pw"}, &why));
    EXPECT_EQ(List(elsewhere).size(), 0u);
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

    if (geteuid() != 0)
        GTEST_SKIP() << "the read-only case needs a second user";
    // A store the writer may read but not write.
    TempDir u;
    ASSERT_EQ(chown(u.path.c_str(), kNobody, kNobody), 0);
    int status = AsUser(kNobody, [&] {
        std::string w;
        if (!SaveCredentials(u.path, "P", {"id", "pw"}, &w))
            return 1;
        if (chmod((u.path + "/credentials").c_str(), 0500) != 0)
            return 2;
        if (SaveCredentials(u.path, "P", {"id2", "pw2"}, &w))
            return 3;
        if (List(u.path + "/credentials").size() != 1)
            return 4;
        PrinterCredentials c;
        return LoadCredentials(u.path, "P", &c, &w) && c.authId == "id" ? 0 : 5;
    });
    EXPECT_EQ(status, 0);
}

TEST(AppCredentials, RootWritesForTheStateDirectorysOwner)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    // The administrator sets the credentials as root; the service, running
    // as the state directory's owner, must be able to read them.
    TempDir t;
    ASSERT_EQ(chown(t.path.c_str(), kNobody, kNobody), 0);
    std::string why;
    ASSERT_TRUE(SaveCredentials(t.path, "P", {"id", "pw"}, &why)) << why;
    struct stat st;
    ASSERT_EQ(stat((t.path + "/credentials").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kNobody);
    auto files = List(t.path + "/credentials");
    ASSERT_EQ(files.size(), 1u);
    ASSERT_EQ(stat((t.path + "/credentials/" + files[0]).c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kNobody);
    int status = AsUser(kNobody, [&] {
        PrinterCredentials c;
        std::string w;
        return LoadCredentials(t.path, "P", &c, &w) && c.authId == "id" && c.password == "pw" ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
    bool ok;
    PrinterCredentials c = Loaded(t.path, "P", &ok, &why);
    EXPECT_TRUE(ok) << why;
    EXPECT_EQ(c.password, "pw");
}

// The sub-command as papplMainloop calls it, with `input` on standard input.
static int RunSubcommand(const std::vector<std::pair<std::string, std::string>>& opts, const std::string& input)
{
    cups_option_t* options = nullptr;
    int n = 0;
    for (const auto& [name, value] : opts)
        n = cupsAddOption(name.c_str(), value.c_str(), n, &options);
    char path[] = "/tmp/stdin.XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, input.data(), input.size()), ssize_t(input.size()));
    EXPECT_EQ(lseek(fd, 0, SEEK_SET), 0);
    unlink(path);
    int saved = dup(STDIN_FILENO);
    dup2(fd, STDIN_FILENO);
    close(fd);
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
        {{printer, dir, {"auth-id", "AUTH_3"}}, "no newline", 0, {"AUTH_3", "no newline"}},
        {{printer, dir, {"auth-id", "AUTH_4"}}, "\n", 0, {"AUTH_4", ""}},
        // Refusals leave the last saved values.
        {{printer, dir, {"auth-id", "AUTH_5"}}, "", 1, {"AUTH_4", ""}},
        {{printer, dir, {"auth-id", std::string(128, 'x')}}, "pw\n", 1, {"AUTH_4", ""}},
        {{printer, dir, {"auth-id", "AUTH_6"}}, "tab\there\n", 1, {"AUTH_4", ""}},
        {{printer, dir, {"auth-id", "AUTH_7"}, {"password", "visible"}}, "pw\n", 1, {"AUTH_4", ""}},
        {{printer, dir, {"auth-id", "AUTH_8"}, {"job-id", "3"}}, "pw\n", 1, {"AUTH_4", ""}},
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
        PrinterCredentials c;
        std::string why;
        EXPECT_TRUE(LoadCredentials(t.path, "Office 2", &c, &why)) << why;
        EXPECT_EQ(c.authId, k.after.authId) << k.input;
        EXPECT_EQ(c.password, k.after.password) << k.input;
        // Neither value is ever printed.
        if (!k.after.authId.empty()) {
            EXPECT_EQ(out.find(k.after.authId), std::string::npos) << out;
            EXPECT_EQ(err.find(k.after.authId), std::string::npos) << err;
        }
        if (!k.after.password.empty()) {
            EXPECT_EQ((out + err).find(k.after.password), std::string::npos);
        }
        EXPECT_EQ((out + err).find("visible"), std::string::npos);
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

int FreePort()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return -1;
    close(s);
    return ntohs(a.sin_port);
}

// A connection opened and closed: the server's loop wakes up.
void Poke(int port)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    if (s >= 0) {
        (void)connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        close(s);
    }
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
    http_status_t status;
    if (form != nullptr) {
        httpSetField(http, HTTP_FIELD_CONTENT_TYPE, "application/x-www-form-urlencoded");
        httpSetLength(http, form->size());
        if (httpPost(http, path.c_str()) == 0 && httpWrite2(http, form->data(), form->size()) == ssize_t(form->size()))
            while ((status = httpUpdate(http)) == HTTP_STATUS_CONTINUE) {}
        else
            status = HTTP_STATUS_ERROR;
    } else if (httpGet(http, path.c_str()) == 0) {
        while ((status = httpUpdate(http)) == HTTP_STATUS_CONTINUE) {}
    } else {
        status = HTTP_STATUS_ERROR;
    }
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
    size_t at = page.find(key);
    if (at == std::string::npos)
        return "";
    at += key.size();
    return page.substr(at, page.find('"', at) - at);
}

}  // namespace

TEST(AppCredentialsWeb, PageSetsAndNeverShowsBack)
{
    TempDir t;
    std::string state = t.path + "/state", spool = t.path + "/spool", log = t.path + "/log";
    ASSERT_EQ(mkdir(state.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(spool.c_str(), 0700), 0);
    int port = FreePort();
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
        {"auth_id=&printer_password=WEB_PW_2&action=save", "Credentials saved.", {"WEB_ID_1", "WEB_PW_2"}},
        {"auth_id=WEB_ID_3&printer_password=&action=save", "Credentials saved.", {"WEB_ID_3", "WEB_PW_2"}},
        {"auth_id=&printer_password=&action=save", "Nothing changed", {"WEB_ID_3", "WEB_PW_2"}},
        {"auth_id=WEB_ID_4&printer_password=" + pw128 + "&action=save",
         "Password is longer than 127",
         {"WEB_ID_3", "WEB_PW_2"}},
        {"auth_id=WEB%0AID&printer_password=WEB_PW_5&action=save",
         "AuthID contains a control",
         {"WEB_ID_3", "WEB_PW_2"}},
        {"auth_id=WEB_ID_6&printer_password=WEB_PW_6&action=clear", "Credentials removed.", {"", ""}},
    };
    for (const auto& k : cases) {
        std::string form = k.form[0] == '!' ? k.form.substr(1) : "session=" + token + "&" + k.form;
        Reply r = Request(port, path, &form);
        EXPECT_EQ(r.status, HTTP_STATUS_OK) << k.form;
        EXPECT_NE(r.body.find(k.banner), std::string::npos) << k.form << "\n" << r.body;
        PrinterCredentials c;
        std::string why;
        EXPECT_TRUE(LoadCredentials(state, "Office 2", &c, &why)) << why;
        EXPECT_EQ(c.authId, k.after.authId) << k.form;
        EXPECT_EQ(c.password, k.after.password) << k.form;
        std::string shown = std::string("AuthID: ") + (c.authId.empty() ? "not set" : "set") +
                            ". Password: " + (c.password.empty() ? "not set" : "set") + ".";
        EXPECT_NE(r.body.find(shown), std::string::npos) << shown << "\n" << r.body;
        EXPECT_EQ(r.body.find("WEB_"), std::string::npos) << k.form << "\n" << r.body;
    }
    // Values in a URL are never taken (PAPPL logs every request line).
    Reply q =
        Request(port, std::string(path) + "?session=" + token + "&auth_id=URL_ID&printer_password=URL_PW&action=save");
    EXPECT_EQ(q.status, HTTP_STATUS_OK);
    PrinterCredentials c;
    std::string why;
    EXPECT_TRUE(LoadCredentials(state, "Office 2", &c, &why));
    EXPECT_EQ(c.authId + c.password, "");

    // From another host, with no authentication service, nothing is shown
    // or changed (PAPPL 1.3.1's web password is no protection: it takes any
    // password).
    if (!remote.empty()) {
        std::string form = "session=" + token + "&auth_id=WEB_ID_7&printer_password=WEB_PW_7&action=save";
        const std::string* forms[] = {&form, nullptr};
        for (const std::string* f : forms) {
            Reply r = Request(port, path, f, remote);
            EXPECT_EQ(r.status, HTTP_STATUS_FORBIDDEN) << r.body;
            EXPECT_EQ(r.body.find("AuthID:"), std::string::npos) << r.body;
        }
        EXPECT_TRUE(LoadCredentials(state, "Office 2", &c, &why));
        EXPECT_EQ(c.authId + c.password, "");
    } else {
        ADD_FAILURE() << "no address but loopback: the remote case did not run";
    }
    // With an administrator password set, PAPPL's login form comes first.
    char hash[256];
    papplSystemHashPassword(system, nullptr, "admin-secret", hash, sizeof hash);
    papplSystemSetPassword(system, hash);
    Reply locked = Request(port, path);
    EXPECT_NE(locked.body.find("value=\"Login\""), std::string::npos) << locked.body;
    EXPECT_EQ(locked.body.find("AuthID:"), std::string::npos) << locked.body;

    papplSystemShutdown(system);
    Poke(port);  // wakes the listener loop at once
    server.join();
    // papplSystemRun returns without waiting for its client threads, so
    // papplSystemDelete could free the system under one of them: it stays.
    gKeptSystem = system;
    // No value reached the log, even at debug level.
    std::string logText = ReadFile(log);
    EXPECT_NE(logText.find("/credentials"), std::string::npos);
    for (const char* secret : {"WEB_ID", "WEB_PW", "admin-secret", pw128.c_str()})
        EXPECT_EQ(logText.find(secret), std::string::npos) << secret;
}
