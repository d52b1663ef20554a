// Job record and page records of the printer stream. Every 32-bit field is
// written byte by byte in little-endian order, whatever the host's order.
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

} // namespace

printer_header::printer_header()
    : firstpage(0), lastpage(0), datasize(0), pageseq(1)
{
    memset(name, 0, sizeof name);
    memcpy(name, kPageRecordName, sizeof kPageRecordName - 1);
}

void WriteJobRecord(FILE* out, const char* text, const char* logText)
{
    if (text == nullptr)
        text = "";
    if (logText == nullptr)
        logText = text;
    size_t len = strlen(text);
    uint32_t size = (uint32_t)len;

    unsigned char head[kJobRecordHeaderSize];
    memset(head, 0, sizeof head);
    memcpy(head, kJobRecordTag, sizeof kJobRecordTag - 1);
    PutLE32(head + 16, size);
    fwrite(head, 1, sizeof head, out);
    if (len > 0)
        fwrite(text, 1, len, out);

    fprintf(stderr, "DEBUG: job_params=%s \n", logText);
    fprintf(stderr, "DEBUG: job_params_size=%d \n", (int)size);
}

void WritePageHeader(FILE* out, const printer_header& h, uint32_t lastpage)
{
    unsigned char head[kPageHeaderSize];
    memcpy(head, h.name, sizeof h.name);
    PutLE32(head + 16, h.firstpage);
    PutLE32(head + 20, lastpage);
    PutLE32(head + 24, h.datasize);
    PutLE32(head + 28, h.pageseq);
    fwrite(head, 1, sizeof head, out);
}

void WritePageData(FILE* out, const printer_header& h, const unsigned char* data)
{
    if (h.datasize > 0 && data != nullptr)
        fwrite(data, 1, h.datasize, out);
}

void WritePageRecord(FILE* out, const printer_header& h, uint32_t lastpage, const unsigned char* data)
{
    WritePageHeader(out, h, lastpage);
    WritePageData(out, h, data);
}
