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
                if (c.first == rows[i].key)
                    want = c.second;
            EXPECT_EQ(rows[i].value, want) << rows[i].key;
        }
    }
};

std::string Build(Table& t)
{
    char buf[kJobParamsTextSize];
    char* p = buf;
    CaptureStderr();
    BuildJobParams(&p, t.rows);
    GetCapturedStderr();
    return buf;
}

const char kDefaultText[] =
    "PageSize=A4, Resolution=600dpi, resX=600dpi, resY=600dpi, FeedEdge=0, Collate=False, Duplex=None, "
    "MediaType=Plain, InputSlot=MainTray, number-up=1, job-uuid=, job-originating-host-name=, "
    "date-time-at-creation=, date-time-at-processing=, time-at-creation=, time-at-processing=, copies=1, "
    "jobId=, DocName=, HostName=, LoginName=, AuthID=, AuthPassword=, Border=1, ";

}  // namespace

TEST(JobParamsText, DefaultTableGivesThe362CharacterText)
{
    Table t;
    char buf[kJobParamsTextSize];
    char* p = buf;
    CaptureStderr();
    BuildJobParams(&p, t.rows);
    EXPECT_EQ(GetCapturedStderr(), std::string("BuildJobParams:") + kDefaultText + "\n");
    EXPECT_EQ(std::string(buf), kDefaultText);
    EXPECT_EQ(strlen(buf), 362u);
    t.ExpectDefaultsExcept({});
}

TEST(JobParamsText, FullTableFitsTheBufferExactly)
{
    Table t;
    std::string v(300, 'v');
    CaptureStderr();
    for (auto& r : t.rows)
        SetJobParam(r.key, v.c_str(), t.rows);
    std::vector<char> buf(kJobParamsTextSize + 64, '#');
    char* p = buf.data();
    BuildJobParams(&p, t.rows);
    GetCapturedStderr();
    EXPECT_EQ(t.Get("Border"), std::string(255, 'v'));
    EXPECT_EQ(strlen(buf.data()), kJobParamsTextSize - 1);  // 6,436 characters
    for (size_t i = kJobParamsTextSize; i < buf.size(); ++i)
        ASSERT_EQ(buf[i], '#') << "written past the buffer at " << i;
}

TEST(JobParamsText, EmptySeparatorWritesAndTakesTheWholeToken)
{
    Table t;
    t.rows[9].sperator[0] = '\0';  // number-up
    EXPECT_NE(Build(t).find("InputSlot=MainTray, 1, job-uuid=, "), std::string::npos);
    CaptureStderr();
    GetJobParamFromCups("number-up=4", t.rows);
    GetCapturedStderr();
    EXPECT_EQ(t.Get("number-up"), "number-up=4");
}

