// The page image library: header checks, PBM files and their turns, raster capture, the encoder, the blank back side.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "image/image.h"
#include "tests/testutil.h"

static const std::string kWork = (mkdir(kWorkDir, 0755), kWorkDir);  // made as the filter makes it
static const auto Stride = [](int w) { return ((size_t)w + 7) / 8; };
static const auto Bit = [](const auto& v, int w, int y, int x) { return v[y * Stride(w) + x / 8] >> (7 - x % 8) & 1; };
static const auto Call = [](auto fn, auto... args) {
    testing::internal::CaptureStderr();
    return std::pair<int, std::string>{fn(args...), testing::internal::GetCapturedStderr()};
};
// A fake encoder first on PATH; its input and output are its arguments 15 and 16.
static const auto Encoder = [](const std::string& body) { setenv("PATH", FakeEncoderPath("/tmp/e", body).c_str(), 1); };
static volatile sig_atomic_t g_terms = 0;

TEST(Image, HeaderChecksAcceptPrintablePagesAndRefuseImpossibleOnes)
{
    // what, width, height, bytes per line, bits per pixel (and per color << 8 when they differ), accepted
    const std::vector<std::tuple<const char*, unsigned, unsigned, unsigned, unsigned, bool>> cases = {
        {"A4 600 dpi, odd width", 4958, 7017, 620, 1, true},
        {"exactly 2 GiB", 65536 * 8, 32768, 65536, 1, true},
        {"8 bits", 4958, 7017, 4958, 8, false},
        {"1 bit per pixel, 2 per color", 4958, 7017, 620, 1 | 2 << 8, false},
        {"no height", 4958, 0, 620, 1, false},
        {"line too short", 4958, 7017, 619, 1, false},
        {"line too long", 4958, 7017, 621, 1, false},
        {"huge padded width", 0x7FFFFFFCu, 1, 1 << 28, 1, false},
        {"size over 32 bits", 1000000, 1000000, 125000, 1, false},
        {"over 2 GiB", 65536 * 8, 32769, 65536, 1, false},
    };
    for (const auto& [what, w, h, bpl, bits, ok] : cases) {
        cups_page_header2_t hd{};
        hd.cupsWidth = w, hd.cupsHeight = h, hd.cupsBytesPerLine = bpl, hd.cupsBitsPerPixel = bits & 0xFF,
        hd.cupsBitsPerColor = bits >> 8 ? bits >> 8 : bits;
        char why[128] = "";
        EXPECT_EQ(CheckPageHeader(hd, why, sizeof why), ok) << what << ": " << why;
        EXPECT_EQ(why[0] != '\0', !ok) << what;
    }
}

TEST(Image, RotatePbmWritesTheTurnOrRefusesAndLeavesNoOutput)
{
    TestPage p = PatternPage(130, 101, 4);
    for (size_t i = 16; i < p.bits.size(); i += 17)
        p.bits[i] |= 0x3F;  // padding bits set: a turn never reads them
    const std::string bits(p.bits.begin(), p.bits.end()), r(8, 'Z'), o = "/tmp/o.pbm";  // r: a 16 x 4 raster
    auto turned = [&](int a) {  // each pixel to its place, the padding bits 0
        const int ow = a == 180 ? 130 : 101, oh = a == 180 ? 101 : 130;
        std::vector<uint8_t> t(Stride(ow) * oh);
        for (int i = 0; i < ow * oh; i++) {
            const int y = i / ow, x = i % ow, sy = a == -90 ? x : a == 90 ? 100 - x : 100 - y;
            const int sx = a == -90 ? 129 - y : a == 90 ? y : 129 - x;
            t[y * Stride(ow) + x / 8] |= Bit(p.bits, 130, sy, sx) << (7 - x % 8);
        }
        return PbmText(ow, oh, t);
    };
    // input ("": none), angle, output, the output file or the message ("": any), files end at 3000 bytes
    const std::vector<std::tuple<std::string, int, std::string, std::string, bool>> cases = {
        {"P4\n# a\n# b\r130\n#c\n  101\n" + bits, -90, o, turned(-90), false},
        {"P4 130 #c\r101\n" + bits, 90, o, turned(90), false},
        {"P4\n130 101\t" + bits, 180, o, turned(180), false},
        {"P1\n3 2\n0 1 0\n1 0 1\n", -90, o, "Unsupported format or not a PBM file.\n", false},
        {"P4\n99999 99999999\n" + r, -90, o, "", false},
        {"P4\n16 4\n" + r.substr(1), 180, o, "PBM file /tmp/in.pbm: raster has 7 of 8 bytes.\n", false},
        {"P4\n16 4\n" + r, 90, "/tmp/no/o.pbm", "Error opening output file: No such file or directory\n", false},
        {"P4\n16 4\n" + r, 90, "/dev/full", "Error writing output file: No space left on device\n", false},
        {"P4\n8000 1\n" + std::string(1000, 'Z'), 90, o, "Error writing output file: File too large\n", true},
        {"", 90, o, "Error opening input file: No such file or directory\n", false},
    };
    rlimit old, small = {3000, RLIM_INFINITY};
    getrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, SIG_IGN);
    for (const auto& [text, angle, out, want, limit] : cases) {
        text.empty() ? (void)unlink("/tmp/in.pbm") : (void)WriteFile("/tmp/in.pbm", text);
        const bool ok = want.rfind("P4", 0) == 0;
        setrlimit(RLIMIT_FSIZE, limit ? &small : &old);
        const auto [rc, err] = Call(rotatePbm, "/tmp/in.pbm", out.c_str(), angle);
        setrlimit(RLIMIT_FSIZE, &old);
        SCOPED_TRACE(text.substr(0, 20) + " turned " + std::to_string(angle) + ": " + err.substr(0, 200));
        EXPECT_EQ(rc, ok ? 0 : 1);
        EXPECT_TRUE(ok ? ReadFile(o) == want : want.empty() ? !err.empty() : err == want);
        EXPECT_EQ(unlink(o.c_str()) == 0, ok) << "a partial output must go";
    }
}

