// The job parameter table and its text form, the document name, the host name, the authentication file, collation,
// and the print settings: their rules through ApplyJobChoices, a PPD's marking through ResolvePrintSettings.
#include <gtest/gtest.h>

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

static const char kAuthPath[] = "/tmp/auth/auth_config";
static const PrintSettings kUntouched = {77, -7, -7, -7, -7, -7};  // values no rule leaves as they are
static const std::string kDefaultText =
    "PageSize=A4, Resolution=600dpi, resX=600dpi, resY=600dpi, FeedEdge=0, Collate=False, Duplex=None, "
    "MediaType=Plain, InputSlot=MainTray, number-up=1, job-uuid=, job-originating-host-name=, "
    "date-time-at-creation=, date-time-at-processing=, time-at-creation=, time-at-processing=, copies=1, "
    "jobId=, DocName=, HostName=, LoginName=, AuthID=, AuthPassword=, Border=1, ";

static std::string Err(const std::function<void()>& f)
{
    testing::internal::CaptureStderr();
    f();
    return testing::internal::GetCapturedStderr();
}

// A table with its defaults and the tokens of `options` (their log in `err`), and settings (a one-sided single copy).
struct Job {
    PARAM_KEY_SPERATOR_VALUE rows[kParamRows];
    PrintSettings s;
    std::string err;
    explicit Job(const std::string& options = "", PrintSettings settings = {77, 0, 0, 0, 0, 1}) : s(settings)
    {
        memcpy(rows, tblDefParam, sizeof rows);
        err = Err([&] { GetJobParamFromCups(options.c_str(), rows); });
    }
    std::string Set(const char* key, const std::string& value)
    {
        return Err([&] { SetJobParam(key, value.c_str(), rows); });
    }
    // The rows that differ from their defaults, then the settings that differ from the above (no rule sets collate).
    std::string Changes() const
    {
        std::string out;
        for (int i = 0; i < kParamRows; ++i)
            if (strcmp(rows[i].value, tblDefParam[i].value) != 0)
                out += std::string(" ") + rows[i].key + "=" + rows[i].value;
        const std::tuple<const char*, int, int> flags[] = {
            {"duplex", s.duplex, 0},   {"FeedEdge", s.Flag_FeedEdge, 0},
            {"A5", s.Flag_Page_A5, 0}, {"MediaType", s.Flag_MediaType, 0},
            {"copies", s.copies, 1},   {"collate", s.collate, 77}};
        for (const auto& [key, value, usual] : flags)
            if (value != usual)
                out += std::string(" s.") + key + "=" + std::to_string(value);
        return out.erase(0, 1);
    }
    // The text form (its log in `err`), into a buffer with room to spare that must stay untouched.
    std::string Build()
    {
        std::string buf(kJobParamsTextSize + 64, '#');
        char* p = buf.data();
        err = Err([&] { BuildJobParams(&p, rows); });
        EXPECT_EQ(buf.substr(kJobParamsTextSize), std::string(64, '#'));
        return buf.c_str();
    }
};

