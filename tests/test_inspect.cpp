// Stream inspector: strict stream parsing, parameter text splitting, JBIG
// decoding through libjbig, PBM/PNG output and the fzinspect command.
#include "tools/inspect.h"
#include "tests/testutil.h"

#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace {

const std::string kDir = "/tmp/inspect_test";

// The text a default parameter table serialises to.
const std::string kDefaultText =
    "PageSize=A4, Resolution=600dpi, resX=600dpi, resY=600dpi, FeedEdge=0, Collate=False, "
    "Duplex=None, MediaType=Plain, InputSlot=MainTray, number-up=1, job-uuid=, "
    "job-originating-host-name=, date-time-at-creation=, date-time-at-processing=, "
    "time-at-creation=, time-at-processing=, copies=1, jobId=, DocName=, HostName=, "
    "LoginName=, AuthID=, AuthPassword=, Border=1, ";

std::string Replace(std::string s, const std::string& from, const std::string& to) {
    return s.replace(s.find(from), from.size(), to);
}
const uint8_t* U(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }
std::string Le32(uint32_t v) { return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }

std::string JobRecord(const std::string& text) {
    return std::string("tamrel_param\0\0\0\0", 16) + Le32(uint32_t(text.size())) + text;
}
std::string PageRecord(uint32_t first, uint32_t last, uint32_t seq, const std::string& data) {
    return std::string("tamrel_printer\0\0", 16) + Le32(first) + Le32(last) + Le32(uint32_t(data.size())) +
           Le32(seq) + data;
}

// Deterministic noise with white and black bands; padding bits clear.
PageImage MakePage(uint32_t w, uint32_t h, uint32_t seed) {
    PageImage img{w, h, {}};
    uint32_t x = seed * 2654435761u + 1;
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t i = 0; i < (w + 7) / 8; ++i) {
            x = x * 1103515245u + 12345u;
            uint8_t v = (y / 5) % 3 == 0 ? 0 : (y / 7) % 4 == 1 ? 0xff : uint8_t(x >> 16);
            img.bits.push_back(i == w / 8 ? uint8_t(v & (0xff << (8 - w % 8))) : v);
        }
    return img;
}
std::string Pbm(const PageImage& p) {
    return "P4\n" + std::to_string(p.width) + " " + std::to_string(p.height) + "\n" +
           std::string(p.bits.begin(), p.bits.end());
}

// JBIG bytes as Debian's pbmtojbg makes them with the printer's command line.
std::string Encode(const PageImage& img) {
    mkdir(kDir.c_str(), 0755);
    EXPECT_TRUE(WriteFile(kDir + "/enc.pbm", Pbm(img)));
    const std::string cmd = "pbmtojbg -q -x " + std::to_string(img.width) + " -y " + std::to_string(img.height) +
                            " -r -s 128 -o 0 -p 8 -m 0 " + kDir + "/enc.pbm " + kDir + "/enc.jbg";
    EXPECT_EQ(0, std::system(cmd.c_str())) << cmd;
    return ReadFile(kDir + "/enc.jbg");
}

// Three page records over two different pages (the first taller than one
// 128-line stripe), with a document name holding ", " and a set password.
struct Sample {
    std::string text, j1, j2, stream;
    PageImage p1 = MakePage(37, 150, 1), p2 = MakePage(8, 3, 2);
    size_t rec[5];  // offsets: job record, page records 1-3, end of stream
};
const Sample& S() {
    static const Sample s = [] {
        Sample x;
        x.text = Replace(Replace(Replace(kDefaultText, "DocName=", "DocName=Report, final, copies=9"),
                                 "Duplex=None", "Duplex=DuplexTumble"), "AuthPassword=", "AuthPassword=hunter2");
        x.j1 = Encode(x.p1);
        x.j2 = Encode(x.p2);
        const std::string parts[] = {JobRecord(x.text), PageRecord(1, 0, 1, x.j1), PageRecord(0, 0, 2, x.j2),
                                     PageRecord(0, 1, 3, x.j1), ""};
        for (int i = 0; i < 5; ++i) x.rec[i] = (x.stream += parts[i]).size() - parts[i].size();
        return x;
    }();
    return s;
}

