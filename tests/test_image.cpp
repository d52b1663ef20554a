// The page image library: header checks, PBM reading and writing, turns, capture from CUPS raster, the
// encoder run and its explanations, the blank back side and the removal of work files.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "image/image.h"
#include "tests/testutil.h"

namespace {

const std::string kWork = kWorkDir;
const int kWorkDirMade = mkdir(kWorkDir, 0755);  // as the filter makes it
size_t Stride(int w) { return ((size_t)w + 7) / 8; }
int Bit(const std::vector<uint8_t>& img, int w, int y, int x) { return img[y * Stride(w) + x / 8] >> (7 - x % 8) & 1; }
// The call's result and what it printed on standard error.
template <typename Fn> std::pair<int, std::string> Call(Fn fn)
{
    testing::internal::CaptureStderr();
    const int rc = fn();
    return {rc, testing::internal::GetCapturedStderr()};
}
// A fake encoder first on PATH; its body sees its last two arguments as $in and $out.
void Encoder(const std::string& body)
{
    static const std::string path = getenv("PATH");
    static int n = 0;
    setenv("PATH", path.c_str(), 1);
    const std::string dir = "/tmp/fake" + std::to_string(++n);
    setenv("PATH", FakeEncoderPath(dir, "for a; do in=$out; out=$a; done; " + body).c_str(), 1);
}
volatile sig_atomic_t g_terms = 0;
void CountTerm(int) { g_terms = g_terms + 1; }

} // namespace

TEST(Image, HeaderChecksAcceptRealPagesAndRefuseImpossibleOnes)
{
    const struct { const char* what; unsigned width, height, bpl, bitsPerPixel, bitsPerColor; bool ok; } cases[] = {
        {"A4 600 dpi, odd width", 4958, 7017, 620, 1, 1, true}, {"one pixel", 1, 1, 1, 1, 1, true},
        {"exactly 2 GiB", 65536 * 8, 32768, 65536, 1, 1, true}, {"8 bits", 4958, 7017, 4958, 8, 8, false},
        {"2 bits per color", 4958, 7017, 620, 1, 2, false}, {"no width", 0, 7017, 0, 1, 1, false},
        {"no height", 4958, 0, 620, 1, 1, false}, {"line too short", 4958, 7017, 619, 1, 1, false},
        {"line too long", 4958, 7017, 621, 1, 1, false}, {"huge width", 0xFFFFFFF8u, 7017, 0x1FFFFFFFu, 1, 1, false},
        {"huge height", 4958, 4000000000u, 620, 1, 1, false}, {"huge padded width", 0x7FFFFFFCu, 1, 1 << 28, 1, 1, false},
        {"size over 32 bits", 1000000, 1000000, 125000, 1, 1, false}, {"over 2 GiB", 65536 * 8, 32769, 65536, 1, 1, false},
    };
    for (const auto& c : cases) {
        cups_page_header2_t h{};
        h.cupsWidth = c.width, h.cupsHeight = c.height, h.cupsBytesPerLine = c.bpl;
        h.cupsBitsPerPixel = c.bitsPerPixel, h.cupsBitsPerColor = c.bitsPerColor;
        char why[128] = "";
        EXPECT_EQ(CheckPageHeader(h, why, sizeof why), c.ok) << c.what << ": " << why;
        EXPECT_EQ(why[0] != '\0', !c.ok) << c.what;
    }
}

