// The project's JBIG encoder against jbigkit as the oracle: the library must
// give the bytes libjbig gives with the options of the fixed command line
// (at any thread count), libjbig must decode them back to the page, and the
// program must give the bytes of Debian's /usr/bin/pbmtojbg, refuse every
// other command line and fail on broken input or output without leaving an
// output file behind.
#include "encoder/encoder.h"
#include "encoder/pbmtojbg_cli.h"
#include "tests/testutil.h"

#include <gtest/gtest.h>

extern "C" {
#include <jbig.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

const std::string kOwnEncoder = std::string(FZ_BINARY_DIR) + "/encoder/pbmtojbg";
const std::string kDataDir = std::string(FZ_SOURCE_DIR) + "/tests/data/jbig/";

// A packed 1-bit page, rows of (width + 7) / 8 bytes, 1 = black.
struct Page {
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> bits;
};

Page BlankPage(uint32_t w, uint32_t h) { return Page{w, h, std::vector<uint8_t>(JbigRowBytes(w) * h, 0)}; }

void SetPixel(Page& p, uint32_t x, uint32_t y, bool black = true)
{
    if (black && x < p.width && y < p.height)
        p.bits[y * JbigRowBytes(p.width) + x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
}

// Sets or clears the bits after the last pixel of every row.
Page WithPadding(Page p, bool set)
{
    const size_t bpl = JbigRowBytes(p.width);
    const uint8_t pad = static_cast<uint8_t>(0xFF >> (p.width % 8 ? p.width % 8 : 8));
    for (uint32_t y = 0; y < p.height; ++y) {
        uint8_t& last = p.bits[y * bpl + bpl - 1];
        last = set ? (last | pad) : (last & ~pad);
    }
    return p;
}

// Page contents, deterministic from the generator: noise of three
// densities, glyph-like blobs (rows repeat, so typical prediction works),
// an ordered-dither halftone, error diffusion and white.
enum Kind { kNoise, kSparse, kDense, kText, kHalftone, kDiffused, kBlank, kKinds };
const char* const kKindNames[kKinds] = {"noise", "sparse", "dense", "text", "halftone", "diffused", "blank"};

void DrawText(Page& p, std::mt19937& rng)
{
    for (uint32_t y = 1 + rng() % 40, lineH; y < p.height; y += lineH + 4 + rng() % 27) {
        lineH = 4 + rng() % 21;
        for (uint32_t x = 1 + rng() % 30, gw; x < p.width; x += gw + 1 + rng() % 10) {
            gw = 2 + rng() % 13;
            const uint32_t gh = std::min<uint32_t>(lineH, 4 + rng() % 21);
            const bool hollow = rng() % 5 < 2;
            for (uint32_t dy = 0; dy < gh; ++dy)
                for (uint32_t dx = 0; dx < gw; ++dx)
                    if (!hollow || dx == 0 || dy == 0 || dx + 1 == gw || dy + 1 == gh)
                        SetPixel(p, x + dx, y + lineH - gh + dy);
        }
    }
}

// A diagonal gradient with each pixel's error passed half right, half down.
void DrawDiffused(Page& p)
{
    std::vector<double> below(p.width, 0.0);
    for (uint32_t y = 0; y < p.height; ++y) {
        double right = 0;
        for (uint32_t x = 0; x < p.width; ++x) {
            const double v = (x + 0.5 * y) / (p.width + 0.5 * p.height) + right + below[x];
            SetPixel(p, x, y, v < 0.5);
            right = below[x] = (v < 0.5 ? v : v - 1.0) / 2;
        }
    }
}

Page MakePage(Kind kind, uint32_t w, uint32_t h, std::mt19937& rng)
{
    static const int kBayer[16] = {0, 8, 2, 10, 12, 4, 14, 6, 3, 11, 1, 9, 15, 7, 13, 5};
    Page p = BlankPage(w, h);
    if (kind == kText)
        DrawText(p, rng);
    if (kind == kDiffused)
        DrawDiffused(p);
    std::bernoulli_distribution black(kind == kNoise ? 0.5 : kind == kSparse ? 0.03 : 0.97);
    const double fx = 0.002 + (rng() % 100) * 0.0005, fy = 0.002 + (rng() % 100) * 0.0005;
    for (uint32_t y = 0; y < h && (kind <= kDense || kind == kHalftone); ++y)
        for (uint32_t x = 0; x < w; ++x)
            SetPixel(p, x, y, kind == kHalftone ? (1 + std::sin(x * fx) * std::cos(y * fy)) * 8 > kBayer[y % 4 * 4 + x % 4] : black(rng));
    return p;
}

std::string Describe(const Page& p, Kind kind)
{
    return std::string(kKindNames[kind]) + " " + std::to_string(p.width) + "x" + std::to_string(p.height);
}

// libjbig with what `pbmtojbg -q -r -s 128 -o 0 -p 8 -m 0` selects: one
// layer, order 0, TPBON, SDRST, 128 lines per stripe, no AT moves.
std::vector<uint8_t> LibjbigEncode(Page p)
{
    std::vector<uint8_t> out;
    unsigned char* plane = p.bits.data();
    jbg_enc_state s;
    jbg_enc_init(&s, p.width, p.height, 1, &plane, [](unsigned char* d, size_t n, void* v) {
        static_cast<std::vector<uint8_t>*>(v)->insert(static_cast<std::vector<uint8_t>*>(v)->end(), d, d + n);
    }, &out);
    jbg_enc_layers(&s, 0);
    jbg_enc_options(&s, 0, JBG_TPBON | JBG_SDRST, 128, 0, 0);
    jbg_enc_out(&s);
    jbg_enc_free(&s);
    return out;
}

// Equal byte strings, or where they first differ.
template <typename T>
::testing::AssertionResult SameBytes(const T& got, const T& want)
{
    if (got == want)
        return ::testing::AssertionSuccess();
    const auto at = std::mismatch(got.begin(), got.end(), want.begin(), want.end()).first - got.begin();
    return ::testing::AssertionFailure() << "sizes " << got.size() << " and " << want.size() << ", first difference at " << at;
}

// The library's bytes for `p` on one thread equal libjbig's and are the
// same on the other thread counts, and libjbig decodes them to the page.
void ExpectLikeLibjbig(const Page& p, std::initializer_list<int> threads)
{
    const std::vector<uint8_t> one = EncodeJbig(p.bits.data(), p.width, p.height, 1);
    EXPECT_TRUE(SameBytes(one, LibjbigEncode(p)));
    for (int t : threads)
        EXPECT_TRUE(SameBytes(EncodeJbig(p.bits.data(), p.width, p.height, t), one)) << t << " threads";
    Bitmap back;
    ASSERT_TRUE(DecodeJbig(std::string(one.begin(), one.end()), &back));
    EXPECT_EQ(back.width, static_cast<int>(p.width));
    EXPECT_EQ(back.height, static_cast<int>(p.height));
    EXPECT_TRUE(back.bits == WithPadding(p, false).bits);
}

TEST(JbigEncoderLibrary, GeneratedPagesMatchLibjbig)
{
    std::mt19937 rng(20240611);
    // Widths around byte and word boundaries up to a few thousand, each with
    // three rounds of every kind at heights around stripe boundaries; then
    // sizes drawn at random. Every other round has the bits after the last
    // pixel of each row set.
    const uint32_t widths[] = {1, 2, 7, 8, 9, 15, 16, 17, 63, 64, 65, 100, 255, 257, 1000, 1727, 2479, 3001};
    const uint32_t heights[] = {1, 2, 3, 127, 128, 129, 255, 256, 257, 300, 383};
    const size_t grid = 18 * 3 * kKinds;
    for (size_t i = 0; i < grid + 60; ++i) {
        const Kind kind = static_cast<Kind>(i % kKinds);
        const uint32_t w = i < grid ? widths[i / (3 * kKinds)] : 1 + rng() % 3500;
        uint32_t h = i < grid ? heights[rng() % 11] : 1 + rng() % 3000;
        while (static_cast<uint64_t>(w) * h > 600000)
            h = 1 + h / 2;
        const bool padding = (i / kKinds) % 2 == 1 && w % 8 != 0;
        const Page p = WithPadding(MakePage(kind, w, h, rng), padding);
        SCOPED_TRACE(Describe(p, kind) + (padding ? " padding set" : ""));
        EXPECT_EQ(JbigHasPaddingBits(p.bits.data(), w, h), padding);
        ExpectLikeLibjbig(p, {2 + static_cast<int>(i % 3) * 3}); // 2, 5 or 8 threads
    }
}

TEST(JbigEncoderLibrary, ManyStripesGiveTheSameBytesOnAnyThreadCount)
{
    std::mt19937 rng(3);
    const struct {
        Kind kind;
        uint32_t w, h;
    } cases[] = {{kText, 600, 128 * 30 + 77}, {kText, 1500, 128 * 9 + 5}, {kNoise, 700, 128 * 6}, {kDense, 333, 129}};
    for (const auto& c : cases) {
        const Page p = MakePage(c.kind, c.w, c.h, rng);
        SCOPED_TRACE(Describe(p, c.kind));
        ExpectLikeLibjbig(p, {2, 3, 8, 64});
    }
}

TEST(JbigEncoderLibrary, StopsWhenTheSinkRefuses)
{
    struct Refusing {
        int acceptLeft, calls;
    };
    std::mt19937 rng(1);
    const Page p = MakePage(kNoise, 400, 128 * 40, rng);
    for (int threads : {1, 2, 4}) {
        for (int accept : {0, 1, 5}) {
            Refusing sink = {accept, 0};
            EXPECT_FALSE(EncodeJbigToSink(p.bits.data(), p.width, p.height, threads, [](void* v, const uint8_t*, size_t) {
                auto* s = static_cast<Refusing*>(v);
                ++s->calls;
                return s->acceptLeft-- > 0;
            }, &sink));
            EXPECT_EQ(sink.calls, accept + 1) << threads << " threads, " << accept << " accepted";
        }
    }
}

TEST(JbigPbmHeader, ParsesP4HeadersAndRefusesOthers)
{
    const struct {
        const char* text;
        uint32_t w, h; // 0: refused
        size_t offset;
    } cases[] = {
        {"P4\n8 2\n", 8, 2, 7}, {"P4\n# made by a test\n17 3\n", 17, 3, 25}, {"P4 4294967295\t1 ", 4294967295u, 1, 16},
        {"P4\n#a\n#b\n5#c\n#d\n 6\r", 5, 6, 19}, {"", 0, 0, 0}, {"P", 0, 0, 0}, {"P1\n8 2\n", 0, 0, 0},
        {"P5\n8 2\n255\n", 0, 0, 0}, {"P4\n0 2\n", 0, 0, 0}, {"P4\n8 0\n", 0, 0, 0}, {"P4\n8\n", 0, 0, 0},
        {"P4\n8 2", 0, 0, 0}, {"P4\n-8 2\n", 0, 0, 0}, {"P4\n4294967296 1\n", 0, 0, 0}, {"P4\nx 2\n", 0, 0, 0},
        {"P4\n8 2#\n", 0, 0, 0}, {"p4\n8 2\n", 0, 0, 0}, {"P4\n8 2x\n", 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        PbmP4Header h = {0, 0, 0};
        const char* why = nullptr;
        ASSERT_EQ(ParsePbmP4Header(reinterpret_cast<const uint8_t*>(c.text), strlen(c.text), &h, &why), c.w != 0);
        EXPECT_EQ(why == nullptr, c.w != 0);
        if (c.w != 0) {
            EXPECT_EQ(h.width, c.w);
            EXPECT_EQ(h.height, c.h);
            EXPECT_EQ(h.dataOffset, c.offset);
        }
    }
}

// --- The program -----------------------------------------------------------

std::string PbmBytes(const Page& p, std::string header = "")
{
    if (header.empty())
        header = "P4\n" + std::to_string(p.width) + " " + std::to_string(p.height) + "\n";
    return header + std::string(p.bits.begin(), p.bits.end());
}

std::vector<std::string> ListDir(const std::string& dir)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec))
        names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// An empty directory of its own under the test's private /tmp.
std::string NewDir(const std::string& name)
{
    static int n = 0;
    const std::string d = "/tmp/" + name + "-" + std::to_string(n++);
    return std::filesystem::create_directory(d) ? d : "";
}

std::vector<std::string> FixedArgs(const std::string& in, const std::string& out)
{
    return {"-q", "-x", "4960", "-y", "7016", "-r", "-s", "128", "-o", "0", "-p", "8", "-m", "0", in, out};
}

// Runs an encoder, after the shell commands `prefix` when given.
FilterRun RunEncoder(const std::string& program, const std::vector<std::string>& args, const std::string& prefix = "")
{
    FilterOptions o;
    o.program = program;
    o.args = args;
    if (!prefix.empty())
        o.wrapper = {"/bin/sh", "-c", prefix + "\nexec \"$0\" \"$@\""};
    return RunFilter(o, 60);
}

TEST(JbigEncoderProgram, SameBytesAsDebianPbmtojbg)
{
    std::mt19937 rng(42);
    const struct {
        Kind kind;
        uint32_t w, h;
        bool padding;
        const char* header; // "": the plain one
    } generated[] = {
        {kText, 2480, 128 * 4, false, ""}, {kText, 1001, 300, false, ""},    {kNoise, 333, 129, false, ""},
        {kHalftone, 1024, 256, false, ""}, {kDiffused, 517, 140, false, ""}, {kBlank, 4960, 200, false, ""},
        {kDense, 1, 1, false, ""},         {kNoise, 9, 1, false, ""},        {kNoise, 1, 300, true, ""},
        {kSparse, 203, 150, true, ""},     {kText, 300, 200, false, "P4\n# Image generated by a test\n300 200\n"},
        {kText, 300, 200, false, "P4 #one\n300\n#two\n200\n"},
    };
    const std::string dir = NewDir("same"), out = NewDir("same-out");
    ASSERT_FALSE(dir.empty() || out.empty());
    std::vector<std::pair<std::string, int>> inputs; // file; 1/0: a padding warning expected or not, -1 unknown
    for (const std::string& name : ListDir(kDataDir))
        inputs.push_back({kDataDir + name, -1});
    ASSERT_GE(inputs.size(), 3u);
    for (const auto& g : generated) {
        const Page p = WithPadding(MakePage(g.kind, g.w, g.h, rng), g.padding);
        inputs.push_back({dir + "/page" + std::to_string(inputs.size()) + ".pbm", g.padding});
        ASSERT_TRUE(WriteFile(inputs.back().first, PbmBytes(p, g.header)));
    }
    for (const auto& in : inputs) {
        SCOPED_TRACE(in.first);
        ASSERT_TRUE(WriteFile(out + "/own.jbg", std::string(100000, 'U'))); // to be replaced
        const FilterRun theirs = RunEncoder("/usr/bin/pbmtojbg", FixedArgs(in.first, out + "/sys.jbg"));
        const FilterRun ours = RunEncoder(kOwnEncoder, FixedArgs(in.first, out + "/own.jbg"));
        ASSERT_EQ(theirs.status, 0) << theirs.err;
        EXPECT_EQ(ours.status, 0) << ours.err;
        EXPECT_TRUE(SameBytes(ReadFile(out + "/own.jbg"), ReadFile(out + "/sys.jbg")));
        if (in.second >= 0) {
            EXPECT_EQ(ours.err.find("warning") != std::string::npos, in.second == 1) << ours.err;
        }
        EXPECT_EQ(ListDir(out), (std::vector<std::string>{"own.jbg", "sys.jbg"})); // no temporary left
    }
}

TEST(JbigEncoderProgram, RefusesOtherCommandLinesWithoutOutput)
{
    std::mt19937 rng(8);
    const std::string dir = NewDir("refuse"), in = dir + "/in.pbm", out = dir + "/out.jbg";
    ASSERT_TRUE(WriteFile(in, PbmBytes(MakePage(kNoise, 64, 64, rng))));
    const std::vector<std::string> fixed = FixedArgs(in, out);
    std::vector<std::vector<std::string>> lines = {{}, {in, out}, fixed};
    lines.back().push_back("extra");
    for (size_t i = 0; i < fixed.size(); ++i) {
        lines.push_back(fixed); // each word dropped
        lines.back().erase(lines.back().begin() + static_cast<long>(i));
        lines.push_back(fixed); // each option word or number changed
        lines.back()[i] = i >= 14 ? "" : (i == 2 || i == 4) ? "12a" : "-z";
    }
    // Other values of the options the encoder does not support.
    const std::pair<size_t, const char*> values[] = {{7, "64"}, {7, "0128"}, {9, "1"}, {11, "28"}, {13, "1"}};
    for (const auto& v : values) {
        lines.push_back(fixed);
        lines.back()[v.first] = v.second;
    }
    for (const auto& line : lines) {
        std::string text;
        for (const std::string& w : line)
            text += " '" + w + "'";
        SCOPED_TRACE(text);
        const FilterRun r = RunEncoder(kOwnEncoder, line);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("usage"), std::string::npos) << r.err;
        EXPECT_EQ(ListDir(dir), std::vector<std::string>{"in.pbm"});
    }
}