TEST(InspectStream, WellFormedStreamsGiveEveryField) {
    const Sample& s = S();
    ParsedStream out;
    std::string error;
    ASSERT_TRUE(ParseStream(U(s.stream), s.stream.size(), &out, &error)) << error;
    EXPECT_EQ(s.text, out.job_params);
    EXPECT_STREQ("Report, final, copies=9", InspectParamValue(out.params, "DocName"));
    EXPECT_STREQ("1", InspectParamValue(out.params, "copies"));
    ASSERT_EQ(3u, out.pages.size());
    const uint32_t first[] = {1, 0, 0}, last[] = {0, 0, 1};
    for (size_t i = 0; i < 3; ++i) {
        const InspectPage& p = out.pages[i];
        EXPECT_EQ(s.rec[i + 1], p.offset) << i;
        EXPECT_EQ(first[i], p.firstpage) << i;
        EXPECT_EQ(last[i], p.lastpage) << i;
        EXPECT_EQ(i + 1, p.pageseq);
        EXPECT_EQ(i == 1 ? s.j2 : s.j1, std::string(reinterpret_cast<const char*>(p.data), p.datasize)) << i;
    }
    EXPECT_TRUE(ParseStream(nullptr, 0, &out, &error)) << error;
    EXPECT_FALSE(out.has_job_record);
}

// A cut on a record boundary leaves a shorter well-formed stream; any other
// cut leaves an incomplete record.
TEST(InspectStream, EveryTruncationIsRefusedExceptAtRecordBoundaries) {
    const Sample& s = S();
    ParsedStream out;
    std::string error;
    for (size_t n = 0; n <= s.stream.size(); ++n)
        EXPECT_EQ(std::count(s.rec, s.rec + 5, n) > 0, ParseStream(U(s.stream), n, &out, &error)) << n;
}

enum Change { kByte, kLe32, kCut, kAppend };  // kAppend: `value` zero bytes
constexpr size_t kLastByte = size_t(-1);       // `at` naming the stream's last byte
// `at` and `where` (the offset the error must name) count from the start of
// record `rec`: 0 the job record, 1-3 the page records, 4 the stream's end.
struct Malformation { const char* what; int rec; size_t at; Change change; uint32_t value; size_t where; };
const Malformation kMalformations[] = {
    {"bad job tag", 0, 3, kByte, 'R', 3},
    {"job tag padding not zero", 0, 14, kByte, 1, 14},
    {"cut inside job_params_size", 0, 18, kCut, 0, 16},
    {"job_params_size past the end", 0, 16, kLe32, kInspectMaxParamText, 16},
    {"job_params_size near 2^32", 0, 16, kLe32, 0xfffffff0u, 16},
    {"\"resX\" misspelt: Resolution has no end", 0, 20 + 32, kByte, 'R', 20 + 24},
    {"bad page name", 2, 7, kByte, 'P', 7},
    {"page name padding not zero", 3, 15, kByte, ' ', 15},
    {"firstpage 2", 1, 16, kLe32, 2, 16},
    {"lastpage 0x100", 2, 20, kLe32, 0x100, 20},
    {"cut inside the page header", 3, 20, kCut, 0, 0},
    {"last data byte missing", 3, kLastByte, kCut, 0, 24},
    {"datasize near 2^32", 1, 24, kLe32, 0xffffffe0u, 24},
    {"pageseq starting at 0", 1, 28, kLe32, 0, 28},
    {"pageseq gap", 2, 28, kLe32, 3, 28},
    {"pageseq repeated", 3, 28, kLe32, 2, 28},
    {"trailing bytes", 4, 0, kAppend, 3, 0},
};