TEST(JobParams, TextTokensLogsAndDocumentName)
{
    Job t, u, v;
    EXPECT_EQ(v.Build(), kDefaultText);
    for (auto& r : v.rows)
        v.Set(r.key, std::string(300, 'v'));
    EXPECT_EQ(v.Build().size(), kJobParamsTextSize - 1);  // values cut at 255: the longest text, 6,436 characters
    v.rows[9].sperator[0] = '\0';                         // number-up: the value alone
    EXPECT_EQ(v.Build().size(), kJobParamsTextSize - 1 - strlen("number-up="));
    // Names match exactly; a value is zero-filled and may come from its own row.
    char marker[] = "untouched", *p = marker, *doc = nullptr, id[128], pw[128], host[65] = {0};
    auto get = [&](const char* key, char** value) { return Err([&] { GetJobParam(key, value, u.rows); }); };
    EXPECT_EQ(get("pagesize", &p) + get("PageSize ", &p) + u.Set("Page", "A5") + u.Set("NoSuchKey", "A5") + p, marker);
    u.Set("Duplex", "DuplexNoTumble"), u.Set("Duplex", "None"), u.Set("DocName", "report.pdf");
    get("Duplex", &p), get("DocName", &doc), u.Set("DocName", doc);
    EXPECT_EQ(p, u.rows[6].value);  // points into the table
    EXPECT_EQ(std::string(u.rows[6].value, sizeof u.rows[6].value), "None" + std::string(252, '\0'));
    EXPECT_EQ(u.Changes(), "DocName=report.pdf");
    // The printer's text holds values as they are; a log shows it with the password and control characters changed.
    t.Set("AuthPassword", "s3cr3t"), t.Set("DocName", "a, b=c\nd");
    std::string text = kDefaultText, shown = kDefaultText, doc600 = "DocName=" + std::string(600, 'd'), d255(255, 'd');
    text.insert(text.find("DocName=") + 8, "a, b=c\nd").insert(text.find("AuthPassword=") + 13, "s3cr3t");
    shown.insert(shown.find("DocName=") + 8, "a, b=c\\nd").insert(shown.find("AuthPassword=") + 13, "****");
    EXPECT_EQ(t.Build(), text);
    ASSERT_EQ(gethostname(host, 64), 0);
    auto docName = [](const std::string& title) {
        char buf[256], *name = buf;
        memset(buf, 'Z', sizeof buf);
        Err([&] { getDocumenName(title.c_str(), &name); });
        return std::string(name, strnlen(name, sizeof buf)) + (name == buf ? "" : " (moved)");
    };
    const std::pair<std::function<std::string()>, std::string> cases[] = {
        // Tokens set the first row whose name they contain, the value counted from the token's start; only a blank
        // ends a token; two blanks make an empty token, a trailing blank none; a name alone changes nothing.
        {[] { return Job("date-time-at-creation=X xxBorder=0").Changes(); }, "date-time-at-creation=X Border=r=0"},
        {[] { return Job("DocName=a\tB=0\nSTATE: Collate").Changes(); }, "DocName=a\tB=0\nSTATE:"},
        {[&] { return Job(doc600 + " Border=0").Changes(); }, "DocName=" + d255 + " Border=0"},
        {[&] { return Job(doc600).err.substr(0, 532); }, "One_Param:" + doc600.substr(0, 511) + " , Len:511\n"},
        {[] { return Job("PageSize= Border=0").Changes(); }, "Border=0"},  // an empty value changes nothing
        {[] { return Job("x  y ").err; }, "One_Param:x , Len:1\nOne_Param: , Len:0\nOne_Param:y , Len:1\n"},
        {[] { return JobParamsForLog(tblDefParam); }, kDefaultText},  // an empty password stays empty
        {[&] { return JobParamsForLog(t.rows); }, shown},
        {[&] { return t.Build(), t.err; }, "BuildJobParams:" + shown + "\n"},
        {[&] { return t.Set("DocName", "a, b=c\nd"); }, "SetJobParam:[DocName , a, b=c\\nd ]\n"},
        {[&] { return t.Set("AuthPassword", "s3"); }, "SetJobParam:[AuthPassword , **** ]\n"},
        {[&] { return Err([&] { GetJobParam("AuthPassword", &p, t.rows); }); }, "GetJobParam:[AuthPassword , **** ]\n"},
        {[] { return Job("AuthPassword=0ther").err; },
         "One_Param:AuthPassword=**** , Len:18\nKey:AuthPassword , Length:12\nValue:**** , Length:5\n"},
        {[] { return OptionsForLog("a AuthPassword=pw  xAuthPassword=q AuthPassword= b\n"); },
         "a AuthPassword=****  xAuthPassword**** AuthPassword= b\\n"},
        {[&] { return Err([&] { ParseAuthJson(R"({"AuthID":"a\nb","Password":"x"})", 32, id, pw); }); },
         "DEBUG: Parse  json_string!\nDEBUG: AuthID: a\\nb\nDEBUG: Password: ****\n"},
        {[] { return LogSafe("a\nb\rc\td\\e\x01\x1f\x7f") + LogSafe(nullptr) + LogSafe("Gr\u00fc\u00df\0b", 8); },
         "a\\nb\\rc\\td\\\\e\\x01\\x1f\\x7fGr\u00fc\u00df\\x00b"},
        {[&] { return Err([&] { SetHostNameParam(t.rows); }) + t.rows[19].value; },
         "HostName: " + LogSafe(host) + "\nSetJobParam:[HostName , " + LogSafe(host) + " ]\n" + host},
        // The document name: the title's last component, cut at the first blank after its first '.'.
        {[&] { return docName("/home/user/report.pdf"); }, "report.pdf"},
        {[&] { return docName("report.pdf and more"); }, "report.pdf"},
        {[&] { return docName("My Letter  to you"); }, "My Letter  to you"},
        {[&] { return docName("/a.b c/my doc.x y"); }, "my doc.x"},
        {[&] { return docName("/home/user/") + docName(""); }, ""},
        {[&] { return docName("/d/" + std::string(300, 'n') + ".pdf"); }, std::string(255, 'n')}};
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(cases[i].first(), cases[i].second) << "case " << i;
}

