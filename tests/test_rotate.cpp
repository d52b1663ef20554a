// Quarter and half turns of packed 1-bit images: the fast turn against the
// per-pixel one, the per-pixel one against the pixel mapping, and rotatePbm
// on files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "image/image.h"
#include "tests/testutil.h"

namespace {

struct Image {
    int w = 0, h = 0;
    std::vector<uint8_t> bits;
    size_t stride() const { return ((size_t)w + 7) / 8; }
    int at(int row, int col) const { return bits[row * stride() + col / 8] >> (7 - col % 8) & 1; }
};

// Random pixels; the padding bits are set too, since a turn must ignore them.
Image RandomImage(int w, int h, uint32_t seed)
{
    Image img;
    img.w = w;
    img.h = h;
    img.bits.resize(img.stride() * h);
    std::mt19937 rng(seed);
    for (auto& b : img.bits)
        b = (uint8_t)rng();
    return img;
}

Image ClearPadding(Image img)
{
    if (img.w % 8)
        for (int y = 0; y < img.h; y++)
            img.bits[y * img.stride() + img.stride() - 1] &= (uint8_t)(0xFF << (8 - img.w % 8));
    return img;
}

Image Turn(const Image& src, int angle, bool fast, uint8_t fill = 0xA5)
{
    Image out;
    out.w = angle == 180 ? src.w : src.h;
    out.h = angle == 180 ? src.h : src.w;
    // Filled with a pattern: every output byte must be written.
    out.bits.assign(out.stride() * out.h, fill);
    if (fast)
        RotateBits(src.bits.data(), src.w, src.h, angle, out.bits.data());
    else
        RotateBitsReference(src.bits.data(), src.w, src.h, angle, out.bits.data());
    return out;
}

bool PaddingClear(const Image& img)
{
    if (img.w % 8 == 0)
        return true;
    uint8_t mask = (uint8_t)(0xFF >> (img.w % 8));
    for (int y = 0; y < img.h; y++)
        if (img.bits[y * img.stride() + img.stride() - 1] & mask)
            return false;
    return true;
}

std::vector<std::pair<int, int>> Sizes()
{
    std::vector<std::pair<int, int>> s;
    for (int w = 1; w <= 17; w++)
        for (int h = 1; h <= 17; h++)
            s.push_back({w, h});
    // Lines and sizes around the block and tile boundaries of a fast turn.
    for (auto p : std::vector<std::pair<int, int>>{{1, 1000}, {1000, 1}, {63, 65}, {64, 64}, {65, 63}, {127, 9},
                                                    {9, 127}, {200, 3}, {3, 200}, {255, 257}, {256, 256},
                                                    {257, 255}, {33, 700}, {700, 33}, {513, 520}, {1031, 2049}})
        s.push_back(p);
    return s;
}

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

std::string PbmText(const Image& img)
{
    return "P4\n" + std::to_string(img.w) + " " + std::to_string(img.h) + "\n" +
           std::string(img.bits.begin(), img.bits.end());
}

bool Exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

const int kAngles[] = {-90, 90, 180};

} // namespace

TEST(RotateBits, FastTurnEqualsPerPixelTurnForEverySize)
{
    uint32_t seed = 1;
    for (int angle : kAngles) {
        for (auto [w, h] : Sizes()) {
            Image src = RandomImage(w, h, seed++);
            Image fast = Turn(src, angle, true);
            Image ref = Turn(src, angle, false);
            ASSERT_EQ(fast.bits, ref.bits) << "angle " << angle << ", " << w << " x " << h;
        }
    }
}

TEST(RotateBits, PerPixelTurnMovesEachPixelWhereTheTurnPutsIt)
{
    uint32_t seed = 100;
    for (int angle : kAngles) {
        for (auto [w, h] : std::vector<std::pair<int, int>>{{1, 1}, {13, 5}, {5, 13}, {16, 9}, {29, 31}}) {
            Image src = RandomImage(w, h, seed++);
            Image out = Turn(src, angle, false);
            ASSERT_TRUE(PaddingClear(out));
            for (int y = 0; y < h; y++) {
                for (int x = 0; x < w; x++) {
                    int got = angle == -90 ? out.at(w - 1 - x, y)
                              : angle == 90 ? out.at(x, h - 1 - y)
                                            : out.at(h - 1 - y, w - 1 - x);
                    ASSERT_EQ(got, src.at(y, x)) << "angle " << angle << " pixel " << y << "," << x;
                }
            }
        }
    }
}