TEST(InspectStream, EachMalformationIsRefusedNamingWhere) {
    const Sample& s = S();
    for (const Malformation& m : kMalformations) {
        SCOPED_TRACE(m.what);
        std::string b = s.stream;
        const size_t at = m.at == kLastByte ? b.size() - 1 : s.rec[m.rec] + m.at;
        if (m.change == kByte) b[at] = char(m.value);
        if (m.change == kLe32) b.replace(at, 4, Le32(m.value));
        if (m.change == kCut) b.resize(at);
        if (m.change == kAppend) b.append(m.value, '\0');
        ParsedStream out;
        std::string error;
        ASSERT_FALSE(ParseStream(U(b), b.size(), &out, &error));
        const std::string record = m.rec ? "page record " + std::to_string(m.rec) : "job record";
        EXPECT_EQ(0u, error.find("byte " + std::to_string(s.rec[m.rec] + m.where) + ", " + record + ":")) << error;
    }
}

TEST(InspectParams, RowsRunToTheNextRowsNameAndDeviationsAreRefused) {
    InspectParams p;
    std::string error, rebuilt, longest;
    ASSERT_TRUE(ParseJobParams(kDefaultText.data(), kDefaultText.size(), &p, &error)) << error;
    for (const InspectParam& r : p.row) {
        rebuilt += std::string(r.key) + "=" + r.value + ", ";
        longest += std::string(r.key) + "=" + std::string(255, 'z') + ", ";
    }
    EXPECT_EQ(kDefaultText, rebuilt);  // 24 rows in order
    ASSERT_EQ(kInspectMaxParamText, longest.size());
    const struct { std::string text; const char* key; std::string value; } accepted[] = {
        {Replace(kDefaultText, "DocName=", "DocName=a, b=c, , HostName"), "DocName", "a, b=c, , HostName"},
        {kDefaultText + "Extra=1, ", "Border", "1, Extra=1"},
        {longest, "AuthPassword", std::string(255, 'z')},
    };
    for (const auto& a : accepted) {
        ASSERT_TRUE(ParseJobParams(a.text.data(), a.text.size(), &p, &error)) << a.text << error;
        EXPECT_EQ(a.value, InspectParamValue(p, a.key));
    }
    const struct { std::string text; size_t where; } refused[] = {
        {Replace(kDefaultText, "PageSize", "Pagesize"), 0},
        {Replace(kDefaultText, "resY=600dpi, ", ""), kDefaultText.find("resX") + 5},
        {Replace(kDefaultText, "resX=600dpi, resY", "resY=600dpi, resX"), kDefaultText.find("resY") + 5},
        {kDefaultText.substr(0, kDefaultText.size() - 1), kDefaultText.size() - 1},
        {Replace(kDefaultText, "jobId=", "jobId=" + std::string(256, 'v')), kDefaultText.find("jobId=") + 6},
        {Replace(kDefaultText, "HostName=", std::string("HostName=a\0b", 11)), kDefaultText.find("HostName=") + 10},
    };
    for (const auto& r : refused) {
        EXPECT_FALSE(ParseJobParams(r.text.data(), r.text.size(), &p, &error)) << r.text;
        EXPECT_EQ(0u, error.find("character " + std::to_string(r.where) + ":")) << error;
    }
    // The longest text is also the largest job record a stream may carry.
    ParsedStream out;
    EXPECT_TRUE(ParseStream(U(JobRecord(longest)), longest.size() + 20, &out, &error)) << error;
    EXPECT_FALSE(ParseStream(U(JobRecord(longest + "z")), longest.size() + 21, &out, &error));
    EXPECT_EQ(0u, error.find("byte 16, job record:")) << error;
}

TEST(InspectDecode, PbmtojbgOutputDecodesToTheOriginalPixels) {
    for (uint32_t w : {1u, 13u, 1000u}) {  // 1000 x 400: more than one 16 KiB chunk of JBIG data
        const PageImage page = MakePage(w, w == 1000 ? 400 : 30, w);
        const std::string jbg = Encode(page);
        PageImage got;
        std::string error;
        ASSERT_TRUE(DecodeJbig(U(jbg), jbg.size(), kInspectMaxPixels, &got, &error)) << w << error;
        EXPECT_EQ(Pbm(page), Pbm(got)) << w;
    }
}

