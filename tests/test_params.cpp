// The job parameter table, its text form, the document name, the host name
// and the authentication file.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "params/params.h"
#include "tests/testutil.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

struct Table {
    PARAM_KEY_SPERATOR_VALUE rows[kParamRows];
    Table() { memcpy(rows, tblDefParam, sizeof rows); }
    // The value of a row, or "<missing>" when no row carries the name.
    std::string Get(const char* key) const
    {
        for (const auto& r : rows)
            if (strcmp(r.key, key) == 0)
                return r.value;
        return "<missing>";
    }
};

std::string Build(Table& t)
{
    char buf[kJobParamsTextSize];
    char* p = buf;
    BuildJobParams(&p, t.rows);
    return buf;
}

std::string FromCups(Table& t, const char* options)
{
    CaptureStderr();
    GetJobParamFromCups(options, t.rows);
    return GetCapturedStderr();
}

bool SameAsDefaults(const Table& t)
{
    return memcmp(t.rows, tblDefParam, sizeof t.rows) == 0;
}

const char kDefaultText[] =
    "PageSize=A4, Resolution=600dpi, resX=600dpi, resY=600dpi, FeedEdge=0, Collate=False, Duplex=None, "
    "MediaType=Plain, InputSlot=MainTray, number-up=1, job-uuid=, job-originating-host-name=, "
    "date-time-at-creation=, date-time-at-processing=, time-at-creation=, time-at-processing=, copies=1, "
    "jobId=, DocName=, HostName=, LoginName=, AuthID=, AuthPassword=, Border=1, ";

}  // namespace

// ---- Text form ---------------------------------------------------------

TEST(JobParamsText, DefaultTableGivesThe362CharacterText)
{
    Table t;
    CaptureStderr();
    std::string text = Build(t);
    std::string err = GetCapturedStderr();
    EXPECT_EQ(text, kDefaultText);
    EXPECT_EQ(text.size(), 362u);
    EXPECT_EQ(text.substr(text.size() - 2), ", ");
    EXPECT_EQ(err, std::string("BuildJobParams:") + kDefaultText + "\n");
    EXPECT_TRUE(SameAsDefaults(t));
}

TEST(JobParamsText, FullTableFitsTheBufferExactly)
{
    Table t;
    std::string v(300, 'v');
    for (auto& r : t.rows)
        SetJobParam(r.key, v.c_str(), t.rows);
    std::vector<char> buf(kJobParamsTextSize + 64, '#');
    char* p = buf.data();
    CaptureStderr();
    BuildJobParams(&p, t.rows);
    GetCapturedStderr();
    EXPECT_EQ(strlen(buf.data()), kJobParamsTextSize - 1);  // 6,436 characters
    for (size_t i = kJobParamsTextSize; i < buf.size(); ++i)
        ASSERT_EQ(buf[i], '#') << "written past the buffer at " << i;
}

TEST(JobParamsText, ValuesAreWrittenAsTheyAre)
{
    Table t;
    SetJobParam("DocName", "a, b=c", t.rows);
    std::string text = Build(t);
    EXPECT_NE(text.find(", DocName=a, b=c, HostName=, "), std::string::npos);
}

TEST(JobParamsText, EmptySeparatorWritesTheValueAlone)
{
    Table t;
    t.rows[9].sperator[0] = '\0';  // number-up
    std::string text = Build(t);
    EXPECT_NE(text.find("InputSlot=MainTray, 1, job-uuid=, "), std::string::npos);
    EXPECT_EQ(text.size(), 362u - strlen("number-up="));
}

TEST(JobParamsText, EmptySeparatorTakesTheWholeToken)
{
    Table t;
    t.rows[9].sperator[0] = '\0';
    FromCups(t, "number-up=4");
    EXPECT_EQ(t.Get("number-up"), "number-up=4");
}

// ---- Options into the table --------------------------------------------

