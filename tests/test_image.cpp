// Page capture from CUPS raster, the PBM header reader, the JBIG encoder
// run, loading of JBIG work files and the blank back side.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "image/image.h"
#include "tests/testutil.h"

namespace {

std::string CaptureStderr(const std::function<void()>& fn)
{
    fflush(stderr);
    FILE* tmp = tmpfile();
    int saved = dup(2);
    dup2(fileno(tmp), 2);
    fn();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::string text;
    rewind(tmp);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, tmp)) > 0)
        text.append(buf, n);
    fclose(tmp);
    return text;
}

bool Exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string PbmText(const TestPage& p)
{
    return "P4\n" + std::to_string(p.width) + " " + std::to_string(p.height) + "\n" +
           std::string(p.bits.begin(), p.bits.end());
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Header reading from a text held in memory.
struct HeaderRead {
    bool ok = false;
    std::string magic;
    int width = -1, height = -1;
    std::string rest;  // what the stream holds after the header
};

HeaderRead ReadHeaderFrom(const std::string& text)
{
    HeaderRead r;
    FILE* f = fmemopen(const_cast<char*>(text.data()), text.size(), "rb");
    char magic[3];
    r.ok = ReadPbmHeader(f, magic, &r.width, &r.height);
    r.magic = magic;
    int c;
    while ((c = fgetc(f)) != EOF)
        r.rest.push_back((char)c);
    fclose(f);
    return r;
}

// What skipPbmComments leaves in the stream.
std::string AfterSkip(const std::string& text)
{
    FILE* f = fmemopen(const_cast<char*>(text.data()), text.size(), "rb");
    skipPbmComments(f);
    std::string rest;
    int c;
    while ((c = fgetc(f)) != EOF)
        rest.push_back((char)c);
    fclose(f);
    return rest;
}

cups_page_header2_t GoodHeader(unsigned w, unsigned h)
{
    cups_page_header2_t hd;
    memset(&hd, 0, sizeof hd);
    hd.cupsWidth = w;
    hd.cupsHeight = h;
    hd.cupsBytesPerLine = (w + 7) / 8;
    hd.cupsBitsPerPixel = 1;
    hd.cupsBitsPerColor = 1;
    return hd;
}

// A raster file opened for reading, as the filter reads standard input.
struct RasterIn {
    int fd = -1;
    cups_raster_t* ras = nullptr;
    cups_page_header2_t header;
};

bool OpenRaster(const std::string& path, RasterIn* r)
{
    r->fd = open(path.c_str(), O_RDONLY);
    if (r->fd < 0)
        return false;
    r->ras = cupsRasterOpen(r->fd, CUPS_RASTER_READ);
    return r->ras && cupsRasterReadHeader2(r->ras, &r->header);
}

void CloseRaster(RasterIn* r)
{
    if (r->ras)
        cupsRasterClose(r->ras);
    if (r->fd >= 0)
        close(r->fd);
}

const std::string kWork = "/tmp/velmarsh/";

class WorkDir : public ::testing::Test {
protected:
    void SetUp() override
    {
        mkdir("/tmp/velmarsh", 0755);
        const char* p = getenv("PATH");
        savedPath = p ? p : "/usr/bin:/bin";
    }
    void TearDown() override { setenv("PATH", savedPath.c_str(), 1); }
    void UseFakeEncoder(const std::string& body)
    {
        setenv("PATH", FakeEncoderPath("/tmp/fakebin-" + std::to_string(++fakes), body).c_str(), 1);
    }
    std::string savedPath;
    int fakes = 0;
};

// Runs the real encoder on a page and decodes its JBIG file.
Bitmap EncodeAndDecode(const std::string& pbm, const std::string& jbg, int* status)
{
    *status = pbmtojbg(pbm.c_str(), jbg.c_str());
    Bitmap b;
    EXPECT_TRUE(DecodeJbig(ReadFile(jbg), &b)) << jbg;
    return b;
}

Bitmap WhitePage(int w, int h)
{
    Bitmap b;
    b.width = w;
    b.height = h;
    b.bits.assign((size_t)(w + 7) / 8 * h, 0);
    return b;
}

} // namespace