TEST(InspectDecode, BrokenOrHostileDataIsRefused) {
    const std::string& good = S().j1;  // 37 x 150
    auto with = [&](size_t at, const std::string& b) { return std::string(good).replace(at, b.size(), b); };
    const struct { const char* what; std::string data; uint64_t max; const char* expect; } cases[] = {
        {"header cut", good.substr(0, 19), kInspectMaxPixels, "shorter than its 20-byte header"},
        {"image cut", good.substr(0, good.size() - 2), kInspectMaxPixels, "before the image is complete"},
        {"byte after the image", good + '\0', kInspectMaxPixels, "1 bytes follow the end"},
        {"huge size", with(4, std::string(8, '\xff')), kInspectMaxPixels, "larger than"},
        {"2^33 + 2^16 + 1 pixels", with(4, std::string("\0\2\0\0\0\1\0\1", 8)), kInspectMaxPixels, "larger than"},
        {"over a caller's limit", good, 37 * 150 - 1, "larger than"},
        {"zero width", with(4, std::string(4, '\0')), kInspectMaxPixels, "empty"},
        {"two planes", with(2, "\2"), kInspectMaxPixels, "bit planes"},
        {"resolution layers", with(1, "\1"), kInspectMaxPixels, "resolution layers"},
        {"zero lines per stripe", with(12, std::string(4, '\0')), kInspectMaxPixels, "invalid"},
    };
    PageImage got;
    std::string error;
    for (const auto& c : cases) {
        EXPECT_FALSE(DecodeJbig(U(c.data), c.data.size(), c.max, &got, &error)) << c.what;
        EXPECT_NE(std::string::npos, error.find(c.expect)) << c.what << ": " << error;
        EXPECT_TRUE(got.bits.empty()) << c.what;
    }
    EXPECT_TRUE(DecodeJbig(U(good), good.size(), 37 * 150, &got, &error)) << error;
}

TEST(InspectImages, WriteFailuresAreReported) {
    const PageImage page = MakePage(300, 300, 4);
    std::string error;
    EXPECT_FALSE(WritePagePng("/dev/full", page, &error));  // fails on write or on close
    EXPECT_NE(std::string::npos, error.find("/dev/full")) << error;
    EXPECT_FALSE(WritePagePbm("/dev/full", page, &error));
    EXPECT_NE(std::string::npos, error.find("No space")) << error;
    EXPECT_FALSE(WritePagePng("/tmp/inspect_test/none/p.png", page, &error));
    EXPECT_NE(std::string::npos, error.find("No such file")) << error;
}

struct RunResult { int status; std::string out, err; };

// Runs fzinspect; standard output goes to `out`, read back unless a device.
RunResult Inspect(const std::string& args, const std::string& out = kDir + "/cli.out") {
    mkdir(kDir.c_str(), 0755);
    const std::string cmd = FZ_BINARY_DIR "/tools/fzinspect " + args + " >" + out + " 2>" + kDir + "/cli.err";
    const int st = std::system(cmd.c_str());
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out.compare(0, 5, "/dev/") ? ReadFile(out) : "",
            ReadFile(kDir + "/cli.err")};
}
std::string Save(const std::string& b, const std::string& name) {
    mkdir(kDir.c_str(), 0755);
    EXPECT_TRUE(WriteFile(kDir + "/" + name, b));
    return kDir + "/" + name;
}

TEST(InspectCli, PrintsParametersAndOneLinePerRecordWithSheetAndSide) {
    const Sample& s = S();
    RunResult r = Inspect(Save(s.stream, "good.prn"));
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("DocName=Report, final, copies=9\n"));
    EXPECT_NE(std::string::npos, r.out.find("AuthPassword=****\n"));
    EXPECT_EQ(std::string::npos, r.out.find("hunter2"));
    std::string squeezed;  // columns with single blanks
    for (char c : r.out)
        if (c != ' ' || squeezed.back() != ' ') squeezed += c;
    const std::string n1 = std::to_string(s.j1.size()), n2 = std::to_string(s.j2.size());
    // pageseq firstpage lastpage datasize size sheet side
    for (const std::string& line : {" 1 1 0 " + n1 + " 37x150 1 front\n", " 2 0 0 " + n2 + " 8x3 1 back\n",
                                    " 3 0 1 " + n1 + " 37x150 2 front\n"})
        EXPECT_NE(std::string::npos, squeezed.find(line)) << line << r.out;
    // One-sided, from standard input: no sheet and side columns.
    r = Inspect("- <" + Save(JobRecord(kDefaultText) + PageRecord(1, 1, 1, s.j2), "one.prn"));
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find(" 8x3\n")) << r.out;
}

