// The sequencer: turns page images into page records for uncollated copies,
// collated jobs and two-sided pairs, and decides which record ends the job.
#include <cstdarg>
#include <cstring>
#include <new>

#include "stream/stream.h"

namespace {

bool IsOdd(int n) { return n % 2 != 0; }

std::unique_ptr<unsigned char[]> Allocate(size_t size)
{
    // Not value-initialised: a buffer's bytes are written before they are read.
    return std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[size]);
}

}  // namespace

Sequencer::Sequencer(RecordSink sink, FILE* log) : sink_(std::move(sink)), log_(log ? log : stderr)
{
    buff1_.data = Allocate(kPageBufferSize);
    buff2_.data = Allocate(kPageBufferSize);
    buff1_.capacity = buff2_.capacity = kPageBufferSize;
}

void Sequencer::SetMode(int collateOn, int duplexMode, int jobCopies)
{
    collate = collateOn;
    duplex = duplexMode;
    copies = jobCopies;
}

void Sequencer::Log(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vfprintf(log_, fmt, ap);
    va_end(ap);
}

void Sequencer::WriteJobRecord(const char* text, const char* logText)
{
    if (text == nullptr)
        text = "";
    if (logText == nullptr)
        logText = text;
    const size_t len = strlen(text);
    const auto head = JobRecordHeader((uint32_t)len);
    if (!sink_.write(head.data(), head.size()) || (len > 0 && !sink_.write((const unsigned char*)text, len)))
        writeFailed_ = true;
    Log("DEBUG: job_params=%s \n", logText);
    Log("DEBUG: job_params_size=%d \n", (int)len);
}

// The one place page records are written: numbers the record and sends its
// header, with `lastpage` as given, and its data. A record of raster page
// `page` (0: the blank back side, which is not counted) that was written
// whole is reported as printed `times` times.
void Sequencer::WriteRecord(printer_header& h, uint32_t lastpage, const unsigned char* data, int page, int times)
{
    h.pageseq = (uint32_t)++written_records;
    const auto head = PageRecordHeader(h, lastpage);
    bool whole = sink_.write(head.data(), head.size());
    if (h.datasize > 0 && data != nullptr && !sink_.write(data, h.datasize))
        whole = false;
    if (!whole)
        writeFailed_ = true;
    else if (page > 0 && sink_.pageSent)
        sink_.pageSent(page, times);
}

// Copies a page into a held buffer, growing the buffer for a page larger
// than it. False when growing fails; the buffer then keeps what it held.
bool Sequencer::Hold(HeldPage& b, const printer_header& h, int page, const unsigned char* data, size_t size)
{
    if (size > UINT32_MAX)
        return false;
    if (size > b.capacity) {
        auto grown = Allocate(size);
        if (!grown)
            return false;
        b.data = std::move(grown);
        b.capacity = size;
    }
    if (size > 0)
        memcpy(b.data.get(), data, size);
    b.hdr = h;
    b.page = page;
    return true;
}

bool Sequencer::AddPage(const unsigned char* data, size_t size, bool last)
{
    m_page++;
    copies_left = copies;
    if (last)
        no_more_pages = 1;

    printer_header h;
    if (raster_page == 1)
        h.firstpage = 1;
    if (sink_.cancelled()) {
        no_more_pages = 1;
        Log("DEBUG: cancel job, page %d handleImg done,pring m_page=%d is last page,\n", raster_page, m_page);
    }
    h.lastpage = (uint32_t)no_more_pages;
    // A front side without a back: the blank back side carries the end of the job.
    if (duplex != 0 && (no_more_pages || sink_.cancelled()) && IsOdd(m_page)) {
        h.lastpage = 0;
        extra_page = 1;
    }
    h.datasize = (uint32_t)size;

    bool held = true;
    if (PairsPages()) {
        Log("DEBUG: m_page %d buff load collate %d duplex %d lastpage is %d\n", m_page, collate, duplex,
            (int)h.lastpage);
        held = Hold(IsOdd(m_page) ? buff1_ : buff2_, h, raster_page, data, size);
        if (held)
            Log(IsOdd(m_page) ? "DEBUG: m_page %d buff1 load \n" : "DEBUG: m_page %d buff2 load \n", m_page);
    } else if (collate == 0) {
        WriteOneSided(h, data);
    } else {
        WriteCollated(h, data);
    }
    Log("DEBUG: print m_page %d write jbg done\n", m_page);
    if (!held)
        return false;
    raster_page++;
    if (!extra_page)
        WritePair();
    return true;
}