TEST(Image, EncodePageRunsTheFixedCommandLineAndExplainsAMissingFailingOrKilledEncoder)
{
    struct sigaction sa = {}, old, after;
    sa.sa_handler = [](int) { g_terms = g_terms + 1; };  // no SA_RESTART: the wait for the encoder is interrupted
    ASSERT_EQ(sigaction(SIGTERM, &sa, &old), 0);
    const std::string args = "-q|-x|12|-y|3|-r|-s|128|-o|0|-p|8|-m|0|" + kWork + "3_3_gs.pbm|" + kWork + "3-3.jbg|";
    const std::string e = "ERROR: JBIG encoder ", failed = e + "pbmtojbg failed with exit status ", page = " (page 3)";
    // encoder body ("": an empty PBM), the blank back side, the data loaded or the ERROR line
    const std::vector<std::tuple<std::string, bool, std::string>> cases = {
        {"printf '%s|' \"$@\" > \"${16}\"", false, args},  // the data loaded: the command line
        // The encoder, its shell and the filter all get SIGTERM, as when CUPS cancels a job.
        {"kill -TERM $$ $PPID " + std::to_string(getpid()) + "; sleep 0.2; printf done > \"${16}\"", true, "done"},
        {"printf cut > \"${16}\"; exit 3", true, failed + "3" + page},  // a file left is unused
        {"exit 128", false, failed + "128" + page},                     // a status, not signal 0
        {"sh -c 'kill -KILL $$'; exit $?", true, e + "pbmtojbg was killed by signal 9" + page},  // status 137
        {"exit 127", true, e + "pbmtojbg not found on PATH" + page},  // the shell's status for that
        {"exit 0", false, "ERROR: cannot open JBIG file " + kWork + "3-3.jbg: No such file or directory" + page},
        {"", false, e + "was not run for page 3 (no readable PBM image, or no process could be started)"},
    };
    for (const auto& [body, extra, want] : cases) {
        const PageWorkFiles f(3, 3, 3);
        Encoder(body);
        WriteFile(f.pbm, body.empty() ? "" : "P4\n# comment\n12 3\n" + std::string(6, '\0'));
        std::vector<unsigned char> data;
        const auto [rc, err] = Call(EncodePage, f.pbm, f.jbg, 3, extra, &data);
        const bool fails = want.rfind("ERROR: ", 0) == 0;
        EXPECT_EQ(rc, fails ? -1 : 0) << err;
        EXPECT_EQ(fails ? Count(err, want + "\n") : std::string(data.begin(), data.end()) == want, 1u) << err;
        EXPECT_EQ(Count(err, "ERROR: "), fails ? 1u : 0u) << err;
        EXPECT_EQ(Count(err, extra ? "DEBUG: extra page 3 jbg file " : "DEBUG: page 3 jbg file "), 1u) << err;
    }
    sigaction(SIGTERM, &old, &after);
    EXPECT_GE(g_terms, 1) << "the filter's handler still records the signal";
    EXPECT_EQ(after.sa_handler, sa.sa_handler) << "the filter's handler stays installed";
}
