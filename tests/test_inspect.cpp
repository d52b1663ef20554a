// Stream inspector: strict stream parsing, parameter text splitting, JBIG
// decoding through libjbig, PBM/PNG output and the fzinspect command.
#include "tools/inspect.h"

#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const char kDir[] = "/tmp/inspect_test";
const char kInspector[] = FZ_BINARY_DIR "/tools/fzinspect";

// The text a default parameter table serialises to.
const std::string kDefaultText =
    "PageSize=A4, Resolution=600dpi, resX=600dpi, resY=600dpi, FeedEdge=0, Collate=False, "
    "Duplex=None, MediaType=Plain, InputSlot=MainTray, number-up=1, job-uuid=, "
    "job-originating-host-name=, date-time-at-creation=, date-time-at-processing=, "
    "time-at-creation=, time-at-processing=, copies=1, jobId=, DocName=, HostName=, "
    "LoginName=, AuthID=, AuthPassword=, Border=1, ";

std::string Replace(std::string s, const std::string& from, const std::string& to) {
    const size_t at = s.find(from);
    if (at != std::string::npos) s.replace(at, from.size(), to);
    return s;
}

void MakeDir() { mkdir(kDir, 0755); }

Bytes ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const Bytes& b) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
    ASSERT_TRUE(f.good()) << path;
}

// A page of deterministic noise with some solid runs; padding bits clear.
PageImage MakePage(uint32_t w, uint32_t h, uint32_t seed) {
    PageImage img;
    img.width = w;
    img.height = h;
    const size_t row = (w + 7) / 8;
    img.bits.assign(row * h, 0);
    uint32_t x = seed * 2654435761u + 1;
    for (uint32_t y = 0; y < h; ++y) {
        for (size_t i = 0; i < row; ++i) {
            x = x * 1103515245u + 12345u;
            uint8_t v = uint8_t(x >> 16);
            if ((y / 5) % 3 == 0) v = 0;             // white bands
            if ((y / 7) % 4 == 1) v = 0xff;          // black bands
            img.bits[y * row + i] = v;
        }
        if (w % 8) img.bits[y * row + row - 1] &= uint8_t(0xff << (8 - w % 8));
    }
    return img;
}

// JBIG bytes of `img` as Debian's pbmtojbg makes them with the printer's
// fixed command line.
Bytes EncodeWithPbmtojbg(const PageImage& img, const std::string& name) {
    MakeDir();
    const std::string pbm = std::string(kDir) + "/" + name + ".pbm";
    const std::string jbg = std::string(kDir) + "/" + name + ".jbg";
    std::string header = "P4\n" + std::to_string(img.width) + " " + std::to_string(img.height) + "\n";
    Bytes file(header.begin(), header.end());
    file.insert(file.end(), img.bits.begin(), img.bits.end());
    WriteFile(pbm, file);
    const std::string cmd = "/usr/bin/pbmtojbg -q -x " + std::to_string(img.width) + " -y " +
                            std::to_string(img.height) + " -r -s 128 -o 0 -p 8 -m 0 " + pbm + " " +
                            jbg;
    EXPECT_EQ(0, std::system(cmd.c_str())) << cmd;
    return ReadFile(jbg);
}

void PutLe32(Bytes* b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b->push_back(uint8_t(v >> (8 * i)));
}

void SetLe32(Bytes* b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) (*b)[at + i] = uint8_t(v >> (8 * i));
}

void AddJobRecord(Bytes* b, const std::string& text) {
    const char tag[16] = "tamrel_param";
    b->insert(b->end(), tag, tag + 16);
    PutLe32(b, uint32_t(text.size()));
    b->insert(b->end(), text.begin(), text.end());
}

void AddPageRecord(Bytes* b, uint32_t first, uint32_t last, uint32_t seq, const Bytes& data) {
    const char name[16] = "tamrel_printer";
    b->insert(b->end(), name, name + 16);
    PutLe32(b, first);
    PutLe32(b, last);
    PutLe32(b, uint32_t(data.size()));
    PutLe32(b, seq);
    b->insert(b->end(), data.begin(), data.end());
}