void Sequencer::WriteOneSided(printer_header& h, const unsigned char* data)
{
    Log("DEBUG: m_page %d buff load collate %d duplex %d \n", m_page, collate, duplex);
    do {
        Log("DEBUG: print m_page %d collate %d duplex %d copies %d\n", m_page, collate, duplex, copies_left);
        if (copies_left >= 2 && no_more_pages == 1) {
            Log("DEBUG: force lastpage to 0\n");
            h.lastpage = 0;
        }
        if (copies_left == 1 && no_more_pages == 1) {
            Log("DEBUG: force lastpage to 1\n");
            h.lastpage = 1;
        }
        Log("DEBUG: current lastpage is %d pageno is %d\n", (int)h.lastpage, m_page);
        WriteRecord(h, h.lastpage, data, raster_page, 1);
        Log("DEBUG: write page %d header done\n", (int)h.pageseq);
        Log("DEBUG: write page data done\n");
        copies_left--;
    } while (copies_left > 0);
}

void Sequencer::WriteCollated(printer_header& h, const unsigned char* data)
{
    Log("DEBUG: print m_page %d collate %d duplex %d copies %d\n", m_page, collate, duplex, copies_left);
    Log("DEBUG: current lastpage is %d pageno is %d\n", (int)h.lastpage, m_page);
    // Written once; the printer makes the copies (a copy count below 1 prints once).
    WriteRecord(h, h.lastpage, data, raster_page, copies > 1 ? copies : 1);
    Log("DEBUG: write page %d header done\n", (int)h.pageseq);
    Log("DEBUG: write page data done\n");
    copies_left--;
}

bool Sequencer::AddBlankBack(const unsigned char* data, size_t size)
{
    m_page++;
    extra_page = 0;
    printer_header h;
    h.firstpage = 0;
    h.lastpage = 1;
    Log("DEBUG: extra page %d lastpage to 1\n", m_page);
    h.datasize = (uint32_t)size;

    bool held = true;
    if (PairsPages()) {
        held = Hold(buff2_, h, 0, data, size);
        if (held)
            Log("DEBUG: extra_page m_page %d buff2 load lastpage is %d\n", m_page, (int)buff2_.hdr.lastpage);
    } else if (collate != 0) {
        Log("DEBUG: current lastpage is %d pageno %d\n", (int)h.lastpage, m_page);
        uint32_t lastpage = h.lastpage;
        if (copies >= 2) {
            // The printer repeats a collated job itself; only its final copy ends the job.
            Log("DEBUG: force extra lastpage %d to 0 as the first print when copies is %d\n", 1, copies);
            lastpage = 0;
        }
        WriteRecord(h, lastpage, data, 0, 0);
        Log("DEBUG: write page %d header done\n", (int)h.pageseq);
    }
    Log("DEBUG: print extra m_page %d write jbg done\n", m_page);
    if (!held)
        return false;
    WritePair();
    return true;
}

// Writes the held pair, copies_left times (at least once), once its back
// side has arrived; in the other modes nothing is held.
void Sequencer::WritePair()
{
    if (!PairsPages())
        return;
    if (IsOdd(m_page)) {
        Log("DEBUG: not handle in even page %d, pass\n", m_page);
        return;
    }
    HeldPage& front = buff1_;
    HeldPage& back = buff2_;
    do {
        Log("DEBUG: -----------------------------print m_page %d collate %d duplex %d copies %d\n", m_page, collate,
            duplex, copies_left);
        WriteRecord(front.hdr, front.hdr.lastpage, front.data.get(), front.page, 1);
        Log("DEBUG: write page1 %d header done, m_page %d lastpage is %d\n", (int)front.hdr.pageseq, m_page - 1,
            (int)front.hdr.lastpage);
        Log("DEBUG: write page1 data done\n");

        Log("DEBUG: page2 lastpage is %d,copies %d,pageno is %d\n", (int)back.hdr.lastpage, copies_left, m_page);
        // Each copy of the pair is judged afresh from the held back side's own value.
        uint32_t lastpage = back.hdr.lastpage;
        if (copies_left >= 2 && back.hdr.lastpage == 1) {
            Log("DEBUG: force lastpage to 0\n");
            lastpage = 0;
        }
        if (copies_left == 1 && back.hdr.lastpage == 1) {
            Log("DEBUG: force lastpage to 1\n");
            lastpage = 1;
        }
        Log("DEBUG: current lastpage is %d,pageno is %d\n", (int)lastpage, m_page);
        WriteRecord(back.hdr, lastpage, back.data.get(), back.page, 1);
        Log("DEBUG: write page2 %d header done, m_page %d lastpage is %d\n", (int)back.hdr.pageseq, m_page,
            (int)lastpage);
        Log("DEBUG: write page2 data done\n");

        copies_left--;
        Log("DEBUG: #####################write 2pages duplex done\n");
    } while (copies_left > 0);
}