TEST(JobParamsFromCups, TwoTokensSetTwoRows)
{
    Table t;
    std::string err = FromCups(t, "PageSize=A5 number-up=2");
    EXPECT_EQ(t.Get("PageSize"), "A5");
    EXPECT_EQ(t.Get("number-up"), "2");
    EXPECT_EQ(err,
              "One_Param:PageSize=A5 , Len:11\n"
              "Key:PageSize , Length:8\n"
              "Value:A5 , Length:2\n"
              "One_Param:number-up=2 , Len:11\n"
              "Key:number-up , Length:9\n"
              "Value:2 , Length:1\n");
}

TEST(JobParamsFromCups, NameWithSeparatorOnlyLeavesTheValue)
{
    Table t;
    SetJobParam("job-uuid", "kept", t.rows);
    std::string err = FromCups(t, "job-uuid= Duplex=DuplexTumble");
    EXPECT_EQ(t.Get("job-uuid"), "kept");
    EXPECT_EQ(t.Get("Duplex"), "DuplexTumble");
    EXPECT_NE(err.find("Key:job-uuid , Length:8\nValue:kept , Length:4\n"), std::string::npos);
}

TEST(JobParamsFromCups, BareNameLeavesTheValueButLogs)
{
    Table t;
    std::string err = FromCups(t, "Collate");
    EXPECT_EQ(t.Get("Collate"), "False");
    EXPECT_EQ(err, "One_Param:Collate , Len:7\nKey:Collate , Length:7\nValue:False , Length:5\n");
}

TEST(JobParamsFromCups, LongerDateNamesWinOverTheShorterOnes)
{
    Table t;
    FromCups(t, "date-time-at-creation=X");
    EXPECT_EQ(t.Get("date-time-at-creation"), "X");
    EXPECT_EQ(t.Get("time-at-creation"), "");
    FromCups(t, "time-at-creation=Y date-time-at-processing=Z time-at-processing=W");
    EXPECT_EQ(t.Get("time-at-creation"), "Y");
    EXPECT_EQ(t.Get("date-time-at-creation"), "X");
    EXPECT_EQ(t.Get("date-time-at-processing"), "Z");
    EXPECT_EQ(t.Get("time-at-processing"), "W");
}

TEST(JobParamsFromCups, ValueIsCountedFromTheTokenStart)
{
    Table t;
    FromCups(t, "number-up-layout=lrtb");
    EXPECT_EQ(t.Get("number-up"), "layout=lrtb");
    // The name may stand anywhere; the value still starts after its length.
    FromCups(t, "xxBorder=0");
    EXPECT_EQ(t.Get("Border"), "r=0");
}

TEST(JobParamsFromCups, TokenWithoutAnyNameChangesNothing)
{
    Table t;
    std::string err = FromCups(t, "media=A4");
    EXPECT_EQ(err, "One_Param:media=A4 , Len:8\n");
    EXPECT_TRUE(SameAsDefaults(t));
}

TEST(JobParamsFromCups, BlankHandling)
{
    Table t;
    std::string err = FromCups(t, "media=A4  sides=x ");
    // Two blanks make one empty token; a trailing blank makes none.
    EXPECT_EQ(err, "One_Param:media=A4 , Len:8\nOne_Param: , Len:0\nOne_Param:sides=x , Len:7\n");
    EXPECT_EQ(FromCups(t, ""), "");
    EXPECT_TRUE(SameAsDefaults(t));
}

TEST(JobParamsFromCups, OnlyTheBlankSeparatesTokens)
{
    Table t;
    std::string err = FromCups(t, "PageSize=A5\tBorder=0");
    EXPECT_EQ(t.Get("PageSize"), "A5\tBorder=0");
    EXPECT_EQ(t.Get("Border"), "1");
    EXPECT_NE(err.find("One_Param:PageSize=A5\\tBorder=0 , Len:20\n"), std::string::npos);
}

