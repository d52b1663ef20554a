// The project's JBIG encoder against jbigkit as the oracle: the library
// must give the bytes libjbig gives with the options of the fixed command
// line, the program must give the bytes Debian's /usr/bin/pbmtojbg gives,
// libjbig must decode the output back to the page, and the program must
// refuse every other command line and every broken input without leaving
// an output file behind.
#include "image/jbig/jbig_encode.h"
#include "image/jbig/pbmtojbg_cli.h"

#include <gtest/gtest.h>

extern "C" {
#include <jbig.h>
}

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const char* const kSystemEncoder = "/usr/bin/pbmtojbg";
const std::string kOwnEncoder = std::string(FZ_BINARY_DIR) + "/encoder/pbmtojbg";
const std::string kDataDir = std::string(FZ_SOURCE_DIR) + "/tests/data/jbig/";

// A packed 1-bit page, rows of (width + 7) / 8 bytes.
struct Page {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> bits;
};

Page BlankPage(uint32_t w, uint32_t h)
{
    Page p;
    p.width = w;
    p.height = h;
    p.bits.assign(JbigRowBytes(w) * h, 0);
    return p;
}

void SetPixel(Page& p, uint32_t x, uint32_t y, bool black)
{
    if (x >= p.width || y >= p.height)
        return;
    uint8_t& b = p.bits[y * JbigRowBytes(p.width) + x / 8];
    const uint8_t m = static_cast<uint8_t>(0x80 >> (x % 8));
    b = black ? (b | m) : (b & ~m);
}

// Sets or clears the bits after the last pixel of every row.
void SetPadding(Page& p, bool set)
{
    if (p.width % 8 == 0)
        return;
    const size_t bpl = JbigRowBytes(p.width);
    const uint8_t pad = static_cast<uint8_t>(0xFF >> (p.width % 8));
    for (uint32_t y = 0; y < p.height; ++y) {
        uint8_t& b = p.bits[y * bpl + bpl - 1];
        b = set ? (b | pad) : (b & ~pad);
    }
}

Page Masked(Page p)
{
    SetPadding(p, false);
    return p;
}

// Content generators, all deterministic from the generator passed in.
Page NoisePage(uint32_t w, uint32_t h, double density, std::mt19937& rng)
{
    Page p = BlankPage(w, h);
    std::bernoulli_distribution black(density);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            if (black(rng))
                SetPixel(p, x, y, true);
    return p;
}

// Rows of glyph-like blobs with white gaps and margins, some rows repeated
// (as in serifs and stems), so that typical prediction has work to do.
Page TextLikePage(uint32_t w, uint32_t h, std::mt19937& rng)
{
    Page p = BlankPage(w, h);
    std::uniform_int_distribution<uint32_t> glyphW(2, 14), glyphH(4, 24), gap(1, 10), lineGap(4, 30);
    std::bernoulli_distribution hollow(0.4);
    uint32_t y = std::min<uint32_t>(h, 1 + rng() % 40);
    while (y < h) {
        uint32_t lineH = glyphH(rng);
        uint32_t x = 1 + rng() % 30;
        while (x < w) {
            uint32_t gw = glyphW(rng), gh = std::min(lineH, glyphH(rng));
            bool isHollow = hollow(rng);
            for (uint32_t dy = 0; dy < gh; ++dy)
                for (uint32_t dx = 0; dx < gw; ++dx) {
                    bool edge = dx == 0 || dy == 0 || dx + 1 == gw || dy + 1 == gh;
                    if (!isHollow || edge)
                        SetPixel(p, x + dx, y + lineH - gh + dy, true);
                }
            x += gw + gap(rng);
        }
        y += lineH + lineGap(rng);
    }
    return p;
}

// Horizontal, vertical and slanted lines of a few pixels' width.
Page LinesPage(uint32_t w, uint32_t h, std::mt19937& rng)
{
    Page p = BlankPage(w, h);
    for (int i = 0; i < 12; ++i) {
        uint32_t thick = 1 + rng() % 4;
        uint32_t pos = rng();
        int kind = static_cast<int>(rng() % 3);
        for (uint32_t t = 0; t < thick; ++t) {
            if (kind == 0)
                for (uint32_t x = 0; x < w; ++x)
                    SetPixel(p, x, (pos % h) + t, true);
            else if (kind == 1)
                for (uint32_t y = 0; y < h; ++y)
                    SetPixel(p, (pos % w) + t, y, true);
            else
                for (uint32_t y = 0; y < h; ++y)
                    SetPixel(p, static_cast<uint32_t>((pos % w) + t + y / 2) % w, y, true);
        }
    }
    return p;
}

