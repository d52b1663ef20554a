// Collation from the option text, and the print settings resolved from the
// test PPDs under tests/ppd marked with the job's options.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
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

namespace {

bool Contains(const std::string& s, const std::string& part)
{
    return s.find(part) != std::string::npos;
}

// Position of `part` in `s`; fails the test when it is missing.
size_t Pos(const std::string& s, const std::string& part)
{
    size_t p = s.find(part);
    EXPECT_NE(p, std::string::npos) << "missing: " << part;
    return p;
}

// ---- Collation -----------------------------------------------------------

struct Collate {
    int value;
    std::string err;
};

Collate Detect(const char* options)
{
    CaptureStderr();
    Collate c;
    c.value = DetectCollate(options);
    c.err = GetCapturedStderr();
    return c;
}

const char kAsks[] = "DEBUG: option collate found\nDEBUG: collate is 1\n";
const char kRefuses[] = "DEBUG: option nocollate found\nDEBUG: collate is 0\n";
const char kSilent[] = "DEBUG: collate is 0\n";

}  // namespace

TEST(DetectCollate, NoOptionsMeansUncollated)
{
    EXPECT_EQ(Detect("").err, kSilent);
    EXPECT_EQ(Detect("number-up=1 sides=one-sided").err, kSilent);
}

TEST(DetectCollate, TheWordsCupsSends)
{
    // lp -o collate=true / =false / Collate=True / Collate=False
    EXPECT_EQ(Detect("collate").err, kAsks);
    EXPECT_EQ(Detect("nocollate").err, kRefuses);
    EXPECT_EQ(Detect("Collate").err, kAsks);
    EXPECT_EQ(Detect("noCollate").err, kRefuses);
    EXPECT_EQ(Detect("NOCOLLATE").value, 0);
}

TEST(DetectCollate, BooleanValuesInAnySpelling)
{
    for (const char* o : {"Collate=True", "collate=true", "COLLATE=yes", "Collate=on", "collate=ON"})
        EXPECT_EQ(Detect(o).err, kAsks) << o;
    for (const char* o : {"Collate=False", "collate=false", "Collate=no", "collate=OFF"})
        EXPECT_EQ(Detect(o).err, kRefuses) << o;
}

TEST(DetectCollate, DocumentHandlingTheWayDialogsSendIt)
{
    for (const char* v : {"separate-documents-collated-copies", "single-document", "single-document-new-sheet"})
        EXPECT_EQ(Detect((std::string("multiple-document-handling=") + v).c_str()).err, kAsks) << v;
    EXPECT_EQ(Detect("multiple-document-handling=separate-documents-uncollated-copies").err, kRefuses);
    EXPECT_EQ(Detect("multiple-document-handling=something-else").err, kSilent);
}

TEST(DetectCollate, CollateOptionWinsOverDocumentHandling)
{
    EXPECT_EQ(Detect("noCollate multiple-document-handling=separate-documents-collated-copies").err, kRefuses);
    EXPECT_EQ(Detect("multiple-document-handling=separate-documents-uncollated-copies collate").err, kAsks);
}

TEST(DetectCollate, LaterOfContradictoryWordsWins)
{
    EXPECT_EQ(Detect("collate noCollate").value, 0);
    EXPECT_EQ(Detect("noCollate Collate").value, 1);
    EXPECT_EQ(Detect("Collate=False collate=true").value, 1);
}

TEST(DetectCollate, WordInsideValuesChangesNothing)
{
    for (const char* o : {"job-name=Collate", "media=noCollate", "title=CollateBook", "CollateX",
                          "job-name='Collate=True'", "x-Collate=true"})
        EXPECT_EQ(Detect(o).err, kSilent) << o;
}

TEST(DetectCollate, ValueThatIsNoBooleanLeavesDocumentHandlingToDecide)
{
    EXPECT_EQ(Detect("Collate=maybe").err, kSilent);
    EXPECT_EQ(Detect("Collate=maybe multiple-document-handling=single-document").err, kAsks);
}