TEST(JobParamsFromCups, LongTokensAndValuesAreCut)
{
    Table t;
    std::string token = "DocName=" + std::string(600, 'd');
    std::string err = FromCups(t, (token + " Border=0").c_str());
    EXPECT_NE(err.find(", Len:511\n"), std::string::npos);
    EXPECT_EQ(t.Get("DocName"), std::string(255, 'd'));
    EXPECT_EQ(t.Get("Border"), "0");  // the next token is still read whole
}

TEST(JobParamsFromCups, ControlCharactersStayOnOneLogLine)
{
    Table t;
    std::string err = FromCups(t, "DocName=a\nSTATE:\r+x");
    EXPECT_EQ(t.Get("DocName"), "a\nSTATE:\r+x");
    EXPECT_EQ(err,
              "One_Param:DocName=a\\nSTATE:\\r+x , Len:19\n"
              "Key:DocName , Length:7\n"
              "Value:a\\nSTATE:\\r+x , Length:11\n");
}

// ---- Reading and setting by name ---------------------------------------

TEST(JobParamsByName, GetPointsIntoTheTable)
{
    Table t;
    char* p = nullptr;
    CaptureStderr();
    GetJobParam("InputSlot", &p, t.rows);
    EXPECT_EQ(GetCapturedStderr(), "GetJobParam:[InputSlot , MainTray ]\n");
    ASSERT_NE(p, nullptr);
    SetJobParam("InputSlot", "ManualTray", t.rows);
    EXPECT_STREQ(p, "ManualTray");
}

TEST(JobParamsByName, UnknownOrInexactNamesAreIgnoredSilently)
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
    EXPECT_TRUE(SameAsDefaults(t));
}

TEST(JobParamsByName, ShorterValueLeavesNoTraceOfTheOld)
{
    Table t;
    FromCups(t, "Duplex=DuplexNoTumble");
    CaptureStderr();
    SetJobParam("Duplex", "None", t.rows);
    EXPECT_EQ(GetCapturedStderr(), "SetJobParam:[Duplex , None ]\n");
    const PARAM_KEY_SPERATOR_VALUE& row = t.rows[6];
    EXPECT_STREQ(row.value, "None");
    for (size_t i = 4; i < sizeof row.value; ++i)
        ASSERT_EQ(row.value[i], '\0') << i;
}

TEST(JobParamsByName, LongValueIsCutTo255)
{
    Table t;
    std::string v(400, 'x');
    CaptureStderr();
    SetJobParam("LoginName", v.c_str(), t.rows);
    GetCapturedStderr();
    EXPECT_EQ(t.Get("LoginName"), std::string(255, 'x'));
    EXPECT_STREQ(t.rows[21].key, "AuthID");  // the next row is intact
}

TEST(JobParamsByName, ValueFromTheRowItself)
{
    Table t;
    SetJobParam("DocName", "report.pdf", t.rows);
    char* p = nullptr;
    GetJobParam("DocName", &p, t.rows);
    SetJobParam("DocName", p, t.rows);
    EXPECT_EQ(t.Get("DocName"), "report.pdf");
}

// ---- The password in logs ----------------------------------------------

TEST(JobParamsPassword, NeverLoggedButKeptForThePrinter)
{
    Table t;
    CaptureStderr();
    SetJobParam("AuthPassword", "s3cr3t", t.rows);
    char* p = nullptr;
    GetJobParam("AuthPassword", &p, t.rows);
    GetJobParamFromCups("AuthPassword=0ther", t.rows);
    SetJobParam("AuthPassword", "s3cr3t", t.rows);
    std::string text = Build(t);
    std::string err = GetCapturedStderr();
    EXPECT_EQ(t.Get("AuthPassword"), "s3cr3t");
    EXPECT_NE(text.find("AuthPassword=s3cr3t, "), std::string::npos);
    EXPECT_EQ(err.find("s3cr3t"), std::string::npos) << err;
    EXPECT_EQ(err.find("0ther"), std::string::npos) << err;
    EXPECT_NE(err.find("SetJobParam:[AuthPassword , **** ]\n"), std::string::npos);
    EXPECT_NE(err.find("One_Param:AuthPassword=**** , Len:18\n"), std::string::npos);
    EXPECT_NE(err.find("GetJobParam:[AuthPassword , **** ]\n"), std::string::npos);
    EXPECT_NE(err.find("BuildJobParams:"), std::string::npos);
    EXPECT_NE(err.find("AuthPassword=****, Border=1, \n"), std::string::npos);
}