TEST(JobParamsFromCups, TokensSetTheFirstRowWhoseNameTheyContain)
{
    const std::string longDoc = "DocName=" + std::string(600, 'd');
    const std::string kUnchecked = "?";
    struct Case {
        std::string options;
        std::string log;  // whole standard error, or kUnchecked
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
        {"PageSize=A5\tBorder=0",
         "One_Param:PageSize=A5\\tBorder=0 , Len:20\nKey:PageSize , Length:8\nValue:A5\\tBorder=0 , Length:12\n",
         {{"PageSize", "A5\tBorder=0"}}},
        {"DocName=a\nSTATE:\r+x",
         "One_Param:DocName=a\\nSTATE:\\r+x , Len:19\nKey:DocName , Length:7\nValue:a\\nSTATE:\\r+x , Length:11\n",
         {{"DocName", "a\nSTATE:\r+x"}}},
        {"AuthPassword=0ther",
         "One_Param:AuthPassword=**** , Len:18\nKey:AuthPassword , Length:12\nValue:**** , Length:5\n",
         {{"AuthPassword", "0ther"}}},
        {longDoc + " Border=0",
         ("One_Param:" + longDoc.substr(0, 511) + " , Len:511\nKey:DocName , Length:7\nValue:" + std::string(255, 'd') +
          " , Length:255\nOne_Param:Border=0 , Len:8\nKey:Border , Length:6\nValue:0 , Length:1\n"),
         {{"DocName", std::string(255, 'd')}, {"Border", "0"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options.substr(0, 60));
        Table t;
        CaptureStderr();
        GetJobParamFromCups(c.options.c_str(), t.rows);
        std::string err = GetCapturedStderr();
        if (c.log != kUnchecked)
            EXPECT_EQ(err, c.log);
        t.ExpectDefaultsExcept(c.changed);
    }
}

TEST(JobParamsByName, GetAndSetByExactNameOnly)
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
    GetJobParam("InputSlot", &p, t.rows);
    EXPECT_EQ(GetCapturedStderr(), "GetJobParam:[InputSlot , MainTray ]\n");
    SetJobParam("InputSlot", "ManualTray", t.rows);
    EXPECT_STREQ(p, "ManualTray");  // the pointer is into the table
}

TEST(JobParamsByName, StoredValueIsZeroFilledCutAndMayComeFromItsOwnRow)
{
    Table t;
    CaptureStderr();
    GetJobParamFromCups("Duplex=DuplexNoTumble", t.rows);
    GetCapturedStderr();
    CaptureStderr();
    SetJobParam("Duplex", "None", t.rows);
    EXPECT_EQ(GetCapturedStderr(), "SetJobParam:[Duplex , None ]\n");
    const PARAM_KEY_SPERATOR_VALUE& row = t.rows[6];
    EXPECT_STREQ(row.value, "None");
    for (size_t i = 4; i < sizeof row.value; ++i)
        ASSERT_EQ(row.value[i], '\0') << i;

    CaptureStderr();
    SetJobParam("LoginName", std::string(400, 'x').c_str(), t.rows);
    char* p = nullptr;
    SetJobParam("DocName", "report.pdf", t.rows);
    GetJobParam("DocName", &p, t.rows);
    SetJobParam("DocName", p, t.rows);
    GetCapturedStderr();
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
    char buf[kJobParamsTextSize];
    char* bp = buf;
    BuildJobParams(&bp, t.rows);
    std::string err = GetCapturedStderr();
    std::string text = buf;
    EXPECT_NE(text.find("DocName=a, b=c\nd, "), std::string::npos);
    EXPECT_NE(text.find("AuthPassword=s3cr3t, "), std::string::npos);
    EXPECT_EQ(err.find("s3cr3t"), std::string::npos) << err;
    EXPECT_NE(err.find("SetJobParam:[AuthPassword , **** ]\n"), std::string::npos);
    EXPECT_NE(err.find("GetJobParam:[AuthPassword , **** ]\n"), std::string::npos);

    // The log text is the printer's text with only the password and the control characters changed.
    std::string expected = text;
    expected.replace(expected.find("AuthPassword=s3cr3t"), 19, "AuthPassword=****");
    expected.replace(expected.find("c\nd"), 3, "c\\nd");
    EXPECT_EQ(JobParamsForLog(t.rows), expected);
    EXPECT_NE(err.find("BuildJobParams:" + expected + "\n"), std::string::npos);

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
    const std::string kDir = "DEBUG: getDocumenName:remove dir.\n";
    const std::string kNoDir = "DEBUG: getDocumenName:param not include dir.\n";
    const std::string kDot = "DEBUG: getDocumenName:find expanded flag.\n";
    const std::string kCut = "DEBUG: getDocumenName:set DocName string terminal.\n";
    struct Case {
        std::string title, name, log;  // log "" = not checked
    } cases[] = {
        {"/home/user/report.pdf", "report.pdf", kEnter + kDir + kDot + kExit},
        {"report.pdf and more words", "report.pdf", kEnter + kNoDir + kDot + kCut + kExit},
        {"My Letter  to you", "My Letter  to you", kEnter + kNoDir + kExit},
        {"annual report.pdf", "annual report.pdf", ""},
        {"/a.b c/my doc.x y", "my doc.x", ""},
        {"/home/user/", "", ""},
        {"", "", ""},
        {"/dir/" + std::string(300, 'n') + ".pdf", std::string(255, 'n'), ""},
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
        if (!c.log.empty())
            EXPECT_EQ(err, c.log);
    }
}

TEST(HostName, StoredAndLogged)
{
    Table t;
    char host[65] = {0};
    ASSERT_EQ(gethostname(host, 64), 0);
    CaptureStderr();
    SetHostNameParam(t.rows);
    std::string err = GetCapturedStderr();
    EXPECT_EQ(t.Get("HostName"), host);
    EXPECT_EQ(err.substr(0, err.find('\n') + 1), "HostName: " + LogSafe(host) + "\n");
}

// ---- Authentication file -----------------------------------------------

namespace {

const char kAuthFile[] = "/tmp/auth/auth_config";
const std::string kEnterAuth = "DEBUG: Enter getAuthInfo!\n";
const std::string kRead = kEnterAuth + "DEBUG: create  json_string!\n";
const std::string kParsed = kRead + "DEBUG: Parse  json_string!\n";
const std::string kOk = "DEBUG: Exit  getAuthInfo!\n";
const std::string kParseError = kRead + "DEBUG: Error parsing JSON\nDEBUG: Exit  getAuthInfo with error!\n";

struct Auth {
    bool ok = false;
    std::string id, password, err;
};

Auth ReadAuth()
{
    char id[128], pw[128];
    memset(id, 0, sizeof id);
    memset(pw, 0, sizeof pw);
    char* ip = id;
    char* pp = pw;
    Auth a;
    CaptureStderr();
    a.ok = getAuthInfo(&ip, &pp);
    a.err = GetCapturedStderr();
    a.id = std::string(id, strnlen(id, sizeof id));
    a.password = std::string(pw, strnlen(pw, sizeof pw));
    return a;
}

void RemoveAuth()
{
    unlink(kAuthFile);
    rmdir(kAuthFile);
    unlink("/tmp/auth/real");
}

}  // namespace

TEST(AuthFile, ContentCases)
{
    const std::string head = R"({"AuthID":"big")";
    struct Case {
        std::string content;
        bool ok;
        std::string id, password, log;  // log "" = not checked
    } cases[] = {
        {R"({"AuthID": "alice", "Password": "pa55w0rd", "Other": "x"})", true, "alice", "pa55w0rd",
         kParsed + "DEBUG: AuthID: alice\nDEBUG: Password: ****\n" + kOk},
        {R"({"AuthID":"bob"})", true, "bob", "", kParsed + "DEBUG: AuthID: bob\n" + kOk},
        {"", false, "", "", kParseError},
        {"not json", false, "", "", kParseError},
        {"{\"AuthID\":\"a\"", false, "", "", kParseError},
        {"{\"AuthID\":'a'}", false, "", "", kParseError},
        {R"({"authid":"a","password":"b"})", true, "", "", kParsed + kOk},
        {R"({"AuthID":5,"Password":null})", true, "", "", ""},
        {R"({"AuthID":["a"],"Password":{"x":"y"}})", true, "", "", ""},
        {R"(["AuthID","alice"])", true, "", "", kParsed + kOk},
        {R"("AuthID")", true, "", "", ""},
        {"42", true, "", "", ""},
        {"{\"AuthID\":\"" + std::string(200, 'i') + "\",\"Password\":\"" + std::string(500, 'p') + "\"}", true,
         std::string(127, 'i'), std::string(127, 'p'), ""},
        {"{\"AuthID\":\"\xff\xfe\x80x\"}", true, "\xff\xfe\x80x", "", ""},
        {R"({"AuthID":"a\nSTATE: +x"})", true, "a\nSTATE: +x", "", kParsed + "DEBUG: AuthID: a\\nSTATE: +x\n" + kOk},
        {std::string(200000, '['), false, "", "", ""},
        {"{\"AuthID\":\"deep\",\"x\":" + std::string(100, '[') + std::string(100, ']') + "}", true, "deep", "", ""},
        {head + std::string(64 * 1024 - head.size() - 1, ' ') + "}", true, "big", "", ""},  // 64 KiB
        {head + std::string(64 * 1024 - head.size(), ' ') + "}", false, "", "",
         kEnterAuth + "DEBUG: auth_file is larger than 65536 bytes!\nDEBUG: Exit  getAuthInfo with error!\n"},
        {std::string("{\"AuthID\":\"a\"}\0garbage", 23), true, "a", "", ""},
    };
    mkdir("/tmp/auth", 0755);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content.substr(0, 60));
        RemoveAuth();
        ASSERT_TRUE(WriteFile(kAuthFile, c.content));
        Auth a = ReadAuth();
        EXPECT_EQ(a.ok, c.ok);
        EXPECT_EQ(a.id, c.id);
        EXPECT_EQ(a.password, c.password);
        if (!c.log.empty())
            EXPECT_EQ(a.err, c.log);
    }
    RemoveAuth();
}

TEST(AuthFile, MissingOrSpecialFilesAreRefusedWithoutBlocking)
{
    struct Case {
        const char* what;
        bool (*make)();
    } cases[] = {
        {"missing", [] { return true; }},
        {"FIFO", [] { return mkfifo(kAuthFile, 0600) == 0; }},
        {"directory", [] { return mkdir(kAuthFile, 0700) == 0; }},
        {"symlink", [] {
             return WriteFile("/tmp/auth/real", R"({"AuthID":"linked"})") && symlink("/tmp/auth/real", kAuthFile) == 0;
         }},
    };
    mkdir("/tmp/auth", 0755);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RemoveAuth();
        ASSERT_TRUE(c.make());
        Auth a = ReadAuth();
        EXPECT_FALSE(a.ok);
        EXPECT_EQ(a.id, "");
        if (std::string(c.what) == "missing")
            EXPECT_EQ(a.err, kEnterAuth + "DEBUG: auth_file is not found!\n");
    }
    RemoveAuth();
}
