// Byte layout of the job record and of page records.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "stream/stream.h"

namespace {

// Runs `write` on an in-memory FILE and returns what it wrote.
template <typename Fn> std::string Written(Fn write)
{
    char* buf = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&buf, &len);
    write(f);
    fclose(f);
    std::string s(buf, len);
    free(buf);
    return s;
}

std::string Bytes(std::initializer_list<int> v)
{
    std::string s;
    for (int b : v)
        s.push_back((char)b);
    return s;
}

const std::string kPageName("tamrel_printer\0\0", 16);

static_assert(sizeof(printer_header) == 32, "printer_header is the 32 header bytes of a page record");

TEST(JobRecord, TagLittleEndianLengthTextAndLogLines)
{
    struct Case {
        std::string text, logText, lengthBytes, log;
    } cases[] = {
        {"jobId=42, copies=3, ", "jobId=42, copies=3, ", Bytes({20, 0, 0, 0}),
         "DEBUG: job_params=jobId=42, copies=3,  \nDEBUG: job_params_size=20 \n"},
        {"", "", Bytes({0, 0, 0, 0}), "DEBUG: job_params= \nDEBUG: job_params_size=0 \n"},
        // Three significant length bytes.
        {std::string(0x10203, 'a'), "x", Bytes({0x03, 0x02, 0x01, 0x00}),
         "DEBUG: job_params=x \nDEBUG: job_params_size=66051 \n"},
        // The log shows the masked text while the printer receives the real one.
        {"AuthPassword=secret, ", "AuthPassword=****, ", Bytes({21, 0, 0, 0}),
         "DEBUG: job_params=AuthPassword=****,  \nDEBUG: job_params_size=21 \n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 30));
        testing::internal::CaptureStderr();
        std::string s = Written([&](FILE* f) { WriteJobRecord(f, c.text.c_str(), c.logText.c_str()); });
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.log);
        ASSERT_EQ(s.size(), 20 + c.text.size());
        EXPECT_EQ(s.substr(0, 16), std::string("tamrel_param\0\0\0\0", 16));
        EXPECT_EQ(s.substr(16, 4), c.lengthBytes);
        EXPECT_EQ(s.substr(20), c.text);
    }
}

TEST(PageRecord, FieldsLittleEndianGivenLastpageAndData)
{
    // The example first page record: 4,660 bytes of data.
    std::string data(4660, '\0');
    for (size_t i = 0; i < data.size(); i++)
        data[i] = (char)(i * 131 + (i >> 8));
    printer_header h;
    h.firstpage = 1;
    h.datasize = 4660;
    std::string s = Written([&](FILE* f) { WritePageRecord(f, h, 0, (const unsigned char*)data.data()); });
    ASSERT_EQ(s.size(), 32 + data.size());
    EXPECT_EQ(s.substr(0, 16), kPageName);
    EXPECT_EQ(s.substr(16, 16), Bytes({1, 0, 0, 0, 0, 0, 0, 0, 0x34, 0x12, 0, 0, 1, 0, 0, 0}));
    EXPECT_EQ(s.substr(32), data);

    // Every byte of every field in place; the header's own lastpage is not written.
    printer_header g;
    g.firstpage = 0x04030201;
    g.lastpage = 0x0D0C0B0A;
    g.datasize = 0;
    g.pageseq = 0x81828384;
    unsigned char unused = 0xAA;
    s = Written([&](FILE* f) { WritePageRecord(f, g, 0x14131211, &unused); });
    EXPECT_EQ(s.substr(16), Bytes({1, 2, 3, 4, 0x11, 0x12, 0x13, 0x14, 0, 0, 0, 0, 0x84, 0x83, 0x82, 0x81}));
    EXPECT_EQ(g.lastpage, 0x0D0C0B0Au);
}

TEST(PageRecord, RecordsFollowEachOtherAndHalvesMakeTheWhole)
{
    printer_header a, b;
    a.datasize = 3;
    b.datasize = 5;
    b.pageseq = 2;
    const unsigned char da[] = "abc", db[] = "defgh";
    std::string whole = Written([&](FILE* f) {
        WritePageRecord(f, a, 0, da);
        WritePageRecord(f, b, 1, db);
    });
    std::string halves = Written([&](FILE* f) {
        WritePageHeader(f, a, 0);
        WritePageData(f, a, da);
        WritePageHeader(f, b, 1);
        WritePageData(f, b, db);
    });
    ASSERT_EQ(whole.size(), 32u + 3 + 32 + 5);
    // A default header: the name, firstpage 0, pageseq 1.
    EXPECT_EQ(whole.substr(0, 32), kPageName + Bytes({0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 1, 0, 0, 0}));
    EXPECT_EQ(whole.substr(32, 3), "abc");
    EXPECT_EQ(whole.substr(35, 16), kPageName);
    EXPECT_EQ(whole.substr(35 + 32), "defgh");
    EXPECT_EQ(halves, whole);
}

} // namespace