TEST(DetectCollate, SpellingsAndPrecedence)
{
    const std::string mdh = "multiple-document-handling=", sep = mdh + "separate-documents-";
    // Off, then on: the Collate option before the IPP form, the later of two Collate words, never the word in others.
    const std::vector<std::string> groups[] = {
        {"", "number-up=1 sides=one-sided", mdh + "something-else", "Collate=maybe",
         "job-name=Collate media=noCollate title=CollateBook CollateX job-name='Collate=True' x-Collate=true",
         "nocollate", "noCollate", "NOCOLLATE", "collate=false", "Collate=no", "collate=OFF", sep + "uncollated-copies",
         "noCollate " + sep + "collated-copies", "Collate=false " + sep + "collated-copies", "collate noCollate"},
        {"collate", "Collate", "Collate=True", "COLLATE=yes", "collate=ON", sep + "collated-copies",
         mdh + "single-document", mdh + "single-document-new-sheet", sep + "uncollated-copies collate",
         "noCollate Collate", "Collate=False collate=true", "Collate=maybe " + mdh + "single-document",
         "finishings=3 job-uuid=urn:uuid:1b6b time-at-creation=1700000000 date-time-at-creation= collate"}};
    Err([&] {
        for (int want : {0, 1})
            for (const auto& o : groups[want])
                EXPECT_EQ(DetectCollate(o.c_str()), want) << o;
    });
}

// Applies choices in short form to a table holding the tokens of `options`: "opt=X" or "size=X" (the page size from
// the option text or the marking), "slot=X" (the InputSlot option's text), "copies=X" (the argument), "manual",
// "auto", "long", "short", "recycle", "thin", "thick", "a5", "feed", "1200", "land", "borderless".
static Job Apply(const std::string& choices, const std::string& options)
{
    JobChoices c;
    std::string copies = "1", w;
    for (std::istringstream in(choices); std::getline(in, w, ' ');) {
        std::string k = w.substr(0, w.find('=')), v = w.substr(w.find('=') + 1);
        c.pageSizeFrom = k == "opt" ? PageSizeFrom::Option : k == "size" ? PageSizeFrom::Marking : c.pageSizeFrom;
        c.pageSize = k == "opt" || k == "size" ? v : c.pageSize;
        c.inputSlotText = k == "slot" ? std::optional(v) : c.inputSlotText;
        copies = k == "copies" ? v : copies;
        c.tray = w == "manual" ? TrayChoice::Manual : w == "auto" ? TrayChoice::Auto : c.tray;
        c.duplex = w == "long" ? DuplexChoice::NoTumble : w == "short" ? DuplexChoice::Tumble : c.duplex;
        c.media = w == "recycle" ? MediaChoice::Recycle : w == "thin" ? MediaChoice::Thin : c.media;
        c.media = w == "thick" ? MediaChoice::Thick : c.media;
        c.pageA5 |= w == "a5", c.feedEdge |= w == "feed", c.resolution1200 |= w == "1200";
        c.landscape |= w == "land", c.borderless |= w == "borderless";
    }
    Job j(options, kUntouched);
    j.err = Err([&] { ApplyJobChoices(c, copies.c_str(), j.rows, &j.s); });
    return j;
}

