// Collation from the option text, and the print settings resolved from the
// test PPDs under tests/ppd marked with the job's options.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "params/params.h"
#include "tests/testutil.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// libcups 2.4.2 loses a few strings of the PPD cache it builds when a job's
// options carry "media=" (ppdClose does not free them); a leak checker run
// must not blame the settings code for it.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:_ppdCacheCreateWithPPD\n";
}

TEST(DetectCollate, SpellingsAndPrecedence)
{
    const std::string kAsks = "DEBUG: option collate found\nDEBUG: collate is 1\n";
    const std::string kRefuses = "DEBUG: option nocollate found\nDEBUG: collate is 0\n";
    const std::string kSilent = "DEBUG: collate is 0\n";
    const std::string mdh = "multiple-document-handling=";
    struct Case {
        std::string options, log;
    } cases[] = {
        {"", kSilent}, {"number-up=1 sides=one-sided", kSilent},
        // lp -o collate=true / =false / Collate=True / Collate=False
        {"collate", kAsks}, {"nocollate", kRefuses}, {"Collate", kAsks}, {"noCollate", kRefuses},
        {"NOCOLLATE", kRefuses}, {"Collate=True", kAsks}, {"COLLATE=yes", kAsks}, {"collate=ON", kAsks},
        {"collate=false", kRefuses}, {"Collate=no", kRefuses}, {"collate=OFF", kRefuses},
        {mdh + "separate-documents-collated-copies", kAsks}, {mdh + "single-document", kAsks},
        {mdh + "single-document-new-sheet", kAsks}, {mdh + "separate-documents-uncollated-copies", kRefuses},
        {mdh + "something-else", kSilent},
        // The Collate option over the IPP form; the later of two Collate words.
        {"noCollate " + mdh + "separate-documents-collated-copies", kRefuses},
        {mdh + "separate-documents-uncollated-copies collate", kAsks},
        {"collate noCollate", kRefuses}, {"noCollate Collate", kAsks}, {"Collate=False collate=true", kAsks},
        {"Collate=maybe", kSilent}, {"Collate=maybe " + mdh + "single-document", kAsks},
        // The word inside names and values changes nothing.
        {"job-name=Collate media=noCollate title=CollateBook CollateX job-name='Collate=True' x-Collate=true", kSilent},
        {"finishings=3 job-uuid=urn:uuid:1b6b time-at-creation=1700000000 date-time-at-creation= collate", kAsks},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        CaptureStderr();
        int value = DetectCollate(c.options.c_str());
        EXPECT_EQ(GetCapturedStderr(), c.log);
        EXPECT_EQ(value, c.log == kAsks ? 1 : 0);
    }
}