// A well-formed three-record stream over two different pages, with a
// document name that contains ", " and a set password.
struct Sample {
    std::string text;
    PageImage p1, p2;
    Bytes j1, j2;
    Bytes stream;
    size_t rec[3];  // offsets of the page records
};

const Sample& GetSample() {
    static Sample s = [] {
        Sample x;
        x.text = Replace(Replace(Replace(kDefaultText, "DocName=", "DocName=Report, final, copies=9"),
                                 "Duplex=None", "Duplex=DuplexTumble"),
                         "AuthPassword=", "AuthPassword=hunter2");
        x.p1 = MakePage(37, 150, 1);  // more than one 128-line stripe
        x.p2 = MakePage(8, 3, 2);
        x.j1 = EncodeWithPbmtojbg(x.p1, "p1");
        x.j2 = EncodeWithPbmtojbg(x.p2, "p2");
        AddJobRecord(&x.stream, x.text);
        x.rec[0] = x.stream.size();
        AddPageRecord(&x.stream, 1, 0, 1, x.j1);
        x.rec[1] = x.stream.size();
        AddPageRecord(&x.stream, 0, 0, 2, x.j2);
        x.rec[2] = x.stream.size();
        AddPageRecord(&x.stream, 0, 1, 3, x.j1);
        return x;
    }();
    return s;
}

std::string ParseError(const Bytes& b) {
    ParsedStream out;
    std::string error;
    EXPECT_FALSE(ParseStream(b.data(), b.size(), &out, &error));
    return error;
}

// ---------------------------------------------------------------- parsing

TEST(InspectStream, WellFormedStreamGivesEveryField) {
    const Sample& s = GetSample();
    ASSERT_FALSE(s.j1.empty());
    ParsedStream out;
    std::string error;
    ASSERT_TRUE(ParseStream(s.stream.data(), s.stream.size(), &out, &error)) << error;
    EXPECT_TRUE(out.has_job_record);
    EXPECT_EQ(s.text.size(), out.job_params_size);
    EXPECT_EQ(s.text, out.job_params);
    EXPECT_STREQ("Report, final, copies=9", InspectParamValue(out.params, "DocName"));
    EXPECT_STREQ("1", InspectParamValue(out.params, "copies"));
    EXPECT_STREQ("DuplexTumble", InspectParamValue(out.params, "Duplex"));
    ASSERT_EQ(3u, out.pages.size());
    const uint32_t first[] = {1, 0, 0}, last[] = {0, 0, 1};
    const Bytes* data[] = {&s.j1, &s.j2, &s.j1};
    for (size_t i = 0; i < 3; ++i) {
        const InspectPage& p = out.pages[i];
        EXPECT_EQ(s.rec[i], p.offset);
        EXPECT_EQ(first[i], p.firstpage);
        EXPECT_EQ(last[i], p.lastpage);
        EXPECT_EQ(i + 1, p.pageseq);
        ASSERT_EQ(data[i]->size(), p.datasize);
        EXPECT_EQ(s.stream.data() + s.rec[i] + 32, p.data);
        EXPECT_EQ(0, memcmp(data[i]->data(), p.data, p.datasize));
    }
}

TEST(InspectStream, EmptyInputAndJobRecordAloneAreWellFormed) {
    ParsedStream out;
    std::string error;
    EXPECT_TRUE(ParseStream(nullptr, 0, &out, &error)) << error;
    EXPECT_FALSE(out.has_job_record);

    Bytes b;
    AddJobRecord(&b, kDefaultText);
    ASSERT_TRUE(ParseStream(b.data(), b.size(), &out, &error)) << error;
    EXPECT_TRUE(out.has_job_record);
    EXPECT_TRUE(out.pages.empty());
    EXPECT_STREQ("A4", InspectParamValue(out.params, "PageSize"));
}