TEST(Image, FastTurnsMatchTheReferenceAndTheReferenceEachPixelWithPaddingCleared)
{
    std::vector<std::pair<int, int>> sizes = {{1, 1000}, {1000, 1},  {63, 65},   {64, 64},  {127, 9},   {9, 127},
                                              {255, 257}, {256, 256}, {257, 255}, {700, 33}, {1031, 2049}};
    for (int i = 0; i < 17 * 17; i++)
        sizes.push_back({1 + i / 17, 1 + i % 17});
    std::mt19937 rng(1);
    for (int angle : {-90, 90, 180})
        for (auto [w, h] : sizes) {
            std::vector<uint8_t> src(Stride(w) * h);
            for (auto& b : src)
                b = (uint8_t)rng();  // padding bits set too: a turn never reads them
            const int ow = angle == 180 ? w : h, oh = angle == 180 ? h : w;
            std::vector<uint8_t> fast(Stride(ow) * oh, 0xA5), ref(fast);  // every byte must be written
            RotateBits(src.data(), w, h, angle, fast.data());
            RotateBitsReference(src.data(), w, h, angle, ref.data());
            ASSERT_EQ(fast, ref) << angle << ": " << w << " x " << h;
            for (int y = 0; y < oh && (w <= 64 || h <= 64); y++)
                for (int x = 0; x < (int)Stride(ow) * 8; x++) {
                    const int sy = angle == -90 ? x : angle == 90 ? h - 1 - x : h - 1 - y;
                    const int sx = angle == -90 ? w - 1 - y : angle == 90 ? y : w - 1 - x;
                    ASSERT_EQ(Bit(ref, ow, y, x), x < ow ? Bit(src, w, sy, sx) : 0)
                        << angle << ": " << w << " x " << h << " at " << y << "," << x;
                }
        }
}

TEST(Image, RotatePbmWritesTheTurnOrRefusesAndLeavesNoOutput)
{
    const TestPage p = PatternPage(130, 101, 4);
    const std::string bits(p.bits.begin(), p.bits.end());
    auto turned = [&](int angle) {
        std::vector<uint8_t> t(angle == 180 ? p.bits.size() : Stride(101) * 130);
        RotateBitsReference(p.bits.data(), 130, 101, angle, t.data());
        return angle == 180 ? PbmText(130, 101, t) : PbmText(101, 130, t);
    };
    const std::string r(8, 'Z'), o = "/tmp/o.pbm";  // r: a 16 x 4 raster
    const struct { std::string text; int angle; std::string out, want; bool limit = false; } cases[] = {
        // want: the output file, or the message ("" for any); limit: files end at 3000 bytes
        {"P4\n# a\n# b\r130\n#c\n  101\n" + bits, -90, o, turned(-90)}, {"P4 130 #c\r101\n" + bits, 90, o, turned(90)},
        {"P4\n130 101\t" + bits, 180, o, turned(180)}, {"P4\n130 # comment to the end\n", 90, o, ""},
        {"P1\n3 2\n0 1 0\n1 0 1\n", -90, o, "Unsupported format or not a PBM file.\n"},
        {"P4\n16\n" + r, -90, o, ""}, {"P4\n16 x\n" + r, -90, o, ""}, {"P4\n0 4\n" + r, 90, o, ""},
        {"P4\n16 -4\n" + r, 90, o, ""}, {"P4\n\t# tab\n16 4\n" + r, 180, o, ""}, {"P4\n99999 99999999\n" + r, -90, o, ""},
        {"P4\n16 4\n" + r.substr(1), 180, o, "PBM file /tmp/in.pbm: raster has 7 of 8 bytes.\n"},
        {"P4\n16 4\n" + r, 0, o, ""}, {"P4\n16 4\n" + r, 270, o, ""},
        {"P4\n16 4\n" + r, 90, "/tmp/no/o.pbm", "Error opening output file: No such file or directory\n"},
        {"P4\n16 4\n" + r, 90, "/dev/full", "Error writing output file: No space left on device\n"},
        {"P4\n8000 1\n" + std::string(1000, 'Z'), 90, o, "Error writing output file: File too large\n", true},
        {"", 90, o, "Error opening input file: No such file or directory\n"},  // no input file
    };
    const rlimit small = {3000, RLIM_INFINITY};
    rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, SIG_IGN);
    for (const auto& c : cases) {
        c.text.empty() ? (void)unlink("/tmp/in.pbm") : (void)WriteFile("/tmp/in.pbm", c.text);
        const bool ok = c.want.rfind("P4", 0) == 0;
        setrlimit(RLIMIT_FSIZE, c.limit ? &small : &old);
        const auto [rc, err] = Call([&] { return rotatePbm("/tmp/in.pbm", c.out.c_str(), c.angle); });
        setrlimit(RLIMIT_FSIZE, &old);
        SCOPED_TRACE(c.text.substr(0, 20) + " turned " + std::to_string(c.angle) + ": " + err.substr(0, 200));
        EXPECT_EQ(rc, ok ? 0 : 1);
        EXPECT_TRUE(ok ? ReadFile(o) == c.want : c.want.empty() ? !err.empty() : err == c.want);
        EXPECT_EQ(Count(err, "col = "), ok && c.angle == 180 ? 10000u : 0u);  // the half turn's trace, rows outer
        EXPECT_EQ(Count(err, "col = 97, originalByte = 165, rotatedByte = 1551\n"), ok && c.angle == 180 ? 1u : 0u);
        EXPECT_EQ(unlink(o.c_str()) == 0, ok) << "a partial output must go";
    }
}