TEST(JobParamsPassword, LogTextDiffersOnlyInThePassword)
{
    Table t;
    EXPECT_EQ(JobParamsForLog(t.rows), kDefaultText);  // an empty password stays empty
    SetJobParam("AuthPassword", "pw", t.rows);
    SetJobParam("DocName", "a\nb", t.rows);
    std::string text = Build(t);
    std::string log = JobParamsForLog(t.rows);
    std::string expected = text;
    expected.replace(expected.find("AuthPassword=pw"), 15, "AuthPassword=****");
    expected.replace(expected.find("a\nb"), 3, "a\\nb");
    EXPECT_EQ(log, expected);
}

// ---- LogSafe -----------------------------------------------------------

TEST(LogSafe, EscapesControlCharactersAndBackslash)
{
    EXPECT_EQ(LogSafe("a\nb\rc\td\\e\x01\x1f\x7f"), "a\\nb\\rc\\td\\\\e\\x01\\x1f\\x7f");
    EXPECT_EQ(LogSafe("plain text, = ok"), "plain text, = ok");
    EXPECT_EQ(LogSafe("Gr\xc3\xbc\xc3\x9f"), "Gr\xc3\xbc\xc3\x9f");
    EXPECT_EQ(LogSafe(nullptr), "");
    EXPECT_EQ(LogSafe("a\0b", 3), "a\\x00b");
}

// ---- Document name -----------------------------------------------------

namespace {
struct DocName {
    std::string name, err;
};
DocName DocumentName(const std::string& title)
{
    char buf[256];
    memset(buf, 0, sizeof buf);
    char* p = buf;
    CaptureStderr();
    getDocumenName(title.c_str(), &p);
    DocName d;
    d.err = GetCapturedStderr();
    d.name = buf;
    EXPECT_EQ(p, buf);
    return d;
}
}  // namespace

TEST(DocumentName, AbsolutePathGivesTheLastComponent)
{
    DocName d = DocumentName("/home/user/report.pdf");
    EXPECT_EQ(d.name, "report.pdf");
    EXPECT_EQ(d.err,
              "DEBUG: Enter getDocumenName!\n"
              "DEBUG: getDocumenName:remove dir.\n"
              "DEBUG: getDocumenName:find expanded flag.\n"
              "DEBUG: Exit getDocumenName!\n");
}

TEST(DocumentName, CutAtTheFirstBlankAfterTheDot)
{
    DocName d = DocumentName("report.pdf and more words");
    EXPECT_EQ(d.name, "report.pdf");
    EXPECT_NE(d.err.find("DEBUG: getDocumenName:set DocName string terminal.\n"), std::string::npos);
}

TEST(DocumentName, BlanksBeforeTheDotStay)
{
    EXPECT_EQ(DocumentName("annual report.pdf").name, "annual report.pdf");
    EXPECT_EQ(DocumentName("/a.b c/my doc.x y").name, "my doc.x");
}

TEST(DocumentName, TitleWithoutSlashOrDotIsTakenWhole)
{
    DocName d = DocumentName("My Letter  to you");
    EXPECT_EQ(d.name, "My Letter  to you");
    EXPECT_EQ(d.err,
              "DEBUG: Enter getDocumenName!\n"
              "DEBUG: getDocumenName:param not include dir.\n"
              "DEBUG: Exit getDocumenName!\n");
}