TEST(InspectStream, EmptyPageDataIsARecordOfItsOwn) {
    Bytes b;
    AddJobRecord(&b, kDefaultText);
    AddPageRecord(&b, 1, 1, 1, Bytes());
    ParsedStream out;
    std::string error;
    ASSERT_TRUE(ParseStream(b.data(), b.size(), &out, &error)) << error;
    ASSERT_EQ(1u, out.pages.size());
    EXPECT_EQ(0u, out.pages[0].datasize);
}

// Every cut that does not fall on a record boundary leaves an incomplete
// record; every cut on a boundary leaves a shorter well-formed stream.
TEST(InspectStream, EveryTruncationIsRefusedExceptAtRecordBoundaries) {
    const Sample& s = GetSample();
    const size_t bounds[] = {0, s.rec[0], s.rec[1], s.rec[2], s.stream.size()};
    for (size_t n = 0; n <= s.stream.size(); ++n) {
        const bool boundary = std::find(std::begin(bounds), std::end(bounds), n) != std::end(bounds);
        ParsedStream out;
        std::string error;
        EXPECT_EQ(boundary, ParseStream(s.stream.data(), n, &out, &error)) << "length " << n;
        if (!boundary) {
            EXPECT_NE(std::string::npos, error.find("byte ")) << error;
        }
    }
}

struct Malformation {
    const char* what;
    void (*apply)(Bytes* b, const Sample& s);
    size_t (*where)(const Sample& s);  // expected byte offset
    const char* record;                // expected record named
};

const Malformation kMalformations[] = {
    {"bad job tag", [](Bytes* b, const Sample&) { (*b)[3] = 'R'; },
     [](const Sample&) -> size_t { return 3; }, "job record"},
    {"job tag padding not zero", [](Bytes* b, const Sample&) { (*b)[14] = 1; },
     [](const Sample&) -> size_t { return 14; }, "job record"},
    {"truncated length", [](Bytes* b, const Sample&) { b->resize(18); },
     [](const Sample&) -> size_t { return 16; }, "job record"},
    {"length past the end", [](Bytes* b, const Sample&) { SetLe32(b, 16, uint32_t(b->size())); },
     [](const Sample&) -> size_t { return 16; }, "job record"},
    {"length near 2^32", [](Bytes* b, const Sample&) { SetLe32(b, 16, 0xfffffff0u); },
     [](const Sample&) -> size_t { return 16; }, "job record"},
    {"parameter text with a row missing",
     [](Bytes* b, const Sample& s) {
         std::string t = Replace(s.text, "resX=600dpi, ", "");
         Bytes nb;
         AddJobRecord(&nb, t);
         nb.insert(nb.end(), b->begin() + long(s.rec[0]), b->end());
         *b = nb;
     },
     [](const Sample&) -> size_t { return 20 + std::string("PageSize=A4, Resolution=").size(); },
     "job record"},
    {"bad page name", [](Bytes* b, const Sample& s) { (*b)[s.rec[1] + 7] = 'P'; },
     [](const Sample& s) { return s.rec[1] + 7; }, "page record 2"},
    {"page name padding not zero", [](Bytes* b, const Sample& s) { (*b)[s.rec[2] + 15] = ' '; },
     [](const Sample& s) { return s.rec[2] + 15; }, "page record 3"},
    {"firstpage 2", [](Bytes* b, const Sample& s) { SetLe32(b, s.rec[0] + 16, 2); },
     [](const Sample& s) { return s.rec[0] + 16; }, "page record 1"},
    {"lastpage 0x100", [](Bytes* b, const Sample& s) { SetLe32(b, s.rec[1] + 20, 0x100); },
     [](const Sample& s) { return s.rec[1] + 20; }, "page record 2"},
    {"truncated data", [](Bytes* b, const Sample&) { b->pop_back(); },
     [](const Sample& s) { return s.rec[2] + 24; }, "page record 3"},
    {"datasize near 2^32", [](Bytes* b, const Sample& s) { SetLe32(b, s.rec[0] + 24, 0xffffffe0u); },
     [](const Sample& s) { return s.rec[0] + 24; }, "page record 1"},
    {"truncated page header", [](Bytes* b, const Sample& s) { b->resize(s.rec[2] + 20); },
     [](const Sample& s) { return s.rec[2]; }, "page record 3"},
    {"pageseq not starting at 1", [](Bytes* b, const Sample& s) { SetLe32(b, s.rec[0] + 28, 0); },
     [](const Sample& s) { return s.rec[0] + 28; }, "page record 1"},
    {"pageseq gap", [](Bytes* b, const Sample& s) { SetLe32(b, s.rec[1] + 28, 3); },
     [](const Sample& s) { return s.rec[1] + 28; }, "page record 2"},
    {"pageseq repeated", [](Bytes* b, const Sample& s) { SetLe32(b, s.rec[2] + 28, 2); },
     [](const Sample& s) { return s.rec[2] + 28; }, "page record 3"},
    {"trailing bytes", [](Bytes* b, const Sample&) { b->insert(b->end(), {0, 0, 0}); },
     [](const Sample& s) { return s.stream.size(); }, "page record 4"},
    {"trailing zero page name bytes", [](Bytes* b, const Sample&) { b->insert(b->end(), 40, 0); },
     [](const Sample& s) { return s.stream.size(); }, "page record 4"},
};