TEST(Image, CaptureKeepsPaddingFillsACutStreamWithWhiteAndTheLookAheadEnds)
{
    TestPage p1 = PatternPage(13, 5, 1), p2 = PatternPage(16, 10, 3);
    for (size_t i = 1; i < p1.bits.size(); i += 2)
        p1.bits[i] |= 0x07;  // padding bits set: kept as they are
    std::fill(p2.bits.begin(), p2.bits.end(), 0x11);
    ASSERT_TRUE(WriteRasterFile("/tmp/job.ras", {p1, p2}, 6 * 2));  // 4 of page 2's 10 lines left
    std::fill(p2.bits.begin() + 4 * 2, p2.bits.end(), 0);
    const int fd = open("/tmp/job.ras", O_RDONLY);
    cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_READ);
    cups_page_header2_t h;
    for (const TestPage& p : {p1, p2}) {
        ASSERT_TRUE(readAhead(ras, &h));
        const auto [rc, err] = Call([&] { return capturePage(ras, h, 1, "/tmp/page.pbm"); });
        EXPECT_EQ(rc, 0) << err;
        EXPECT_EQ(ReadFile("/tmp/page.pbm"), PbmText(p.width, p.height, p.bits));
    }
    EXPECT_FALSE(readAhead(ras, &h));
    cupsRasterClose(ras);
    close(fd);
}