TEST(Settings, EveryRuleThroughTheChoicesAndThePpdsMarking)
{
    struct Case {  // a PPD (the first word of `ppd`) marked with options (the rest) amounts to the choices
        std::string choices, ppd, changes = "?", log = "";  // "?": not compared; a part of the log ('!': one it lacks)
    };
    std::vector<Case> cases = {
        // One-sided printing is never checked; two-sided printing is refused by the first rule that applies.
        {"manual borderless 1200", "", "Resolution=1200dpi InputSlot=ManualTray Border=0", "!Verifying"},
        {"short recycle", "", "Duplex=DuplexTumble MediaType=Recycle s.duplex=2 s.MediaType=3"},
        {"long feed", "", "FeedEdge=1 Duplex=DuplexNoTumble s.duplex=1 s.FeedEdge=1"},
        {"long thin", "", "MediaType=Thin s.MediaType=1", "No Plain"},
        {"long feed a5", "", "FeedEdge=1 s.FeedEdge=1 s.A5=1", "A5L"},
        {"long opt=a4", "", "PageSize=a4", "Unsupport Media Size"},  // sizes compare exactly
        {"opt=BANK2", "", "PageSize=CUS_2"},
        {"opt=bank1", "", "PageSize=bank1"},
        // The copies argument's leading number, held to int; its text is stored as it is.
        {"copies=7x", "", "copies=7x s.copies=7"},
        {"copies=99999999999999999999999", "", "copies=99999999999999999999999 s.copies=2147483647"},
        {"copies=-99999999999999999999999", "", "copies=-99999999999999999999999 s.copies=-2147483648"},
        // The PageSize option's text, else the marked size; the InputSlot option's text, then the tray.
        {"opt=Tabloid slot=Drawer9 land", "full PageSize=Tabloid InputSlot=Drawer9 Orientation=Landscape"},
        {"size=A4 1200 feed borderless short", "full Resolution=1200dpi FeedEdge=1 Border=0 Duplex=DuplexTumble"},
        {"size=A4 slot=ManualTray manual recycle", "full InputSlot=ManualTray MediaType=Recycle"},
        {"size=A4 slot=AutoTray auto thin", "full InputSlot=AutoTray MediaType=Thin"},
        // Short edge also without a Duplex option; plain paper for a media type the PPD lacks; a PPD's defaults.
        {"size=A4 short", "full sides=two-sided-short-edge"},
        {"size=A4 short", "no_duplex MediaType=Unknown"},
        {"size=A5 a5 feed land long recycle", "a5l"},
        {"opt=A5 auto short thick", "bare PageSize=A5 FeedEdge=1"},  // a size the PPD lacks is never A5
        {"opt=B5ISO slot=AutoTray auto 1200 long feed borderless",
         "product PageSize=B5ISO InputSlot=AutoTray Resolution=1200dpi Duplex=DuplexNoTumble FeedEdge=1 Border=0"},
        // Outside text in messages stays on one line.
        {"opt=A4\nSTATE:+x slot=T\nSTATE:1", "full PageSize='A4\nSTATE:+x' InputSlot=\"T\nSTATE:1\"", "?", "!\nSTATE:"},
        {"", "/nonexistent.ppd PageSize=A5"},  // no PPD opens: nothing is touched
        {"", "/dev/null PageSize=A5"}};
    // Every size "media=" marks, the first six two-sided; the product lacks the last two, the bank sizes.
    const std::string sizes[] = {"A4",    "Letter",    "A5", "B5", "B5ISO", "16k",  "Statement",
                                 "Legal", "Executive", "A6", "B6", "BANK1", "BANK2"};
    for (int i = 0; i < 13 + 11; ++i)
        cases.push_back({"short size=" + sizes[i % 13] + (i % 13 == 2 ? " a5" : ""),
                         (i < 13 ? "full media=" : "product media=") + sizes[i % 13] + " Duplex=DuplexTumble", "?",
                         i % 13 < 6 ? "!amend" : "Unsupport Media Size"});
    unlink(kAuthPath), rmdir(kAuthPath);  // no auth file
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ppd + " / " + c.choices);
        const std::string ppd = c.ppd.substr(0, c.ppd.find(' ')), options = c.ppd.substr(ppd.size() + (ppd != c.ppd));
        Job j = Apply(c.choices, options), got(options, kUntouched);
        EXPECT_TRUE(c.changes == "?" || j.Changes() == c.changes) << j.Changes();
        EXPECT_EQ(j.err.find(c.log.substr(c.log[0] == '!')) != j.err.npos, c.log[0] != '!') << j.err;
        if (ppd.empty())
            continue;
        const bool none = ppd[0] == '/';
        const std::string untouched = "ERROR: Unable to open PPD file!\n" + got.Changes();
        setenv("PPD", (none ? ppd : ppd == "product" ? ProductPpd() : TestPpd(ppd + ".ppd")).c_str(), 1);
        got.err = Err([&] { EXPECT_EQ(ResolvePrintSettings(options.c_str(), "1", got.rows, &got.s), !none); });
        EXPECT_EQ(got.err + got.Changes(), none ? untouched : j.err + j.Changes());
    }
}