TEST(InspectStream, EachMalformationIsRefusedNamingWhere) {
    const Sample& s = GetSample();
    for (const Malformation& m : kMalformations) {
        Bytes b = s.stream;
        m.apply(&b, s);
        const std::string error = ParseError(b);
        const std::string where = "byte " + std::to_string(m.where(s)) + ", " + m.record + ":";
        EXPECT_EQ(0u, error.find(where)) << m.what << ": " << error;
    }
}

// ---------------------------------------------------------------- parameters

TEST(InspectParams, DefaultTextGivesTwentyFourRowsInOrder) {
    InspectParams p;
    std::string error;
    ASSERT_TRUE(ParseJobParams(kDefaultText.data(), kDefaultText.size(), &p, &error)) << error;
    // Rebuilding the text from the rows gives back the input.
    std::string rebuilt;
    for (const InspectParam& r : p.row) rebuilt += std::string(r.key) + "=" + r.value + ", ";
    EXPECT_EQ(kDefaultText, rebuilt);
    EXPECT_STREQ("MainTray", InspectParamValue(p, "InputSlot"));
    EXPECT_STREQ("", InspectParamValue(p, "job-uuid"));
    EXPECT_EQ(nullptr, InspectParamValue(p, "media"));
}

TEST(InspectParams, ValuesMayHoldCommaBlankAndEquals) {
    const std::string text = Replace(
        Replace(Replace(kDefaultText, "DocName=", "DocName=a, b=c, , HostName"), "Border=1",
                "Border=1, x"),
        "jobId=", "jobId=, ");
    InspectParams p;
    std::string error;
    ASSERT_TRUE(ParseJobParams(text.data(), text.size(), &p, &error)) << error;
    EXPECT_STREQ("a, b=c, , HostName", InspectParamValue(p, "DocName"));
    EXPECT_STREQ("", InspectParamValue(p, "HostName"));
    EXPECT_STREQ(", ", InspectParamValue(p, "jobId"));
    EXPECT_STREQ("1, x", InspectParamValue(p, "Border"));
}

TEST(InspectParams, DeviationsAreRefusedWithTheirPosition) {
    struct Case {
        std::string text;
        size_t where;
    };
    const std::string longValue(256, 'v');
    const Case cases[] = {
        {"", 0},
        {Replace(kDefaultText, "PageSize", "Pagesize"), 0},
        {Replace(kDefaultText, "resY=600dpi, ", ""), kDefaultText.find("resX") + 5},
        // Swapped rows: Resolution's value swallows "resY=..." and resX then
        // finds no resY after it.
        {Replace(kDefaultText, "resX=600dpi, resY=600dpi", "resY=600dpi, resX=600dpi"),
         kDefaultText.find("resY") + 5},
        {kDefaultText.substr(0, kDefaultText.size() - 1), kDefaultText.size() - 1},
        {kDefaultText + "Extra=1, ", 0},  // absorbed into Border: still valid, checked below
        {Replace(kDefaultText, "jobId=", "jobId=" + longValue), kDefaultText.find("jobId=") + 6},
        {Replace(kDefaultText, "HostName=", std::string("HostName=a\0b", 11)),
         kDefaultText.find("HostName=") + 10},
    };
    for (const Case& c : cases) {
        InspectParams p;
        std::string error;
        const bool ok = ParseJobParams(c.text.data(), c.text.size(), &p, &error);
        if (c.text == kDefaultText + "Extra=1, ") {
            EXPECT_TRUE(ok) << error;
            EXPECT_STREQ("1, Extra=1", InspectParamValue(p, "Border"));
            continue;
        }
        EXPECT_FALSE(ok) << c.text;
        EXPECT_EQ(0u, error.find("character " + std::to_string(c.where) + ":")) << error;
    }
}