namespace {

const char kConstraintStart[] = "DEBUG: Verify the Params Constraint. \n";
const char kVerifying[] = "DEBUG: Verifying Duplex Constraint... \n";
const std::string kManual = "DEBUG: Duplex is amend to OFF. Cause of Duplex ON + ManualTray. \n";
const std::string kNoPlain = "DEBUG: Duplex is amend to OFF. Cause of Duplex ON + No Plain. \n";
const std::string kA5L = "DEBUG: Duplex is amend to OFF. Cause of Duplex ON + A5L. \n";
const std::string kSize = "DEBUG: Duplex is amend to OFF. Cause of Duplex ON + Unsupport Media Size. \n";
// A refusal is stored at once, right before the border is decided.
const std::string kOff = "SetJobParam:[Duplex , None ]\nSetJobParam:[Border , ";

struct Resolved {
    bool ok = false;
    PARAM_KEY_SPERATOR_VALUE table[kParamRows];
    PrintSettings s;
    std::string err;
    // A table value, or with "s." one of the settings.
    std::string Get(const std::string& key) const
    {
        const std::pair<const char*, int> flags[] = {{"s.duplex", s.duplex}, {"s.FeedEdge", s.Flag_FeedEdge},
                                                     {"s.A5", s.Flag_Page_A5}, {"s.MediaType", s.Flag_MediaType}};
        for (const auto& f : flags)
            if (key == f.first)
                return std::to_string(f.second);
        for (const auto& r : table)
            if (key == r.key)
                return r.value;
        return "<missing>";
    }
};

// The driver's order: defaults, the option tokens, then the resolution.
Resolved Resolve(const std::string& ppd, const std::string& options = "", const char* copies = "1")
{
    Resolved r;
    memcpy(r.table, tblDefParam, sizeof r.table);
    ppd.empty() ? unsetenv("PPD") : setenv("PPD", ppd[0] == '/' ? ppd.c_str() : TestPpd(ppd).c_str(), 1);
    CaptureStderr();
    GetJobParamFromCups(options.c_str(), r.table);
    GetCapturedStderr();
    CaptureStderr();
    r.ok = ResolvePrintSettings(options.c_str(), copies, r.table, &r.s);
    r.err = GetCapturedStderr();
    return r;
}

bool Has(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

class Settings : public testing::Test {
    void SetUp() override { unlink("/tmp/auth/auth_config"); }
};

}  // namespace

TEST_F(Settings, NoPpdFails)
{
    for (const char* ppd : {"", "/nonexistent.ppd", "/tmp", "/dev/null"}) {
        Resolved r = Resolve(ppd, "PageSize=A5");
        EXPECT_FALSE(r.ok) << ppd;
        EXPECT_EQ(r.err, "ERROR: Unable to open PPD file!\n");
        EXPECT_EQ(r.Get("PageSize"), "A5");  // only the option tokens' change
    }
}

TEST_F(Settings, DefaultsOfTheTestPpdInOrder)
{
    Resolved r = Resolve("full.ppd");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.err,
              "DEBUG: ppd PageSize,value=A4\nSetJobParam:[PageSize , A4 ]\n"
              "SetJobParam:[InputSlot , MainTray ]\nDEBUG: InputSlot is MainTray.\n"
              "DEBUG: resX is default(600dpi).\n"
              "SetJobParam:[Duplex , None ]\nDEBUG: duplex is 0 \n"
              "DEBUG: ppdIsMarked FeedEdge,value=0\nDEBUG: ppdIsMarked Flag_Page_A5,value=0\n"
              "DEBUG: ppdIsMarked Orientation,value=0\n"
              "SetJobParam:[MediaType , Plain ]\nDEBUG: ppdIsMarked MediaType,value=0\n"
              "DEBUG: input copies is 1 \nSetJobParam:[copies , 1 ]\n"
              "GetJobParam:[PageSize , A4 ]\n"
              "DEBUG: Enter getAuthInfo!\nDEBUG: auth_file is not found!\n"
              "DEBUG: Verify the Params Constraint. \n"
              "SetJobParam:[Border , 1 ]\nDEBUG: ppdIsMarked Border,value=1\n");
    EXPECT_EQ(memcmp(r.table, tblDefParam, sizeof r.table), 0);
    EXPECT_EQ(r.s.duplex + r.s.Flag_FeedEdge + r.s.Flag_Page_A5 + r.s.Flag_MediaType, 0);
    EXPECT_EQ(r.s.copies, 1);
    Resolved product = Resolve(ProductPpd());
    EXPECT_EQ(memcmp(product.table, tblDefParam, sizeof product.table), 0);
    EXPECT_EQ(product.s.duplex, 0);
}

