// Page capture from CUPS raster, the PBM header reader, the JBIG encoder
// run, opening of JBIG work files and the blank back side.
#include <gtest/gtest.h>

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

#include "image/image.h"
#include "tests/testutil.h"

namespace {

template <typename Fn> std::string Stderr(Fn fn)
{
    testing::internal::CaptureStderr();
    fn();
    return testing::internal::GetCapturedStderr();
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string PbmText(const TestPage& p)
{
    return "P4\n" + std::to_string(p.width) + " " + std::to_string(p.height) + "\n" +
           std::string(p.bits.begin(), p.bits.end());
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

} // namespace

TEST(PbmHeader, CommentsAndWhitespaceBetweenFields)
{
    struct Case {
        std::string text;
        bool ok;
        int width, height;
        std::string rest;  // what the stream holds after the header
    } cases[] = {
        {"P4\n13 5\n\x01\x02", true, 13, 5, "\n\x01\x02"},
        {"P4\n# a comment\n# another\r13\n#between\n  5\n", true, 13, 5, "\n"},
        {"P4 7 #c\r9", true, 7, 9, ""},
        {"P4\n12 # no height follows", false, 12, -1, ""},  // the comment runs to the end
        {"P4\n\t# c\n5 6\n", false, -1, -1, "# c\n5 6\n"},  // a tab ends the skip
        {" ", false, -1, -1, ""},
        {"P4\nx 5\n", false, -1, -1, "x 5\n"},
        {"P4\n5\n", false, 5, -1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        FILE* f = fmemopen(const_cast<char*>(c.text.data()), c.text.size(), "rb");
        char magic[3];
        int width = -1, height = -1;
        EXPECT_EQ(ReadPbmHeader(f, magic, &width, &height), c.ok);
        EXPECT_EQ(width, c.width);
        EXPECT_EQ(height, c.height);
        std::string rest;
        for (int ch; (ch = fgetc(f)) != EOF;)
            rest.push_back((char)ch);
        EXPECT_EQ(rest, c.rest);
        fclose(f);
    }
}

TEST(CheckPageHeader, AcceptsRealPagesAndRefusesImpossibleOnes)
{
    struct Case {
        const char* what;
        unsigned width, height, bpl, bitsPerPixel, bitsPerColor;
        bool ok;
    } cases[] = {
        {"A4 600 dpi, odd width", 4958, 7017, 620, 1, 1, true},
        {"one pixel", 1, 1, 1, 1, 1, true},
        {"exactly 2 GiB", 65536 * 8, 32768, 65536, 1, 1, true},
        {"8 bits per pixel", 4958, 7017, 4958, 8, 8, false},
        {"bits per color 2", 4958, 7017, 620, 1, 2, false},
        {"zero width", 0, 7017, 0, 1, 1, false},
        {"zero height", 4958, 0, 620, 1, 1, false},
        {"line too short", 4958, 7017, 619, 1, 1, false},
        {"line longer than the width", 4958, 7017, 621, 1, 1, false},
        {"width beyond int", 0xFFFFFFF8u, 7017, 0x1FFFFFFFu, 1, 1, false},
        {"height beyond int", 4958, 4000000000u, 620, 1, 1, false},
        {"padded width beyond int", 0x7FFFFFFCu, 1, 0x10000000u, 1, 1, false},
        {"product overflows 32 bits", 1000000, 1000000, 125000, 1, 1, false},
        {"one line over 2 GiB", 65536 * 8, 32769, 65536, 1, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        cups_page_header2_t h;
        memset(&h, 0, sizeof h);
        h.cupsWidth = c.width;
        h.cupsHeight = c.height;
        h.cupsBytesPerLine = c.bpl;
        h.cupsBitsPerPixel = c.bitsPerPixel;
        h.cupsBitsPerColor = c.bitsPerColor;
        char why[128] = "";
        EXPECT_EQ(CheckPageHeader(h, why, sizeof why), c.ok) << why;
        EXPECT_EQ(why[0] != '\0', !c.ok);
    }
}

TEST_F(WorkDir, CaptureKeepsPaddingFillsACutStreamWithWhiteAndTheLookAheadEnds)
{
    TestPage p1 = PatternPage(13, 5, 1);  // width not a multiple of 8
    for (size_t i = 1; i < p1.bits.size(); i += 2)
        p1.bits[i] |= 0x07;  // padding bits set: kept as they are
    TestPage p2 = PatternPage(16, 10, 3);
    for (auto& b : p2.bits)
        b |= 0x11;  // every line has black pixels
    // The stream ends after 4 of the second page's 10 lines.
    ASSERT_TRUE(WriteRasterFile("/tmp/job.ras", {p1, p2}, 6 * 2));
    int fd = open("/tmp/job.ras", O_RDONLY);
    cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_READ);
    cups_page_header2_t h;
    ASSERT_TRUE(readAhead(ras, &h));
    int rc = -2;
    EXPECT_EQ(Stderr([&] { rc = capturePage(ras, h, 1, (kWork + "9_1_gs.pbm").c_str()); }),
              "DEBUG: Page1 begin ,page_width = 13,page_height=5, page_line_bytes=2 \n"
              "INFO: Printing page 1\n"
              "DEBUG: Page 1 read 10 pixels\n");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(ReadFile(kWork + "9_1_gs.pbm"), PbmText(p1));
    ASSERT_TRUE(readAhead(ras, &h));
    Stderr([&] { rc = capturePage(ras, h, 2, (kWork + "9_2_gs.pbm").c_str()); });
    EXPECT_EQ(rc, 0);
    std::fill(p2.bits.begin() + 4 * 2, p2.bits.end(), 0);
    EXPECT_EQ(ReadFile(kWork + "9_2_gs.pbm"), PbmText(p2));
    EXPECT_FALSE(readAhead(ras, &h));
    cupsRasterClose(ras);
    close(fd);
}

TEST_F(WorkDir, EncoderGetsExactlyTheFixedCommandLine)
{
    UseFakeEncoder("printf '%s|' \"$@\" > /tmp/args; for a; do last=$a; done; printf JB > \"$last\"");
    ASSERT_TRUE(WriteFile(kWork + "5_2_gs.pbm", "P4\n# comment\n12 3\n" + std::string(6, '\0')));
    int status = -1;
    std::string err = Stderr([&] { status = pbmtojbg((kWork + "5_2_gs.pbm").c_str(), (kWork + "5-2.jbg").c_str()); });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(ReadFile("/tmp/args"),
              "-q|-x|12|-y|3|-r|-s|128|-o|0|-p|8|-m|0|/tmp/velmarsh/5_2_gs.pbm|/tmp/velmarsh/5-2.jbg|");
    EXPECT_EQ(ReadFile(kWork + "5-2.jbg"), "JB");
    EXPECT_EQ(err, "DEBUG: pbmtojbg. width:[12], height:[3], pbm_file:[/tmp/velmarsh/5_2_gs.pbm]"
                   "DEBUG: pbmtojbg: pbmtojbg -q -x 12 -y 3 -r -s 128 -o 0 -p 8 -m 0 /tmp/velmarsh/5_2_gs.pbm "
                   "/tmp/velmarsh/5-2.jbg\n");
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
    struct sigaction sa, old, after;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = CountTerm;  // no SA_RESTART: the wait is interrupted
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGTERM, &sa, &old), 0);
    g_terms = 0;
    ASSERT_TRUE(WriteFile(kWork + "1_1_gs.pbm", "P4\n8 1\n\x01"));
    int status = pbmtojbg((kWork + "1_1_gs.pbm").c_str(), (kWork + "1-1.jbg").c_str());
    sigaction(SIGTERM, &old, &after);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_EQ(ReadFile(kWork + "1-1.jbg"), "done");
    EXPECT_GE(g_terms, 1) << "the filter's handler still records the signal";
    EXPECT_EQ(after.sa_handler, &CountTerm) << "the filter's handler stays installed";
}

TEST_F(WorkDir, MissingJbigFileSaysWhyTheEncoderLeftNone)
{
    struct Case {
        const char* body;  // fake encoder; "" = none on PATH; nullptr = no PBM, so not run
        bool extra;
        const char* error;
    } cases[] = {
        {"exit 3", false, "ERROR: JBIG encoder pbmtojbg failed with exit status 3 (page 3)\n"},
        {"kill -KILL $$", false, "ERROR: JBIG encoder pbmtojbg was killed by signal 9 (page 3)\n"},
        {"sh -c 'kill -KILL $$'; exit $?", true, "ERROR: JBIG encoder pbmtojbg was killed by signal 9 (page 3)\n"},
        {"exit 0", false, "ERROR: cannot open JBIG file /tmp/velmarsh/3-3.jbg: No such file or directory (page 3)\n"},
        {"", true, "ERROR: JBIG encoder pbmtojbg not found on PATH (page 3)\n"},
        {nullptr, false, "ERROR: JBIG encoder was not run for page 3 (no readable PBM image, or no process could be "
                         "started)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body ? c.body : "no PBM");
        unlink((kWork + "3_3_gs.pbm").c_str());
        setenv("PATH", savedPath.c_str(), 1);
        if (c.body && *c.body)
            UseFakeEncoder(c.body);
        else if (c.body)
            setenv("PATH", "/tmp/nothing-here", 1);
        else
            UseFakeEncoder("touch /tmp/ran");
        if (c.body) {
            ASSERT_TRUE(WriteFile(kWork + "3_3_gs.pbm", "P4\n8 2\n\x01\x02"));
        }
        FILE* f = stdin;
        int64_t size = 0;
        int rc = 0;
        std::string err = Stderr([&] {
            int status = pbmtojbg((kWork + "3_3_gs.pbm").c_str(), (kWork + "3-3.jbg").c_str());
            rc = OpenPageData((kWork + "3-3.jbg").c_str(), 3, c.extra, status, &f, &size);
        });
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(f, nullptr);
        EXPECT_EQ(size, -1);
        EXPECT_TRUE(Contains(err, c.extra ? "DEBUG: extra page 3 jbg file " : "DEBUG: page 3 jbg file ")) << err;
        EXPECT_TRUE(Contains(err, c.error)) << err;
        EXPECT_EQ(LinesStartingWith(err, "ERROR: ").size(), 1u) << err;
    }
    struct stat st;
    EXPECT_NE(stat("/tmp/ran", &st), 0) << "an encoder ran without a PBM";
}

TEST_F(WorkDir, OpenMeasuresSeekFailsOnAPipeAndReadFillsWithZeros)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_TRUE(WriteFile(kWork + "a.jbg", "12345"));
    ASSERT_TRUE(WriteFile(kWork + "empty.jbg", ""));
    struct Case {
        std::string path;
        bool extra;
        int rc;
        int64_t size;
        std::string log;
    } cases[] = {
        {kWork + "a.jbg", false, 0, 5, "DEBUG: page 2 jbg file size: 5 \n"},
        {kWork + "empty.jbg", true, 0, 0, "DEBUG: extra page 2 jbg file size: 0 \n"},
        {"/proc/self/fd/" + std::to_string(fds[0]), true, -1, -1, "DEBUG: extra page 2 fseek end failed\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.log);
        FILE* f = nullptr;
        int64_t size = 7;
        int rc = 1;
        EXPECT_EQ(Stderr([&] { rc = OpenPageData(c.path.c_str(), 2, c.extra, 0, &f, &size); }), c.log);
        EXPECT_EQ(rc, c.rc);
        EXPECT_EQ(size, c.size);
        EXPECT_EQ(f != nullptr, c.rc == 0);
        if (!f)
            continue;
        // Bytes the file no longer has are sent as zeros.
        unsigned char* data = nullptr;
        ASSERT_EQ(ReadPageData(f, size + 3, &data), 0);
        EXPECT_EQ(std::string((char*)data, size + 3), ReadFile(c.path) + std::string(3, '\0'));
        free(data);
        fclose(f);
    }
    close(fds[0]);
    close(fds[1]);
}

TEST_F(WorkDir, ExtraPageIsAWhitePageOfTheBlankSizeTurnedUnderA5L)
{
    TestPage existing = PatternPage(32, 20, 8);
    ASSERT_TRUE(WriteFile(kWork + "12_5_gs.pbm", PbmText(existing)));
    UseFakeEncoder("for a; do last=$a; done; printf JBIG > \"$last\"");
    struct Case {
        int page, width, height;
        bool a5l;
        std::string pbm, encoded;  // work file left, and the file the encoder read
        const char* log;           // a line expected among the messages
    } cases[] = {
        {4, 4960, 70, false, "P4\n4960 70\n" + std::string(620 * 70, '\0'), "",
         "DEBUG: extra file /tmp/velmarsh/12_4_gs.pbm not exists, ignore, create a empty pbm file, cupsheight 70, "
         "width 4960 bytesperline 620\n"},
        {2, 24, 10, true, "P4\n24 10\n" + std::string(3 * 10, '\0'), "P4\n10 24\n" + std::string(2 * 24, '\0'),
         "DEBUG: A5L need rotate.[-90]DEBUG: pbmtojbg. width:[10], height:[24], "
         "pbm_file:[/tmp/velmarsh/12_2_gs_rotated.pbm]"},
        // An existing file for the page number is encoded unchanged.
        {5, 64, 10, false, PbmText(existing), "", "DEBUG: extra page 5 jbg file size: 4 \n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.page);
        FILE* f = nullptr;
        int64_t size = -1;
        int rc = -1;
        std::string err = Stderr([&] { rc = makeExtraPage(12, c.page, c.width, c.height, c.a5l, &f, &size); });
        ASSERT_EQ(rc, 0) << err;
        ASSERT_NE(f, nullptr);
        fclose(f);
        EXPECT_EQ(size, 4);
        EXPECT_TRUE(Contains(err, c.log)) << err;
        EXPECT_EQ(Contains(err, "not exists"), c.page != 5) << err;
        EXPECT_EQ(ReadFile(kWork + "12_" + std::to_string(c.page) + "_gs.pbm"), c.pbm);
        if (c.a5l) {
            EXPECT_EQ(ReadFile(kWork + "12_" + std::to_string(c.page) + "_gs_rotated.pbm"), c.encoded);
        }
        EXPECT_EQ(ReadFile(kWork + "12-" + std::to_string(c.page) + ".jbg"), "JBIG");
    }
}
