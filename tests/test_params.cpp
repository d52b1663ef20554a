// The job parameter table, its text form, the document name, the host name
// and the authentication file.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "params/params.h"
#include "tests/testutil.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

using Values = std::vector<std::pair<std::string, std::string>>;
const std::string kUnchecked = "?";

struct Table {
    PARAM_KEY_SPERATOR_VALUE rows[kParamRows];
    Table() { memcpy(rows, tblDefParam, sizeof rows); }
    std::string Get(const char* key) const
    {
        for (const auto& r : rows)
            if (strcmp(r.key, key) == 0)
                return r.value;
        return "<missing>";
    }
    // Every row holds its default except those in `changed`.
    void ExpectDefaultsExcept(const Values& changed) const
    {
        for (int i = 0; i < kParamRows; ++i) {
            std::string want = tblDefParam[i].value;
            for (const auto& c : changed)
                want = c.first == rows[i].key ? c.second : want;
            EXPECT_EQ(rows[i].value, want) << rows[i].key;
        }
    }
};

// The text form into a buffer with room to spare; `err` receives the log.
std::string Build(Table& t, std::string* err = nullptr)
{
    std::vector<char> buf(kJobParamsTextSize + 64, '#');
    char* p = buf.data();
    CaptureStderr();
    BuildJobParams(&p, t.rows);
    std::string log = GetCapturedStderr();
    if (err != nullptr)
        *err = log;
    for (size_t i = kJobParamsTextSize; i < buf.size(); ++i)
        EXPECT_EQ(buf[i], '#') << "written past the buffer at " << i;
    return buf.data();
}

const char kDefaultText[] =
    "PageSize=A4, Resolution=600dpi, resX=600dpi, resY=600dpi, FeedEdge=0, Collate=False, Duplex=None, "
    "MediaType=Plain, InputSlot=MainTray, number-up=1, job-uuid=, job-originating-host-name=, "
    "date-time-at-creation=, date-time-at-processing=, time-at-creation=, time-at-processing=, copies=1, "
    "jobId=, DocName=, HostName=, LoginName=, AuthID=, AuthPassword=, Border=1, ";

}  // namespace

TEST(JobParamsText, DefaultFullAndSeparatorlessTables)
{
    Table t;
    std::string err;
    EXPECT_EQ(Build(t, &err), kDefaultText);
    EXPECT_EQ(strlen(kDefaultText), 362u);
    EXPECT_EQ(err, std::string("BuildJobParams:") + kDefaultText + "\n");
    t.ExpectDefaultsExcept({});

    t.rows[9].sperator[0] = '\0';  // number-up: the value alone, and the whole token as value
    EXPECT_NE(Build(t).find("InputSlot=MainTray, 1, job-uuid=, "), std::string::npos);
    CaptureStderr();
    GetJobParamFromCups("number-up=4", t.rows);
    for (auto& r : t.rows)
        SetJobParam(r.key, std::string(300, 'v').c_str(), t.rows);
    GetCapturedStderr();
    EXPECT_EQ(t.Get("Border"), std::string(255, 'v'));
    EXPECT_EQ(Build(t).size(), kJobParamsTextSize - 1 - strlen("number-up="));
    t.rows[9].sperator[0] = '=';
    EXPECT_EQ(Build(t).size(), kJobParamsTextSize - 1);  // the longest text, 6,436 characters
}