TEST(InspectParams, LongestValuesFit) {
    std::string text;
    const std::string v(255, 'z');
    InspectParams p;
    std::string error;
    ASSERT_TRUE(ParseJobParams(kDefaultText.data(), kDefaultText.size(), &p, &error));
    for (const InspectParam& r : p.row) text += std::string(r.key) + "=" + v + ", ";
    ASSERT_EQ(kInspectMaxParamText, text.size());
    ASSERT_TRUE(ParseJobParams(text.data(), text.size(), &p, &error)) << error;
    EXPECT_EQ(v, InspectParamValue(p, "AuthPassword"));

    // The same text is the largest job record the parser accepts.
    Bytes b;
    AddJobRecord(&b, text);
    ParsedStream out;
    EXPECT_TRUE(ParseStream(b.data(), b.size(), &out, &error)) << error;
    b.clear();
    AddJobRecord(&b, Replace(text, "Border=", "Border=z"));
    EXPECT_EQ(0u, ParseError(b).find("byte 16, job record:"));
}

TEST(InspectSides, RecordsAlternateFrontAndBack) {
    const uint32_t sheet[] = {1, 1, 2, 2, 3};
    for (uint32_t seq = 1; seq <= 5; ++seq) {
        EXPECT_EQ(sheet[seq - 1], SheetOfPage(seq)) << seq;
        EXPECT_EQ(seq % 2 == 1, IsFrontSide(seq)) << seq;
    }
    EXPECT_EQ(2147483648u, SheetOfPage(0xffffffffu));
}

// ---------------------------------------------------------------- decoding

void ExpectSamePixels(const PageImage& want, const PageImage& got) {
    ASSERT_EQ(want.width, got.width);
    ASSERT_EQ(want.height, got.height);
    ASSERT_EQ(want.bits.size(), got.bits.size());
    const size_t row = (want.width + 7) / 8;
    const uint8_t mask = want.width % 8 ? uint8_t(0xff << (8 - want.width % 8)) : 0xff;
    for (size_t y = 0; y < want.height; ++y)
        for (size_t i = 0; i < row; ++i) {
            const uint8_t m = i + 1 == row ? mask : 0xff;
            ASSERT_EQ(want.bits[y * row + i] & m, got.bits[y * row + i] & m)
                << "row " << y << " byte " << i;
        }
}

TEST(InspectDecode, PbmtojbgOutputDecodesToTheOriginalPixels) {
    const uint32_t sizes[][2] = {{1, 1}, {8, 8}, {13, 9}, {37, 150}, {200, 300}, {1000, 129}};
    for (const auto& sz : sizes) {
        const PageImage page = MakePage(sz[0], sz[1], sz[0] + sz[1]);
        const Bytes jbg = EncodeWithPbmtojbg(page, "dec");
        PageImage got;
        std::string error;
        ASSERT_TRUE(DecodeJbig(jbg.data(), jbg.size(), kInspectMaxPixels, &got, &error))
            << sz[0] << "x" << sz[1] << ": " << error;
        ExpectSamePixels(page, got);
    }
}