// ---------------------------------------------------------------------------
// Work file names

TEST(WorkNames, CarryJobIdAndPageNumber)
{
    char name[kNameSize];
    PbmWorkName(name, 42, 3);
    EXPECT_STREQ(name, "/tmp/velmarsh/42_3_gs.pbm");
    RotatedWorkName(name, 42, 3);
    EXPECT_STREQ(name, "/tmp/velmarsh/42_3_gs_rotated.pbm");
    JbgWorkName(name, 42, 3);
    EXPECT_STREQ(name, "/tmp/velmarsh/42-3.jbg");
}

// ---------------------------------------------------------------------------
// PBM header

TEST(PbmHeader, ReadsPlainHeaderAndStopsAtTheWhitespaceBeforeTheRaster)
{
    HeaderRead r = ReadHeaderFrom("P4\n13 5\n\x01\x02");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.magic, "P4");
    EXPECT_EQ(r.width, 13);
    EXPECT_EQ(r.height, 5);
    EXPECT_EQ(r.rest, "\n\x01\x02");
}

TEST(PbmHeader, SkipsCommentsBetweenMagicWidthAndHeight)
{
    HeaderRead r = ReadHeaderFrom("P4\n# a comment\n# another\r13\n#between\n  5\n");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.width, 13);
    EXPECT_EQ(r.height, 5);
    r = ReadHeaderFrom("P4 7 #c\r9\n");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.width, 7);
    EXPECT_EQ(r.height, 9);
}

TEST(PbmHeader, CommentRunningToTheEndStopsTheSkip)
{
    EXPECT_EQ(AfterSkip("# no line end"), "");
    HeaderRead r = ReadHeaderFrom("P4\n12 # no height follows");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.width, 12);
}

TEST(PbmHeader, TabIsNotSkipped)
{
    EXPECT_EQ(AfterSkip("\t# c\n5"), "\t# c\n5");
    EXPECT_EQ(AfterSkip(" \n\r# c\n5"), "5");
    // scanf passes the tab itself, then meets the comment.
    EXPECT_FALSE(ReadHeaderFrom("P4\n\t# c\n5 6\n").ok);
}

TEST(PbmHeader, MissingNumbersAreReported)
{
    EXPECT_FALSE(ReadHeaderFrom("").ok);
    EXPECT_FALSE(ReadHeaderFrom("P4\n").ok);
    EXPECT_FALSE(ReadHeaderFrom("P4\nx 5\n").ok);
    EXPECT_FALSE(ReadHeaderFrom("P4\n5\n").ok);
}

// ---------------------------------------------------------------------------
// Page header checks

TEST(CheckPageHeader, AcceptsRealPages)
{
    char why[128] = "";
    EXPECT_TRUE(CheckPageHeader(GoodHeader(4958, 7017), why, sizeof why)) << why;
    EXPECT_TRUE(CheckPageHeader(GoodHeader(9917, 14033), why, sizeof why)) << why;
    EXPECT_TRUE(CheckPageHeader(GoodHeader(1, 1), why, sizeof why)) << why;
    // Exactly the largest page: 2 GiB of pixel data.
    cups_page_header2_t big = GoodHeader(65536 * 8, 32768);
    EXPECT_TRUE(CheckPageHeader(big, why, sizeof why)) << why;
}