TEST_F(Settings, EveryDecisionAndDuplexRule)
{
    const std::string dup = "Duplex=DuplexNoTumble ";
    struct Case {
        std::string ppd, options;
        std::string want;               // "key=value" blank-separated: table values and "s." settings
        std::vector<std::string> logs;  // parts of standard error
        std::vector<std::string> absent;
    } cases[] = {
        // PageSize: an option verbatim, else the chain of marked sizes, else unchanged; BANK renamed.
        {"full.ppd", "PageSize=Tabloid", "PageSize=Tabloid",
         {"DEBUG: option PageSize,value=Tabloid\nSetJobParam:[PageSize , Tabloid ]\n"}, {"DEBUG: ppd PageSize"}},
        {"full.ppd", "PageSize=BANK1", "PageSize=CUS_1",
         {"GetJobParam:[PageSize , BANK1 ]\nSetJobParam:[PageSize , CUS_1 ]\n"}, {}},
        {"full.ppd", "PageSize=bank1", "PageSize=bank1", {}, {}},
        {"full.ppd", "PageSize=" + std::string(400, 's') + " InputSlot=" + std::string(400, 's'),
         "PageSize=" + std::string(255, 's') + " InputSlot=MainTray", {}, {}},
        // InputSlot: the option is logged and stored, then the marked tray chain decides.
        {"full.ppd", "InputSlot=ManualTray", "InputSlot=ManualTray",
         {"DEBUG: option PaperBox,value=ManualTray\nSetJobParam:[InputSlot , ManualTray ]\n"
          "DEBUG: InputSlot is ManualTray.\nSetJobParam:[InputSlot , ManualTray ]\n"}, {}},
        {"full.ppd", "InputSlot=AutoTray", "InputSlot=AutoTray",
         {"SetJobParam:[InputSlot , AutoTray ]\nDEBUG: InputSlot is AutoTray.\n"}, {}},
        {"full.ppd", "InputSlot=Drawer9", "InputSlot=MainTray",
         {"DEBUG: option PaperBox,value=Drawer9\nSetJobParam:[InputSlot , Drawer9 ]\n"
          "SetJobParam:[InputSlot , MainTray ]\nDEBUG: InputSlot is MainTray.\n"}, {}},
        // Resolution: 1200dpi alone is stored; resX and resY keep their values.
        {"full.ppd", "Resolution=1200dpi", "Resolution=1200dpi resX=600dpi resY=600dpi",
         {"SetJobParam:[Resolution , 1200dpi ]\nDEBUG: Resolution is 1200dpi. \nDEBUG: resX is default(600dpi).\n"}, {}},
        {"full.ppd", "Resolution=300dpi resX=300dpi", "Resolution=300dpi resX=300dpi", {}, {"1200dpi"}},
        // Duplex: the marked choice; a PPD without the option means short edge.
        {"full.ppd", "Duplex=DuplexNoTumble", "s.duplex=1 Duplex=DuplexNoTumble",
         {"SetJobParam:[Duplex , DuplexNoTumble ]\nDEBUG: duplex is 1 \n"}, {}},
        {"full.ppd", "Duplex=DuplexTumble", "s.duplex=2 Duplex=DuplexTumble", {}, {}},
        {"full.ppd", "sides=two-sided-short-edge", "s.duplex=2", {}, {}},
        {"no_duplex.ppd", "", "s.duplex=2 Duplex=DuplexTumble Resolution=600dpi",
         {"SetJobParam:[Duplex , DuplexTumble ]\nDEBUG: duplex is 2 \n",
          std::string(kConstraintStart) + kVerifying +
              "GetJobParam:[InputSlot , MainTray ]\nGetJobParam:[PageSize , A4 ]\nDEBUG: PageSize:A4. \n"}, {}},
        // Feed edge and A5 from the PPD's marking, not from the table.
        {"a5l.ppd", "FeedEdge=0 PageSize=A4", "s.FeedEdge=0 s.A5=0 FeedEdge=0", {}, {}},
        {"bare.ppd", "PageSize=A5 FeedEdge=1", "PageSize=A5 FeedEdge=1 s.A5=0 s.FeedEdge=0", {}, {}},
        // Media type: tested Plain, Recycle, Thin, else Thick; coded Plain 0, Thin 1, Thick 2, Recycle 3.
        {"full.ppd", "MediaType=Thin", "MediaType=Thin s.MediaType=1",
         {"SetJobParam:[MediaType , Thin ]\nDEBUG: ppdIsMarked MediaType,value=1\n"}, {}},
        {"no_duplex.ppd", "MediaType=Unknown", "MediaType=Plain s.MediaType=0", {}, {}},
        // Border: "0" when marked; "1" otherwise, also without the option.
        {"full.ppd", "Border=0", "Border=0", {"SetJobParam:[Border , 0 ]\nDEBUG: ppdIsMarked Border,value=0\n"}, {}},
        {"no_duplex.ppd", "Border=0", "Border=1", {}, {}},
        // One-sided: only the start of the check.
        {"full.ppd", "InputSlot=ManualTray MediaType=Thick", "s.duplex=0", {kConstraintStart},
         {kVerifying, "amend", "DEBUG: PageSize:"}},
        // Each rule, the first that matches alone.
        {"full.ppd", dup + "InputSlot=ManualTray MediaType=Thick PageSize=A5 FeedEdge=1", "s.duplex=0",
         {kManual + kOff}, {kNoPlain, kA5L, "DEBUG: PageSize:"}},
        {"full.ppd", dup + "MediaType=Thin", "s.duplex=0", {kNoPlain + kOff}, {}},
        {"full.ppd", dup + "MediaType=Thick PageSize=A5 FeedEdge=1", "s.duplex=0", {kNoPlain + kOff},
         {kA5L, "DEBUG: PageSize:"}},
        {"full.ppd", dup + "PageSize=A5 FeedEdge=1", "s.duplex=0", {kA5L + kOff}, {"DEBUG: PageSize:", kSize}},
        {"full.ppd", dup + "PageSize=Statement", "s.duplex=0", {"DEBUG: PageSize:Statement. \n" + kSize + kOff}, {}},
        {"full.ppd", dup + "PageSize=BANK1", "s.duplex=0", {"DEBUG: PageSize:CUS_1. \n" + kSize}, {}},
        {"full.ppd", dup + "MediaType=Recycle", "s.duplex=1 Duplex=DuplexNoTumble", {}, {"amend"}},
        {"full.ppd", dup + "PageSize=A5", "s.duplex=1 s.A5=1", {"DEBUG: PageSize:A5. \n"}, {"amend"}},
        // The test PPDs' own defaults.
        {"a5l.ppd", "", "s.FeedEdge=1 s.A5=1 FeedEdge=1 MediaType=Recycle s.MediaType=3",
         {"SetJobParam:[FeedEdge , 1 ]\nDEBUG: ppdIsMarked FeedEdge,value=1\n"
          "DEBUG: ppdIsMarked Flag_Page_A5,value=1\nDEBUG: ppdIsMarked Orientation,value=1\n", kA5L}, {}},
        {"bank2.ppd", "", "PageSize=CUS_2 InputSlot=ManualTray Resolution=1200dpi MediaType=Thick Border=0 s.duplex=0",
         {"DEBUG: ppd PageSize,value=BANK2\n", kManual}, {kNoPlain}},
        {"bank1_thin.ppd", "", "PageSize=CUS_1 InputSlot=AutoTray MediaType=Thin",
         {"DEBUG: ppd PageSize,value=BANK1\n", kNoPlain}, {}},
        {"bare.ppd", "", "PageSize=A4 InputSlot=AutoTray s.MediaType=2 Border=1", {kNoPlain}, {"PageSize,value"}},
        // The product PPD offers the whole vocabulary.
        {ProductPpd(), "PageSize=B5ISO InputSlot=AutoTray Resolution=1200dpi Duplex=DuplexTumble FeedEdge=1 "
                       "MediaType=Recycle Border=0 Orientation=Landscape",
         "PageSize=B5ISO InputSlot=AutoTray Resolution=1200dpi s.duplex=2 s.FeedEdge=1 s.MediaType=3 Border=0",
         {"DEBUG: ppdIsMarked Orientation,value=1\n"}, {}},
        {ProductPpd(), "InputSlot=ManualTray MediaType=Thin", "InputSlot=ManualTray s.MediaType=1", {}, {}},
        // Outside text in messages stays on one line.
        {"full.ppd", "PageSize='A4\nSTATE: +x' InputSlot=\"T\r1\" " + dup, "",
         {"DEBUG: option PageSize,value=A4\\nSTATE: +x\n", "DEBUG: option PaperBox,value=T\\r1\n",
          "DEBUG: PageSize:A4\\nSTATE: +x. \n"}, {"\nSTATE:"}},
    };
    static const char* const kDuplexNames[] = {"None", "DuplexNoTumble", "DuplexTumble"};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ppd + " " + c.options.substr(0, 80));
        Resolved r = Resolve(c.ppd, c.options);
        ASSERT_TRUE(r.ok);
        std::istringstream want(c.want);
        for (std::string w; want >> w;)
            EXPECT_EQ(r.Get(w.substr(0, w.find('='))), w.substr(w.find('=') + 1)) << w;
        for (const auto& part : c.logs)
            EXPECT_TRUE(Has(r.err, part)) << "missing: " << part;
        for (const auto& part : c.absent)
            EXPECT_FALSE(Has(r.err, part)) << "present: " << part;
        // What holds after every resolution.
        ASSERT_TRUE(r.s.duplex >= 0 && r.s.duplex <= 2);
        EXPECT_EQ(r.Get("Duplex"), kDuplexNames[r.s.duplex]);
        if (r.s.duplex != 0) {
            EXPECT_FALSE(IsA5L(r.s));
            EXPECT_NE(r.Get("InputSlot"), "ManualTray");
            EXPECT_TRUE(r.s.Flag_MediaType == 0 || r.s.Flag_MediaType == 3);
        }
    }
}