TEST(JbigEncoderProgram, FailsOnBadInputOrOutputWithoutLeavingOutput)
{
    std::mt19937 rng(8);
    const std::string full = PbmBytes(MakePage(kNoise, 100, 50, rng));
    const std::string big = PbmBytes(MakePage(kNoise, 3000, 1000, rng)); // codes to more than the write buffer
    const struct {
        const char* name;
        std::string input; // "\x01": no input file
        const char* out;
        const char* prefix; // shell commands run first in the output's directory
    } cases[] = {
        {"short raster", full.substr(0, full.size() - 1), "out.jbg", ""},
        {"empty", "", "out.jbg", ""},
        {"missing", "\x01", "out.jbg", ""},
        {"plain PBM", "P1\n2 2\n0 1\n1 0\n", "out.jbg", ""},
        {"PGM", "P5\n2 2\n255\nabcd", "out.jbg", ""},
        {"zero width", "P4\n0 5\n", "out.jbg", ""},
        {"no such directory", full, "no/such/dir/out.jbg", ""},
        {"output is a directory", full, "out.jbg", "mkdir out.jbg"},
        {"write fails while coding", big, "out.jbg", "trap '' XFSZ; ulimit -f 64"},
        {"write fails at the end", full, "out.jbg", "trap '' XFSZ; ulimit -f 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = NewDir("fail"), in = dir + "-in.pbm";
        ASSERT_FALSE(dir.empty());
        if (c.input != "\x01") {
            ASSERT_TRUE(WriteFile(in, c.input));
        }
        const FilterRun r = RunEncoder(kOwnEncoder, FixedArgs(in, dir + "/" + c.out), "cd " + dir + "; " + c.prefix);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("pbmtojbg: "), std::string::npos) << r.err;
        // Nothing beside what was there: no output, no temporary.
        const bool outIsDir = strncmp(c.prefix, "mkdir", 5) == 0;
        EXPECT_EQ(ListDir(dir), outIsDir ? std::vector<std::string>{"out.jbg"} : std::vector<std::string>{});
        EXPECT_TRUE(ListDir(dir + "/out.jbg").empty());
    }
}

} // namespace