TEST(CheckPageHeader, RefusesPagesThatCannotBeReal)
{
    struct Case {
        const char* what;
        std::function<void(cups_page_header2_t&)> change;
    };
    const Case cases[] = {
        {"8 bits per pixel", [](cups_page_header2_t& h) { h.cupsBitsPerPixel = 8; h.cupsBitsPerColor = 8; h.cupsBytesPerLine = h.cupsWidth; }},
        {"bits per color 2", [](cups_page_header2_t& h) { h.cupsBitsPerColor = 2; }},
        {"zero width", [](cups_page_header2_t& h) { h.cupsWidth = 0; h.cupsBytesPerLine = 0; }},
        {"zero height", [](cups_page_header2_t& h) { h.cupsHeight = 0; }},
        {"line too short", [](cups_page_header2_t& h) { h.cupsBytesPerLine -= 1; }},
        {"line longer than the width", [](cups_page_header2_t& h) { h.cupsBytesPerLine += 1; }},
        {"width beyond int", [](cups_page_header2_t& h) { h.cupsWidth = 0xFFFFFFF8u; h.cupsBytesPerLine = 0x1FFFFFFFu; }},
        {"height beyond int", [](cups_page_header2_t& h) { h.cupsHeight = 4000000000u; }},
        {"more than 2 GiB", [](cups_page_header2_t& h) { h.cupsWidth = 1000000; h.cupsBytesPerLine = 125000; h.cupsHeight = 1000000; }},
        {"one line over 2 GiB", [](cups_page_header2_t& h) { h.cupsWidth = 65536 * 8; h.cupsBytesPerLine = 65536; h.cupsHeight = 32769; }},
    };
    for (const Case& c : cases) {
        cups_page_header2_t h = GoodHeader(4958, 7017);
        c.change(h);
        char why[128] = "";
        EXPECT_FALSE(CheckPageHeader(h, why, sizeof why)) << c.what;
        EXPECT_NE(why[0], '\0') << c.what;
    }
}

// ---------------------------------------------------------------------------
// Capture

