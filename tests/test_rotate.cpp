// Quarter and half turns of packed 1-bit images: the fast turn against the
// per-pixel one, the per-pixel one against the pixel mapping, and rotatePbm
// on files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
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
    Image img{w, h, {}};
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

// The output buffer starts filled with a pattern: every byte must be written.
Image Turn(const Image& src, int angle, bool fast)
{
    Image out{angle == 180 ? src.w : src.h, angle == 180 ? src.h : src.w, {}};
    out.bits.assign(out.stride() * out.h, 0xA5);
    (fast ? RotateBits : RotateBitsReference)(src.bits.data(), src.w, src.h, angle, out.bits.data());
    return out;
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

// Every size up to 17 x 17, and sizes around the 8-pixel blocks and the
// 256-row tiles of the fast turn.
std::vector<std::pair<int, int>> Sizes()
{
    std::vector<std::pair<int, int>> s = {{1, 1000}, {1000, 1},  {63, 65},   {64, 64},   {127, 9},   {9, 127},
                                          {255, 257}, {256, 256}, {257, 255}, {700, 33}, {1031, 2049}};
    for (int w = 1; w <= 17; w++)
        for (int h = 1; h <= 17; h++)
            s.push_back({w, h});
    return s;
}

const int kAngles[] = {-90, 90, 180};

} // namespace

TEST(RotateBits, TurnsMatchThePerPixelDefinitionWithPaddingCleared)
{
    uint32_t seed = 1;
    for (int angle : kAngles)
        for (auto [w, h] : Sizes()) {
            SCOPED_TRACE("angle " + std::to_string(angle) + ", " + std::to_string(w) + " x " + std::to_string(h));
            Image src = RandomImage(w, h, seed++);
            Image ref = Turn(src, angle, false);
            ASSERT_EQ(Turn(src, angle, true).bits, ref.bits);
            ASSERT_EQ(ClearPadding(ref).bits, ref.bits) << "padding bits set";
            if (w > 64 && h > 64)
                continue;  // the reference is checked pixel by pixel on the smaller sizes
            for (int y = 0; y < h; y++)
                for (int x = 0; x < w; x++) {
                    int got = angle == -90 ? ref.at(w - 1 - x, y)
                              : angle == 90 ? ref.at(x, h - 1 - y)
                                            : ref.at(h - 1 - y, w - 1 - x);
                    ASSERT_EQ(got, src.at(y, x)) << "pixel " << y << "," << x;
                }
        }
}

TEST(RotateBits, OppositeQuarterTurnsAndTwoHalfTurnsGiveTheImageBack)
{
    uint32_t seed = 200;
    for (auto [w, h] : Sizes()) {
        SCOPED_TRACE(std::to_string(w) + " x " + std::to_string(h));
        Image src = RandomImage(w, h, seed++);
        Image back = Turn(Turn(src, -90, true), 90, true);
        ASSERT_EQ(back.w, w);
        ASSERT_EQ(back.bits, ClearPadding(src).bits);
        ASSERT_EQ(Turn(Turn(src, 180, true), 180, true).bits, ClearPadding(src).bits);
    }
}

class RotatePbmFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        mkdir(dir.c_str(), 0755);
        unlink(out.c_str());
    }
    // Runs rotatePbm on `text` and returns its result and messages.
    int Run(const std::string& text, int angle, std::string* err, const std::string& to = "")
    {
        EXPECT_TRUE(WriteFile(in, text));
        testing::internal::CaptureStderr();
        int rc = rotatePbm(in.c_str(), (to.empty() ? out : to).c_str(), angle);
        *err = testing::internal::GetCapturedStderr();
        return rc;
    }
    std::string dir = "/tmp/rotate-test";
    std::string in = dir + "/in.pbm";
    std::string out = dir + "/out.pbm";
};

TEST_F(RotatePbmFile, WritesTheTurnedImageAndTracesOnlyHalfTurns)
{
    for (int angle : kAngles) {
        SCOPED_TRACE(angle);
        Image src = RandomImage(130, 101, 400 + angle);
        std::string err;
        // A header with comments between its fields.
        std::string text = "P4\n# made by hand\n130 # width\n101\n" + std::string(src.bits.begin(), src.bits.end());
        ASSERT_EQ(Run(text, angle, &err), 0);
        EXPECT_EQ(ReadFile(out), PbmText(Turn(src, angle, false)));
        std::vector<std::string> trace = LinesStartingWith(err, "col = ");
        EXPECT_EQ(trace.size(), angle == 180 ? 10000u : 0u);
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), (long)trace.size());
        // The top left 100 x 100 source pixels, rows outer, columns inner.
        for (size_t i = 0; i < trace.size(); i += 997) {
            int y = (int)i / 100, x = (int)i % 100;
            char want[128];
            snprintf(want, sizeof want, "col = %d, originalByte = %d, rotatedByte = %d", x, y * 17 + x / 8,
                     (100 - y) * 17 + (129 - x) / 8);
            EXPECT_EQ(trace[i], want);
        }
    }
}

TEST_F(RotatePbmFile, RefusesWhatItCannotTurnAndLeavesNoOutput)
{
    const std::string raster(8, '\x5A');  // 16 x 4
    struct Case {
        std::string text;
        int angle;
        std::string to;      // output path ("" = the usual one)
        const char* error;   // exact message, or nullptr for any
    } cases[] = {
        {"P1\n3 2\n0 1 0\n1 0 1\n", -90, "", "Unsupported format or not a PBM file.\n"},
        {"P4\n16\n" + raster, -90, "", nullptr},
        {"P4\n16 x\n" + raster, -90, "", nullptr},
        {"P4\n0 4\n" + raster, 90, "", nullptr},
        {"P4\n16 -4\n" + raster, 90, "", nullptr},
        {"P4\n\t# tab before a comment\n16 4\n" + raster, 180, "", nullptr},
        {"P4\n99999 99999999\n" + raster, -90, "", nullptr},
        {"P4\n16 4\n" + raster.substr(1), 180, "", "PBM file /tmp/rotate-test/in.pbm: raster has 7 of 8 bytes.\n"},
        {"P4\n16 4\n" + raster, 0, "", nullptr},
        {"P4\n16 4\n" + raster, 270, "", nullptr},
        {"P4\n16 4\n" + raster, 90, dir + "/no/out.pbm", "Error opening output file: No such file or directory\n"},
        {"P4\n16 4\n" + raster, 90, "/dev/full", "Error writing output file: No space left on device\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 20) + " angle " + std::to_string(c.angle));
        std::string err;
        EXPECT_EQ(Run(c.text, c.angle, &err, c.to), 1);
        EXPECT_NE(err, "");
        if (c.error) {
            EXPECT_EQ(err, c.error);
        }
        EXPECT_FALSE(Exists(out));
    }
    EXPECT_TRUE(Exists("/dev/full"));
    unlink(in.c_str());
    testing::internal::CaptureStderr();
    EXPECT_EQ(rotatePbm(in.c_str(), out.c_str(), -90), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error opening input file: No such file or directory\n");
}