TEST(DetectCollate, RealQueueOptionText)
{
    const char* text =
        "finishings=3 number-up=1 print-color-mode=monochrome job-uuid=urn:uuid:1b6b "
        "job-originating-host-name=localhost time-at-creation=1700000000 time-at-processing=1700000001 "
        "date-time-at-creation= collate";
    EXPECT_EQ(Detect(text).err, kAsks);
}

// ---- Settings resolution -------------------------------------------------

namespace {

struct Resolved {
    bool ok = false;
    PARAM_KEY_SPERATOR_VALUE table[kParamRows];
    PrintSettings s;
    std::string err;
    std::string Get(const char* key) const
    {
        for (const auto& r : table)
            if (strcmp(r.key, key) == 0)
                return r.value;
        return "<missing>";
    }
};

// The driver's order: defaults, the option tokens, then the resolution.
Resolved Resolve(const char* ppd, const char* options = "", const char* copies = "1")
{
    Resolved r;
    memcpy(r.table, tblDefParam, sizeof r.table);
    if (ppd != nullptr)
        setenv("PPD", ppd[0] == '/' ? ppd : TestPpd(ppd).c_str(), 1);
    else
        unsetenv("PPD");
    CaptureStderr();
    GetJobParamFromCups(options, r.table);
    GetCapturedStderr();
    CaptureStderr();
    r.ok = ResolvePrintSettings(options, copies, r.table, &r.s);
    r.err = GetCapturedStderr();
    return r;
}

// The invariants that hold once the settings are resolved.
void ExpectConsistent(const Resolved& r)
{
    static const char* names[] = {"None", "DuplexNoTumble", "DuplexTumble"};
    ASSERT_GE(r.s.duplex, 0);
    ASSERT_LE(r.s.duplex, 2);
    EXPECT_EQ(r.Get("Duplex"), names[r.s.duplex]);
    if (r.s.duplex != 0) {
        EXPECT_FALSE(IsA5L(r.s));
        EXPECT_NE(r.Get("InputSlot"), "ManualTray");
        EXPECT_TRUE(r.s.Flag_MediaType == 0 || r.s.Flag_MediaType == 3);
    }
}

class Settings : public testing::Test {
protected:
    void SetUp() override
    {
        unlink("/tmp/auth/auth_config");
    }
    void TearDown() override
    {
        unlink("/tmp/auth/auth_config");
        unsetenv("PPD");
    }
};

const char kConstraintStart[] = "DEBUG: Verify the Params Constraint. \n";
const char kVerifying[] = "DEBUG: Verifying Duplex Constraint... \n";
const char kManual[] = "DEBUG: Duplex is amend to OFF. Cause of Duplex ON + ManualTray. \n";
const char kNoPlain[] = "DEBUG: Duplex is amend to OFF. Cause of Duplex ON + No Plain. \n";
const char kA5L[] = "DEBUG: Duplex is amend to OFF. Cause of Duplex ON + A5L. \n";
const char kSize[] = "DEBUG: Duplex is amend to OFF. Cause of Duplex ON + Unsupport Media Size. \n";

}  // namespace

TEST_F(Settings, NoPpdFails)
{
    for (const char* ppd : {(const char*)nullptr, "/nonexistent.ppd", "/tmp", "/dev/null"}) {
        Resolved r = Resolve(ppd, "PageSize=A5");
        EXPECT_FALSE(r.ok) << (ppd ? ppd : "unset");
        EXPECT_EQ(r.err, "ERROR: Unable to open PPD file!\n");
        EXPECT_EQ(r.Get("PageSize"), "A5");  // only the option tokens' change
    }
}

