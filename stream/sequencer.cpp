// The sequencer: turns page images into page records for uncollated copies,
// collated jobs and two-sided pairs, and decides which record ends the job.
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "stream/stream.h"

namespace {

void Log(const Sequencer* s, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

void Log(const Sequencer* s, const char* fmt, ...)
{
    FILE* log = s->log ? s->log : stderr;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(log, fmt, ap);
    va_end(ap);
}

bool IsOdd(int n) { return n % 2 != 0; }

bool PairsPages(const Sequencer* s) { return s->collate == 0 && s->duplex != 0; }

// Copies a page into a held buffer, growing the buffer when the page is
// larger than it. Only `size` bytes are copied. False when growing fails;
// the buffer then keeps what it held.
bool HoldPage(HeldPage* b, const printer_header& h, const unsigned char* data, int64_t size)
{
    if (size < 0 || (uint64_t)size > UINT32_MAX)
        return false;
    if (size > b->capacity) {
        void* grown = realloc(b->data, (size_t)size);
        if (grown == nullptr)
            return false;
        b->data = (unsigned char*)grown;
        b->capacity = size;
    }
    if (size > 0)
        memcpy(b->data, data, (size_t)size);
    b->hdr = h;
    b->size = size;
    return true;
}

// One record written on its own (uncollated one-sided copies, collated pages).
void WriteSingle(Sequencer* s, printer_header* h, const unsigned char* data)
{
    s->written_records++;
    h->pageseq = (uint32_t)s->written_records;
    WritePageHeader(s->out, *h, h->lastpage);
    Log(s, "DEBUG: write page %d header done\n", (int)h->pageseq);
    WritePageData(s->out, *h, data);
    Log(s, "DEBUG: write page data done\n");
}

void PlaceOneSided(Sequencer* s, printer_header* h, const unsigned char* data)
{
    Log(s, "DEBUG: m_page %d buff load collate %d duplex %d \n", s->m_page, s->collate, s->duplex);
    do {
        Log(s, "DEBUG: print m_page %d collate %d duplex %d copies %d\n", s->m_page, s->collate, s->duplex,
            s->copies_left);
        if (s->copies_left >= 2 && s->no_more_pages == 1) {
            Log(s, "DEBUG: force lastpage to 0\n");
            h->lastpage = 0;
        }
        if (s->copies_left == 1 && s->no_more_pages == 1) {
            Log(s, "DEBUG: force lastpage to 1\n");
            h->lastpage = 1;
        }
        Log(s, "DEBUG: current lastpage is %d pageno is %d\n", (int)h->lastpage, s->m_page);
        WriteSingle(s, h, data);
        s->copies_left--;
    } while (s->copies_left > 0);
}

void PlaceCollated(Sequencer* s, printer_header* h, const unsigned char* data)
{
    Log(s, "DEBUG: print m_page %d collate %d duplex %d copies %d\n", s->m_page, s->collate, s->duplex,
        s->copies_left);
    Log(s, "DEBUG: current lastpage is %d pageno is %d\n", (int)h->lastpage, s->m_page);
    WriteSingle(s, h, data);
    s->copies_left--;
}

} // namespace

bool SeqInit(Sequencer* s, int collate, int duplex, int copies, FILE* out, FILE* log)
{
    s->collate = collate;
    s->duplex = duplex;
    s->copies = copies;
    s->raster_page = 1;
    s->m_page = 0;
    s->written_records = 0;
    s->copies_left = 0;
    s->no_more_pages = 0;
    s->extra_page = 0;
    s->out = out;
    s->log = log;
    s->buff1 = HeldPage();
    s->buff2 = HeldPage();
    s->buff1.data = (unsigned char*)malloc((size_t)kPageBufferSize);
    s->buff2.data = (unsigned char*)malloc((size_t)kPageBufferSize);
    if (s->buff1.data == nullptr || s->buff2.data == nullptr) {
        SeqFree(s);
        return false;
    }
    s->buff1.capacity = kPageBufferSize;
    s->buff2.capacity = kPageBufferSize;
    return true;
}

void SeqFree(Sequencer* s)
{
    free(s->buff1.data);
    free(s->buff2.data);
    s->buff1 = HeldPage();
    s->buff2 = HeldPage();
}

printer_header SeqBeginPage(Sequencer* s, const volatile sig_atomic_t* cancel, int64_t size)
{
    printer_header h;
    if (s->raster_page == 1)
        h.firstpage = 1;

    if (*cancel) {
        s->no_more_pages = 1;
        Log(s, "DEBUG: cancel job, page %d handleImg done,pring m_page=%d is last page,\n", s->raster_page,
            s->m_page);
    }

    h.lastpage = (uint32_t)s->no_more_pages;
    // A front side without a back: the blank back side carries the end of the job.
    if (s->duplex != 0 && (s->no_more_pages || *cancel) && IsOdd(s->m_page)) {
        h.lastpage = 0;
        s->extra_page = 1;
    }

    h.datasize = size > 0 ? (uint32_t)size : 0;
    return h;
}

bool SeqPlacePage(Sequencer* s, printer_header* h, const unsigned char* data, int64_t size)
{
    if (PairsPages(s)) {
        Log(s, "DEBUG: m_page %d buff load collate %d duplex %d lastpage is %d\n", s->m_page, s->collate,
            s->duplex, (int)h->lastpage);
        if (IsOdd(s->m_page)) {
            if (!HoldPage(&s->buff1, *h, data, size))
                return false;
            Log(s, "DEBUG: m_page %d buff1 load \n", s->m_page);
        } else {
            if (!HoldPage(&s->buff2, *h, data, size))
                return false;
            Log(s, "DEBUG: m_page %d buff2 load \n", s->m_page);
        }
        return true;
    }
    if (s->collate == 0)
        PlaceOneSided(s, h, data);
    else
        PlaceCollated(s, h, data);
    return true;
}

void SeqPageDone(Sequencer* s)
{
    Log(s, "DEBUG: print m_page %d write jbg done\n", s->m_page);
}

bool SeqExtraPage(Sequencer* s, const unsigned char* data, int64_t size)
{
    printer_header h;
    h.firstpage = 0;
    h.lastpage = 1;
    Log(s, "DEBUG: extra page %d lastpage to 1\n", s->m_page);
    h.datasize = size > 0 ? (uint32_t)size : 0;

    if (PairsPages(s)) {
        if (!HoldPage(&s->buff2, h, data, size))
            return false;
        Log(s, "DEBUG: extra_page m_page %d buff2 load lastpage is %d\n", s->m_page, (int)s->buff2.hdr.lastpage);
        return true;
    }
    if (s->collate == 0)
        return true;  // one-sided jobs have no back sides

    Log(s, "DEBUG: current lastpage is %d pageno %d\n", (int)h.lastpage, s->m_page);
    uint32_t lastpage = h.lastpage;
    if (s->copies >= 2) {
        // The printer repeats a collated job itself; only its final copy ends the job.
        Log(s, "DEBUG: force extra lastpage %d to 0 as the first print when copies is %d\n", 1, s->copies);
        lastpage = 0;
    }
    s->written_records++;
    h.pageseq = (uint32_t)s->written_records;
    WritePageHeader(s->out, h, lastpage);
    Log(s, "DEBUG: write page %d header done\n", (int)h.pageseq);
    WritePageData(s->out, h, data);
    return true;
}

void SeqExtraDone(Sequencer* s)
{
    Log(s, "DEBUG: print extra m_page %d write jbg done\n", s->m_page);
}

void SeqPairOutput(Sequencer* s)
{
    if (!PairsPages(s))
        return;
    if (IsOdd(s->m_page)) {
        Log(s, "DEBUG: not handle in even page %d, pass\n", s->m_page);
        return;
    }
    HeldPage* front = &s->buff1;
    HeldPage* back = &s->buff2;
    do {
        Log(s, "DEBUG: -----------------------------print m_page %d collate %d duplex %d copies %d\n", s->m_page,
            s->collate, s->duplex, s->copies_left);

        s->written_records++;
        front->hdr.pageseq = (uint32_t)s->written_records;
        WritePageHeader(s->out, front->hdr, front->hdr.lastpage);
        Log(s, "DEBUG: write page1 %d header done, m_page %d lastpage is %d\n", (int)front->hdr.pageseq,
            s->m_page - 1, (int)front->hdr.lastpage);
        WritePageData(s->out, front->hdr, front->data);
        Log(s, "DEBUG: write page1 data done\n");

        Log(s, "DEBUG: page2 lastpage is %d,copies %d,pageno is %d\n", (int)back->hdr.lastpage, s->copies_left,
            s->m_page);
        // Each copy of the pair is judged afresh from the held back side's own value.
        uint32_t lastpage = back->hdr.lastpage;
        if (s->copies_left >= 2 && back->hdr.lastpage == 1) {
            Log(s, "DEBUG: force lastpage to 0\n");
            lastpage = 0;
        }
        if (s->copies_left == 1 && back->hdr.lastpage == 1) {
            Log(s, "DEBUG: force lastpage to 1\n");
            lastpage = 1;
        }
        Log(s, "DEBUG: current lastpage is %d,pageno is %d\n", (int)lastpage, s->m_page);

        s->written_records++;
        back->hdr.pageseq = (uint32_t)s->written_records;
        WritePageHeader(s->out, back->hdr, lastpage);
        Log(s, "DEBUG: write page2 %d header done, m_page %d lastpage is %d\n", (int)back->hdr.pageseq, s->m_page,
            (int)lastpage);
        WritePageData(s->out, back->hdr, back->data);
        Log(s, "DEBUG: write page2 data done\n");

        s->copies_left--;
        Log(s, "DEBUG: #####################write 2pages duplex done\n");
    } while (s->copies_left > 0);
    // The pair is out; nothing is held until the next front side arrives.
    front->size = -1;
    back->size = -1;
}