// A smooth picture through an 8x8 ordered dither (a regular halftone).
Page HalftonePage(uint32_t w, uint32_t h, std::mt19937& rng)
{
    static const int kBayer[8][8] = {{0, 32, 8, 40, 2, 34, 10, 42},  {48, 16, 56, 24, 50, 18, 58, 26},
                                     {12, 44, 4, 36, 14, 46, 6, 38}, {60, 28, 52, 20, 62, 30, 54, 22},
                                     {3, 35, 11, 43, 1, 33, 9, 41},  {51, 19, 59, 27, 49, 17, 57, 25},
                                     {15, 47, 7, 39, 13, 45, 5, 37}, {63, 31, 55, 23, 61, 29, 53, 21}};
    Page p = BlankPage(w, h);
    double fx = 0.002 + (rng() % 100) * 0.0005, fy = 0.002 + (rng() % 100) * 0.0005;
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            double v = 0.5 + 0.45 * std::sin(x * fx) * std::cos(y * fy);
            SetPixel(p, x, y, v * 64 > kBayer[y % 8][x % 8] + 0.5);
        }
    return p;
}

// A gradient through Floyd-Steinberg error diffusion.
Page DiffusedPage(uint32_t w, uint32_t h)
{
    Page p = BlankPage(w, h);
    std::vector<double> cur(w + 2, 0.0), next(w + 2, 0.0);
    for (uint32_t y = 0; y < h; ++y) {
        std::fill(next.begin(), next.end(), 0.0);
        for (uint32_t x = 0; x < w; ++x) {
            double v = (x + 0.5 * y) / (w + 0.5 * h) + cur[x + 1];
            bool black = v < 0.5;
            double err = v - (black ? 0.0 : 1.0);
            SetPixel(p, x, y, black);
            cur[x + 2] += err * 7 / 16;
            next[x] += err * 3 / 16;
            next[x + 1] += err * 5 / 16;
            next[x + 2] += err / 16;
        }
        std::swap(cur, next);
    }
    return p;
}

// libjbig with the options that `pbmtojbg -q -r -s 128 -o 0 -p 8 -m 0`
// selects: one layer, order 0, TPBON, SDRST, 128 lines per stripe, no AT.
void CollectBytes(unsigned char* data, size_t len, void* ctx)
{
    auto* v = static_cast<std::vector<uint8_t>*>(ctx);
    v->insert(v->end(), data, data + len);
}

std::vector<uint8_t> LibjbigEncode(const Page& page)
{
    Page clean = Masked(page);
    std::vector<uint8_t> out;
    unsigned char* plane = clean.bits.data();
    jbg_enc_state s;
    jbg_enc_init(&s, clean.width, clean.height, 1, &plane, CollectBytes, &out);
    jbg_enc_layers(&s, 0);
    jbg_enc_options(&s, 0, JBG_TPBON | JBG_SDRST, 128, 0, 0);
    jbg_enc_out(&s);
    jbg_enc_free(&s);
    return out;
}

// Decodes with libjbig; false when libjbig reports an error.
bool LibjbigDecode(std::vector<uint8_t> bie, Page* page)
{
    jbg_dec_state d;
    jbg_dec_init(&d);
    jbg_dec_maxsize(&d, 0xFFFFFFFFul, 0xFFFFFFFFul);
    size_t used = 0;
    int r = jbg_dec_in(&d, bie.data(), bie.size(), &used);
    bool ok = r == JBG_EOK;
    if (ok) {
        page->width = static_cast<uint32_t>(jbg_dec_getwidth(&d));
        page->height = static_cast<uint32_t>(jbg_dec_getheight(&d));
        const uint8_t* img = jbg_dec_getimage(&d, 0);
        page->bits.assign(img, img + jbg_dec_getsize(&d));
    }
    jbg_dec_free(&d);
    return ok;
}