// The identity from the auth file replaces the options' when the file parses.
TEST(AuthFile, ContentAndKindOfFile)
{
    const std::string head = R"({"AuthID":"big")", fill(64 * 1024 - head.size() - 1, ' '), i(200, 'i'), p(200, 'p');
    struct {
        std::string content, changes;  // the file's bytes, unless `make` puts something else there
        bool (*make)() = nullptr;
    } cases[] = {{R"({"AuthID": "alice", "Password": "pa55w0rd", "Other": "x"})", "AuthID=alice AuthPassword=pa55w0rd"},
                 {"{\"AuthID\":\"a\"", "AuthID=opt"},
                 {R"({"authid":"a","password":"b"})", ""},
                 {R"({"AuthID":5,"Password":["p"]})", ""},
                 {R"(["AuthID","alice"])", ""},  // not an object
                 {R"({"AuthID":")" + i + R"(","Password":")" + p + "\"}",
                  "AuthID=" + i.substr(0, 127) + " AuthPassword=" + p.substr(0, 127)},
                 {std::string(200000, '['), "AuthID=opt"},  // nested too deep
                 {head + fill + "}", "AuthID=big"},         // 64 KiB, and one byte more
                 {head + fill + " }", "AuthID=opt"},
                 {std::string("{\"AuthID\":\"a\"}\0garbage", 23), "AuthID=a"},
                 {"missing", "AuthID=opt", [] { return true; }},
                 {"FIFO", "AuthID=opt", [] { return mkfifo(kAuthPath, 0600) == 0; }},
                 {"directory", "AuthID=opt", [] { return mkdir(kAuthPath, 0700) == 0; }},
                 {"symlink", "AuthID=opt", [] { return symlink("/tmp/auth/real", kAuthPath) == 0; }}};
    mkdir("/tmp/auth", 0755);
    ASSERT_TRUE(WriteFile("/tmp/auth/real", R"({"AuthID":"linked"})"));
    for (const auto& c : cases) {
        unlink(kAuthPath), rmdir(kAuthPath);
        ASSERT_TRUE(c.make != nullptr ? c.make() : WriteFile(kAuthPath, c.content));
        EXPECT_EQ(Apply("", "AuthID=opt").Changes(), c.changes) << c.content.substr(0, 60);
    }
    unlink(kAuthPath), rmdir(kAuthPath);
}
