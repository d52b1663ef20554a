// The byte layout of the job record and the page records.
#include <cstring>

#include "stream/stream.h"

namespace {

const char kPageRecordName[] = "tamrel_printer";
const char kJobRecordTag[] = "tamrel_param";

void PutLE32(unsigned char* p, uint32_t v)
{
    p[0] = (unsigned char)(v & 0xFF);
    p[1] = (unsigned char)((v >> 8) & 0xFF);
    p[2] = (unsigned char)((v >> 16) & 0xFF);
    p[3] = (unsigned char)((v >> 24) & 0xFF);
}

}  // namespace

printer_header::printer_header() : firstpage(0), lastpage(0), datasize(0), pageseq(1)
{
    memset(name, 0, sizeof name);
    memcpy(name, kPageRecordName, sizeof kPageRecordName - 1);
}

std::array<unsigned char, kJobRecordHeaderSize> JobRecordHeader(uint32_t textSize)
{
    std::array<unsigned char, kJobRecordHeaderSize> head{};
    memcpy(head.data(), kJobRecordTag, sizeof kJobRecordTag - 1);
    PutLE32(head.data() + 16, textSize);
    return head;
}

std::array<unsigned char, kPageHeaderSize> PageRecordHeader(const printer_header& h, uint32_t lastpage)
{
    std::array<unsigned char, kPageHeaderSize> head;
    memcpy(head.data(), h.name, sizeof h.name);
    PutLE32(head.data() + 16, h.firstpage);
    PutLE32(head.data() + 20, lastpage);
    PutLE32(head.data() + 24, h.datasize);
    PutLE32(head.data() + 28, h.pageseq);
    return head;
}