TEST_F(Settings, DefaultsOfTheTestPpdInOrder)
{
    Resolved r = Resolve("full.ppd");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.err,
              "DEBUG: ppd PageSize,value=A4\n"
              "SetJobParam:[PageSize , A4 ]\n"
              "SetJobParam:[InputSlot , MainTray ]\n"
              "DEBUG: InputSlot is MainTray.\n"
              "DEBUG: resX is default(600dpi).\n"
              "SetJobParam:[Duplex , None ]\n"
              "DEBUG: duplex is 0 \n"
              "DEBUG: ppdIsMarked FeedEdge,value=0\n"
              "DEBUG: ppdIsMarked Flag_Page_A5,value=0\n"
              "DEBUG: ppdIsMarked Orientation,value=0\n"
              "SetJobParam:[MediaType , Plain ]\n"
              "DEBUG: ppdIsMarked MediaType,value=0\n"
              "DEBUG: input copies is 1 \n"
              "SetJobParam:[copies , 1 ]\n"
              "GetJobParam:[PageSize , A4 ]\n"
              "DEBUG: Enter getAuthInfo!\n"
              "DEBUG: auth_file is not found!\n"
              "DEBUG: Verify the Params Constraint. \n"
              "SetJobParam:[Border , 1 ]\n"
              "DEBUG: ppdIsMarked Border,value=1\n");
    EXPECT_EQ(memcmp(r.table, tblDefParam, sizeof r.table), 0);
    EXPECT_EQ(r.s.duplex, 0);
    EXPECT_EQ(r.s.Flag_FeedEdge, 0);
    EXPECT_EQ(r.s.Flag_Page_A5, 0);
    EXPECT_EQ(r.s.Flag_MediaType, 0);
    EXPECT_EQ(r.s.copies, 1);
}

TEST_F(Settings, ProductPpdDefaults)
{
    Resolved r = Resolve(ProductPpd().c_str());
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(memcmp(r.table, tblDefParam, sizeof r.table), 0);
    EXPECT_EQ(r.s.duplex, 0);
}

TEST_F(Settings, ProductPpdOffersTheWholeVocabulary)
{
    struct {
        const char* option;
        const char* key;
        const char* value;
    } cases[] = {
        {"PageSize=B5ISO", "PageSize", "B5ISO"}, {"InputSlot=AutoTray", "InputSlot", "AutoTray"},
        {"InputSlot=ManualTray", "InputSlot", "ManualTray"}, {"Resolution=1200dpi", "Resolution", "1200dpi"},
        {"Duplex=DuplexTumble", "Duplex", "DuplexTumble"}, {"FeedEdge=1", "FeedEdge", "1"},
        {"MediaType=Thin", "MediaType", "Thin"}, {"MediaType=Recycle", "MediaType", "Recycle"},
        {"Border=0", "Border", "0"},
    };
    for (const auto& c : cases) {
        Resolved r = Resolve(ProductPpd().c_str(), c.option);
        EXPECT_EQ(r.Get(c.key), c.value) << c.option;
    }
    for (const char* size : {"A4", "A5", "B5", "16k", "Letter", "Statement", "Legal", "Executive", "A6", "B6", "B5ISO"})
        EXPECT_TRUE(Contains(Resolve(ProductPpd().c_str(), (std::string("media=") + size).c_str()).err,
                             std::string("DEBUG: ppd PageSize,value=") + size + "\n"))
            << size;
    EXPECT_TRUE(Contains(Resolve(ProductPpd().c_str(), "Orientation=Landscape").err,
                         "DEBUG: ppdIsMarked Orientation,value=1\n"));
}

// PageSize ------------------------------------------------------------------

TEST_F(Settings, PageSizeChainFollowsTheMarking)
{
    const char* chain[] = {"A4", "A5", "B5", "16k", "Letter", "Statement", "Legal",
                           "Executive", "A6", "B6", "B5ISO", "BANK1", "BANK2"};
    for (const char* size : chain) {
        // media= marks the size without a PageSize option.
        Resolved r = Resolve("full.ppd", (std::string("media=") + size).c_str());
        EXPECT_TRUE(Contains(r.err, std::string("DEBUG: ppd PageSize,value=") + size + "\n")) << size;
        EXPECT_FALSE(Contains(r.err, "DEBUG: option PageSize")) << size;
        std::string expected = strcmp(size, "BANK1") == 0 ? "CUS_1" : strcmp(size, "BANK2") == 0 ? "CUS_2" : size;
        EXPECT_EQ(r.Get("PageSize"), expected) << size;
    }
}

TEST_F(Settings, PageSizeOptionIsStoredVerbatim)
{
    Resolved r = Resolve("full.ppd", "PageSize=Tabloid");
    EXPECT_TRUE(Contains(r.err, "DEBUG: option PageSize,value=Tabloid\nSetJobParam:[PageSize , Tabloid ]\n"));
    EXPECT_FALSE(Contains(r.err, "DEBUG: ppd PageSize"));
    EXPECT_EQ(r.Get("PageSize"), "Tabloid");
}

