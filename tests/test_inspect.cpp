// Stream inspector: strict parsing of the printer stream and its parameter text, JBIG decoding, pages as PBM and PNG.
#include <gtest/gtest.h>
#include <png.h>

#include "image/image.h"
#include "tests/testutil.h"
#include "tools/inspect.h"

static const std::string kText =  // the text of a default parameter table
    "PageSize=A4, Resolution=600dpi, resX=600dpi, resY=600dpi, FeedEdge=0, Collate=False, Duplex=None, "
    "MediaType=Plain, InputSlot=MainTray, number-up=1, job-uuid=, job-originating-host-name=, "
    "date-time-at-creation=, date-time-at-processing=, time-at-creation=, time-at-processing=, copies=1, "
    "jobId=, DocName=, HostName=, LoginName=, AuthID=, AuthPassword=, Border=1, ";
static const auto Edit = [](std::string s, std::string a, std::string b) { return s.replace(s.find(a), a.size(), b); };
static const auto U = [](const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); };
static const auto Le32 = [](uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; };
static const auto Job = [](std::string t) { return std::string("tamrel_param\0\0\0\0", 16) + Le32(t.size()) + t; };
static const auto Page = [](uint32_t first, uint32_t last, uint32_t seq, const std::string& data) {
    return std::string("tamrel_printer\0\0", 16) + Le32(first) + Le32(last) + Le32(data.size()) + Le32(seq) + data;
};

TEST(Inspect, StreamsGiveEveryFieldAndAnyOtherStreamIsRefusedNamingTheByteAndTheRecord)
{
    const std::string d1(20000, 'd'), d2 = "data", job = Job(kText), p1 = Page(1, 0, 1, d1), p2 = Page(0, 0, 2, d2);
    const std::string stream = job + p1 + p2 + Page(0, 1, 3, d1);
    const size_t rec[5] = {0, job.size(), job.size() + p1.size(), job.size() + p1.size() + p2.size(), stream.size()};
    ParsedStream out;
    std::string error;
    ASSERT_TRUE(ParseStream(U(stream), stream.size(), &out, &error)) << error;
    std::string again = Job(out.job_params);  // the stream rebuilt from the fields parsed
    for (const InspectPage& p : out.pages) {
        EXPECT_EQ(p.offset, again.size());
        again += Page(p.firstpage, p.lastpage, p.pageseq, {(const char*)p.data, p.datasize});
    }
    EXPECT_EQ(again, stream);
    for (size_t n = 0; n < stream.size(); ++n)  // a cut at a record boundary leaves a shorter well-formed stream
        EXPECT_EQ(ParseStream(U(stream), n, &out, &error), std::count(rec, rec + 5, n) > 0) << n;
    // record (0 the job, 4 the end), where the bytes go in it (none: the stream is cut there), the byte named
    const std::vector<std::tuple<int, size_t, std::string, size_t>> cases = {
        {0, 3, "R", 3},                    // job tag
        {0, 52, "R", 44},                  // resX misspelt: Resolution's value has no end
        {1, 16, Le32(2), 16},              // firstpage 2
        {2, 20, Le32(2), 20},              // lastpage 2
        {1, 24, Le32(~31u), 24},           // datasize near 2^32
        {3, rec[4] - rec[3] - 1, "", 24},  // the last data byte missing
        {2, 28, Le32(3), 28},              // pageseq 3 after 1
        {3, 28, Le32(2), 28},              // pageseq 2 again
        {4, 0, std::string(3, '\0'), 0},   // bytes after the last record
    };
    for (const auto& [r, at, bytes, where] : cases) {
        std::string b = stream, record = r ? "page record " + std::to_string(r) : "job record";
        bytes.empty() ? b.resize(rec[r] + at) : (void)b.replace(rec[r] + at, bytes.size(), bytes);
        EXPECT_FALSE(ParseStream(U(b), b.size(), &out, &error)) << r << " " << at;
        EXPECT_EQ(error.find("byte " + std::to_string(rec[r] + where) + ", " + record + ":"), 0u) << error;
    }
}

TEST(Inspect, ParameterRowsRunToTheNextRowsNameAndDeviationsAreRefusedNamingTheCharacter)
{
    InspectParams p;
    std::string error, rebuilt, longest;
    ASSERT_TRUE(ParseJobParams(kText.data(), kText.size(), &p, &error)) << error;
    for (const InspectParam& r : p.row)
        rebuilt += std::string(r.key) + "=" + r.value + ", ", longest += r.key + ("=" + std::string(255, 'z')) + ", ";
    EXPECT_EQ(rebuilt, kText);  // 24 rows in order
    // the text, then the value of the row named, or "" when refused with the error naming that character
    const std::vector<std::tuple<std::string, const char*, std::string, size_t>> cases = {
        {Edit(kText, "DocName=", "DocName=a, b=c, , HostName"), "DocName", "a, b=c, , HostName", 0},
        {kText + "Extra=1, ", "Border", "1, Extra=1", 0},
        {longest, "AuthPassword", std::string(255, 'z'), 0},
        {Edit(kText, "resY=600dpi, ", ""), "", "", kText.find("resX") + 5},
        {kText.substr(0, kText.size() - 1), "", "", kText.size() - 1},
        {Edit(kText, "jobId=", "jobId=" + std::string(256, 'v')), "", "", kText.find("jobId=") + 6},
    };
    for (const auto& [text, key, value, where] : cases) {
        EXPECT_EQ(ParseJobParams(text.data(), text.size(), &p, &error), !value.empty()) << text;
        EXPECT_EQ(value.empty() ? error.find("character " + std::to_string(where) + ":") : 0u, 0u) << error;
        EXPECT_STREQ(value.empty() ? "" : InspectParamValue(p, key), value.c_str());
    }
}

