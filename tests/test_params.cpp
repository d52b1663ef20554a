// The job parameter table and its text form, the document name, the host
// name, the authentication file, collation, and the print settings: their
// rules through ApplyJobChoices, a PPD's marking through ResolvePrintSettings.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "params/params.h"
#include "tests/testutil.h"

// libcups 2.4.2 leaks a few strings of the PPD cache it builds for "media=" options; not ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:_ppdCacheCreateWithPPD\n"; }

namespace {

const std::string kAny = "?";  // a log not compared
const char kAuthPath[] = "/tmp/auth/auth_config";

template <class F>
std::string Err(F f)
{
    testing::internal::CaptureStderr();
    f();
    return testing::internal::GetCapturedStderr();
}

bool Has(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

// A table with its defaults; settings as a one-sided single copy leaves them (collate 77: no rule sets it).
struct Job {
    PARAM_KEY_SPERATOR_VALUE rows[kParamRows];
    PrintSettings s = {77, 0, 0, 0, 0, 1};
    std::string err;
    Job() { memcpy(rows, tblDefParam, sizeof rows); }
    // The rows that differ from their defaults, then the settings that differ from the above, in table order.
    std::string Changes() const
    {
        std::string out;
        for (int i = 0; i < kParamRows; ++i)
            if (strcmp(rows[i].value, tblDefParam[i].value) != 0)
                out += std::string(" ") + rows[i].key + "=" + rows[i].value;
        const std::tuple<const char*, int, int> flags[] = {{"duplex", s.duplex, 0}, {"FeedEdge", s.Flag_FeedEdge, 0},
            {"A5", s.Flag_Page_A5, 0}, {"MediaType", s.Flag_MediaType, 0}, {"copies", s.copies, 1},
            {"collate", s.collate, 77}};
        for (const auto& [key, value, usual] : flags)
            if (value != usual)
                out += std::string(" s.") + key + "=" + std::to_string(value);
        return out.empty() ? out : out.substr(1);
    }
    // The text form, into a buffer with room to spare that must stay untouched.
    std::string Build(std::string* log = nullptr)
    {
        std::vector<char> buf(kJobParamsTextSize + 64, '#');
        char* p = buf.data();
        std::string e = Err([&] { BuildJobParams(&p, rows); });
        EXPECT_EQ(std::string(buf.begin() + kJobParamsTextSize, buf.end()), std::string(64, '#'));
        if (log != nullptr)
            *log = e;
        return buf.data();
    }
};

const char kDefaultText[] =
    "PageSize=A4, Resolution=600dpi, resX=600dpi, resY=600dpi, FeedEdge=0, Collate=False, Duplex=None, "
    "MediaType=Plain, InputSlot=MainTray, number-up=1, job-uuid=, job-originating-host-name=, "
    "date-time-at-creation=, date-time-at-processing=, time-at-creation=, time-at-processing=, copies=1, "
    "jobId=, DocName=, HostName=, LoginName=, AuthID=, AuthPassword=, Border=1, ";

}  // namespace

TEST(JobParams, TextFormDefaultSeparatorlessAndLongest)
{
    Job t;
    std::string log;
    EXPECT_EQ(t.Build(&log), kDefaultText);
    EXPECT_EQ(log, std::string("BuildJobParams:") + kDefaultText + "\n");
    EXPECT_EQ(t.Changes(), "");
    t.rows[9].sperator[0] = '\0';  // number-up: the value alone, and the whole token as value
    EXPECT_TRUE(Has(t.Build(), "InputSlot=MainTray, 1, job-uuid=, "));
    Err([&] { GetJobParamFromCups("number-up=4", t.rows); });
    EXPECT_STREQ(t.rows[9].value, "number-up=4");
    for (auto& r : t.rows)
        Err([&] { SetJobParam(r.key, std::string(300, 'v').c_str(), t.rows); });
    EXPECT_EQ(t.rows[23].value, std::string(255, 'v'));  // Border, the last row
    EXPECT_EQ(t.Build().size(), kJobParamsTextSize - 1 - strlen("number-up="));
    t.rows[9].sperator[0] = '=';
    EXPECT_EQ(t.Build().size(), kJobParamsTextSize - 1);  // the longest text, 6,436 characters
}

TEST(JobParams, TokensSetTheFirstRowWhoseNameTheyContain)
{
    const std::string doc = "DocName=" + std::string(600, 'd'), d255(255, 'd');
    const std::array<std::string, 3> cases[] = {  // options, the whole log (or kAny), the changes
        {"PageSize=A5 number-up=2", "One_Param:PageSize=A5 , Len:11\nKey:PageSize , Length:8\nValue:A5 , Length:2\n"
         "One_Param:number-up=2 , Len:11\nKey:number-up , Length:9\nValue:2 , Length:1\n", "PageSize=A5 number-up=2"},
        // Table order decides (date-time rows first); the value is counted from the token's start.
        {"job-uuid= Duplex=DuplexTumble date-time-at-creation=X time-at-processing=W time-at-creation=Y "
         "number-up-layout=lrtb xxBorder=0", kAny, "Duplex=DuplexTumble number-up=layout=lrtb "
         "date-time-at-creation=X time-at-creation=Y time-at-processing=W Border=r=0"},
        {"Collate", "One_Param:Collate , Len:7\nKey:Collate , Length:7\nValue:False , Length:5\n", ""},
        // Two blanks make an empty token; a trailing blank and an empty text make none.
        {"media=A4  sides=x ", "One_Param:media=A4 , Len:8\nOne_Param: , Len:0\nOne_Param:sides=x , Len:7\n", ""},
        {"", "", ""},
        {"DocName=a\tBorder=0\nSTATE:", "One_Param:DocName=a\\tBorder=0\\nSTATE: , Len:25\nKey:DocName , Length:7\n"
         "Value:a\\tBorder=0\\nSTATE: , Length:17\n", "DocName=a\tBorder=0\nSTATE:"},  // only a blank ends a token
        {doc + " Border=0", "One_Param:" + doc.substr(0, 511) + " , Len:511\nKey:DocName , Length:7\nValue:" + d255 +
         " , Length:255\nOne_Param:Border=0 , Len:8\nKey:Border , Length:6\nValue:0 , Length:1\n",
         "DocName=" + d255 + " Border=0"},
    };
    for (const auto& [options, log, changes] : cases) {
        Job t;
        std::string err = Err([&] { GetJobParamFromCups(options.c_str(), t.rows); });
        EXPECT_TRUE(log == kAny || err == log) << err;
        EXPECT_EQ(t.Changes(), changes) << options.substr(0, 60);
    }
}

TEST(JobParams, ExactNamesZeroFilledCutValues)
{
    Job t;
    char marker[] = "untouched", *p = marker, *doc = nullptr;
    EXPECT_EQ(Err([&] {
        GetJobParam("pagesize", &p, t.rows), GetJobParam("PageSize ", &p, t.rows);
        SetJobParam("Page", "A5", t.rows), SetJobParam("NoSuchKey", "A5", t.rows);
    }), "");
    EXPECT_EQ(p, marker);
    EXPECT_EQ(t.Changes(), "");
    Err([&] {
        GetJobParam("Duplex", &p, t.rows), GetJobParamFromCups("Duplex=DuplexNoTumble", t.rows);
        SetJobParam("Duplex", "None", t.rows), SetJobParam("LoginName", std::string(400, 'x').c_str(), t.rows);
        SetJobParam("DocName", "report.pdf", t.rows), GetJobParam("DocName", &doc, t.rows);
        SetJobParam("DocName", doc, t.rows);  // a value taken from its own row
    });
    EXPECT_EQ(p, t.rows[6].value);  // points into the table
    EXPECT_EQ(std::string(t.rows[6].value, sizeof t.rows[6].value), "None" + std::string(252, '\0'));
    EXPECT_STREQ(t.rows[21].key, "AuthID");  // the row after the cut value is intact
    EXPECT_EQ(t.Changes(), "DocName=report.pdf LoginName=" + std::string(255, 'x'));
}

TEST(JobParams, PasswordMaskedAndControlCharactersEscapedInEveryLogLine)
{
    Job t;
    EXPECT_EQ(JobParamsForLog(t.rows), kDefaultText);  // an empty password stays empty
    Err([&] { SetJobParam("AuthPassword", "s3cr3t", t.rows), SetJobParam("DocName", "a, b=c\nd", t.rows); });
    const std::string text = t.Build();
    EXPECT_TRUE(Has(text, "DocName=a, b=c\nd, ") && Has(text, "AuthPassword=s3cr3t, "));  // as they are
    // A log shows the printer's text with only the password and the control characters changed.
    std::string shown = text;
    shown.replace(shown.find("s3cr3t"), 6, "****").replace(shown.find("c\nd"), 3, "c\\nd");
    char *p = nullptr, id[128], pw[128];
    auto set = [&](const char* key, const char* value) { return Err([&] { SetJobParam(key, value, t.rows); }); };
    const std::pair<std::function<std::string()>, std::string> cases[] = {
        {[&] { return JobParamsForLog(t.rows); }, shown},
        {[&] { std::string log; t.Build(&log); return log; }, "BuildJobParams:" + shown + "\n"},
        {[&] { return set("DocName", "a, b=c\nd"); }, "SetJobParam:[DocName , a, b=c\\nd ]\n"},
        {[&] { return set("AuthPassword", "s3"); }, "SetJobParam:[AuthPassword , **** ]\n"},
        {[&] { return Err([&] { GetJobParam("AuthPassword", &p, t.rows); }); }, "GetJobParam:[AuthPassword , **** ]\n"},
        {[&] { return Err([&] { GetJobParamFromCups("AuthPassword=0ther", t.rows); }); },
         "One_Param:AuthPassword=**** , Len:18\nKey:AuthPassword , Length:12\nValue:**** , Length:5\n"},
        {[] { return OptionsForLog("a AuthPassword=pw  xAuthPassword=q AuthPassword= b\n"); },
         "a AuthPassword=****  xAuthPassword**** AuthPassword= b\\n"},
        {[&] { return Err([&] { ParseAuthJson(R"({"Password":"x"})", 16, id, pw); }); },
         "DEBUG: Parse  json_string!\nDEBUG: Password: ****\n"},
        {[] { return LogSafe("a\nb\rc\td\\e\x01\x1f\x7f"); }, "a\\nb\\rc\\td\\\\e\\x01\\x1f\\x7f"},
        {[] { return LogSafe("text, = Gr\xc3\xbc\xc3\x9f") + LogSafe(nullptr) + LogSafe("a\0b", 3); },
         "text, = Gr\xc3\xbc\xc3\x9f" "a\\x00b"},
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(cases[i].first(), cases[i].second) << "case " << i;
}

TEST(DocumentName, LastComponentCutAtTheFirstBlankAfterTheDot)
{
    const std::string in = "DEBUG: Enter getDocumenName!\n", out = "DEBUG: Exit getDocumenName!\n";
    const std::string noDir = in + "DEBUG: getDocumenName:param not include dir.\n";
    const std::string dot = "DEBUG: getDocumenName:find expanded flag.\n";
    const std::string cut = "DEBUG: getDocumenName:set DocName string terminal.\n";
    const std::array<std::string, 3> cases[] = {  // title, name, log
        {"/home/user/report.pdf", "report.pdf", in + "DEBUG: getDocumenName:remove dir.\n" + dot + out},
        {"report.pdf and more", "report.pdf", noDir + dot + cut + out},
        {"My Letter  to you", "My Letter  to you", noDir + out}, {"annual report.pdf", "annual report.pdf", kAny},
        {"/a.b c/my doc.x y", "my doc.x", kAny}, {"/home/user/", "", kAny}, {"", "", kAny},
        {"/d/" + std::string(300, 'n') + ".pdf", std::string(255, 'n'), kAny},
    };
    for (const auto& [title, name, log] : cases) {
        char buf[256], *p = buf;
        memset(buf, 'Z', sizeof buf);
        std::string err = Err([&] { getDocumenName(title.c_str(), &p); });
        EXPECT_EQ(std::string(p, strnlen(p, sizeof buf)), name);
        EXPECT_TRUE(p == buf && (log == kAny || err == log)) << title << "\n" << err;
    }
}

TEST(HostName, StoredAndLogged)
{
    Job t;
    char host[65] = {0};
    ASSERT_EQ(gethostname(host, 64), 0);
    const std::string safe = LogSafe(host);
    EXPECT_EQ(Err([&] { SetHostNameParam(t.rows); }),
              "HostName: " + safe + "\nSetJobParam:[HostName , " + safe + " ]\n");
    EXPECT_EQ(t.Changes(), std::string("HostName=") + host);
}

TEST(AuthFile, ContentAndKindOfFile)
{
    const std::string kEnter = "DEBUG: Enter getAuthInfo!\n", kRead = kEnter + "DEBUG: create  json_string!\n";
    const std::string kParsed = kRead + "DEBUG: Parse  json_string!\n", kOk = "DEBUG: Exit  getAuthInfo!\n";
    const std::string kFail = "DEBUG: Exit  getAuthInfo with error!\n";
    const std::string kBad = kRead + "DEBUG: Error parsing JSON\n" + kFail;
    const std::string head = R"({"AuthID":"big")", fill(64 * 1024 - head.size() - 1, ' ');
    struct {
        std::string content;  // the file's bytes, unless `make` puts something else there
        bool ok;
        std::string id, password, log;
        bool (*make)() = nullptr;
    } cases[] = {
        {R"({"AuthID": "alice", "Password": "pa55w0rd", "Other": "x"})", true, "alice", "pa55w0rd",
         kParsed + "DEBUG: AuthID: alice\nDEBUG: Password: ****\n" + kOk},
        {R"({"AuthID":"bob","Password":""})", true, "bob", "",
         kParsed + "DEBUG: AuthID: bob\nDEBUG: Password: \n" + kOk},
        {"", false, "", "", kBad}, {"not json", false, "", "", kBad}, {"{\"AuthID\":\"a\"", false, "", "", kBad},
        {R"({"authid":"a","password":"b"})", true, "", "", kParsed + kOk},
        {R"({"AuthID":5,"Password":["p"]})", true, "", "", kParsed + kOk},
        {R"(["AuthID","alice"])", true, "", "", kParsed + kOk},  // not an object
        {"{\"AuthID\":\"" + std::string(200, 'i') + "\",\"Password\":\"" + std::string(500, 'p') + "\"}", true,
         std::string(127, 'i'), std::string(127, 'p'), kAny},
        {R"({"AuthID":"a\nSTATE: +x"})", true, "a\nSTATE: +x", "", kParsed + "DEBUG: AuthID: a\\nSTATE: +x\n" + kOk},
        {std::string(200000, '['), false, "", "", kAny},  // nested too deep
        {"{\"AuthID\":\"deep\",\"x\":" + std::string(100, '[') + std::string(100, ']') + "}", true, "deep", "", kAny},
        {head + fill + "}", true, "big", "", kAny},  // 64 KiB
        {head + fill + " }", false, "", "", kEnter + "DEBUG: auth_file is larger than 65536 bytes!\n" + kFail},
        {std::string("{\"AuthID\":\"a\"}\0garbage", 23), true, "a", "", kAny},
        {"missing", false, "", "", kEnter + "DEBUG: auth_file is not found!\n", [] { return true; }},
        {"FIFO", false, "", "", kAny, [] { return mkfifo(kAuthPath, 0600) == 0; }},
        {"directory", false, "", "", kAny, [] { return mkdir(kAuthPath, 0700) == 0; }},
        {"symlink", false, "", "", kAny, [] { return symlink("/tmp/auth/real", kAuthPath) == 0; }},
    };
    mkdir("/tmp/auth", 0755);
    ASSERT_TRUE(WriteFile("/tmp/auth/real", R"({"AuthID":"linked"})"));
    for (const auto& c : cases) {
        unlink(kAuthPath), rmdir(kAuthPath);
        ASSERT_TRUE(c.make != nullptr ? c.make() : WriteFile(kAuthPath, c.content));
        char id[128] = {0}, pw[128] = {0}, *ip = id, *pp = pw;
        bool ok = false;
        std::string err = Err([&] { ok = getAuthInfo(&ip, &pp); });
        EXPECT_EQ(std::to_string(ok) + std::string(id, strnlen(id, 128)) + "|" + std::string(pw, strnlen(pw, 128)),
                  std::to_string(c.ok) + c.id + "|" + c.password) << c.content.substr(0, 60);
        EXPECT_TRUE(c.log == kAny || err == c.log) << c.content.substr(0, 60) << "\n" << err;
    }
    unlink(kAuthPath), rmdir(kAuthPath);
}

TEST(DetectCollate, SpellingsAndPrecedence)
{
    const std::string mdh = "multiple-document-handling=", sep = mdh + "separate-documents-";
    // Silent, refusing, asking: the Collate option before the IPP form, the later of two Collate words;
    // the word inside other names and values changes nothing.
    const std::vector<std::string> groups[] = {
        {"", "number-up=1 sides=one-sided", mdh + "something-else", "Collate=maybe",
         "job-name=Collate media=noCollate title=CollateBook CollateX job-name='Collate=True' x-Collate=true"},
        {"nocollate", "noCollate", "NOCOLLATE", "collate=false", "Collate=no", "collate=OFF",
         sep + "uncollated-copies", "noCollate " + sep + "collated-copies", "collate noCollate"},
        {"collate", "Collate", "Collate=True", "COLLATE=yes", "collate=ON", sep + "collated-copies",
         mdh + "single-document", mdh + "single-document-new-sheet", sep + "uncollated-copies collate",
         "noCollate Collate", "Collate=False collate=true", "Collate=maybe " + mdh + "single-document",
         "finishings=3 job-uuid=urn:uuid:1b6b time-at-creation=1700000000 date-time-at-creation= collate"}};
    const std::string logs[] = {"", "DEBUG: option nocollate found\n", "DEBUG: option collate found\n"};
    for (int g = 0; g < 3; ++g) {
        for (const auto& o : groups[g]) {
            int value = -1;
            std::string err = Err([&] { value = DetectCollate(o.c_str()); });
            const std::string want = std::to_string(g / 2);  // asking groups collate
            EXPECT_EQ(err + std::to_string(value), logs[g] + "DEBUG: collate is " + want + "\n" + want) << o;
        }
    }
}

namespace {

const std::string kOffBy = "DEBUG: Duplex is amend to OFF. Cause of Duplex ON + ", kManual = kOffBy + "ManualTray. \n";
const std::string kNoPlain = kOffBy + "No Plain. \n", kA5L = kOffBy + "A5L. \n";
const std::string kSize = kOffBy + "Unsupport Media Size. \n", kCheck = "DEBUG: Verify the Params Constraint. \n";
const std::string kVerify = "DEBUG: Verifying Duplex Constraint... \n";
const std::string kOff = "SetJobParam:[Duplex , None ]\nSetJobParam:[Border , ";  // a refusal is stored at once
const std::vector<std::string> kSizes = {"A4", "A5", "B5", "16k", "Letter", "Statement", "Legal", "Executive", "A6",
                                         "B6", "B5ISO", "BANK1", "BANK2"};

// A table holding the tokens of `options`, and settings no rule leaves as they are.
Job Tokens(const std::string& options)
{
    Job j;
    j.s = {77, -7, -7, -7, -7, -7};
    Err([&] { GetJobParamFromCups(options.c_str(), j.rows); });
    return j;
}

// Applies choices in short form: "opt=X" or "size=X" (the page size from the option text or the marking),
// "slot=X", "tray=Manual|Auto", "duplex=NoTumble|Tumble", "media=Recycle|Thin|Thick", "copies=X" (the
// argument), "a5", "feed", "1200", "land", "borderless".
Job Apply(const std::string& choices, const std::string& options = "")
{
    JobChoices c;
    std::string copies = "1";
    std::istringstream in(choices);
    for (std::string w; std::getline(in, w, ' ');) {
        std::string k = w.substr(0, w.find('=')), v = w.substr(w.find('=') + 1);
        if (k == "opt" || k == "size")
            c.pageSize = v, c.pageSizeFrom = k == "opt" ? PageSizeFrom::Option : PageSizeFrom::Marking;
        else if (k == "slot")
            c.inputSlotText = v;
        else if (k == "copies")
            copies = v;
        else if (k == "tray")
            c.tray = v == "Manual" ? TrayChoice::Manual : TrayChoice::Auto;
        else if (k == "duplex")
            c.duplex = v == "NoTumble" ? DuplexChoice::NoTumble : DuplexChoice::Tumble;
        else if (k == "media")
            c.media = v == "Recycle" ? MediaChoice::Recycle : v == "Thin" ? MediaChoice::Thin : MediaChoice::Thick;
        c.pageA5 |= w == "a5", c.feedEdge |= w == "feed", c.resolution1200 |= w == "1200";
        c.landscape |= w == "land", c.borderless |= w == "borderless";
    }
    Job j = Tokens(options);
    j.err = Err([&] { ApplyJobChoices(c, copies.c_str(), j.rows, &j.s); });
    return j;
}

}  // namespace

TEST(Settings, EveryLineInItsOrder)
{
    mkdir("/tmp/auth", 0755);
    unlink(kAuthPath);
    const std::string none = "DEBUG: ppdIsMarked FeedEdge,value=0\nDEBUG: ppdIsMarked Flag_Page_A5,value=0\n"
                             "DEBUG: ppdIsMarked Orientation,value=0\n", noAuth = "DEBUG: auth_file is not found!\n";
    EXPECT_EQ(Apply("size=A4").err, "DEBUG: ppd PageSize,value=A4\nSetJobParam:[PageSize , A4 ]\n"
        "SetJobParam:[InputSlot , MainTray ]\nDEBUG: InputSlot is MainTray.\nDEBUG: resX is default(600dpi).\n"
        "SetJobParam:[Duplex , None ]\nDEBUG: duplex is 0 \n" + none + "SetJobParam:[MediaType , Plain ]\n"
        "DEBUG: ppdIsMarked MediaType,value=0\nDEBUG: input copies is 1 \nSetJobParam:[copies , 1 ]\n"
        "GetJobParam:[PageSize , A4 ]\nDEBUG: Enter getAuthInfo!\n" + noAuth + kCheck + "SetJobParam:[Border , 1 ]\n"
        "DEBUG: ppdIsMarked Border,value=1\n");
    EXPECT_EQ(Apply("size=BANK1 tray=Auto duplex=Tumble media=Recycle").err,
        "DEBUG: ppd PageSize,value=BANK1\nSetJobParam:[PageSize , BANK1 ]\nSetJobParam:[InputSlot , AutoTray ]\n"
        "DEBUG: InputSlot is AutoTray.\nDEBUG: resX is default(600dpi).\nSetJobParam:[Duplex , DuplexTumble ]\n"
        "DEBUG: duplex is 2 \n" + none + "SetJobParam:[MediaType , Recycle ]\nDEBUG: ppdIsMarked MediaType,value=3\n"
        "DEBUG: input copies is 1 \n"
        "SetJobParam:[copies , 1 ]\nGetJobParam:[PageSize , BANK1 ]\nSetJobParam:[PageSize , CUS_1 ]\n"
        "DEBUG: Enter getAuthInfo!\n" + noAuth + kCheck + kVerify + "GetJobParam:[InputSlot , AutoTray ]\n"
        "GetJobParam:[PageSize , CUS_1 ]\nDEBUG: PageSize:CUS_1. \n" + kSize + kOff + "1 ]\n"
        "DEBUG: ppdIsMarked Border,value=1\n");
    // The identity from the auth file comes after the copies and before the checks; the password is never logged.
    ASSERT_TRUE(WriteFile(kAuthPath, R"({"AuthID":"carol","Password":"hunter2"})"));
    EXPECT_EQ(Apply("opt=A5 slot=X tray=Manual 1200 duplex=NoTumble feed a5 land media=Thick borderless copies=3").err,
        "DEBUG: option PageSize,value=A5\nSetJobParam:[PageSize , A5 ]\nDEBUG: option PaperBox,value=X\n"
        "SetJobParam:[InputSlot , X ]\nDEBUG: InputSlot is ManualTray.\nSetJobParam:[InputSlot , ManualTray ]\n"
        "SetJobParam:[Resolution , 1200dpi ]\nDEBUG: Resolution is 1200dpi. \nDEBUG: resX is default(600dpi).\n"
        "SetJobParam:[Duplex , DuplexNoTumble ]\nDEBUG: duplex is 1 \nSetJobParam:[FeedEdge , 1 ]\n"
        "DEBUG: ppdIsMarked FeedEdge,value=1\nDEBUG: ppdIsMarked Flag_Page_A5,value=1\n"
        "DEBUG: ppdIsMarked Orientation,value=1\nSetJobParam:[MediaType , Thick ]\n"
        "DEBUG: ppdIsMarked MediaType,value=2\nDEBUG: input copies is 3 \nSetJobParam:[copies , 3 ]\n"
        "GetJobParam:[PageSize , A5 ]\nDEBUG: Enter getAuthInfo!\nDEBUG: create  json_string!\n"
        "DEBUG: Parse  json_string!\nDEBUG: AuthID: carol\nDEBUG: Password: ****\nDEBUG: Exit  getAuthInfo!\n"
        "SetJobParam:[AuthID , carol ]\nSetJobParam:[AuthPassword , **** ]\n" + kCheck + kVerify +
        "GetJobParam:[InputSlot , ManualTray ]\n" + kManual + kOff + "0 ]\nDEBUG: ppdIsMarked Border,value=0\n");
    unlink(kAuthPath);
    for (const char* ppd : {"", "/nonexistent.ppd", "/tmp", "/dev/null"}) {
        Job j = Tokens("PageSize=A5");
        ppd[0] != '\0' ? setenv("PPD", ppd, 1) : unsetenv("PPD");
        j.err = Err([&] { EXPECT_FALSE(ResolvePrintSettings("PageSize=A5", "1", j.rows, &j.s)); });
        EXPECT_EQ(j.err + j.Changes(), "ERROR: Unable to open PPD file!\n"
                  "PageSize=A5 s.duplex=-7 s.FeedEdge=-7 s.A5=-7 s.MediaType=-7 s.copies=-7");  // nothing else touched
    }
}

TEST(Settings, EveryRuleThroughTheChoicesAndThePpdsMarking)
{
    const std::string full = TestPpd("full.ppd"), product = ProductPpd(), bare = TestPpd("bare.ppd");
    const std::string dup = "duplex=NoTumble ";
    struct Case {
        std::string choices, changes;                   // changes as Job::Changes writes them
        std::vector<std::string> logs;                  // parts of standard error; with '!', parts it lacks
        std::string ppd = "", options = "", auth = "";  // a PPD marked with `options` amounts to the choices
    };
    std::vector<Case> cases = {
        {"size=A4", "", {"!" + kVerify}, full}, {"size=A4", "", {}, product},
        // The PageSize option's text, else the marked size; the InputSlot option's text, then the tray.
        {"opt=Tabloid slot=Drawer9", "PageSize=Tabloid Resolution=300dpi resX=300dpi", {"!ppd Pa", "!1200dpi",
         "InputSlot , Drawer9 ]\nSetJobParam:[InputSlot , MainTray ]\n"}, full,
         "PageSize=Tabloid InputSlot=Drawer9 Resolution=300dpi resX=300dpi"},
        {"size=A4 slot=ManualTray tray=Manual 1200 borderless land", "Resolution=1200dpi InputSlot=ManualTray Border=0",
         {}, full, "InputSlot=ManualTray Resolution=1200dpi Border=0 Orientation=Landscape"},
        {"size=A4 slot=AutoTray tray=Auto media=Thin feed " + dup, "FeedEdge=1 MediaType=Thin InputSlot=AutoTray "
         "s.FeedEdge=1 s.MediaType=1", {"MediaType,value=1\n", kNoPlain + kOff}, full,
         "InputSlot=AutoTray MediaType=Thin FeedEdge=1 Duplex=DuplexNoTumble"},
        // Short edge also without a Duplex option; plain paper for a media type the PPD lacks.
        {"size=A4 duplex=Tumble media=Recycle", "Duplex=DuplexTumble MediaType=Recycle s.duplex=2 s.MediaType=3",
         {"!amend"}, full, "sides=two-sided-short-edge MediaType=Recycle"},
        {"size=A4 duplex=Tumble", "Duplex=DuplexTumble s.duplex=2", {}, TestPpd("no_duplex.ppd"),
         "MediaType=Unknown Border=0"},
        // A5 from the marking (a size the PPD lacks is none), fed short edge first: no two-sided printing.
        {"size=A5 a5 feed land " + dup + "media=Recycle", "PageSize=A5 FeedEdge=1 MediaType=Recycle s.FeedEdge=1 "
         "s.A5=1 s.MediaType=3", {kA5L + kOff, "!DEBUG: PageSize:"}, TestPpd("a5l.ppd")},
        {"opt=A5 tray=Auto duplex=Tumble media=Thick", "PageSize=A5 FeedEdge=1 MediaType=Thick InputSlot=AutoTray "
         "s.MediaType=2", {kNoPlain}, bare, "PageSize=A5 FeedEdge=1"},
        {"tray=Auto duplex=Tumble media=Thick", "MediaType=Thick InputSlot=AutoTray s.MediaType=2", {"!PageSize,"},
         bare},
        {"opt=BANK2", "PageSize=CUS_2", {}}, {"opt=bank1", "PageSize=bank1", {}},
        {"opt=B5ISO slot=AutoTray tray=Auto 1200 duplex=Tumble feed media=Recycle borderless land", "PageSize=B5ISO "
         "Resolution=1200dpi FeedEdge=1 Duplex=DuplexTumble MediaType=Recycle InputSlot=AutoTray Border=0 s.duplex=2 "
         "s.FeedEdge=1 s.MediaType=3", {"!amend"}, product, "PageSize=B5ISO InputSlot=AutoTray Resolution=1200dpi "
         "Duplex=DuplexTumble FeedEdge=1 MediaType=Recycle Border=0 Orientation=Landscape"},
        // Outside text in messages stays on one line.
        {"opt=A4\nSTATE:+x slot=T\r1 " + dup, "PageSize=A4\nSTATE:+x", {"DEBUG: option PageSize,value=A4\\nSTATE:+x\n",
         "DEBUG: option PaperBox,value=T\\r1\n", "DEBUG: PageSize:A4\\nSTATE:+x. \n" + kSize, "!\nSTATE:"}, full,
         "PageSize='A4\nSTATE:+x' InputSlot=\"T\r1\" Duplex=DuplexNoTumble"},
        // The auth file's identity replaces the options' only when the file parses.
        {"", "AuthID=dave", {}, "", "AuthPassword=fromoptions", R"({"AuthID":"dave"})"},
        {"", "AuthID=opt", {"!SetJobParam:[AuthID"}, "", "AuthID=opt", "{broken"},
        // Two-sided printing is refused by the first rule that applies; sizes compare exactly.
        {dup + "media=Thick a5 feed", "FeedEdge=1 MediaType=Thick s.FeedEdge=1 s.A5=1 s.MediaType=2",
         {kNoPlain + kOff, "!" + kA5L, "!DEBUG: PageSize:"}},
        {dup + "opt=a4", "PageSize=a4", {kSize}},
    };
    // The copies argument's leading number, held to int; its text is stored as it is.
    for (const auto& [text, n] : std::vector<std::pair<std::string, int>>{{"abc", 0}, {"", 0}, {"7x", 7}, {"\t12", 12},
             {"-2", -2}, {"99999999999999999999999", INT_MAX}, {"-99999999999999999999999", INT_MIN}})
        cases.push_back({"copies=" + text, "copies=" + text + " s.copies=" + std::to_string(n), {}});
    // Every size "media=" marks, and those two-sided printing allows; the product lacks sizes of unknown dimensions.
    const std::vector<std::string> twoSided = {"A4", "Letter", "A5", "B5", "B5ISO", "16k"};
    for (const std::string& ppd : {full, product}) {
        for (const auto& size : kSizes) {
            if (ppd == product && size.compare(0, 4, "BANK") == 0)
                continue;
            std::string stored = size == "BANK1" ? "CUS_1" : size == "BANK2" ? "CUS_2" : size;
            std::string ch = "PageSize=" + stored + " ";
            bool ok = std::find(twoSided.begin(), twoSided.end(), size) != twoSided.end(), a5 = size == "A5";
            ch = (size == "A4" ? "" : ch) + (ok ? "Duplex=DuplexTumble s.duplex=2 " : "") + (a5 ? "s.A5=1 " : "");
            cases.push_back({"size=" + size + " duplex=Tumble" + (a5 ? " a5" : ""), ch.substr(0, ch.size() - 1),
                             {"DEBUG: PageSize:" + stored + ". \n" + (ok ? "SetJobParam:[Border" : kSize + kOff)}, ppd,
                             "media=" + size + " Duplex=DuplexTumble"});
        }
    }
    mkdir("/tmp/auth", 0755);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ppd + " " + c.choices.substr(0, 80) + " / " + c.options);
        unlink(kAuthPath);
        ASSERT_TRUE(c.auth.empty() || WriteFile(kAuthPath, c.auth));
        Job j = Apply(c.choices, c.options), got = Tokens(c.options);
        EXPECT_EQ(j.Changes(), c.changes);
        for (const auto& part : c.logs)
            EXPECT_NE(Has(j.err, part.substr(part[0] == '!')), part[0] == '!') << part << "\nin:\n" << j.err;
        if (c.ppd.empty())
            continue;
        setenv("PPD", c.ppd.c_str(), 1);
        got.err = Err([&] { EXPECT_TRUE(ResolvePrintSettings(c.options.c_str(), "1", got.rows, &got.s)); });
        EXPECT_EQ(got.err + got.Changes(), j.err + j.Changes());
    }
    unlink(kAuthPath);
}