TEST_F(Settings, NoMarkedSizeLeavesThePageSize)
{
    Resolved r = Resolve("bare.ppd", "number-up=1");
    EXPECT_FALSE(Contains(r.err, "PageSize,value"));
    EXPECT_EQ(r.Get("PageSize"), "A4");
}

TEST_F(Settings, BankSizesAreRenamed)
{
    Resolved r = Resolve("full.ppd", "PageSize=BANK1");
    EXPECT_EQ(r.Get("PageSize"), "CUS_1");
    EXPECT_TRUE(Contains(r.err, "GetJobParam:[PageSize , BANK1 ]\nSetJobParam:[PageSize , CUS_1 ]\n"));
    r = Resolve("full.ppd", "PageSize=BANK2");
    EXPECT_EQ(r.Get("PageSize"), "CUS_2");
    r = Resolve("full.ppd", "PageSize=bank1");  // exact comparison only
    EXPECT_EQ(r.Get("PageSize"), "bank1");
}

TEST_F(Settings, BankSizeDefaults)
{
    Resolved r = Resolve("bank2.ppd");
    EXPECT_TRUE(Contains(r.err, "DEBUG: ppd PageSize,value=BANK2\n"));
    EXPECT_EQ(r.Get("PageSize"), "CUS_2");
    r = Resolve("bank1_thin.ppd");
    EXPECT_TRUE(Contains(r.err, "DEBUG: ppd PageSize,value=BANK1\n"));
    EXPECT_EQ(r.Get("PageSize"), "CUS_1");
}

// InputSlot -----------------------------------------------------------------

TEST_F(Settings, TrayFromDefaultsAndOptions)
{
    Resolved r = Resolve("full.ppd", "InputSlot=ManualTray");
    EXPECT_TRUE(Contains(r.err,
                         "DEBUG: option PaperBox,value=ManualTray\n"
                         "SetJobParam:[InputSlot , ManualTray ]\n"
                         "DEBUG: InputSlot is ManualTray.\n"
                         "SetJobParam:[InputSlot , ManualTray ]\n"));
    EXPECT_EQ(r.Get("InputSlot"), "ManualTray");

    r = Resolve("full.ppd", "InputSlot=AutoTray");
    EXPECT_TRUE(Contains(r.err, "SetJobParam:[InputSlot , AutoTray ]\nDEBUG: InputSlot is AutoTray.\n"));
    EXPECT_EQ(r.Get("InputSlot"), "AutoTray");

    EXPECT_EQ(Resolve("bank2.ppd").Get("InputSlot"), "ManualTray");
    EXPECT_EQ(Resolve("bank1_thin.ppd").Get("InputSlot"), "AutoTray");
    EXPECT_EQ(Resolve("bare.ppd").Get("InputSlot"), "AutoTray");  // no InputSlot option at all
}

TEST_F(Settings, UnknownTrayIsLoggedThenReplaced)
{
    Resolved r = Resolve("full.ppd", "InputSlot=Drawer9");
    size_t logged = Pos(r.err, "DEBUG: option PaperBox,value=Drawer9\nSetJobParam:[InputSlot , Drawer9 ]\n");
    size_t replaced = Pos(r.err, "SetJobParam:[InputSlot , MainTray ]\nDEBUG: InputSlot is MainTray.\n");
    EXPECT_LT(logged, replaced);
    EXPECT_EQ(r.Get("InputSlot"), "MainTray");
}

// Resolution ----------------------------------------------------------------