TEST(Inspect, JbigDataDecodesToItsPageWhichFzinspectWritesAsPbmAndOneBitPngAndBrokenDataIsRefused)
{
    const TestPage p = PatternPage(1001, 600, 1);  // several stripes
    ASSERT_TRUE(WriteFile("/tmp/p.pbm", PbmText(1001, 600, p.bits)) && pbmtojbg("/tmp/p.pbm", "/tmp/p.jbg") == 0);
    const std::string good = ReadFile("/tmp/p.jbg"), pbm = ReadFile("/tmp/p.pbm");
    std::string error;
    auto with = [&](size_t at, const std::string& b) { return std::string(good).replace(at, b.size(), b); };
    // the data, the most pixels allowed, a part of the error ("": decoded)
    const std::vector<std::tuple<std::string, uint64_t, const char*>> cases = {
        {good, 1001 * 600, ""},
        {good, 1001 * 600 - 1, "larger than"},
        {good.substr(0, good.size() - 2), kInspectMaxPixels, "before the image is complete"},
        {good + '\0', kInspectMaxPixels, "1 bytes follow the end"},
        {with(4, std::string(8, '\xff')), kInspectMaxPixels, "larger than"},
        {with(4, std::string("\0\2\0\0\0\1\0\1", 8)), kInspectMaxPixels, "larger than"},  // 2^33 + 2^17 pixels
        {with(2, "\2"), kInspectMaxPixels, "bit planes"},
        {with(2, std::string(1, '\0')), kInspectMaxPixels, "bit planes"},
    };
    for (const auto& [data, max, part] : cases) {
        PageImage got;
        EXPECT_EQ(DecodeJbig(U(data), data.size(), max, &got, &error), !*part) << part;
        const std::string image = PbmText(got.width, got.height, got.bits);
        EXPECT_TRUE(*part ? error.find(part) != std::string::npos && got.bits.empty() : image == pbm) << error;
    }
    WriteFile("/tmp/s.prn", Job(kText) + Page(1, 1, 1, good));
    ASSERT_EQ(std::system(FZ_BINARY_DIR "/tools/fzinspect --quiet --pbm /tmp/pbm --png /tmp/png /tmp/s.prn"), 0);
    EXPECT_EQ(ReadFile("/tmp/pbm/page-001.pbm"), pbm);
    EXPECT_EQ(ReadFile("/tmp/png/page-001.png").substr(24, 2), std::string("\1\0", 2));  // bit depth 1, gray
    png_image img{nullptr, PNG_IMAGE_VERSION, 0, 0, 0, 0, 0, 0, ""};
    ASSERT_TRUE(png_image_begin_read_from_file(&img, "/tmp/png/page-001.png")) << img.message;
    img.format = PNG_FORMAT_GRAY;
    std::string gray(PNG_IMAGE_SIZE(img), '\0'), black;
    ASSERT_TRUE(png_image_finish_read(&img, nullptr, &gray[0], 0, nullptr)) << img.message;
    for (int i = 0; i < 1001 * 600; ++i)
        black += p.bits[i / 1001 * 126 + i % 1001 / 8] >> (7 - i % 1001 % 8) & 1 ? '\0' : '\xff';
    EXPECT_EQ(gray, black);
    for (auto write : {WritePagePbm, WritePagePng})  // fails on a write or on the close
        EXPECT_TRUE(!write("/dev/full", PageImage{1001, 600, p.bits}, &error) && error.find("/dev/full: ") == 0)
            << error;
}

TEST(Inspect, FzinspectPrintsTheTableMasksThePasswordAndSaysWhatFailed)
{
    const TestPage p = PatternPage(64, 40, 2);
    ASSERT_TRUE(WriteFile("/tmp/q.pbm", PbmText(64, 40, p.bits)) && pbmtojbg("/tmp/q.pbm", "/tmp/q.jbg") == 0);
    const std::string job = Job(Edit(kText, "AuthPassword=", "AuthPassword=s3cret")), data = ReadFile("/tmp/q.jbg");
    WriteFile("/tmp/ok.prn", job + Page(1, 0, 1, data) + Page(0, 1, 2, data));
    WriteFile("/tmp/bad.prn", job + Page(1, 0, 2, data));
    const std::string duplex = Job(Edit(kText, "Duplex=None", "Duplex=DuplexNoTumble"));
    WriteFile("/tmp/two.prn", duplex + Page(1, 0, 1, data) + Page(0, 0, 2, data) + Page(0, 1, 3, data));
    // arguments, exit status, a text the output must hold ("" none), a text it must not
    const std::vector<std::tuple<std::string, int, std::string, std::string>> cases = {
        {"/tmp/ok.prn", 0, "AuthPassword=****", "s3cret"},
        {"/tmp/ok.prn", 0, "      2         0        1", "error"},
        {"/tmp/two.prn", 0, "3 page records on 2 sheets", "error"},
        {"/tmp/bad.prn", 1, "fzinspect: /tmp/bad.prn, byte ", "s3cret"},
        {"/tmp/none.prn", 2, "fzinspect: ", "records"},
        {"--bogus /tmp/ok.prn", 2, "usage", "records"},
    };
    for (const auto& [args, status, want, unwanted] : cases) {
        const int st = std::system((FZ_BINARY_DIR "/tools/fzinspect " + args + " >/tmp/o 2>&1").c_str());
        const std::string out = ReadFile("/tmp/o");
        EXPECT_EQ(WEXITSTATUS(st), status) << args << "\n" << out;
        EXPECT_TRUE(out.find(want) != std::string::npos && out.find(unwanted) == std::string::npos) << out;
    }
}