TEST(DocumentName, TrailingSlashOrEmptyGivesEmpty)
{
    EXPECT_EQ(DocumentName("/home/user/").name, "");
    EXPECT_EQ(DocumentName("").name, "");
}

TEST(DocumentName, LongComponentIsCutTo255)
{
    std::string title = "/dir/" + std::string(300, 'n') + ".pdf";
    EXPECT_EQ(DocumentName(title).name, std::string(255, 'n'));
}

// ---- Host name ---------------------------------------------------------

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

const char kAuthDir[] = "/tmp/auth";
const char kAuthFile[] = "/tmp/auth/auth_config";

struct Auth {
    bool ok = false;
    std::string id, password, err;
};

Auth ReadAuth(const char* path = kAuthFile)
{
    char id[128], pw[128];
    memset(id, 0, sizeof id);
    memset(pw, 0, sizeof pw);
    char* ip = id;
    char* pp = pw;
    Auth a;
    CaptureStderr();
    a.ok = path == kAuthFile ? getAuthInfo(&ip, &pp) : getAuthInfoFrom(path, &ip, &pp);
    a.err = GetCapturedStderr();
    a.id = id;
    a.password = pw;
    return a;
}

class AuthFile : public testing::Test {
protected:
    void SetUp() override
    {
        mkdir(kAuthDir, 0755);
        Remove();
    }
    void TearDown() override { Remove(); }
    static void Remove()
    {
        unlink(kAuthFile);
        rmdir(kAuthFile);
    }
    static void Write(const std::string& content) { ASSERT_TRUE(WriteFile(kAuthFile, content)); }
};

const char kParseError[] =
    "DEBUG: Enter getAuthInfo!\n"
    "DEBUG: create  json_string!\n"
    "DEBUG: Error parsing JSON\n"
    "DEBUG: Exit  getAuthInfo with error!\n";

}  // namespace

TEST_F(AuthFile, MissingFile)
{
    Auth a = ReadAuth();
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.err, "DEBUG: Enter getAuthInfo!\nDEBUG: auth_file is not found!\n");
    EXPECT_EQ(a.id, "");
}

TEST_F(AuthFile, IdentityAndPassword)
{
    Write(R"({"AuthID": "alice", "Password": "pa55w0rd", "Other": "x"})");
    Auth a = ReadAuth();
    EXPECT_TRUE(a.ok);
    EXPECT_EQ(a.id, "alice");
    EXPECT_EQ(a.password, "pa55w0rd");
    EXPECT_EQ(a.err,
              "DEBUG: Enter getAuthInfo!\n"
              "DEBUG: create  json_string!\n"
              "DEBUG: Parse  json_string!\n"
              "DEBUG: AuthID: alice\n"
              "DEBUG: Password: ****\n"
              "DEBUG: Exit  getAuthInfo!\n");
}

TEST_F(AuthFile, OnlyIdentity)
{
    Write(R"({"AuthID":"bob"})");
    Auth a = ReadAuth();
    EXPECT_TRUE(a.ok);
    EXPECT_EQ(a.id, "bob");
    EXPECT_EQ(a.password, "");
    EXPECT_EQ(a.err.find("Password"), std::string::npos);
}

TEST_F(AuthFile, EmptyOrInvalidJson)
{
    for (const char* text : {"", "not json", "{\"AuthID\":\"a\"", "{\"AuthID\":'a'}"}) {
        Write(text);
        Auth a = ReadAuth();
        EXPECT_FALSE(a.ok) << text;
        EXPECT_EQ(a.err, kParseError) << text;
    }
}

TEST_F(AuthFile, MembersOfOtherCaseOrTypeAreAbsent)
{
    for (const char* text : {R"({"authid":"a","password":"b"})", R"({"AuthID":5,"Password":null})",
                             R"({"AuthID":["a"],"Password":{"x":"y"}})"}) {
        Write(text);
        Auth a = ReadAuth();
        EXPECT_TRUE(a.ok) << text;
        EXPECT_EQ(a.id, "") << text;
        EXPECT_EQ(a.password, "") << text;
    }
}