TEST_F(Settings, Resolution1200LeavesResXAndResY)
{
    for (Resolved r : {Resolve("full.ppd", "Resolution=1200dpi"), Resolve("bank2.ppd")}) {
        EXPECT_EQ(r.Get("Resolution"), "1200dpi");
        EXPECT_EQ(r.Get("resX"), "600dpi");
        EXPECT_EQ(r.Get("resY"), "600dpi");
        EXPECT_TRUE(Contains(r.err, "SetJobParam:[Resolution , 1200dpi ]\n"
                                    "DEBUG: Resolution is 1200dpi. \n"
                                    "DEBUG: resX is default(600dpi).\n"));
    }
    Resolved r = Resolve("full.ppd", "Resolution=600dpi resX=300dpi");
    EXPECT_EQ(r.Get("Resolution"), "600dpi");
    EXPECT_EQ(r.Get("resX"), "300dpi");
    EXPECT_FALSE(Contains(r.err, "1200dpi"));
}

TEST_F(Settings, ResolutionOptionTokenSurvivesWhenNothingIsMarked)
{
    // "Resolution=300dpi" is no choice of the PPD: the table keeps the token's text.
    EXPECT_EQ(Resolve("full.ppd", "Resolution=300dpi").Get("Resolution"), "300dpi");
    EXPECT_EQ(Resolve("no_duplex.ppd").Get("Resolution"), "600dpi");
}

// Duplex --------------------------------------------------------------------

TEST_F(Settings, DuplexChoices)
{
    Resolved r = Resolve("full.ppd", "Duplex=DuplexNoTumble");
    EXPECT_EQ(r.s.duplex, 1);
    EXPECT_EQ(r.Get("Duplex"), "DuplexNoTumble");
    EXPECT_TRUE(Contains(r.err, "SetJobParam:[Duplex , DuplexNoTumble ]\nDEBUG: duplex is 1 \n"));

    r = Resolve("full.ppd", "Duplex=DuplexTumble");
    EXPECT_EQ(r.s.duplex, 2);
    EXPECT_EQ(r.Get("Duplex"), "DuplexTumble");

    r = Resolve("full.ppd", "sides=two-sided-long-edge");
    EXPECT_EQ(r.s.duplex, 1);
    r = Resolve("full.ppd", "sides=two-sided-short-edge");
    EXPECT_EQ(r.s.duplex, 2);
    ExpectConsistent(r);
}

TEST_F(Settings, NoDuplexOptionMeansShortEdge)
{
    Resolved r = Resolve("no_duplex.ppd");
    EXPECT_TRUE(Contains(r.err, "SetJobParam:[Duplex , DuplexTumble ]\nDEBUG: duplex is 2 \n"));
    // A4, MainTray, Plain: two-sided printing stays on.
    EXPECT_EQ(r.s.duplex, 2);
    EXPECT_EQ(r.Get("Duplex"), "DuplexTumble");
    EXPECT_TRUE(Contains(r.err, std::string(kConstraintStart) + kVerifying +
                                    "GetJobParam:[InputSlot , MainTray ]\n"
                                    "GetJobParam:[PageSize , A4 ]\n"
                                    "DEBUG: PageSize:A4. \n"));
    ExpectConsistent(r);
}

// Feed edge, A5, orientation --------------------------------------------

TEST_F(Settings, FeedEdgeAndA5FromTheMarking)
{
    Resolved r = Resolve("a5l.ppd");
    EXPECT_EQ(r.s.Flag_FeedEdge, 1);
    EXPECT_EQ(r.s.Flag_Page_A5, 1);
    EXPECT_TRUE(IsA5L(r.s));
    EXPECT_EQ(r.Get("FeedEdge"), "1");
    EXPECT_TRUE(Contains(r.err, "SetJobParam:[FeedEdge , 1 ]\n"
                                "DEBUG: ppdIsMarked FeedEdge,value=1\n"
                                "DEBUG: ppdIsMarked Flag_Page_A5,value=1\n"
                                "DEBUG: ppdIsMarked Orientation,value=1\n"));

    r = Resolve("a5l.ppd", "FeedEdge=0 PageSize=A4");
    EXPECT_EQ(r.s.Flag_FeedEdge, 0);
    EXPECT_EQ(r.s.Flag_Page_A5, 0);
    EXPECT_EQ(r.Get("FeedEdge"), "0");
}