TEST(InspectDecode, BrokenOrHostileDataIsRefused) {
    const Bytes good = GetSample().j1;  // 37 x 150
    struct Case {
        const char* what;
        Bytes data;
        uint64_t max_pixels;
        const char* expect;  // part of the message
    };
    auto with = [&](size_t at, std::initializer_list<uint8_t> v) {
        Bytes b = good;
        for (uint8_t x : v) {
            if (at < b.size()) b[at] = x;
            ++at;
        }
        return b;
    };
    Bytes cut = good;
    cut.resize(good.size() - 2);
    Bytes extra = good;
    extra.push_back(0);
    const Case cases[] = {
        {"empty", Bytes(), kInspectMaxPixels, "shorter than its 20-byte header"},
        {"header only partly there", Bytes(good.begin(), good.begin() + 19), kInspectMaxPixels,
         "shorter than its 20-byte header"},
        {"cut short", cut, kInspectMaxPixels, "before the image is complete"},
        {"header alone", Bytes(good.begin(), good.begin() + 20), kInspectMaxPixels,
         "before the image is complete"},
        {"byte after the image", extra, kInspectMaxPixels, "1 bytes follow the end"},
        {"huge size", with(4, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}),
         kInspectMaxPixels, "larger than"},
        {"just above 2^33 pixels", with(4, {0, 2, 0, 0, 0, 1, 0, 1}), kInspectMaxPixels,
         "larger than"},
        {"over a caller's limit", good, 37 * 150 - 1, "larger than"},
        {"zero width", with(4, {0, 0, 0, 0}), kInspectMaxPixels, "empty"},
        {"two planes", with(2, {2}), kInspectMaxPixels, "bit planes"},
        {"resolution layers", with(1, {1}), kInspectMaxPixels, "resolution layers"},
        {"zero lines per stripe", with(12, {0, 0, 0, 0}), kInspectMaxPixels, "invalid"},
    };
    for (const Case& c : cases) {
        PageImage got;
        std::string error;
        EXPECT_FALSE(DecodeJbig(c.data.data(), c.data.size(), c.max_pixels, &got, &error))
            << c.what;
        EXPECT_NE(std::string::npos, error.find(c.expect)) << c.what << ": " << error;
        EXPECT_TRUE(got.bits.empty()) << c.what;
    }
    // Exactly at the caller's limit is accepted.
    PageImage got;
    std::string error;
    EXPECT_TRUE(DecodeJbig(good.data(), good.size(), 37 * 150, &got, &error)) << error;
}

// ---------------------------------------------------------------- image files

// Reads a PNG back with libpng: its size, format and unpacked gray samples.
struct PngRead {
    png_uint_32 width = 0, height = 0;
    int bit_depth = 0, color_type = 0;
    std::vector<uint8_t> gray;  // one 0/255 sample per pixel after expansion
};

bool ReadPngRows(png_structp png, png_infop info, FILE* f, PngRead* r, std::vector<uint8_t>* rows) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_init_io(png, f);
    png_read_info(png, info);
    int interlace = 0;
    png_get_IHDR(png, info, &r->width, &r->height, &r->bit_depth, &r->color_type, &interlace,
                 nullptr, nullptr);
    png_set_expand_gray_1_2_4_to_8(png);
    png_read_update_info(png, info);
    rows->resize(size_t(r->width) * r->height);
    for (png_uint_32 y = 0; y < r->height; ++y) png_read_row(png, rows->data() + y * r->width, nullptr);
    png_read_end(png, nullptr);
    return true;
}

bool ReadPng(const char* path, PngRead* r) {
    FILE* f = fopen(path, "rb");
    if (!f) return false;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    const bool ok = ReadPngRows(png, info, f, r, &r->gray);
    png_destroy_read_struct(&png, &info, nullptr);
    fclose(f);
    return ok;
}