// Files and processes, all under a private temporary directory.
struct TempDir {
    std::string path;
    TempDir()
    {
        char tmpl[] = "/tmp/jbigtest-XXXXXX";
        const char* p = mkdtemp(tmpl);
        path = p ? p : "";
    }
    ~TempDir()
    {
        if (!path.empty()) {
            std::string cmd = "rm -rf '" + path + "'";
            if (system(cmd.c_str()) != 0)
                fprintf(stderr, "could not remove %s\n", path.c_str());
        }
    }
};

std::vector<uint8_t> PbmBytes(const Page& p, const std::string& header = "")
{
    std::string h = header.empty() ? "P4\n" + std::to_string(p.width) + " " + std::to_string(p.height) + "\n" : header;
    std::vector<uint8_t> out(h.begin(), h.end());
    out.insert(out.end(), p.bits.begin(), p.bits.end());
    return out;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& data)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = data.empty() || fwrite(data.data(), 1, data.size(), f) == data.size();
    return fclose(f) == 0 && ok;
}

bool ReadFile(const std::string& path, std::vector<uint8_t>* data)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    data->clear();
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        data->insert(data->end(), buf, buf + n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

bool Exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Entries of a directory other than . and ..
std::vector<std::string> ListDir(const std::string& dir)
{
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (!d)
        return names;
    while (dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.push_back(e->d_name);
    }
    closedir(d);
    return names;
}

struct RunResult {
    int status = -1; // exit status, or -1 when the program did not exit normally
    std::string err; // its standard error
};

// Runs a program directly (no shell) with standard error captured.
RunResult RunProgram(const std::vector<std::string>& argv, const std::string& errFile)
{
    RunResult r;
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0)
            dup2(fd, 2);
        execv(args[0], args.data());
        _exit(127);
    }
    if (pid < 0)
        return r;
    int st = 0;
    if (waitpid(pid, &st, 0) != pid)
        return r;
    if (WIFEXITED(st))
        r.status = WEXITSTATUS(st);
    std::vector<uint8_t> e;
    if (ReadFile(errFile, &e))
        r.err.assign(e.begin(), e.end());
    return r;
}

std::vector<std::string> FixedCommand(const std::string& prog, const std::string& in, const std::string& out,
                                      uint32_t w = 4960, uint32_t h = 7016)
{
    return {prog, "-q", "-x", std::to_string(w), "-y", std::to_string(h), "-r", "-s", "128",
            "-o", "0",  "-p", "8",  "-m",  "0", in, out};
}

// Encodes a PBM file with a program; the output bytes, or empty on failure.
std::vector<uint8_t> EncodeFileWith(const std::string& prog, const TempDir& dir, const std::string& pbm,
                                    const std::string& tag, RunResult* result = nullptr)
{
    std::string out = dir.path + "/" + tag + ".jbg";
    RunResult r = RunProgram(FixedCommand(prog, pbm, out), dir.path + "/" + tag + ".err");
    if (result)
        *result = r;
    std::vector<uint8_t> bytes;
    if (r.status != 0 || !ReadFile(out, &bytes))
        return {};
    return bytes;
}

std::string Describe(const Page& p, const std::string& kind)
{
    return kind + " " + std::to_string(p.width) + "x" + std::to_string(p.height);
}

// ---------------------------------------------------------------------------

TEST(JbigEncoderLibrary, MatchesLibjbigOnGeneratedPages)
{
    std::mt19937 rng(20240611);
    // Sizes: tiny, around byte and stripe boundaries, and a few thousand wide.
    const uint32_t widths[] = {1, 2, 7, 8, 9, 15, 16, 17, 63, 64, 65, 100, 255, 257, 1000, 1727, 2479, 3001};
    const uint32_t heights[] = {1, 2, 3, 127, 128, 129, 255, 256, 257, 300, 383};
    int cases = 0;
    for (uint32_t w : widths) {
        for (int k = 0; k < 3; ++k) {
            uint32_t h = heights[rng() % (sizeof heights / sizeof heights[0])];
            if (static_cast<uint64_t>(w) * h > 400000)
                h = 129;
            Page pages[] = {
                NoisePage(w, h, 0.5, rng),          NoisePage(w, h, 0.03, rng), NoisePage(w, h, 0.97, rng),
                TextLikePage(w, h, rng),            LinesPage(w, h, rng),       HalftonePage(w, h, rng),
                DiffusedPage(w, h),                 BlankPage(w, h),
            };
            const char* kinds[] = {"noise50", "noise3", "noise97", "text", "lines", "halftone", "diffused", "blank"};
            for (size_t i = 0; i < sizeof pages / sizeof pages[0]; ++i) {
                SCOPED_TRACE(Describe(pages[i], kinds[i]));
                EXPECT_EQ(EncodeJbig(pages[i].bits.data(), w, h, 1), LibjbigEncode(pages[i]));
                ++cases;
            }
        }
    }
    EXPECT_GT(cases, 400);
}