TEST_F(Settings, A5FlagIgnoresATableValueThePpdDoesNotMark)
{
    Resolved r = Resolve("bare.ppd", "PageSize=A5 FeedEdge=1");
    EXPECT_EQ(r.Get("PageSize"), "A5");
    EXPECT_EQ(r.Get("FeedEdge"), "1");  // the option token's text, not a marking
    EXPECT_EQ(r.s.Flag_Page_A5, 0);
    EXPECT_EQ(r.s.Flag_FeedEdge, 0);
}

// Media type ------------------------------------------------------------------

TEST_F(Settings, MediaTypeCodes)
{
    struct {
        const char* option;
        int code;
        const char* name;
    } cases[] = {{"MediaType=Plain", 0, "Plain"}, {"MediaType=Thin", 1, "Thin"},
                 {"MediaType=Thick", 2, "Thick"}, {"MediaType=Recycle", 3, "Recycle"}};
    for (const auto& c : cases) {
        Resolved r = Resolve("full.ppd", c.option);
        EXPECT_EQ(r.s.Flag_MediaType, c.code) << c.option;
        EXPECT_EQ(r.Get("MediaType"), c.name) << c.option;
        EXPECT_TRUE(Contains(r.err, std::string("SetJobParam:[MediaType , ") + c.name +
                                        " ]\nDEBUG: ppdIsMarked MediaType,value=" + std::to_string(c.code) + "\n"));
    }
    Resolved r = Resolve("no_duplex.ppd", "MediaType=Unknown");
    EXPECT_EQ(r.Get("MediaType"), "Plain");  // the PPD default stays marked
    r = Resolve("bare.ppd");
    EXPECT_EQ(r.s.Flag_MediaType, 2);
    EXPECT_EQ(r.Get("MediaType"), "Thick");
}

// Copies ----------------------------------------------------------------------

TEST_F(Settings, CopiesAsTheLeadingNumber)
{
    struct {
        const char* arg;
        int copies;
    } cases[] = {{"3", 3}, {"abc", 0}, {"", 0}, {"7x", 7}, {" 12", 12}, {"-2", -2},
                 {"99999999999999999999999", INT_MAX}, {"-99999999999999999999999", INT_MIN}};
    for (const auto& c : cases) {
        Resolved r = Resolve("full.ppd", "", c.arg);
        EXPECT_EQ(r.s.copies, c.copies) << c.arg;
        EXPECT_EQ(r.Get("copies"), c.arg);
        EXPECT_TRUE(Contains(r.err, "DEBUG: input copies is " + std::to_string(c.copies) + " \n")) << c.arg;
    }
}

// Border ------------------------------------------------------------------------

TEST_F(Settings, Border)
{
    Resolved r = Resolve("full.ppd", "Border=0");
    EXPECT_EQ(r.Get("Border"), "0");
    EXPECT_TRUE(Contains(r.err, "SetJobParam:[Border , 0 ]\nDEBUG: ppdIsMarked Border,value=0\n"));
    EXPECT_EQ(Resolve("bank2.ppd").Get("Border"), "0");
    // Without a Border option the value is "1", whatever the option token said.
    EXPECT_EQ(Resolve("no_duplex.ppd", "Border=0").Get("Border"), "1");
}

// Authentication ----------------------------------------------------------------

TEST_F(Settings, AuthenticationIsStoredWhenTheFileParses)
{
    mkdir("/tmp/auth", 0755);
    ASSERT_TRUE(WriteFile("/tmp/auth/auth_config", R"({"AuthID":"carol","Password":"hunter2"})"));
    Resolved r = Resolve("full.ppd", "Duplex=DuplexNoTumble");
    EXPECT_EQ(r.Get("AuthID"), "carol");
    EXPECT_EQ(r.Get("AuthPassword"), "hunter2");
    EXPECT_FALSE(Contains(r.err, "hunter2"));
    // After the size renaming, before the constraints.
    size_t copies = Pos(r.err, "DEBUG: input copies is 1 \n");
    size_t auth = Pos(r.err, "DEBUG: Exit  getAuthInfo!\nSetJobParam:[AuthID , carol ]\nSetJobParam:[AuthPassword , **** ]\n");
    size_t check = Pos(r.err, kConstraintStart);
    EXPECT_LT(copies, auth);
    EXPECT_LT(auth, check);

    ASSERT_TRUE(WriteFile("/tmp/auth/auth_config", R"({"AuthID":"dave"})"));
    r = Resolve("full.ppd", "AuthPassword=fromoptions");
    EXPECT_EQ(r.Get("AuthID"), "dave");
    EXPECT_EQ(r.Get("AuthPassword"), "");
}