TEST(InspectCli, WritesEveryPageAsPbmAndAsPngWithBlackAsBlack) {
    const Sample& s = S();
    const RunResult r = Inspect("--quiet --pbm " + kDir + "/pbm --png " + kDir + "/png " + Save(s.stream, "good.prn"));
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.out);
    for (int i = 1; i <= 3; ++i) {
        const PageImage& p = i == 2 ? s.p2 : s.p1;
        const std::string name = "/page-00" + std::to_string(i), png = ReadFile(kDir + "/png" + name + ".png");
        EXPECT_EQ(Pbm(p), ReadFile(kDir + "/pbm" + name + ".pbm")) << name;
        ASSERT_GT(png.size(), 26u) << name;
        EXPECT_EQ(1, png[24]) << name << ": bit depth";
        EXPECT_EQ(PNG_COLOR_TYPE_GRAY, png[25]) << name << ": colour type";
        png_image img{};
        img.version = PNG_IMAGE_VERSION;
        ASSERT_TRUE(png_image_begin_read_from_memory(&img, png.data(), png.size())) << name;
        img.format = PNG_FORMAT_GRAY;
        std::string gray(size_t(img.width) * img.height, '\0');
        ASSERT_TRUE(png_image_finish_read(&img, nullptr, &gray[0], 0, nullptr)) << img.message;
        ASSERT_EQ(p.width * p.height, gray.size()) << name;
        for (uint32_t y = 0; y < p.height; ++y)
            for (uint32_t x = 0; x < p.width; ++x)
                ASSERT_EQ(p.bits[y * ((p.width + 7) / 8) + x / 8] >> (7 - x % 8) & 1 ? 0 : 255,
                          uint8_t(gray[y * p.width + x])) << name << " at " << x << "," << y;
    }
}

TEST(InspectCli, ExitStatusesAndMessages) {
    const Sample& s = S();
    const std::string good = Save(s.stream, "good.prn"), out = kDir + "/cli.out";
    const std::string gap = Save(std::string(s.stream).replace(s.rec[2] + 28, 4, Le32(5)), "gap.prn");
    const std::string planes = Save(std::string(s.stream).replace(s.rec[2] + 34, 1, "\3"), "planes.prn");
    const std::string at = ", byte " + std::to_string(s.rec[2] + 28) + ", page record 2: ";
    const struct { std::string args, out; int status; std::string err; } cases[] = {  // err: its start
        {gap, out, 1, "fzinspect: " + gap + at + "pageseq is 5, expected 2\n"},
        {"<" + gap, out, 1, "fzinspect: standard input" + at},
        {planes, out, 1, "fzinspect: " + planes + ", byte " + std::to_string(s.rec[2] + 32) + ", page record 2: "},
        {kDir + "/missing.prn", out, 2, "fzinspect: " + kDir + "/missing.prn: No such file or directory\n"},
        {good, "/dev/full", 2, "fzinspect: standard output: No space left on device\n"},
        {"--quiet " + good, "/dev/full", 0, ""},
        {"</dev/null", out, 0, ""},
        {good + " " + good, out, 2, "fzinspect: more than one input file\n"},
        {"--png /dev/null/x " + good, out, 2, "fzinspect: /dev/null/x: "},
    };
    for (const auto& c : cases) {
        const RunResult r = Inspect(c.args, c.out);
        EXPECT_EQ(c.status, r.status) << c.args;
        EXPECT_EQ(0u, r.err.find(c.err)) << c.args << ": " << r.err;
        EXPECT_EQ(c.err.empty(), r.err.empty()) << c.args << ": " << r.err;
    }
}

}  // namespace