TEST(RotateBits, QuarterTurnsMoveEdgesAsExpected)
{
    Image src = ClearPadding(RandomImage(13, 11, 7));
    // -90: the first output row is the source's last column, top to bottom.
    Image ccw = Turn(src, -90, true);
    for (int y = 0; y < src.h; y++)
        EXPECT_EQ(ccw.at(0, y), src.at(y, src.w - 1));
    EXPECT_TRUE(PaddingClear(ccw));
    // 90: output column 0 is the source's last row, left to right.
    Image cw = Turn(src, 90, true);
    for (int x = 0; x < src.w; x++)
        EXPECT_EQ(cw.at(x, 0), src.at(src.h - 1, x));
    EXPECT_TRUE(PaddingClear(cw));
    // 180: source column 0 lands in output column w-1.
    Image half = Turn(src, 180, true);
    for (int y = 0; y < src.h; y++)
        EXPECT_EQ(half.at(src.h - 1 - y, src.w - 1), src.at(y, 0));
    EXPECT_TRUE(PaddingClear(half));
}

TEST(RotateBits, MinusNinetyThenNinetyGivesTheImageBackWithPaddingCleared)
{
    uint32_t seed = 200;
    for (auto [w, h] : Sizes()) {
        Image src = RandomImage(w, h, seed++);
        Image back = Turn(Turn(src, -90, true), 90, true);
        ASSERT_EQ(back.w, w);
        ASSERT_EQ(back.h, h);
        ASSERT_EQ(back.bits, ClearPadding(src).bits) << w << " x " << h;
    }
}

TEST(RotateBits, TwoHalfTurnsGiveTheImageBack)
{
    uint32_t seed = 300;
    for (auto [w, h] : Sizes()) {
        Image src = RandomImage(w, h, seed++);
        ASSERT_EQ(Turn(Turn(src, 180, true), 180, true).bits, ClearPadding(src).bits) << w << " x " << h;
    }
}

class RotatePbmFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        mkdir(dir.c_str(), 0755);
        unlink(out.c_str());
    }
    std::string dir = "/tmp/rotate-test";
    std::string in = dir + "/in.pbm";
    std::string out = dir + "/out.pbm";
};

TEST_F(RotatePbmFile, WritesTheTurnedImageWithItsHeader)
{
    for (int angle : kAngles) {
        Image src = RandomImage(21, 10, 400 + angle);
        ASSERT_TRUE(WriteFile(in, PbmText(src)));
        unlink(out.c_str());
        ASSERT_EQ(rotatePbm(in.c_str(), out.c_str(), angle), 0) << angle;
        EXPECT_EQ(ReadFile(out), PbmText(Turn(src, angle, false))) << angle;
    }
}

TEST_F(RotatePbmFile, ReadsAHeaderWithComments)
{
    Image src = RandomImage(10, 4, 5);
    ASSERT_TRUE(WriteFile(in, "P4\n# made by hand\n10 # width\n4\n" + std::string(src.bits.begin(), src.bits.end())));
    ASSERT_EQ(rotatePbm(in.c_str(), out.c_str(), -90), 0);
    EXPECT_EQ(ReadFile(out), PbmText(Turn(src, -90, false)));
}

TEST_F(RotatePbmFile, HalfTurnTracesTheTopLeftPixelsInVisitOrder)
{
    const int w = 130, h = 101;
    ASSERT_TRUE(WriteFile(in, PbmText(RandomImage(w, h, 9))));
    int rc = -1;
    std::string err = CaptureStderr([&] { rc = rotatePbm(in.c_str(), out.c_str(), 180); });
    ASSERT_EQ(rc, 0);
    std::vector<std::string> lines = LinesStartingWith(err, "col = ");
    ASSERT_EQ(lines.size(), 10000u);  // x < 100 of 130 columns, y < 100 of 101 rows
    const int stride = (w + 7) / 8;
    size_t i = 0;
    for (int y = 0; y < 100; y++) {
        for (int x = 0; x < 100; x++, i++) {
            char expect[128];
            snprintf(expect, sizeof expect, "col = %d, originalByte = %d, rotatedByte = %d", x, y * stride + x / 8,
                     (h - 1 - y) * stride + (w - 1 - x) / 8);
            ASSERT_EQ(lines[i], expect);
        }
    }
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 10000) << "only trace lines expected";
}