TEST(JbigEncoderLibrary, RandomSizesUpToAFewThousandPixels)
{
    std::mt19937 rng(77);
    for (int i = 0; i < 60; ++i) {
        uint32_t w = 1 + rng() % 3500;
        uint32_t h = 1 + rng() % 3000;
        while (static_cast<uint64_t>(w) * h > 600000)
            h = 1 + h / 2;
        Page p;
        switch (i % 4) {
        case 0: p = NoisePage(w, h, (rng() % 100) / 100.0, rng); break;
        case 1: p = TextLikePage(w, h, rng); break;
        case 2: p = HalftonePage(w, h, rng); break;
        default: p = LinesPage(w, h, rng); break;
        }
        SCOPED_TRACE(Describe(p, "random"));
        EXPECT_EQ(EncodeJbig(p.bits.data(), w, h, 1), LibjbigEncode(p));
    }
}

TEST(JbigEncoderLibrary, TallPageOfManyStripes)
{
    std::mt19937 rng(5);
    Page p = TextLikePage(600, 128 * 30 + 77, rng);
    EXPECT_EQ(EncodeJbig(p.bits.data(), p.width, p.height, 1), LibjbigEncode(p));
}

TEST(JbigEncoderLibrary, PaddingBitsAreIgnored)
{
    std::mt19937 rng(11);
    for (uint32_t w : {1u, 5u, 13u, 250u, 1001u}) {
        Page clean = Masked(NoisePage(w, 200, 0.4, rng));
        Page dirty = clean;
        SetPadding(dirty, true);
        SCOPED_TRACE(Describe(clean, "padding"));
        EXPECT_FALSE(JbigHasPaddingBits(clean.bits.data(), w, 200));
        EXPECT_TRUE(JbigHasPaddingBits(dirty.bits.data(), w, 200));
        EXPECT_EQ(EncodeJbig(dirty.bits.data(), w, 200, 1), EncodeJbig(clean.bits.data(), w, 200, 1));
        EXPECT_EQ(EncodeJbig(dirty.bits.data(), w, 200, 1), LibjbigEncode(clean));
    }
}

TEST(JbigEncoderLibrary, BlankPageIsHeaderAndEmptyStripes)
{
    Page p = BlankPage(20, 300);
    std::vector<uint8_t> bie = EncodeJbig(p.bits.data(), 20, 300, 1);
    const std::vector<uint8_t> expected = {0, 0, 1, 0, 0, 0, 0, 20, 0, 0, 1, 44, 0, 0, 0, 128, 0, 0, 0, 8,
                                           0xFF, 0x03, 0xFF, 0x03, 0xFF, 0x03};
    EXPECT_EQ(bie, expected);
    EXPECT_EQ(bie, LibjbigEncode(p));
}

TEST(JbigEncoderLibrary, ThreadCountDoesNotChangeTheBytes)
{
    std::mt19937 rng(3);
    Page pages[] = {TextLikePage(1500, 128 * 9 + 5, rng), NoisePage(700, 128 * 6, 0.5, rng), HalftonePage(333, 129, rng),
                    NoisePage(50, 100, 0.5, rng)};
    for (const Page& p : pages) {
        SCOPED_TRACE(Describe(p, "threads"));
        std::vector<uint8_t> one = EncodeJbig(p.bits.data(), p.width, p.height, 1);
        EXPECT_EQ(one, LibjbigEncode(p));
        for (int t : {2, 3, 8, 64})
            EXPECT_EQ(EncodeJbig(p.bits.data(), p.width, p.height, t), one) << t << " threads";
    }
}

