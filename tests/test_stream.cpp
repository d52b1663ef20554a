// Byte layout of the job record and of page records.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "stream/stream.h"

namespace {

// An in-memory FILE whose bytes are available after Close().
struct MemOut {
    char* buf = nullptr;
    size_t len = 0;
    FILE* f = nullptr;
    MemOut() { f = open_memstream(&buf, &len); }
    ~MemOut()
    {
        if (f)
            fclose(f);
        free(buf);
    }
    std::string Close()
    {
        if (f) {
            fclose(f);
            f = nullptr;
        }
        return std::string(buf, len);
    }
};

uint32_t LE32(const std::string& s, size_t off)
{
    return (uint32_t)(unsigned char)s[off] | (uint32_t)(unsigned char)s[off + 1] << 8 |
           (uint32_t)(unsigned char)s[off + 2] << 16 | (uint32_t)(unsigned char)s[off + 3] << 24;
}

std::string Bytes(std::initializer_list<int> v)
{
    std::string s;
    for (int b : v)
        s.push_back((char)b);
    return s;
}

std::vector<unsigned char> Pattern(size_t n, int seed)
{
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = (unsigned char)((i * 131 + (size_t)seed * 17 + (i >> 8)) & 0xFF);
    return v;
}

TEST(PrinterHeader, DefaultsAndSize)
{
    printer_header h;
    EXPECT_EQ(sizeof(printer_header), 32u);
    EXPECT_EQ(std::string(h.name, 16), std::string("tamrel_printer\0\0", 16));
    EXPECT_EQ(h.firstpage, 0u);
    EXPECT_EQ(h.lastpage, 0u);
    EXPECT_EQ(h.pageseq, 1u);
}

TEST(JobRecord, LayoutIsTagLengthText)
{
    const std::string text = "jobId=42, LoginName=alice, copies=3, ";
    MemOut out;
    testing::internal::CaptureStderr();
    WriteJobRecord(out.f, text.c_str(), text.c_str());
    std::string err = testing::internal::GetCapturedStderr();
    std::string s = out.Close();

    ASSERT_EQ(s.size(), 20 + text.size());
    EXPECT_EQ(s.substr(0, 16), std::string("tamrel_param\0\0\0\0", 16));
    EXPECT_EQ(LE32(s, 16), text.size());
    EXPECT_EQ(s.substr(20), text);
    EXPECT_EQ(err, "DEBUG: job_params=" + text + " \nDEBUG: job_params_size=" + std::to_string(text.size()) + " \n");
}

TEST(JobRecord, LengthIsLittleEndianOverSeveralBytes)
{
    std::string text(0x10203, 'a');  // three significant length bytes
    MemOut out;
    testing::internal::CaptureStderr();
    WriteJobRecord(out.f, text.c_str(), "x");
    testing::internal::GetCapturedStderr();
    std::string s = out.Close();
    ASSERT_EQ(s.size(), 20 + text.size());
    EXPECT_EQ(s.substr(16, 4), Bytes({0x03, 0x02, 0x01, 0x00}));
}

TEST(JobRecord, EmptyTextGivesTwentyBytes)
{
    MemOut out;
    testing::internal::CaptureStderr();
    WriteJobRecord(out.f, "", "");
    std::string err = testing::internal::GetCapturedStderr();
    std::string s = out.Close();
    ASSERT_EQ(s.size(), 20u);
    EXPECT_EQ(s.substr(12, 4), std::string(4, '\0'));
    EXPECT_EQ(LE32(s, 16), 0u);
    EXPECT_EQ(err, "DEBUG: job_params= \nDEBUG: job_params_size=0 \n");
}

TEST(JobRecord, LogShowsLogTextWhileStreamCarriesText)
{
    const std::string text = "AuthPassword=secret, ";
    MemOut out;
    testing::internal::CaptureStderr();
    WriteJobRecord(out.f, text.c_str(), "AuthPassword=****, ");
    std::string err = testing::internal::GetCapturedStderr();
    std::string s = out.Close();
    EXPECT_EQ(s.substr(20), text);
    EXPECT_EQ(err.find("secret"), std::string::npos);
    EXPECT_NE(err.find("DEBUG: job_params=AuthPassword=****,  \n"), std::string::npos);
    EXPECT_NE(err.find("DEBUG: job_params_size=21 \n"), std::string::npos);
}

TEST(PageRecord, FieldsAreLittleEndianAndDataFollows)
{
    std::vector<unsigned char> data = Pattern(4660, 1);
    printer_header h;
    h.firstpage = 1;
    h.lastpage = 0;
    h.datasize = (uint32_t)data.size();
    h.pageseq = 1;
    MemOut out;
    WritePageRecord(out.f, h, h.lastpage, data.data());
    std::string s = out.Close();

    ASSERT_EQ(s.size(), 32 + data.size());
    EXPECT_EQ(s.substr(0, 16), std::string("tamrel_printer\0\0", 16));
    EXPECT_EQ(s.substr(16, 16), Bytes({0x01, 0, 0, 0, 0, 0, 0, 0, 0x34, 0x12, 0, 0, 0x01, 0, 0, 0}));
    EXPECT_EQ(s.substr(32), std::string(data.begin(), data.end()));
}

TEST(PageRecord, EveryFieldByteInOrder)
{
    printer_header h;
    h.firstpage = 0x04030201;
    h.lastpage = 0x0D0C0B0A;  // the stored value must not be written
    h.datasize = 0;
    h.pageseq = 0x81828384;
    MemOut out;
    WritePageRecord(out.f, h, 0x14131211, nullptr);
    std::string s = out.Close();
    ASSERT_EQ(s.size(), 32u);
    EXPECT_EQ(s.substr(16, 16), Bytes({0x01, 0x02, 0x03, 0x04, 0x11, 0x12, 0x13, 0x14, 0, 0, 0, 0, 0x84, 0x83,
                                       0x82, 0x81}));
    EXPECT_EQ(h.lastpage, 0x0D0C0B0Au);
}

TEST(PageRecord, EmptyDataGivesThirtyTwoBytes)
{
    printer_header h;
    h.datasize = 0;
    unsigned char unused = 0xAA;
    MemOut out;
    WritePageRecord(out.f, h, 1, &unused);
    std::string s = out.Close();
    ASSERT_EQ(s.size(), 32u);
    EXPECT_EQ(LE32(s, 20), 1u);
    EXPECT_EQ(LE32(s, 24), 0u);
    EXPECT_EQ(LE32(s, 28), 1u);
}

TEST(PageRecord, RecordsFollowEachOtherWithoutPadding)
{
    std::vector<unsigned char> a = Pattern(3, 2), b = Pattern(5, 3);
    printer_header ha, hb;
    ha.datasize = 3;
    hb.datasize = 5;
    hb.pageseq = 2;
    MemOut out;
    WritePageRecord(out.f, ha, 0, a.data());
    WritePageRecord(out.f, hb, 1, b.data());
    std::string s = out.Close();
    ASSERT_EQ(s.size(), 32u + 3 + 32 + 5);
    EXPECT_EQ(s.substr(32, 3), std::string(a.begin(), a.end()));
    EXPECT_EQ(s.substr(35, 16), std::string("tamrel_printer\0\0", 16));
    EXPECT_EQ(LE32(s, 35 + 28), 2u);
    EXPECT_EQ(s.substr(35 + 32), std::string(b.begin(), b.end()));
}

TEST(PageRecord, HeaderAndDataHalvesMakeTheWholeRecord)
{
    std::vector<unsigned char> data = Pattern(77, 4);
    printer_header h;
    h.firstpage = 1;
    h.datasize = 77;
    h.pageseq = 9;
    MemOut whole, halves;
    WritePageRecord(whole.f, h, 1, data.data());
    WritePageHeader(halves.f, h, 1);
    WritePageData(halves.f, h, data.data());
    EXPECT_EQ(whole.Close(), halves.Close());
}

} // namespace
