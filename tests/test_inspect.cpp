// Stream inspector: strict parsing of the printer stream and of its parameter
// text, JBIG decoding through libjbig, PBM/PNG output and the fzinspect command.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/wait.h>

#include "image/image.h"
#include "tests/testutil.h"
#include "tools/inspect.h"

namespace {

const std::string kText =  // the text of a default parameter table
    "PageSize=A4, Resolution=600dpi, resX=600dpi, resY=600dpi, FeedEdge=0, Collate=False, Duplex=None, "
    "MediaType=Plain, InputSlot=MainTray, number-up=1, job-uuid=, job-originating-host-name=, "
    "date-time-at-creation=, date-time-at-processing=, time-at-creation=, time-at-processing=, copies=1, "
    "jobId=, DocName=, HostName=, LoginName=, AuthID=, AuthPassword=, Border=1, ";
std::string Replace(std::string s, const std::string& a, const std::string& b) { return s.replace(s.find(a), a.size(), b); }
const uint8_t* U(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }
std::string Le32(uint32_t v) { return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }
std::string Job(const std::string& text) { return std::string("tamrel_param\0\0\0\0", 16) + Le32(text.size()) + text; }
std::string Page(uint32_t first, uint32_t last, uint32_t seq, const std::string& data)
{
    return std::string("tamrel_printer\0\0", 16) + Le32(first) + Le32(last) + Le32(data.size()) + Le32(seq) + data;
}
std::string Pbm(const TestPage& p) { return PbmText(p.width, p.height, p.bits); }
// JBIG data as the filter makes it: jbigkit's pbmtojbg with the printer's command line.
std::string Encode(const TestPage& p)
{
    EXPECT_TRUE(WriteFile("/tmp/enc.pbm", Pbm(p)) && pbmtojbg("/tmp/enc.pbm", "/tmp/enc.jbg") == 0);
    return ReadFile("/tmp/enc.jbg");
}
// Three page records over two pages, the first of several stripes and more than one 16 KiB chunk of JBIG
// data; a document name holding ", " and a password. rec: where the records start, and the end.
struct Sample {
    TestPage p1 = PatternPage(1001, 600, 1), p2 = PatternPage(8, 3, 2);
    std::string j1 = Encode(p1), j2 = Encode(p2);
    std::string text = Replace(Replace(Replace(kText, "DocName=", "DocName=Report, final, copies=9"), "Duplex=None",
                                       "Duplex=DuplexTumble"), "AuthPassword=", "AuthPassword=hunter2");
    std::string parts[5] = {Job(text), Page(1, 0, 1, j1), Page(0, 0, 2, j2), Page(0, 1, 3, j1), ""}, stream;
    size_t rec[5];
    Sample() { for (int i = 0; i < 5; ++i) rec[i] = (stream += parts[i]).size() - parts[i].size(); }
};
const Sample& S() { static const Sample s; return s; }

} // namespace

TEST(Inspect, WellFormedStreamsGiveEveryFieldAndEveryOtherStreamIsRefusedNamingWhere)
{
    const Sample& s = S();
    ParsedStream out;
    std::string error;
    ASSERT_TRUE(ParseStream(U(s.stream), s.stream.size(), &out, &error)) << error;
    EXPECT_EQ(out.job_params, s.text);
    ASSERT_EQ(out.pages.size(), 3u);
    for (uint32_t i = 0; i < 3; ++i) {
        const InspectPage& p = out.pages[i];
        EXPECT_EQ(std::make_tuple(p.offset, p.firstpage, p.lastpage, p.pageseq, std::string((const char*)p.data, p.datasize)),
                  std::make_tuple(s.rec[i + 1], i == 0 ? 1u : 0u, i == 2 ? 1u : 0u, i + 1, i == 1 ? s.j2 : s.j1));
    }
    EXPECT_TRUE(ParseStream(nullptr, 0, &out, &error) && !out.has_job_record);  // the empty stream has no records
    for (size_t n = 0; n < s.stream.size(); ++n)  // a cut at a record boundary leaves a shorter well-formed stream
        EXPECT_EQ(ParseStream(U(s.stream), n, &out, &error), std::count(s.rec, s.rec + 5, n) > 0) << n;
    // `bytes` put at `at` in record `rec` (0 the job record, 1-3 pages, 4 the end), or the stream cut there;
    // the error names byte `where` of that record.
    const struct { const char* what; int rec; size_t at; std::string bytes; bool cut; size_t where; } cases[] = {
        {"bad job tag", 0, 3, "R", false, 3}, {"tag padding", 0, 14, "\1", false, 14}, {"cut in size", 0, 18, "", true, 16},
        {"text cut: size past the end", 0, 120, "", true, 16}, {"size near 2^32", 0, 16, Le32(~15u), false, 16},
        {"resX misspelt: Resolution has no end", 0, 52, "R", false, 44}, {"bad page name", 2, 7, "P", false, 7},
        {"name padding", 3, 15, " ", false, 15}, {"firstpage 2", 1, 16, Le32(2), false, 16},
        {"lastpage 0x100", 2, 20, Le32(0x100), false, 20}, {"cut in page header", 3, 20, "", true, 0},
        {"last data byte missing", 3, s.parts[3].size() - 1, "", true, 24}, {"datasize near 2^32", 1, 24, Le32(~31u), false, 24},
        {"pageseq 0", 1, 28, Le32(0), false, 28}, {"pageseq gap", 2, 28, Le32(3), false, 28},
        {"pageseq repeated", 3, 28, Le32(2), false, 28}, {"trailing bytes", 4, 0, std::string(3, '\0'), false, 0},
    };
    for (const auto& c : cases) {
        std::string b = s.stream;
        c.cut ? b.resize(s.rec[c.rec] + c.at) : (void)b.replace(s.rec[c.rec] + c.at, c.bytes.size(), c.bytes);
        ASSERT_FALSE(ParseStream(U(b), b.size(), &out, &error)) << c.what;
        const std::string record = c.rec ? "page record " + std::to_string(c.rec) : "job record";
        EXPECT_EQ(error.find("byte " + std::to_string(s.rec[c.rec] + c.where) + ", " + record + ":"), 0u) << error;
    }
}