TEST_F(WorkDir, CaptureWritesEachPageUnchangedAndTheLookAheadFindsTheEnd)
{
    TestPage p1 = PatternPage(13, 5, 1);  // width not a multiple of 8
    for (size_t i = 1; i < p1.bits.size(); i += 2)
        p1.bits[i] |= 0x07;  // padding bits set: kept as they are
    TestPage p2 = PatternPage(40, 3, 2);
    ASSERT_TRUE(WriteRasterFile("/tmp/job.ras", {p1, p2}));

    RasterIn r;
    ASSERT_TRUE(OpenRaster("/tmp/job.ras", &r));
    int rc = -1;
    std::string err = CaptureStderr([&] { rc = capturePage(r.ras, r.header, 1, (kWork + "9_1_gs.pbm").c_str()); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(err,
              "DEBUG: Page1 begin ,page_width = 13,page_height=5, page_line_bytes=2 \n"
              "INFO: Printing page 1\n"
              "DEBUG: Page 1 read 10 pixels\n");
    EXPECT_EQ(ReadFile(kWork + "9_1_gs.pbm"), PbmText(p1));

    ASSERT_TRUE(readAhead(r.ras, &r.header));
    EXPECT_EQ(r.header.cupsWidth, 40u);
    EXPECT_EQ(capturePage(r.ras, r.header, 2, (kWork + "9_2_gs.pbm").c_str()), 0);
    EXPECT_EQ(ReadFile(kWork + "9_2_gs.pbm"), PbmText(p2));
    EXPECT_FALSE(readAhead(r.ras, &r.header));
    CloseRaster(&r);
}

TEST_F(WorkDir, CaptureOfAStreamCutShortLeavesTheMissingLinesWhite)
{
    TestPage p = PatternPage(16, 10, 3);
    for (auto& b : p.bits)
        b |= 0x11;  // every line has black pixels
    TestPage cut = p;
    cut.bits.resize(4 * 2);  // only four of ten lines reach the stream
    ASSERT_TRUE(WriteRasterFile("/tmp/cut.ras", {cut}));

    RasterIn r;
    ASSERT_TRUE(OpenRaster("/tmp/cut.ras", &r));
    int rc = -1;
    std::string err = CaptureStderr([&] { rc = capturePage(r.ras, r.header, 1, (kWork + "1_1_gs.pbm").c_str()); });
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(Contains(err, "DEBUG: Page 1 read ")) << err;
    std::string pbm = ReadFile(kWork + "1_1_gs.pbm");
    ASSERT_EQ(pbm.size(), std::string("P4\n16 10\n").size() + 20);
    EXPECT_EQ(pbm.substr(0, 9), "P4\n16 10\n");
    // Lines that arrived are kept; the rest is white.
    std::string lines = pbm.substr(9);
    for (int y = 0; y < 10; y++) {
        std::string line = lines.substr(y * 2, 2);
        std::string want = y < 4 ? std::string(p.bits.begin() + y * 2, p.bits.begin() + y * 2 + 2) : std::string(2, '\0');
        EXPECT_EQ(line, want) << "line " << y;
    }
    EXPECT_FALSE(readAhead(r.ras, &r.header));
    CloseRaster(&r);
}

TEST_F(WorkDir, CaptureReportsAWorkFileThatCannotBeWritten)
{
    TestPage p = PatternPage(16, 4, 4);
    ASSERT_TRUE(WriteRasterFile("/tmp/a.ras", {p, p}));
    RasterIn r;
    ASSERT_TRUE(OpenRaster("/tmp/a.ras", &r));
    int rc = 0;
    std::string err = CaptureStderr([&] { rc = capturePage(r.ras, r.header, 3, "/tmp/velmarsh/no/3_3_gs.pbm"); });
    EXPECT_EQ(rc, -1);
    EXPECT_TRUE(Contains(err, "ERROR: page 3: cannot write work file /tmp/velmarsh/no/3_3_gs.pbm: No such file or directory\n"))
        << err;
    ASSERT_TRUE(readAhead(r.ras, &r.header));
    err = CaptureStderr([&] { rc = capturePage(r.ras, r.header, 4, "/dev/full"); });
    EXPECT_EQ(rc, -1);
    EXPECT_TRUE(Contains(err, "ERROR: page 4: cannot write work file /dev/full: No space left on device\n")) << err;
    CloseRaster(&r);
}

// ---------------------------------------------------------------------------
// Encoder

TEST_F(WorkDir, RealEncoderOutputDecodesToThePage)
{
    TestPage p = PatternPage(37, 300, 5);
    ASSERT_TRUE(WriteFile(kWork + "7_1_gs.pbm", PbmText(p)));
    int status = -1;
    Bitmap got;
    std::string err = CaptureStderr([&] { got = EncodeAndDecode(kWork + "7_1_gs.pbm", kWork + "7-1.jbg", &status); });
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(err,
              "DEBUG: pbmtojbg. width:[37], height:[300], pbm_file:[/tmp/velmarsh/7_1_gs.pbm]"
              "DEBUG: pbmtojbg: pbmtojbg -q -x 37 -y 300 -r -s 128 -o 0 -p 8 -m 0 /tmp/velmarsh/7_1_gs.pbm "
              "/tmp/velmarsh/7-1.jbg\n");
    Bitmap want = PageBitmap(p);
    EXPECT_EQ(got.width, want.width);
    EXPECT_EQ(got.height, want.height);
    EXPECT_EQ(got.bits, want.bits);
}

TEST_F(WorkDir, EncoderGetsExactlyTheFixedCommandLine)
{
    UseFakeEncoder("printf '%s|' \"$@\" > /tmp/args; for a; do last=$a; done; printf JB > \"$last\"");
    ASSERT_TRUE(WriteFile(kWork + "5_2_gs.pbm", "P4\n# comment\n12 3\n" + std::string(6, '\0')));
    int status = pbmtojbg((kWork + "5_2_gs.pbm").c_str(), (kWork + "5-2.jbg").c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(ReadFile("/tmp/args"),
              "-q|-x|12|-y|3|-r|-s|128|-o|0|-p|8|-m|0|/tmp/velmarsh/5_2_gs.pbm|/tmp/velmarsh/5-2.jbg|");
    EXPECT_EQ(ReadFile(kWork + "5-2.jbg"), "JB");
}

namespace {
volatile sig_atomic_t g_terms = 0;
void CountTerm(int) { g_terms = g_terms + 1; }
} // namespace

TEST_F(WorkDir, EncoderFinishesWhenTheProcessGroupIsTerminated)
{
    // The encoder, its shell and this process all receive SIGTERM while the
    // page is being encoded, as when CUPS cancels a job.
    UseFakeEncoder("kill -TERM $$; kill -TERM $PPID; kill -TERM " + std::to_string(getpid()) +
                   "; sleep 0.2; for a; do last=$a; done; printf done > \"$last\"");
    struct sigaction sa, old;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = CountTerm;  // no SA_RESTART: the wait is interrupted
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGTERM, &sa, &old), 0);
    g_terms = 0;

    ASSERT_TRUE(WriteFile(kWork + "1_1_gs.pbm", "P4\n8 1\n\x01"));
    int status = pbmtojbg((kWork + "1_1_gs.pbm").c_str(), (kWork + "1-1.jbg").c_str());

    struct sigaction after;
    sigaction(SIGTERM, &old, &after);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_EQ(ReadFile(kWork + "1-1.jbg"), "done");
    EXPECT_GE(g_terms, 1) << "the filter's handler still records the signal";
    EXPECT_EQ(after.sa_handler, &CountTerm) << "the filter's handler stays installed";
}

TEST_F(WorkDir, EncoderIsNotRunForAMissingOrHeaderlessPbm)
{
    UseFakeEncoder("touch /tmp/ran");
    int status = 0;
    std::string err = CaptureStderr([&] { status = pbmtojbg((kWork + "none.pbm").c_str(), (kWork + "x.jbg").c_str()); });
    EXPECT_EQ(status, -1);
    EXPECT_EQ(err, "Error opening input file: No such file or directory\n");
    ASSERT_TRUE(WriteFile(kWork + "bad.pbm", "P4\n12\n"));
    err = CaptureStderr([&] { status = pbmtojbg((kWork + "bad.pbm").c_str(), (kWork + "x.jbg").c_str()); });
    EXPECT_EQ(status, -1);
    EXPECT_FALSE(Exists("/tmp/ran"));
    EXPECT_FALSE(Exists(kWork + "x.jbg"));

    FILE* f = nullptr;
    int64_t size = 0;
    int rc = 0;
    err = CaptureStderr([&] { rc = OpenPageData((kWork + "x.jbg").c_str(), 1, false, status, &f, &size); });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(LinesStartingWith(err, "ERROR: JBIG encoder was not run for page 1").size(), 1u) << err;
}

// ---------------------------------------------------------------------------
// Loading

struct OpenResult {
    int rc = 0;
    std::string err;
    int64_t size = -2;
};

OpenResult EncodeAndOpen(int page, bool extra)
{
    OpenResult r;
    std::string pbm = kWork + "3_" + std::to_string(page) + "_gs.pbm";
    std::string jbg = kWork + "3-" + std::to_string(page) + ".jbg";
    EXPECT_TRUE(WriteFile(pbm, "P4\n8 2\n\x01\x02"));
    FILE* f = nullptr;
    r.err = CaptureStderr([&] {
        int status = pbmtojbg(pbm.c_str(), jbg.c_str());
        r.rc = OpenPageData(jbg.c_str(), page, extra, status, &f, &r.size);
    });
    if (f)
        fclose(f);
    return r;
}

TEST_F(WorkDir, MissingJbigFileSaysWhyTheEncoderLeftNone)
{
    struct Case {
        const char* body;
        const char* error;
    };
    const Case cases[] = {
        {"exit 3", "ERROR: JBIG encoder pbmtojbg failed with exit status 3 (page 3)\n"},
        {"kill -KILL $$", "ERROR: JBIG encoder pbmtojbg was killed by signal 9 (page 3)\n"},
        {"exit 0", "ERROR: cannot open JBIG file /tmp/velmarsh/3-3.jbg: No such file or directory (page 3)\n"},
        {"sh -c 'kill -KILL $$'; exit $?", "ERROR: JBIG encoder pbmtojbg was killed by signal 9 (page 3)\n"},
    };
    for (const Case& c : cases) {
        UseFakeEncoder(c.body);
        OpenResult r = EncodeAndOpen(3, false);
        EXPECT_EQ(r.rc, -1) << c.body;
        EXPECT_EQ(r.size, -1) << c.body;
        EXPECT_TRUE(Contains(r.err, "DEBUG: page 3 jbg file cannot be opened\n")) << r.err;
        EXPECT_TRUE(Contains(r.err, c.error)) << r.err;
        EXPECT_EQ(LinesStartingWith(r.err, "ERROR: ").size(), 1u) << r.err;
    }
}

TEST_F(WorkDir, MissingEncoderIsNamed)
{
    mkdir("/tmp/emptybin", 0755);
    setenv("PATH", "/tmp/emptybin", 1);
    OpenResult r = EncodeAndOpen(6, true);
    EXPECT_EQ(r.rc, -1);
    EXPECT_TRUE(Contains(r.err, "DEBUG: extra page 6 jbg file cannot be opened\n")) << r.err;
    EXPECT_TRUE(Contains(r.err, "ERROR: JBIG encoder pbmtojbg not found on PATH (page 6)\n")) << r.err;
}

TEST_F(WorkDir, OpenMeasuresTheFileWithPageOrExtraPageWording)
{
    ASSERT_TRUE(WriteFile(kWork + "a.jbg", "12345"));
    FILE* f = nullptr;
    int64_t size = -1;
    int rc = -1;
    std::string err = CaptureStderr([&] { rc = OpenPageData((kWork + "a.jbg").c_str(), 2, false, 0, &f, &size); });
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(size, 5);
    EXPECT_EQ(err, "DEBUG: page 2 jbg file size: 5 \n");
    ASSERT_NE(f, nullptr);
    unsigned char* data = nullptr;
    ASSERT_EQ(ReadPageData(f, size, &data), 0);
    EXPECT_EQ(std::string((char*)data, 5), "12345");
    free(data);
    fclose(f);

    ASSERT_TRUE(WriteFile(kWork + "empty.jbg", ""));
    err = CaptureStderr([&] { rc = OpenPageData((kWork + "empty.jbg").c_str(), 4, true, 0, &f, &size); });
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(err, "DEBUG: extra page 4 jbg file size: 0 \n");
    data = nullptr;
    EXPECT_EQ(ReadPageData(f, size, &data), 0);
    free(data);
    fclose(f);
}

TEST_F(WorkDir, UnseekableFileFailsWithTheSeekMessage)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string path = "/proc/self/fd/" + std::to_string(fds[0]);
    for (bool extra : {false, true}) {
        FILE* f = nullptr;
        int64_t size = 7;
        int rc = 0;
        std::string err = CaptureStderr([&] { rc = OpenPageData(path.c_str(), 5, extra, 0, &f, &size); });
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(f, nullptr);
        EXPECT_EQ(size, -1);
        EXPECT_EQ(err, extra ? "DEBUG: extra page 5 fseek end failed\n" : "DEBUG: page 5 fseek end failed\n");
    }
    close(fds[0]);
    close(fds[1]);
}