TEST(JbigEncoderLibrary, LibjbigDecodesTheOutputBackToThePage)
{
    std::mt19937 rng(9);
    Page pages[] = {TextLikePage(1234, 517, rng), NoisePage(77, 300, 0.5, rng), DiffusedPage(640, 256),
                    HalftonePage(999, 131, rng), BlankPage(1, 1), NoisePage(3, 1, 1.0, rng)};
    for (Page& p : pages) {
        SetPadding(p, true); // the decoded page has them clear
        SCOPED_TRACE(Describe(p, "decode"));
        Page back;
        ASSERT_TRUE(LibjbigDecode(EncodeJbig(p.bits.data(), p.width, p.height, 2), &back));
        EXPECT_EQ(back.width, p.width);
        EXPECT_EQ(back.height, p.height);
        EXPECT_EQ(back.bits, Masked(p).bits);
    }
}

// A sink that accepts a number of pieces and then refuses.
struct RefusingSink {
    int acceptLeft;
    int calls;
};
bool Refuse(void* ctx, const uint8_t*, size_t)
{
    auto* s = static_cast<RefusingSink*>(ctx);
    ++s->calls;
    return s->acceptLeft-- > 0;
}

TEST(JbigEncoderLibrary, StopsWhenTheSinkRefuses)
{
    std::mt19937 rng(1);
    Page p = NoisePage(400, 128 * 40, 0.5, rng);
    for (int threads : {1, 2, 4}) {
        for (int accept : {0, 1, 5}) {
            RefusingSink sink = {accept, 0};
            EXPECT_FALSE(EncodeJbigToSink(p.bits.data(), p.width, p.height, threads, Refuse, &sink));
            EXPECT_EQ(sink.calls, accept + 1) << threads << " threads";
        }
    }
}

// ---------------------------------------------------------------------------

TEST(JbigPbmHeader, ParsesHeadersWithCommentsAndWhitespace)
{
    struct Case {
        const char* text;
        uint32_t w, h;
        size_t offset;
    } cases[] = {
        {"P4\n8 2\n", 8, 2, 7},
        {"P4\n# made by a test\n17 3\n", 17, 3, 25},
        {"P4 4294967295\t1 ", 4294967295u, 1, 16},
        {"P4\n#a\n#b\n5#c\n#d\n 6\r", 5, 6, 19},
    };
    for (const Case& c : cases) {
        PbmP4Header h;
        const char* why = nullptr;
        ASSERT_TRUE(ParsePbmP4Header(reinterpret_cast<const uint8_t*>(c.text), strlen(c.text), &h, &why)) << c.text;
        EXPECT_EQ(h.width, c.w) << c.text;
        EXPECT_EQ(h.height, c.h) << c.text;
        EXPECT_EQ(h.dataOffset, c.offset) << c.text;
    }
}

TEST(JbigPbmHeader, RefusesOtherFormatsAndBadNumbers)
{
    const char* bad[] = {"",          "P",         "P1\n8 2\n",     "P5\n8 2\n255\n", "P4\n0 2\n", "P4\n8 0\n",
                         "P4\n8\n",   "P4\n8 2",   "P4\n-8 2\n",    "P4\n4294967296 1\n", "P4\nx 2\n", "P4\n8 2#\n",
                         "p4\n8 2\n", "P4\n8 2x\n"};
    for (const char* text : bad) {
        PbmP4Header h;
        const char* why = nullptr;
        EXPECT_FALSE(ParsePbmP4Header(reinterpret_cast<const uint8_t*>(text), strlen(text), &h, &why)) << text;
        EXPECT_NE(why, nullptr) << text;
    }
}

TEST(JbigCommandLine, AcceptsOnlyTheFixedCommandLine)
{
    std::vector<std::string> good = FixedCommand("pbmtojbg", "in.pbm", "out.jbg", 4960, 7016);
    auto parse = [](const std::vector<std::string>& v, EncoderArgs* a) {
        std::vector<const char*> argv;
        for (const std::string& s : v)
            argv.push_back(s.c_str());
        argv.push_back(nullptr);
        return ParseEncoderArgs(static_cast<int>(v.size()), argv.data(), a);
    };
    EncoderArgs a;
    ASSERT_TRUE(parse(good, &a));
    EXPECT_STREQ(a.in, "in.pbm");
    EXPECT_STREQ(a.out, "out.jbg");
    // Each word changed in turn, dropped, or an extra word added.
    for (size_t i = 1; i + 2 < good.size(); ++i) {
        std::vector<std::string> v = good;
        v[i] = (i == 3 || i == 5) ? "12a" : "-z";
        EXPECT_FALSE(parse(v, &a)) << i;
        v = good;
        v.erase(v.begin() + static_cast<long>(i));
        EXPECT_FALSE(parse(v, &a)) << i;
    }
    for (const char* other : {"64", "0128"}) {
        std::vector<std::string> v = good;
        v[8] = other; // -s value
        EXPECT_FALSE(parse(v, &a)) << other;
    }
    std::vector<std::string> v = good;
    v[12] = "28"; // -p value
    EXPECT_FALSE(parse(v, &a));
    v = good;
    v.push_back("extra");
    EXPECT_FALSE(parse(v, &a));
    v = good;
    v[16] = "";
    EXPECT_FALSE(parse(v, &a));
}