TEST(JobParamsFromCups, TokensSetTheFirstRowWhoseNameTheyContain)
{
    const std::string longDoc = "DocName=" + std::string(600, 'd');
    struct Case {
        std::string options, log;  // log: the whole standard error, or kUnchecked
        Values changed;
    } cases[] = {
        {"PageSize=A5 number-up=2",
         "One_Param:PageSize=A5 , Len:11\nKey:PageSize , Length:8\nValue:A5 , Length:2\n"
         "One_Param:number-up=2 , Len:11\nKey:number-up , Length:9\nValue:2 , Length:1\n",
         {{"PageSize", "A5"}, {"number-up", "2"}}},
        {"job-uuid= Duplex=DuplexTumble", kUnchecked, {{"Duplex", "DuplexTumble"}}},
        {"Collate", "One_Param:Collate , Len:7\nKey:Collate , Length:7\nValue:False , Length:5\n", {}},
        {"date-time-at-creation=X time-at-processing=W", kUnchecked,
         {{"date-time-at-creation", "X"}, {"time-at-processing", "W"}}},
        {"time-at-creation=Y", kUnchecked, {{"time-at-creation", "Y"}}},
        {"number-up-layout=lrtb", kUnchecked, {{"number-up", "layout=lrtb"}}},
        {"xxBorder=0", kUnchecked, {{"Border", "r=0"}}},  // counted from the token's start
        {"media=A4", "One_Param:media=A4 , Len:8\n", {}},
        // Two blanks make an empty token; a trailing blank and an empty text make none.
        {"media=A4  sides=x ", "One_Param:media=A4 , Len:8\nOne_Param: , Len:0\nOne_Param:sides=x , Len:7\n", {}},
        {"", "", {}},
        {"DocName=a\tBorder=0\nSTATE:",  // only the blank ends a token; control characters escaped in the log
         "One_Param:DocName=a\\tBorder=0\\nSTATE: , Len:25\nKey:DocName , Length:7\nValue:a\\tBorder=0\\nSTATE: , Length:17\n",
         {{"DocName", "a\tBorder=0\nSTATE:"}}},
        {"AuthPassword=0ther",
         "One_Param:AuthPassword=**** , Len:18\nKey:AuthPassword , Length:12\nValue:**** , Length:5\n",
         {{"AuthPassword", "0ther"}}},
        {longDoc + " Border=0",
         "One_Param:" + longDoc.substr(0, 511) + " , Len:511\nKey:DocName , Length:7\nValue:" + std::string(255, 'd') +
             " , Length:255\nOne_Param:Border=0 , Len:8\nKey:Border , Length:6\nValue:0 , Length:1\n",
         {{"DocName", std::string(255, 'd')}, {"Border", "0"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options.substr(0, 60));
        Table t;
        CaptureStderr();
        GetJobParamFromCups(c.options.c_str(), t.rows);
        std::string err = GetCapturedStderr();
        EXPECT_TRUE(c.log == kUnchecked || err == c.log) << err;
        t.ExpectDefaultsExcept(c.changed);
    }
}

TEST(JobParamsByName, ExactNamesZeroFilledCutValues)
{
    Table t;
    char marker[] = "untouched";
    char* p = marker;
    CaptureStderr();
    GetJobParam("pagesize", &p, t.rows);
    GetJobParam("PageSize ", &p, t.rows);
    SetJobParam("Page", "A5", t.rows);
    SetJobParam("NoSuchKey", "A5", t.rows);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(p, marker);
    t.ExpectDefaultsExcept({});

    CaptureStderr();
    GetJobParam("Duplex", &p, t.rows);
    GetJobParamFromCups("Duplex=DuplexNoTumble", t.rows);
    SetJobParam("Duplex", "None", t.rows);
    SetJobParam("LoginName", std::string(400, 'x').c_str(), t.rows);
    SetJobParam("DocName", "report.pdf", t.rows);
    char* doc = nullptr;
    GetJobParam("DocName", &doc, t.rows);
    SetJobParam("DocName", doc, t.rows);  // a value taken from its own row
    std::string err = GetCapturedStderr();
    EXPECT_EQ(err.substr(0, err.find('\n') + 1), "GetJobParam:[Duplex , None ]\n");
    EXPECT_NE(err.find("\nSetJobParam:[Duplex , None ]\n"), std::string::npos);
    EXPECT_EQ(p, t.rows[6].value);  // points into the table
    EXPECT_EQ(std::string(t.rows[6].value, sizeof t.rows[6].value), "None" + std::string(252, '\0'));
    EXPECT_EQ(t.Get("LoginName"), std::string(255, 'x'));
    EXPECT_STREQ(t.rows[21].key, "AuthID");  // the next row is intact
    EXPECT_EQ(t.Get("DocName"), "report.pdf");
}

TEST(JobParamsPassword, MaskedInEveryLogLineButKeptForThePrinter)
{
    Table t;
    EXPECT_EQ(JobParamsForLog(t.rows), kDefaultText);  // an empty password stays empty
    CaptureStderr();
    SetJobParam("AuthPassword", "s3cr3t", t.rows);
    char* p = nullptr;
    GetJobParam("AuthPassword", &p, t.rows);
    SetJobParam("DocName", "a, b=c\nd", t.rows);
    std::string err = GetCapturedStderr(), buildErr;
    std::string text = Build(t, &buildErr);
    EXPECT_NE(text.find("DocName=a, b=c\nd, "), std::string::npos);  // written as they are
    EXPECT_NE(text.find("AuthPassword=s3cr3t, "), std::string::npos);
    EXPECT_EQ(err,
              "SetJobParam:[AuthPassword , **** ]\nGetJobParam:[AuthPassword , **** ]\n"
              "SetJobParam:[DocName , a, b=c\\nd ]\n");
    // The log text is the printer's text with only the password and the control characters changed.
    std::string expected = text;
    expected.replace(expected.find("AuthPassword=s3cr3t"), 19, "AuthPassword=****");
    expected.replace(expected.find("c\nd"), 3, "c\\nd");
    EXPECT_EQ(JobParamsForLog(t.rows), expected);
    EXPECT_EQ(buildErr, "BuildJobParams:" + expected + "\n");
    EXPECT_EQ(OptionsForLog("a AuthPassword=pw  xAuthPassword=q AuthPassword= b\n"),
              "a AuthPassword=****  xAuthPassword**** AuthPassword= b\\n");
}

TEST(LogSafe, EscapesControlCharactersAndBackslash)
{
    EXPECT_EQ(LogSafe("a\nb\rc\td\\e\x01\x1f\x7f"), "a\\nb\\rc\\td\\\\e\\x01\\x1f\\x7f");
    EXPECT_EQ(LogSafe("plain text, = ok"), "plain text, = ok");
    EXPECT_EQ(LogSafe("Gr\xc3\xbc\xc3\x9f"), "Gr\xc3\xbc\xc3\x9f");
    EXPECT_EQ(LogSafe(nullptr), "");
    EXPECT_EQ(LogSafe("a\0b", 3), "a\\x00b");
}

TEST(DocumentName, LastComponentCutAtTheFirstBlankAfterTheDot)
{
    const std::string kEnter = "DEBUG: Enter getDocumenName!\n", kExit = "DEBUG: Exit getDocumenName!\n";
    const std::string kNoDir = "DEBUG: getDocumenName:param not include dir.\n";
    const std::string kDot = "DEBUG: getDocumenName:find expanded flag.\n";
    struct Case {
        std::string title, name, log;
    } cases[] = {
        {"/home/user/report.pdf", "report.pdf", kEnter + "DEBUG: getDocumenName:remove dir.\n" + kDot + kExit},
        {"report.pdf and more words", "report.pdf",
         kEnter + kNoDir + kDot + "DEBUG: getDocumenName:set DocName string terminal.\n" + kExit},
        {"My Letter  to you", "My Letter  to you", kEnter + kNoDir + kExit},
        {"annual report.pdf", "annual report.pdf", kUnchecked},
        {"/a.b c/my doc.x y", "my doc.x", kUnchecked},
        {"/home/user/", "", kUnchecked},
        {"", "", kUnchecked},
        {"/dir/" + std::string(300, 'n') + ".pdf", std::string(255, 'n'), kUnchecked},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title.substr(0, 40));
        char buf[256];
        memset(buf, 'Z', sizeof buf);
        char* p = buf;
        CaptureStderr();
        getDocumenName(c.title.c_str(), &p);
        std::string err = GetCapturedStderr();
        EXPECT_EQ(p, buf);
        EXPECT_EQ(std::string(buf, strnlen(buf, sizeof buf)), c.name);
        EXPECT_TRUE(c.log == kUnchecked || err == c.log) << err;
    }
}

TEST(HostName, StoredAndLogged)
{
    Table t;
    char host[65] = {0};
    ASSERT_EQ(gethostname(host, 64), 0);
    CaptureStderr();
    SetHostNameParam(t.rows);
    EXPECT_EQ(GetCapturedStderr(), "HostName: " + LogSafe(host) + "\nSetJobParam:[HostName , " + LogSafe(host) + " ]\n");
    EXPECT_EQ(t.Get("HostName"), host);
}

TEST(AuthFile, ContentAndKindOfFile)
{
    const char* kPath = "/tmp/auth/auth_config";
    const std::string kRead = "DEBUG: Enter getAuthInfo!\nDEBUG: create  json_string!\n";
    const std::string kParsed = kRead + "DEBUG: Parse  json_string!\n", kOk = "DEBUG: Exit  getAuthInfo!\n";
    const std::string kParseError = kRead + "DEBUG: Error parsing JSON\nDEBUG: Exit  getAuthInfo with error!\n";
    const std::string head = R"({"AuthID":"big")";
    auto fifo = [] { return mkfifo("/tmp/auth/auth_config", 0600) == 0; };
    auto dir = [] { return mkdir("/tmp/auth/auth_config", 0700) == 0; };
    auto link = [] { return symlink("/tmp/auth/real", "/tmp/auth/auth_config") == 0; };
    struct Case {
        std::string content;  // the file's bytes, unless `make` puts something else there
        bool ok;
        std::string id, password, log;
        bool (*make)() = nullptr;
    } cases[] = {
        {R"({"AuthID": "alice", "Password": "pa55w0rd", "Other": "x"})", true, "alice", "pa55w0rd",
         kParsed + "DEBUG: AuthID: alice\nDEBUG: Password: ****\n" + kOk},
        {R"({"AuthID":"bob"})", true, "bob", "", kParsed + "DEBUG: AuthID: bob\n" + kOk},
        {"", false, "", "", kParseError},
        {"not json", false, "", "", kParseError},
        {"{\"AuthID\":\"a\"", false, "", "", kParseError},
        {R"({"authid":"a","password":"b"})", true, "", "", kParsed + kOk},
        {R"({"AuthID":5,"Password":["p"]})", true, "", "", kUnchecked},
        {R"(["AuthID","alice"])", true, "", "", kParsed + kOk},
        {"{\"AuthID\":\"" + std::string(200, 'i') + "\",\"Password\":\"" + std::string(500, 'p') + "\"}", true,
         std::string(127, 'i'), std::string(127, 'p'), kUnchecked},
        {R"({"AuthID":"a\nSTATE: +x"})", true, "a\nSTATE: +x", "", kParsed + "DEBUG: AuthID: a\\nSTATE: +x\n" + kOk},
        {std::string(200000, '['), false, "", "", kUnchecked},
        {"{\"AuthID\":\"deep\",\"x\":" + std::string(100, '[') + std::string(100, ']') + "}", true, "deep", "", kUnchecked},
        {head + std::string(64 * 1024 - head.size() - 1, ' ') + "}", true, "big", "", kUnchecked},  // 64 KiB
        {head + std::string(64 * 1024 - head.size(), ' ') + "}", false, "", "",
         "DEBUG: Enter getAuthInfo!\nDEBUG: auth_file is larger than 65536 bytes!\n"
         "DEBUG: Exit  getAuthInfo with error!\n"},
        {std::string("{\"AuthID\":\"a\"}\0garbage", 23), true, "a", "", kUnchecked},
        {"missing", false, "", "", "DEBUG: Enter getAuthInfo!\nDEBUG: auth_file is not found!\n", [] { return true; }},
        {"FIFO", false, "", "", kUnchecked, fifo},
        {"directory", false, "", "", kUnchecked, dir},
        {"symlink", false, "", "", kUnchecked, link},
    };
    mkdir("/tmp/auth", 0755);
    ASSERT_TRUE(WriteFile("/tmp/auth/real", R"({"AuthID":"linked"})"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content.substr(0, 60));
        unlink(kPath);
        rmdir(kPath);
        ASSERT_TRUE(c.make != nullptr ? c.make() : WriteFile(kPath, c.content));
        char id[128] = {0}, pw[128] = {0};
        char *ip = id, *pp = pw;
        CaptureStderr();
        EXPECT_EQ(getAuthInfo(&ip, &pp), c.ok);
        std::string err = GetCapturedStderr();
        EXPECT_EQ(std::string(id, strnlen(id, sizeof id)), c.id);
        EXPECT_EQ(std::string(pw, strnlen(pw, sizeof pw)), c.password);
        EXPECT_TRUE(c.log == kUnchecked || err == c.log) << err;
    }
    unlink(kPath);
    rmdir(kPath);
}