TEST(InspectImages, PngHoldsTheSamePixelsBlackAsBlack) {
    MakeDir();
    for (uint32_t w : {1u, 8u, 37u}) {
        const PageImage page = MakePage(w, 11, w);
        const std::string path = std::string(kDir) + "/p.png";
        std::string error;
        ASSERT_TRUE(WritePagePng(path.c_str(), page, &error)) << error;
        PngRead r;
        ASSERT_TRUE(ReadPng(path.c_str(), &r));
        EXPECT_EQ(1, r.bit_depth);
        EXPECT_EQ(PNG_COLOR_TYPE_GRAY, r.color_type);
        ASSERT_EQ(w, r.width);
        ASSERT_EQ(11u, r.height);
        const size_t row = (w + 7) / 8;
        for (uint32_t y = 0; y < 11; ++y)
            for (uint32_t x = 0; x < w; ++x) {
                const bool black = page.bits[y * row + x / 8] >> (7 - x % 8) & 1;
                ASSERT_EQ(black ? 0 : 255, r.gray[y * w + x]) << x << "," << y;
            }
    }
}

TEST(InspectImages, PbmIsHeaderAndPackedRows) {
    MakeDir();
    const PageImage page = MakePage(13, 4, 9);
    const std::string path = std::string(kDir) + "/p.pbm";
    std::string error;
    ASSERT_TRUE(WritePagePbm(path.c_str(), page, &error)) << error;
    Bytes want = {'P', '4', '\n', '1', '3', ' ', '4', '\n'};
    want.insert(want.end(), page.bits.begin(), page.bits.end());
    EXPECT_EQ(want, ReadFile(path));
}

TEST(InspectImages, WriteFailuresAreReported) {
    const PageImage page = MakePage(8, 8, 3);
    std::string error;
    EXPECT_FALSE(WritePagePng("/tmp/inspect_test/no/such/dir/p.png", page, &error));
    EXPECT_NE(std::string::npos, error.find("No such file")) << error;
    error.clear();
    EXPECT_FALSE(WritePagePbm("/tmp/inspect_test/no/such/dir/p.pbm", page, &error));
    EXPECT_NE(std::string::npos, error.find("No such file")) << error;
    error.clear();
    // A full device: the failure shows up on write or close.
    EXPECT_FALSE(WritePagePng("/dev/full", MakePage(300, 300, 4), &error));
    EXPECT_NE(std::string::npos, error.find("/dev/full")) << error;
    error.clear();
    EXPECT_FALSE(WritePagePbm("/dev/full", page, &error));
    EXPECT_NE(std::string::npos, error.find("No space")) << error;
}

// ---------------------------------------------------------------- command line

struct RunResult {
    int status = -1;
    std::string out, err;
};

// Runs fzinspect with `args`; its standard output goes to `out` (read back
// into the result unless it is a device).
RunResult RunInspector(const std::string& args,
                       const std::string& out = std::string(kDir) + "/cli.out") {
    MakeDir();
    const std::string err = std::string(kDir) + "/cli.err";
    const std::string cmd = std::string(kInspector) + " " + args + " >" + out + " 2>" + err;
    const int st = std::system(cmd.c_str());
    RunResult r;
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    const Bytes o = out.rfind("/dev/", 0) == 0 ? Bytes() : ReadFile(out), e = ReadFile(err);
    r.out.assign(o.begin(), o.end());
    r.err.assign(e.begin(), e.end());
    return r;
}

std::string SaveStream(const Bytes& b, const char* name) {
    MakeDir();
    const std::string path = std::string(kDir) + "/" + name;
    WriteFile(path, b);
    return path;
}

TEST(InspectCli, WellFormedStreamShowsParametersPagesAndSides) {
    const Sample& s = GetSample();
    const std::string path = SaveStream(s.stream, "good.prn");
    const RunResult r = RunInspector(path);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.err);
    EXPECT_NE(std::string::npos, r.out.find("DocName=Report, final, copies=9\n"));
    EXPECT_NE(std::string::npos, r.out.find("AuthPassword=****\n"));
    EXPECT_EQ(std::string::npos, r.out.find("hunter2"));
    // pageseq firstpage lastpage datasize size sheet side
    const std::string l1 = " 1 1 0 " + std::to_string(s.j1.size()) + " 37x150 1 front";
    const std::string l2 = " 2 0 0 " + std::to_string(s.j2.size()) + " 8x3 1 back";
    const std::string l3 = " 3 0 1 " + std::to_string(s.j1.size()) + " 37x150 2 front";
    std::string squeezed;  // columns with single blanks
    for (char c : r.out)
        if (c != ' ' || squeezed.empty() || squeezed.back() != ' ') squeezed += c;
    EXPECT_NE(std::string::npos, squeezed.find(l1 + "\n")) << r.out;
    EXPECT_NE(std::string::npos, squeezed.find(l2 + "\n")) << r.out;
    EXPECT_NE(std::string::npos, squeezed.find(l3 + "\n")) << r.out;
}