TEST_F(RotatePbmFile, QuarterTurnWritesNoTrace)
{
    ASSERT_TRUE(WriteFile(in, PbmText(RandomImage(12, 12, 3))));
    std::string err = CaptureStderr([&] { EXPECT_EQ(rotatePbm(in.c_str(), out.c_str(), 90), 0); });
    EXPECT_EQ(err, "");
}

TEST_F(RotatePbmFile, RefusesPlainPbm)
{
    ASSERT_TRUE(WriteFile(in, "P1\n3 2\n0 1 0\n1 0 1\n"));
    int rc = 0;
    std::string err = CaptureStderr([&] { rc = rotatePbm(in.c_str(), out.c_str(), -90); });
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(err, "Unsupported format or not a PBM file.\n");
    EXPECT_FALSE(Exists(out));
}

TEST_F(RotatePbmFile, MissingInputIsReportedLikePerror)
{
    int rc = 0;
    std::string err = CaptureStderr([&] { rc = rotatePbm((dir + "/none.pbm").c_str(), out.c_str(), -90); });
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(err, "Error opening input file: No such file or directory\n");
    EXPECT_FALSE(Exists(out));
}

TEST_F(RotatePbmFile, UnwritableOutputIsReportedLikePerror)
{
    ASSERT_TRUE(WriteFile(in, PbmText(RandomImage(9, 9, 1))));
    int rc = 0;
    std::string err = CaptureStderr([&] { rc = rotatePbm(in.c_str(), (dir + "/no/out.pbm").c_str(), 90); });
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(err, "Error opening output file: No such file or directory\n");
}

TEST_F(RotatePbmFile, FailedWriteLeavesNoPartialFile)
{
    ASSERT_TRUE(WriteFile(in, PbmText(RandomImage(100, 100, 1))));
    // Files may grow to 200 bytes: enough for the message, not for the
    // 1,310-byte output.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = 200;
    void (*oldXfsz)(int) = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    int rc = 0;
    std::string err = CaptureStderr([&] { rc = rotatePbm(in.c_str(), out.c_str(), 90); });
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldXfsz);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(err, "Error writing output file: File too large\n");
    EXPECT_FALSE(Exists(out));
}

TEST_F(RotatePbmFile, FailedWriteToADeviceLeavesTheDevice)
{
    ASSERT_TRUE(WriteFile(in, PbmText(RandomImage(9, 9, 1))));
    int rc = 0;
    std::string err = CaptureStderr([&] { rc = rotatePbm(in.c_str(), "/dev/full", 90); });
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(err, "Error writing output file: No space left on device\n");
    EXPECT_TRUE(Exists("/dev/full"));
}

TEST_F(RotatePbmFile, RefusesHeadersWithoutAUsableSize)
{
    Image src = RandomImage(16, 4, 2);
    std::string raster(src.bits.begin(), src.bits.end());
    for (std::string header : {"P4\n16\n", "P4\n16 x\n", "P4\n0 4\n", "P4\n16 -4\n", "P4\n-16 4\n",
                               "P4\n\t# tab before a comment\n16 4\n", "P4\n99999 99999999\n"}) {
        ASSERT_TRUE(WriteFile(in, header + raster));
        unlink(out.c_str());
        int rc = 0;
        std::string err = CaptureStderr([&] { rc = rotatePbm(in.c_str(), out.c_str(), -90); });
        EXPECT_EQ(rc, 1) << header;
        EXPECT_NE(err, "") << header;
        EXPECT_FALSE(Exists(out)) << header;
    }
}

TEST_F(RotatePbmFile, RefusesAShortRaster)
{
    Image src = RandomImage(16, 4, 2);
    std::string text = PbmText(src);
    ASSERT_TRUE(WriteFile(in, text.substr(0, text.size() - 1)));
    int rc = 0;
    std::string err = CaptureStderr([&] { rc = rotatePbm(in.c_str(), out.c_str(), 180); });
    EXPECT_EQ(rc, 1);
    EXPECT_NE(err.find("raster has 7 of 8 bytes"), std::string::npos) << err;
    EXPECT_FALSE(Exists(out));
}

TEST_F(RotatePbmFile, RefusesOtherAngles)
{
    ASSERT_TRUE(WriteFile(in, PbmText(RandomImage(8, 8, 1))));
    for (int angle : {0, 45, -180, 270}) {
        int rc = 0;
        std::string err = CaptureStderr([&] { rc = rotatePbm(in.c_str(), out.c_str(), angle); });
        EXPECT_EQ(rc, 1) << angle;
        EXPECT_NE(err, "") << angle;
        EXPECT_FALSE(Exists(out)) << angle;
    }
}