TEST_F(Settings, AuthenticationKeepsTheValuesWhenTheFileFails)
{
    Resolved r = Resolve("full.ppd", "AuthID=opt");
    EXPECT_EQ(r.Get("AuthID"), "opt");
    mkdir("/tmp/auth", 0755);
    ASSERT_TRUE(WriteFile("/tmp/auth/auth_config", "{broken"));
    r = Resolve("full.ppd", "AuthID=opt");
    EXPECT_EQ(r.Get("AuthID"), "opt");
    EXPECT_FALSE(Contains(r.err, "SetJobParam:[AuthID"));
}

// Duplex constraints ------------------------------------------------------------

TEST_F(Settings, OneSidedJobLogsOnlyTheCheck)
{
    Resolved r = Resolve("full.ppd", "InputSlot=ManualTray MediaType=Thick");
    EXPECT_TRUE(Contains(r.err, kConstraintStart));
    EXPECT_FALSE(Contains(r.err, kVerifying));
    EXPECT_FALSE(Contains(r.err, "amend"));
    EXPECT_FALSE(Contains(r.err, "DEBUG: PageSize:"));
}

TEST_F(Settings, EachRuleTurnsTwoSidedOff)
{
    struct {
        const char* options;
        const char* message;
    } cases[] = {
        {"Duplex=DuplexNoTumble InputSlot=ManualTray", kManual},
        {"Duplex=DuplexNoTumble MediaType=Thin", kNoPlain},
        {"Duplex=DuplexTumble MediaType=Thick", kNoPlain},
        {"Duplex=DuplexNoTumble PageSize=A5 FeedEdge=1", kA5L},
        {"Duplex=DuplexNoTumble PageSize=Statement", kSize},
    };
    for (const auto& c : cases) {
        Resolved r = Resolve("full.ppd", c.options);
        EXPECT_EQ(r.s.duplex, 0) << c.options;
        EXPECT_EQ(r.Get("Duplex"), "None") << c.options;
        size_t msg = Pos(r.err, c.message);
        EXPECT_LT(msg, Pos(r.err, "DEBUG: ppdIsMarked Border,value=1\n")) << c.options;
        EXPECT_TRUE(Contains(r.err, std::string(c.message) + "SetJobParam:[Duplex , None ]\n")) << c.options;
        ExpectConsistent(r);
    }
}

TEST_F(Settings, FirstMatchingRuleAloneFires)
{
    Resolved r = Resolve("full.ppd", "Duplex=DuplexNoTumble InputSlot=ManualTray MediaType=Thick PageSize=A5 FeedEdge=1");
    EXPECT_TRUE(Contains(r.err, kManual));
    EXPECT_FALSE(Contains(r.err, kNoPlain));
    EXPECT_FALSE(Contains(r.err, kA5L));
    EXPECT_FALSE(Contains(r.err, "DEBUG: PageSize:"));

    r = Resolve("full.ppd", "Duplex=DuplexNoTumble MediaType=Thick PageSize=A5 FeedEdge=1");
    EXPECT_TRUE(Contains(r.err, kNoPlain));
    EXPECT_FALSE(Contains(r.err, kA5L));

    r = Resolve("full.ppd", "Duplex=DuplexNoTumble PageSize=A5 FeedEdge=1");
    EXPECT_TRUE(Contains(r.err, kA5L));
    EXPECT_FALSE(Contains(r.err, "DEBUG: PageSize:"));
    EXPECT_FALSE(Contains(r.err, kSize));
}

TEST_F(Settings, RecycledPaperKeepsTwoSided)
{
    Resolved r = Resolve("full.ppd", "Duplex=DuplexNoTumble MediaType=Recycle");
    EXPECT_EQ(r.s.duplex, 1);
    EXPECT_EQ(r.Get("Duplex"), "DuplexNoTumble");
    EXPECT_FALSE(Contains(r.err, "amend"));
}