TEST_F(Settings, SizesMarkedAndSizesForTwoSidedPrinting)
{
    const std::vector<std::string> chain = {"A4", "A5", "B5", "16k", "Letter", "Statement", "Legal",
                                            "Executive", "A6", "B6", "B5ISO", "BANK1", "BANK2"};
    const std::vector<std::string> twoSided = {"A4", "Letter", "A5", "B5", "B5ISO", "16k"};
    for (const std::string& ppd : {TestPpd("full.ppd"), ProductPpd()}) {
        for (const auto& size : chain) {
            if (ppd == ProductPpd() && size.compare(0, 4, "BANK") == 0)
                continue;  // sizes nobody knows the dimensions of stay out of the product
            SCOPED_TRACE(ppd + " " + size);
            // media= marks the size without a PageSize option.
            Resolved r = Resolve(ppd, "media=" + size + " Duplex=DuplexTumble");
            EXPECT_TRUE(Has(r.err, "DEBUG: ppd PageSize,value=" + size + "\n"));
            EXPECT_FALSE(Has(r.err, "DEBUG: option PageSize"));
            std::string stored = size == "BANK1" ? "CUS_1" : size == "BANK2" ? "CUS_2" : size;
            EXPECT_EQ(r.Get("PageSize"), stored);
            bool allowed = std::find(twoSided.begin(), twoSided.end(), size) != twoSided.end();
            EXPECT_EQ(r.s.duplex, allowed ? 2 : 0);
            EXPECT_TRUE(Has(r.err, "DEBUG: PageSize:" + stored + ". \n" + (allowed ? "" : kSize)));
        }
    }
    for (const char* size : {"Tabloid", "a4"})
        EXPECT_EQ(Resolve("full.ppd", std::string("Duplex=DuplexTumble PageSize=") + size).s.duplex, 0) << size;
}