TEST(InspectCli, OneSidedJobShowsNoSides) {
    Bytes b;
    AddJobRecord(&b, kDefaultText);
    AddPageRecord(&b, 1, 1, 1, GetSample().j2);
    const RunResult r = RunInspector("- <" + SaveStream(b, "one.prn"));
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("AuthPassword=\n"));
    EXPECT_EQ(std::string::npos, r.out.find("front"));
    EXPECT_NE(std::string::npos, r.out.find("8x3\n"));
}

TEST(InspectCli, WritesEveryPageAsPbmAndPng) {
    const Sample& s = GetSample();
    const std::string path = SaveStream(s.stream, "good.prn");
    const std::string pbm = std::string(kDir) + "/pbm", png = std::string(kDir) + "/png";
    const RunResult r = RunInspector("--quiet --pbm " + pbm + " --png " + png + " " + path);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.out);
    const PageImage* pages[] = {&s.p1, &s.p2, &s.p1};
    for (int i = 0; i < 3; ++i) {
        char name[32];
        snprintf(name, sizeof name, "/page-%03d", i + 1);
        const PageImage& p = *pages[i];
        std::string header = "P4\n" + std::to_string(p.width) + " " + std::to_string(p.height) + "\n";
        Bytes want(header.begin(), header.end());
        want.insert(want.end(), p.bits.begin(), p.bits.end());
        EXPECT_EQ(want, ReadFile(pbm + name + ".pbm")) << name;
        PngRead pr;
        ASSERT_TRUE(ReadPng((png + name + ".png").c_str(), &pr)) << name;
        EXPECT_EQ(p.width, pr.width);
        EXPECT_EQ(p.height, pr.height);
    }
}

TEST(InspectCli, ExitStatusesAndMessages) {
    const Sample& s = GetSample();
    Bytes gap = s.stream;
    SetLe32(&gap, s.rec[1] + 28, 5);
    const std::string gapPath = SaveStream(gap, "gap.prn");
    Bytes badJbig = s.stream;
    badJbig[s.rec[1] + 32 + 2] = 3;  // three bit planes in page 2's header
    const std::string badJbigPath = SaveStream(badJbig, "badjbig.prn");
    const std::string good = SaveStream(s.stream, "good.prn");

    RunResult r = RunInspector(gapPath);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("fzinspect: " + gapPath + ", byte " + std::to_string(s.rec[1] + 28) +
                  ", page record 2: pageseq is 5, expected 2\n",
              r.err);

    r = RunInspector(badJbigPath);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(0u, r.err.find("fzinspect: " + badJbigPath + ", byte " +
                             std::to_string(s.rec[1] + 32) + ", page record 2: "))
        << r.err;

    r = RunInspector("<" + gapPath);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(0u, r.err.find("fzinspect: standard input, byte ")) << r.err;

    r = RunInspector("/tmp/inspect_test/missing.prn");
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("fzinspect: /tmp/inspect_test/missing.prn: No such file or directory\n", r.err);

    EXPECT_EQ(2, RunInspector("--bogus " + good).status);
    EXPECT_EQ(2, RunInspector(good + " " + good).status);
    EXPECT_EQ(2, RunInspector(good + " --png").status);
    EXPECT_EQ(2, RunInspector("--png /dev/null/x " + good).status);
    r = RunInspector(good, "/dev/full");
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("fzinspect: standard output: No space left on device\n", r.err);
    EXPECT_EQ(0, RunInspector("--quiet " + good, "/dev/full").status);
    EXPECT_EQ(0, RunInspector("</dev/null").status);
}

}  // namespace