TEST_F(WorkDir, ReadFillsBytesTheFileNoLongerHasWithZeros)
{
    ASSERT_TRUE(WriteFile(kWork + "b.jbg", "abcde"));
    FILE* f = fopen((kWork + "b.jbg").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    unsigned char* data = nullptr;
    ASSERT_EQ(ReadPageData(f, 8, &data), 0);
    EXPECT_EQ(std::string((char*)data, 8), std::string("abcde\0\0\0", 8));
    free(data);
    fclose(f);
}

// ---------------------------------------------------------------------------
// Blank back side

TEST_F(WorkDir, ExtraPageIsAWhitePageOfTheBlankSize)
{
    FILE* f = nullptr;
    int64_t size = -1;
    int rc = -1;
    std::string err = CaptureStderr([&] { rc = makeExtraPage(12, 4, 4960, 70, false, &f, &size); });
    ASSERT_EQ(rc, 0) << err;
    ASSERT_NE(f, nullptr);
    fclose(f);
    EXPECT_TRUE(Contains(err,
                         "DEBUG: extra file /tmp/velmarsh/12_4_gs.pbm not exists, ignore, create a empty pbm file, "
                         "cupsheight 70, width 4960 bytesperline 620\n"))
        << err;
    EXPECT_TRUE(Contains(err, "DEBUG: pbmtojbg: pbmtojbg -q -x 4960 -y 70 -r -s 128 -o 0 -p 8 -m 0 "
                              "/tmp/velmarsh/12_4_gs.pbm /tmp/velmarsh/12-4.jbg\n"))
        << err;
    std::string jbg = ReadFile(kWork + "12-4.jbg");
    EXPECT_TRUE(Contains(err, "DEBUG: extra page 4 jbg file size: " + std::to_string(jbg.size()) + " \n")) << err;
    EXPECT_EQ(size, (int64_t)jbg.size());
    EXPECT_EQ(ReadFile(kWork + "12_4_gs.pbm"), "P4\n4960 70\n" + std::string(620 * 70, '\0'));
    Bitmap got;
    ASSERT_TRUE(DecodeJbig(jbg, &got));
    Bitmap want = WhitePage(4960, 70);
    EXPECT_EQ(got.width, want.width);
    EXPECT_EQ(got.height, want.height);
    EXPECT_EQ(got.bits, want.bits);
}

TEST_F(WorkDir, ExtraPageUnderA5LIsTurned)
{
    FILE* f = nullptr;
    int64_t size = -1;
    int rc = -1;
    std::string err = CaptureStderr([&] { rc = makeExtraPage(12, 2, 24, 10, true, &f, &size); });
    ASSERT_EQ(rc, 0) << err;
    fclose(f);
    EXPECT_TRUE(Contains(err, "DEBUG: A5L need rotate.[-90]DEBUG: pbmtojbg. width:[10], height:[24], "
                              "pbm_file:[/tmp/velmarsh/12_2_gs_rotated.pbm]"))
        << err;
    EXPECT_EQ(ReadFile(kWork + "12_2_gs_rotated.pbm"), "P4\n10 24\n" + std::string(2 * 24, '\0'));
    Bitmap got;
    ASSERT_TRUE(DecodeJbig(ReadFile(kWork + "12-2.jbg"), &got));
    Bitmap want = WhitePage(10, 24);
    EXPECT_EQ(got.width, want.width);
    EXPECT_EQ(got.height, want.height);
    EXPECT_EQ(got.bits, want.bits);
}

TEST_F(WorkDir, ExistingExtraPageFileIsEncodedUnchanged)
{
    TestPage p = PatternPage(32, 200, 8);
    ASSERT_TRUE(WriteFile(kWork + "12_5_gs.pbm", PbmText(p)));
    FILE* f = nullptr;
    int64_t size = -1;
    int rc = -1;
    std::string err = CaptureStderr([&] { rc = makeExtraPage(12, 5, 64, 10, false, &f, &size); });
    ASSERT_EQ(rc, 0) << err;
    fclose(f);
    EXPECT_FALSE(Contains(err, "not exists")) << err;
    EXPECT_EQ(ReadFile(kWork + "12_5_gs.pbm"), PbmText(p));
    Bitmap got;
    ASSERT_TRUE(DecodeJbig(ReadFile(kWork + "12-5.jbg"), &got));
    EXPECT_EQ(got.bits, PageBitmap(p).bits);
}

TEST_F(WorkDir, ExtraPageThatCannotBeWrittenFails)
{
    ASSERT_EQ(rename("/tmp/velmarsh", "/tmp/velmarsh-away"), 0);
    FILE* f = nullptr;
    int64_t size = -1;
    int rc = 0;
    std::string err = CaptureStderr([&] { rc = makeExtraPage(12, 6, 16, 4, false, &f, &size); });
    ASSERT_EQ(rename("/tmp/velmarsh-away", "/tmp/velmarsh"), 0);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(f, nullptr);
    EXPECT_TRUE(Contains(err, "ERROR: page 6: cannot write work file /tmp/velmarsh/12_6_gs.pbm: No such file or directory\n"))
        << err;
}