TEST(Inspect, ParameterRowsRunToTheNextRowsNameAndDeviationsAreRefusedNamingWhere)
{
    InspectParams p;
    std::string error, rebuilt, longest;
    ASSERT_TRUE(ParseJobParams(kText.data(), kText.size(), &p, &error)) << error;
    for (const InspectParam& r : p.row)
        rebuilt += std::string(r.key) + "=" + r.value + ", ", longest += std::string(r.key) + "=" + std::string(255, 'z') + ", ";
    EXPECT_EQ(rebuilt, kText);  // 24 rows in order
    const struct { std::string text; const char* key; std::string value; size_t where = 0; } cases[] = {  // value "": refused
        {Replace(kText, "DocName=", "DocName=a, b=c, , HostName"), "DocName", "a, b=c, , HostName"},
        {kText + "Extra=1, ", "Border", "1, Extra=1"}, {longest, "AuthPassword", std::string(255, 'z')},
        {Replace(kText, "PageSize", "Pagesize"), "", "", 0}, {Replace(kText, "resY=600dpi, ", ""), "", "", kText.find("resX") + 5},
        {Replace(kText, "resX=600dpi, resY", "resY=600dpi, resX"), "", "", kText.find("resY") + 5},
        {kText.substr(0, kText.size() - 1), "", "", kText.size() - 1},
        {Replace(kText, "jobId=", "jobId=" + std::string(256, 'v')), "", "", kText.find("jobId=") + 6},
        {Replace(kText, "HostName=", std::string("HostName=a\0b", 11)), "", "", kText.find("HostName=") + 10},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseJobParams(c.text.data(), c.text.size(), &p, &error), !c.value.empty()) << c.text;
        EXPECT_EQ(c.value.empty() ? error.find("character " + std::to_string(c.where) + ":") : 0u, 0u) << error;
        EXPECT_STREQ(c.value.empty() ? "" : InspectParamValue(p, c.key), c.value.c_str());
    }
    ParsedStream out;  // the longest text (24 values of 255 characters) is the largest job record a stream may carry
    EXPECT_TRUE(longest.size() == kInspectMaxParamText && ParseStream(U(Job(longest)), longest.size() + 20, &out, &error));
    EXPECT_FALSE(ParseStream(U(Job(longest + "z")), longest.size() + 21, &out, &error));
    EXPECT_EQ(error.find("byte 16, job record:"), 0u) << error;
}

TEST(Inspect, BrokenOrHostileJbigDataIsRefused)
{
    const std::string& good = S().j1;  // 1001 x 600
    auto with = [&](size_t at, const std::string& b) { return std::string(good).replace(at, b.size(), b); };
    const uint64_t all = kInspectMaxPixels, size = 1001 * 600;
    const struct { const char* what; std::string data; uint64_t max; const char* error; } cases[] = {
        {"the whole image", good, size, ""}, {"over a caller's limit", good, size - 1, "larger than"},
        {"header cut", good.substr(0, 19), all, "shorter than its 20-byte header"},
        {"image cut", good.substr(0, good.size() - 2), all, "before the image is complete"},
        {"byte after the image", good + '\0', all, "1 bytes follow the end"},
        {"huge size", with(4, std::string(8, '\xff')), all, "larger than"},
        {"2^33 + 2^17 pixels", with(4, std::string("\0\2\0\0\0\1\0\1", 8)), all, "larger than"},
        {"zero width", with(4, std::string(4, '\0')), all, "empty"}, {"two planes", with(2, "\2"), all, "bit planes"},
        {"layers", with(1, "\1"), all, "resolution layers"}, {"no lines per stripe", with(12, std::string(4, '\0')), all, "invalid"},
    };
    for (const auto& c : cases) {
        PageImage got;
        std::string error;
        EXPECT_EQ(DecodeJbig(U(c.data), c.data.size(), c.max, &got, &error), !*c.error) << c.what;
        EXPECT_TRUE(*c.error ? error.find(c.error) != std::string::npos && got.bits.empty()
                             : PbmText(got.width, got.height, got.bits) == Pbm(S().p1)) << c.what << ": " << error;
    }
}