TEST_F(Settings, A5ShortEdgeFirstKeepsTwoSided)
{
    Resolved r = Resolve("full.ppd", "Duplex=DuplexNoTumble PageSize=A5");
    EXPECT_EQ(r.s.duplex, 1);
    EXPECT_EQ(r.s.Flag_Page_A5, 1);
    EXPECT_TRUE(Contains(r.err, "DEBUG: PageSize:A5. \n"));
}

TEST_F(Settings, SizesForTwoSidedPrinting)
{
    for (const char* size : {"A4", "Letter", "A5", "B5", "B5ISO", "16k"}) {
        Resolved r = Resolve("full.ppd", (std::string("Duplex=DuplexTumble PageSize=") + size).c_str());
        EXPECT_EQ(r.s.duplex, 2) << size;
        EXPECT_TRUE(Contains(r.err, std::string("DEBUG: PageSize:") + size + ". \n")) << size;
    }
    for (const char* size : {"Statement", "Legal", "Executive", "A6", "B6", "BANK1", "BANK2", "Tabloid", "a4"}) {
        Resolved r = Resolve("full.ppd", (std::string("Duplex=DuplexTumble PageSize=") + size).c_str());
        EXPECT_EQ(r.s.duplex, 0) << size;
        EXPECT_TRUE(Contains(r.err, kSize)) << size;
    }
    Resolved r = Resolve("full.ppd", "Duplex=DuplexTumble PageSize=BANK1");
    EXPECT_TRUE(Contains(r.err, "DEBUG: PageSize:CUS_1. \n" + std::string(kSize)));
}

TEST_F(Settings, VariedDefaultsGoThroughTheConstraints)
{
    // A5, FeedEdge 1, long-edge duplex, recycled paper: refused as A5L.
    Resolved r = Resolve("a5l.ppd");
    EXPECT_TRUE(Contains(r.err, kA5L));
    EXPECT_EQ(r.Get("MediaType"), "Recycle");
    EXPECT_EQ(r.s.Flag_MediaType, 3);
    ExpectConsistent(r);

    // BANK2 from the manual tray on thick paper: the tray rule comes first.
    r = Resolve("bank2.ppd");
    EXPECT_TRUE(Contains(r.err, kManual));
    EXPECT_FALSE(Contains(r.err, kNoPlain));
    EXPECT_EQ(r.Get("Duplex"), "None");
    ExpectConsistent(r);

    // BANK1 on thin paper: the media rule.
    r = Resolve("bank1_thin.ppd");
    EXPECT_TRUE(Contains(r.err, kNoPlain));
    ExpectConsistent(r);

    // No duplex, media or tray options: short-edge duplex on Thick, refused.
    r = Resolve("bare.ppd");
    EXPECT_TRUE(Contains(r.err, kNoPlain));
    EXPECT_EQ(r.Get("Border"), "1");
    ExpectConsistent(r);
}

TEST_F(Settings, OutsideTextInMessagesStaysOnOneLine)
{
    Resolved r = Resolve("full.ppd", "PageSize='A4\nSTATE: +x' InputSlot=\"T\r1\" Duplex=DuplexNoTumble");
    EXPECT_EQ(r.Get("PageSize"), "A4\nSTATE: +x");
    EXPECT_TRUE(Contains(r.err, "DEBUG: option PageSize,value=A4\\nSTATE: +x\n"));
    EXPECT_TRUE(Contains(r.err, "DEBUG: option PaperBox,value=T\\r1\n"));
    EXPECT_TRUE(Contains(r.err, "DEBUG: PageSize:A4\\nSTATE: +x. \n"));
    EXPECT_TRUE(LinesStartingWith(r.err, "STATE:").empty());
}

TEST_F(Settings, LongOptionValuesAreCut)
{
    std::string size(400, 's');
    Resolved r = Resolve("full.ppd", ("PageSize=" + size + " InputSlot=" + size).c_str());
    EXPECT_EQ(r.Get("PageSize"), std::string(255, 's'));
    EXPECT_EQ(r.Get("InputSlot"), "MainTray");
    EXPECT_EQ(r.Get("Border"), "1");
}