TEST(Image, EncodePageRunsTheFixedCommandLineAndExplainsAMissingFailingOrKilledEncoder)
{
    struct sigaction sa = {}, old, after;
    sa.sa_handler = CountTerm;  // no SA_RESTART: the wait for the encoder is interrupted
    ASSERT_EQ(sigaction(SIGTERM, &sa, &old), 0);
    const std::string killed = "ERROR: JBIG encoder pbmtojbg was killed by signal 9 (page 3)";
    const std::string failed = "ERROR: JBIG encoder pbmtojbg failed with exit status 3 (page 3)";
    const struct { std::string body; bool extra; std::string want; } cases[] = {
        // want: the data loaded, or the ERROR line; body "-": none on PATH; "": no PBM
        {"printf '%s|' \"$@\" > /tmp/args; printf JB > \"$out\"", false, "JB"},
        // The encoder, its shell and the filter all get SIGTERM, as when CUPS cancels a job.
        {"kill -TERM $$ $PPID " + std::to_string(getpid()) + "; sleep 0.2; printf done > \"$out\"", true, "done"},
        {"exit 3", false, failed}, {"printf cut > \"$out\"; exit 3", true, failed},  // a file left is not used
        {"kill -KILL $$", false, killed}, {"sh -c 'kill -KILL $$'; exit $?", true, killed},
        {"exit 0", false, "ERROR: cannot open JBIG file " + kWork + "3-3.jbg: No such file or directory (page 3)"},
        {"-", true, "ERROR: JBIG encoder pbmtojbg not found on PATH (page 3)"},
        {"", false, "ERROR: JBIG encoder was not run for page 3 (no readable PBM image, or no process could be started)"},
    };
    for (const auto& c : cases) {
        const PageWorkFiles f(3, 3, 3);
        Encoder(c.body.empty() ? "touch /tmp/ran" : c.body);
        if (c.body == "-")
            setenv("PATH", "/tmp/nothing-here", 1);
        if (!c.body.empty())
            WriteFile(f.pbm, "P4\n# comment\n12 3\n" + std::string(6, '\0'));
        std::vector<unsigned char> data;
        const auto [rc, err] = Call([&] { return EncodePage(f.pbm, f.jbg, 3, c.extra, &data); });
        const bool fails = c.want.rfind("ERROR: ", 0) == 0;
        EXPECT_EQ(rc, fails ? -1 : 0) << err;
        EXPECT_EQ(fails ? Count(err, c.want + "\n") : std::string(data.begin(), data.end()) == c.want, 1u) << err;
        EXPECT_EQ(Count(err, "ERROR: "), fails ? 1u : 0u) << err;
        EXPECT_EQ(Count(err, c.extra ? "DEBUG: extra page 3 jbg file " : "DEBUG: page 3 jbg file "), 1u) << err;
    }
    sigaction(SIGTERM, &old, &after);
    EXPECT_EQ(ReadFile("/tmp/args"), "-q|-x|12|-y|3|-r|-s|128|-o|0|-p|8|-m|0|" + kWork + "3_3_gs.pbm|" + kWork + "3-3.jbg|");
    EXPECT_GE(g_terms, 1) << "the filter's handler still records the signal";
    EXPECT_EQ(after.sa_handler, &CountTerm) << "the filter's handler stays installed";
    EXPECT_NE(access("/tmp/ran", F_OK), 0) << "an encoder ran without a PBM";
}

TEST(Image, ExtraPageIsAWhitePageOfTheBlankSizeTurnedUnderA5LAndItsWorkFilesGoUnlessKept)
{
    const TestPage existing = PatternPage(32, 20, 8);
    Encoder("cp \"$in\" /tmp/encoded.pbm; printf JBIG > \"$out\"");
    const struct { int page, width, height; bool a5l; std::string encoded; const char* keep; } cases[] = {
        {4, 4960, 120, false, PbmText(4960, 120, std::vector<uint8_t>(620 * 120)), ""},
        {2, 24, 10, true, PbmText(10, 24, std::vector<uint8_t>(2 * 24)), ""},
        {5, 64, 10, false, PbmText(32, 20, existing.bits), ""},  // a file under the page number is encoded as it is
        {6, 24, 10, true, PbmText(10, 24, std::vector<uint8_t>(2 * 24)), "1"},  // kept for debugging a queue
    };
    WriteFile(kWork + "12_5_gs.pbm", cases[2].encoded);
    for (const auto& c : cases) {
        setenv("FISKOR_KEEP_WORK_FILES", c.keep, 1);
        std::vector<unsigned char> data;
        const auto [rc, err] = Call([&] { return makeExtraPage(12, c.page, c.width, c.height, c.a5l, &data); });
        ASSERT_EQ(rc, 0) << err;
        EXPECT_EQ(std::string(data.begin(), data.end()), "JBIG");
        EXPECT_EQ(ReadFile("/tmp/encoded.pbm"), c.encoded) << c.page;
        EXPECT_EQ(Count(err, "not exists"), c.page == 5 ? 0u : 1u) << err;
        const std::string n = std::to_string(c.page);
        for (const std::string& f : {"12_" + n + "_gs.pbm", "12_" + n + "_gs_rotated.pbm", "12-" + n + ".jbg"})
            EXPECT_EQ(access((kWork + f).c_str(), F_OK) == 0, *c.keep != '\0') << f;
    }
    unsetenv("FISKOR_KEEP_WORK_FILES");
}