// ---------------------------------------------------------------------------

TEST(JbigEncoderProgram, SameBytesAsDebianPbmtojbg)
{
    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    std::mt19937 rng(42);
    struct Case {
        Page page;
        std::string kind;
        std::string header;
    };
    std::vector<Case> cases;
    cases.push_back({TextLikePage(2480, 128 * 4, rng), "text", ""});
    cases.push_back({TextLikePage(1001, 300, rng), "text odd width", ""});
    cases.push_back({NoisePage(333, 129, 0.5, rng), "noise", ""});
    cases.push_back({HalftonePage(1024, 256, rng), "halftone", ""});
    cases.push_back({DiffusedPage(517, 140), "diffused", ""});
    cases.push_back({BlankPage(4960, 200), "blank", ""});
    cases.push_back({NoisePage(1, 1, 1.0, rng), "1x1", ""});
    cases.push_back({NoisePage(9, 1, 0.5, rng), "one row", ""});
    cases.push_back({NoisePage(1, 300, 0.5, rng), "one column", ""});
    Page commented = TextLikePage(300, 200, rng);
    cases.push_back({commented, "comment header", "P4\n# Image generated by a test\n300 200\n"});
    cases.push_back({commented, "comments everywhere", "P4 #one\n300\n#two\n200\n"});
    Page dirty = NoisePage(203, 150, 0.3, rng);
    SetPadding(dirty, true);
    cases.push_back({dirty, "padding bits set", ""});
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(Describe(c.page, c.kind));
        std::string pbm = dir.path + "/page" + std::to_string(i) + ".pbm";
        ASSERT_TRUE(WriteFile(pbm, PbmBytes(c.page, c.header)));
        std::vector<uint8_t> theirs = EncodeFileWith(kSystemEncoder, dir, pbm, "sys" + std::to_string(i));
        RunResult ours;
        std::vector<uint8_t> mine = EncodeFileWith(kOwnEncoder, dir, pbm, "own" + std::to_string(i), &ours);
        ASSERT_FALSE(theirs.empty());
        EXPECT_EQ(mine, theirs);
        EXPECT_EQ(mine, LibjbigEncode(c.page));
        EXPECT_EQ(ours.status, 0);
        if (c.kind == "padding bits set")
            EXPECT_NE(ours.err.find("warning"), std::string::npos) << ours.err;
        else
            EXPECT_EQ(ours.err, "");
    }
}

TEST(JbigEncoderProgram, CommittedPagesMatchDebianPbmtojbg)
{
    TempDir dir;
    std::vector<std::string> names = ListDir(kDataDir);
    int pages = 0;
    for (const std::string& name : names) {
        if (name.size() < 4 || name.compare(name.size() - 4, 4, ".pbm") != 0)
            continue;
        SCOPED_TRACE(name);
        std::string pbm = kDataDir + name;
        std::vector<uint8_t> theirs = EncodeFileWith(kSystemEncoder, dir, pbm, "sys-" + name);
        std::vector<uint8_t> mine = EncodeFileWith(kOwnEncoder, dir, pbm, "own-" + name);
        ASSERT_FALSE(theirs.empty());
        EXPECT_EQ(mine, theirs);
        ++pages;
    }
    EXPECT_GE(pages, 3);
}