TEST_F(Settings, CopiesAsTheLeadingNumber)
{
    const std::pair<const char*, int> cases[] = {{"3", 3}, {"abc", 0}, {"", 0}, {"7x", 7}, {" 12", 12}, {"-2", -2},
        {"99999999999999999999999", INT_MAX}, {"-99999999999999999999999", INT_MIN}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        Resolved r = Resolve("full.ppd", "", c.first);
        EXPECT_EQ(r.s.copies, c.second);
        EXPECT_EQ(r.Get("copies"), c.first);
        EXPECT_TRUE(Has(r.err, "DEBUG: input copies is " + std::to_string(c.second) + " \n"));
    }
}

TEST_F(Settings, AuthenticationStoredOnlyWhenTheFileParses)
{
    mkdir("/tmp/auth", 0755);
    ASSERT_TRUE(WriteFile("/tmp/auth/auth_config", R"({"AuthID":"carol","Password":"hunter2"})"));
    Resolved r = Resolve("full.ppd", "Duplex=DuplexNoTumble");
    EXPECT_EQ(r.Get("AuthID"), "carol");
    EXPECT_EQ(r.Get("AuthPassword"), "hunter2");
    EXPECT_FALSE(Has(r.err, "hunter2"));
    // After the copies, before the constraints.
    EXPECT_TRUE(Has(r.err, "SetJobParam:[copies , 1 ]\nGetJobParam:[PageSize , A4 ]\nDEBUG: Enter getAuthInfo!\n"));
    EXPECT_TRUE(Has(r.err, "DEBUG: Exit  getAuthInfo!\nSetJobParam:[AuthID , carol ]\n"
                           "SetJobParam:[AuthPassword , **** ]\n" + std::string(kConstraintStart)));

    ASSERT_TRUE(WriteFile("/tmp/auth/auth_config", R"({"AuthID":"dave"})"));
    r = Resolve("full.ppd", "AuthPassword=fromoptions");
    EXPECT_EQ(r.Get("AuthID"), "dave");
    EXPECT_EQ(r.Get("AuthPassword"), "");

    ASSERT_TRUE(WriteFile("/tmp/auth/auth_config", "{broken"));
    r = Resolve("full.ppd", "AuthID=opt");
    EXPECT_EQ(r.Get("AuthID"), "opt");
    EXPECT_FALSE(Has(r.err, "SetJobParam:[AuthID"));
}