TEST_F(AuthFile, TopLevelThatIsNotAnObjectHoldsNoMembers)
{
    for (const char* text : {R"(["AuthID","alice"])", R"("AuthID")", "42", "null"}) {
        Write(text);
        Auth a = ReadAuth();
        EXPECT_TRUE(a.ok) << text;
        EXPECT_EQ(a.id, "") << text;
    }
}

TEST_F(AuthFile, LongValuesAreCutTo127)
{
    Write("{\"AuthID\":\"" + std::string(200, 'i') + "\",\"Password\":\"" + std::string(500, 'p') + "\"}");
    Auth a = ReadAuth();
    EXPECT_TRUE(a.ok);
    EXPECT_EQ(a.id, std::string(127, 'i'));
    EXPECT_EQ(a.password, std::string(127, 'p'));
}

TEST_F(AuthFile, BytesThatAreNotUtf8AreKept)
{
    Write("{\"AuthID\":\"\xff\xfe\x80x\"}");
    Auth a = ReadAuth();
    EXPECT_TRUE(a.ok);
    EXPECT_EQ(a.id, "\xff\xfe\x80x");
}

TEST_F(AuthFile, ControlCharactersInTheIdentityStayOnOneLine)
{
    Write(R"({"AuthID":"a\nSTATE: +x"})");
    Auth a = ReadAuth();
    EXPECT_EQ(a.id, "a\nSTATE: +x");
    EXPECT_NE(a.err.find("DEBUG: AuthID: a\\nSTATE: +x\n"), std::string::npos);
}

TEST_F(AuthFile, DeepNestingIsRefusedWithoutACrash)
{
    Write(std::string(200000, '['));
    EXPECT_FALSE(ReadAuth().ok);
    Write("{\"AuthID\":\"deep\",\"x\":" + std::string(100, '[') + std::string(100, ']') + "}");
    Auth a = ReadAuth();
    EXPECT_TRUE(a.ok);
    EXPECT_EQ(a.id, "deep");
}

TEST_F(AuthFile, SizeIsCappedAt64KiB)
{
    std::string head = R"({"AuthID":"big")";
    Write(head + std::string(64 * 1024 - head.size() - 1, ' ') + "}");
    EXPECT_TRUE(ReadAuth().ok);
    Write(head + std::string(64 * 1024 - head.size(), ' ') + "}");
    Auth a = ReadAuth();
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.id, "");
    EXPECT_NE(a.err.find("DEBUG: Exit  getAuthInfo with error!\n"), std::string::npos);
}

TEST_F(AuthFile, FifoDoesNotBlock)
{
    ASSERT_EQ(mkfifo(kAuthFile, 0600), 0);
    Auth a = ReadAuth();
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.id, "");
}

TEST_F(AuthFile, DirectoryIsNoFile)
{
    ASSERT_EQ(mkdir(kAuthFile, 0700), 0);
    EXPECT_FALSE(ReadAuth().ok);
}

TEST_F(AuthFile, SymlinkIsNotFollowed)
{
    ASSERT_TRUE(WriteFile("/tmp/auth/real", R"({"AuthID":"linked","Password":"x"})"));
    ASSERT_EQ(symlink("/tmp/auth/real", kAuthFile), 0);
    Auth a = ReadAuth();
    EXPECT_FALSE(a.ok);
    EXPECT_EQ(a.id, "");
    unlink("/tmp/auth/real");
}

TEST_F(AuthFile, EmbeddedNulEndsTheDocument)
{
    Write(std::string("{\"AuthID\":\"a\"}\0garbage", 23));
    Auth a = ReadAuth();
    EXPECT_TRUE(a.ok);
    EXPECT_EQ(a.id, "a");
}