TEST(JbigEncoderProgram, ReplacesAnExistingOutputFile)
{
    TempDir dir;
    std::mt19937 rng(8);
    Page p = TextLikePage(640, 300, rng);
    std::string pbm = dir.path + "/in.pbm", out = dir.path + "/out.jbg";
    ASSERT_TRUE(WriteFile(pbm, PbmBytes(p)));
    ASSERT_TRUE(WriteFile(out, std::vector<uint8_t>(100000, 0x55)));
    RunResult r = RunProgram(FixedCommand(kOwnEncoder, pbm, out), dir.path + "/err");
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(ReadFile(out, &bytes));
    EXPECT_EQ(bytes, LibjbigEncode(p));
    EXPECT_EQ(ListDir(dir.path).size(), 3u); // in.pbm, out.jbg, err: no temporary left
}

TEST(JbigEncoderProgram, RefusesOtherCommandLinesWithoutOutput)
{
    TempDir dir;
    std::mt19937 rng(8);
    std::string pbm = dir.path + "/in.pbm", out = dir.path + "/out.jbg";
    ASSERT_TRUE(WriteFile(pbm, PbmBytes(NoisePage(64, 64, 0.5, rng))));
    std::vector<std::vector<std::string>> lines;
    std::vector<std::string> good = FixedCommand(kOwnEncoder, pbm, out);
    lines.push_back({kOwnEncoder});
    lines.push_back({kOwnEncoder, pbm, out});
    std::vector<std::string> v = good;
    v[8] = "64"; // another stripe height
    lines.push_back(v);
    v = good;
    v[12] = "28"; // other options
    lines.push_back(v);
    v = good;
    v[1] = "-v";
    lines.push_back(v);
    v = good;
    v.erase(v.begin() + 6); // no -r
    lines.push_back(v);
    for (const auto& l : lines) {
        RunResult r = RunProgram(l, dir.path + "/err");
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("usage"), std::string::npos) << r.err;
        EXPECT_FALSE(Exists(out));
    }
}

TEST(JbigEncoderProgram, FailsOnBadInputWithoutLeavingOutput)
{
    TempDir dir;
    std::mt19937 rng(8);
    Page p = NoisePage(100, 50, 0.5, rng);
    std::vector<uint8_t> full = PbmBytes(p);
    std::vector<uint8_t> shortRaster(full.begin(), full.end() - 1);
    std::string p1 = "P1\n2 2\n0 1\n1 0\n";
    std::string p5 = "P5\n2 2\n255\nabcd";
    struct Case {
        std::string name;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"short", shortRaster},
        {"empty", {}},
        {"p1", std::vector<uint8_t>(p1.begin(), p1.end())},
        {"p5", std::vector<uint8_t>(p5.begin(), p5.end())},
        {"zero-width", {'P', '4', '\n', '0', ' ', '5', '\n'}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string in = dir.path + "/" + c.name + ".pbm", out = dir.path + "/" + c.name + ".jbg";
        ASSERT_TRUE(WriteFile(in, c.bytes));
        RunResult r = RunProgram(FixedCommand(kOwnEncoder, in, out), dir.path + "/err");
        EXPECT_NE(r.status, 0);
        EXPECT_GT(r.status, 0); // an orderly exit, not a crash
        EXPECT_NE(r.err, "");
        EXPECT_FALSE(Exists(out));
    }
    // Missing input file.
    RunResult r = RunProgram(FixedCommand(kOwnEncoder, dir.path + "/none.pbm", dir.path + "/none.jbg"), dir.path + "/err");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("none.pbm"), std::string::npos) << r.err;
    EXPECT_FALSE(Exists(dir.path + "/none.jbg"));
}

TEST(JbigEncoderProgram, FailsOnUnwritableOutputWithoutLeftovers)
{
    TempDir dir;
    std::mt19937 rng(8);
    std::string pbm = dir.path + "/in.pbm";
    ASSERT_TRUE(WriteFile(pbm, PbmBytes(NoisePage(100, 300, 0.5, rng))));
    // A directory that does not exist.
    RunResult r = RunProgram(FixedCommand(kOwnEncoder, pbm, dir.path + "/no/such/dir/out.jbg"), dir.path + "/err");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err, "");
    // The output path is a directory: the finished file can't take its place.
    std::string sub = dir.path + "/sub";
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((sub + "/out.jbg").c_str(), 0755), 0);
    r = RunProgram(FixedCommand(kOwnEncoder, pbm, sub + "/out.jbg"), dir.path + "/err");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err, "");
    EXPECT_EQ(ListDir(sub), std::vector<std::string>{"out.jbg"});
    EXPECT_TRUE(ListDir(sub + "/out.jbg").empty());
}

} // namespace