TEST(Inspect, CliExitStatusesTableAndPagesWrittenWithBlackAsBlack)
{
    const Sample& s = S();
    const std::string good = "/tmp/good.prn", gap = "/tmp/gap.prn", bad = "/tmp/planes.prn", one = "/tmp/one.prn";
    WriteFile(good, s.stream), WriteFile(one, Job(kText) + Page(1, 1, 1, s.j2));
    WriteFile(gap, std::string(s.stream).replace(s.rec[2] + 28, 4, Le32(5)));
    WriteFile(bad, std::string(s.stream).replace(s.rec[2] + 34, 1, "\3"));
    const std::string at = ", byte " + std::to_string(s.rec[2] + 28) + ", page record 2: ", n1 = std::to_string(s.j1.size());
    const struct { std::string args, out; int status; std::string err; std::vector<std::string> lines = {}; } cases[] = {
        // err: its start; lines: in the table, columns one blank apart ("": no output at all)
        {good, "", 0, "", {"DocName=Report, final, copies=9\n", "AuthPassword=****\n", " 1 1 0 " + n1 + " 1001x600 1 front\n",
                           " 2 0 0 " + std::to_string(s.j2.size()) + " 8x3 1 back\n", " 3 0 1 " + n1 + " 1001x600 2 front\n"}},
        {"- <" + one, "", 0, "", {" 8x3\n"}},  // one-sided: no sheet and side
        {gap, "", 1, "fzinspect: " + gap + at + "pageseq is 5, expected 2\n"}, {"<" + gap, "", 1, "fzinspect: standard input" + at},
        {bad, "", 1, "fzinspect: " + bad + ", byte " + std::to_string(s.rec[2] + 32) + ", page record 2: "},
        {"/tmp/none.prn", "", 2, "fzinspect: /tmp/none.prn: No such file or directory\n"},
        {good, "/dev/full", 2, "fzinspect: standard output: No space left on device\n"}, {"--quiet " + good, "/dev/full", 0, ""},
        {"</dev/null", "", 0, ""}, {good + " " + good, "", 2, "fzinspect: more than one input file\n"},
        {"--png /dev/null/x " + good, "", 2, "fzinspect: /dev/null/x: "},
        {"--quiet --pbm /tmp/pbm --png /tmp/png " + good, "", 0, "", {""}},
    };
    for (const auto& c : cases) {
        const std::string to = c.out.empty() ? "/tmp/out" : c.out;
        const int st = std::system((FZ_BINARY_DIR "/tools/fzinspect " + c.args + " >" + to + " 2>/tmp/err").c_str());
        std::string out, err = ReadFile("/tmp/err");
        for (char ch : c.out.empty() ? ReadFile("/tmp/out") : "")
            out += ch == ' ' && !out.empty() && out.back() == ' ' ? "" : std::string(1, ch);
        EXPECT_EQ(WIFEXITED(st) ? WEXITSTATUS(st) : -1, c.status) << c.args << ": " << err;
        EXPECT_TRUE(c.err.empty() ? err.empty() : err.find(c.err) == 0) << c.args << ": " << err;
        for (const std::string& line : c.lines)
            EXPECT_TRUE(line.empty() ? out.empty() : out.find(line) != std::string::npos) << c.args << ": " << line << out;
        EXPECT_EQ(out.find("hunter2"), std::string::npos);
    }
    for (int i = 1; i <= 3; ++i) {
        const TestPage& p = i == 2 ? s.p2 : s.p1;
        const std::string name = "/page-00" + std::to_string(i), png = ReadFile("/tmp/png" + name + ".png");
        EXPECT_EQ(ReadFile("/tmp/pbm" + name + ".pbm"), Pbm(p)) << name;
        png_image img{};
        img.version = PNG_IMAGE_VERSION;
        ASSERT_TRUE(png.size() > 26 && png_image_begin_read_from_memory(&img, png.data(), png.size())) << name;
        EXPECT_EQ(std::make_pair(png[24], png[25]), std::make_pair('\1', char(PNG_COLOR_TYPE_GRAY))) << name << ": 1-bit gray";
        img.format = PNG_FORMAT_GRAY;
        std::string gray(PNG_IMAGE_SIZE(img), '\0'), black;
        ASSERT_TRUE(png_image_finish_read(&img, nullptr, &gray[0], 0, nullptr)) << img.message;
        for (int y = 0; y < p.height; ++y)
            for (int x = 0; x < p.width; ++x)
                black += p.bits[y * p.bytesPerLine + x / 8] >> (7 - x % 8) & 1 ? '\0' : '\xff';
        EXPECT_EQ(gray, black) << name;
    }
    const PageImage page{300, 300, std::vector<uint8_t>(38 * 300)};
    std::string error;
    for (auto write : {WritePagePbm, WritePagePng})  // fails on a write or on the close
        EXPECT_TRUE(!write("/dev/full", page, &error) && error.rfind("/dev/full: ", 0) == 0) << error;
}
