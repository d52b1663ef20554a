// JBIG (ITU-T T.82) encoder: QM arithmetic coder, three-line template,
// typical prediction, one SDRST-terminated stripe of 128 lines at a time.
// Stripes are coded independently, so a page's stripes are spread over a
// few threads and written out in order.
#include "encoder/encoder.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <sched.h>
#include <system_error>
#include <thread>

namespace {

constexpr uint32_t kJbigStripeLines = 128;
constexpr size_t kJbigHeaderSize = 20;
constexpr int kJbigMaxThreads = 8;

uint32_t JbigStripeCount(uint32_t height) { return (height + kJbigStripeLines - 1) / kJbigStripeLines; }

// ---------------------------------------------------------------------------
// QM coder

// The probability estimation table of the QM coder (T.82 Table 24, the same
// table as T.81 Table D.2): for each of the 113 states the LPS probability
// estimate Qe, the next state after coding an LPS and after a renormalising
// MPS, and whether an LPS in this state exchanges the sense of the MPS.
struct QmState {
    uint16_t qe;
    uint8_t nextLps;
    uint8_t nextMps;
    uint8_t swapMps;
};

constexpr int kQmStates = 113;
constexpr QmState kQmTable[kQmStates] = {
    {0x5a1d, 1, 1, 1},     {0x2586, 14, 2, 0},    {0x1114, 16, 3, 0},    {0x080b, 18, 4, 0},    {0x03d8, 20, 5, 0},
    {0x01da, 23, 6, 0},    {0x00e5, 25, 7, 0},    {0x006f, 28, 8, 0},    {0x0036, 30, 9, 0},    {0x001a, 33, 10, 0},
    {0x000d, 35, 11, 0},   {0x0006, 9, 12, 0},    {0x0003, 10, 13, 0},   {0x0001, 12, 13, 0},   {0x5a7f, 15, 15, 1},
    {0x3f25, 36, 16, 0},   {0x2cf2, 38, 17, 0},   {0x207c, 39, 18, 0},   {0x17b9, 40, 19, 0},   {0x1182, 42, 20, 0},
    {0x0cef, 43, 21, 0},   {0x09a1, 45, 22, 0},   {0x072f, 46, 23, 0},   {0x055c, 48, 24, 0},   {0x0406, 49, 25, 0},
    {0x0303, 51, 26, 0},   {0x0240, 52, 27, 0},   {0x01b1, 54, 28, 0},   {0x0144, 56, 29, 0},   {0x00f5, 57, 30, 0},
    {0x00b7, 59, 31, 0},   {0x008a, 60, 32, 0},   {0x0068, 62, 33, 0},   {0x004e, 63, 34, 0},   {0x003b, 32, 35, 0},
    {0x002c, 33, 9, 0},    {0x5ae1, 37, 37, 1},   {0x484c, 64, 38, 0},   {0x3a0d, 65, 39, 0},   {0x2ef1, 67, 40, 0},
    {0x261f, 68, 41, 0},   {0x1f33, 69, 42, 0},   {0x19a8, 70, 43, 0},   {0x1518, 72, 44, 0},   {0x1177, 73, 45, 0},
    {0x0e74, 74, 46, 0},   {0x0bfb, 75, 47, 0},   {0x09f8, 77, 48, 0},   {0x0861, 78, 49, 0},   {0x0706, 79, 50, 0},
    {0x05cd, 48, 51, 0},   {0x04de, 50, 52, 0},   {0x040f, 50, 53, 0},   {0x0363, 51, 54, 0},   {0x02d4, 52, 55, 0},
    {0x025c, 53, 56, 0},   {0x01f8, 54, 57, 0},   {0x01a4, 55, 58, 0},   {0x0160, 56, 59, 0},   {0x0125, 57, 60, 0},
    {0x00f6, 58, 61, 0},   {0x00cb, 59, 62, 0},   {0x00ab, 61, 63, 0},   {0x008f, 61, 32, 0},   {0x5b12, 65, 65, 1},
    {0x4d04, 80, 66, 0},   {0x412c, 81, 67, 0},   {0x37d8, 82, 68, 0},   {0x2fe8, 83, 69, 0},   {0x293c, 84, 70, 0},
    {0x2379, 86, 71, 0},   {0x1edf, 87, 72, 0},   {0x1aa9, 87, 73, 0},   {0x174e, 72, 74, 0},   {0x1424, 72, 75, 0},
    {0x119c, 74, 76, 0},   {0x0f6b, 74, 77, 0},   {0x0d51, 75, 78, 0},   {0x0bb6, 77, 79, 0},   {0x0a40, 77, 48, 0},
    {0x5832, 80, 81, 1},   {0x4d1c, 88, 82, 0},   {0x438e, 89, 83, 0},   {0x3bdd, 90, 84, 0},   {0x34ee, 91, 85, 0},
    {0x2eae, 92, 86, 0},   {0x299a, 93, 87, 0},   {0x2516, 86, 71, 0},   {0x5570, 88, 89, 1},   {0x4ca9, 95, 90, 0},
    {0x44d9, 96, 91, 0},   {0x3e22, 97, 92, 0},   {0x3824, 99, 93, 0},   {0x32b4, 99, 94, 0},   {0x2e17, 93, 86, 0},
    {0x56a8, 95, 96, 1},   {0x4f46, 101, 97, 0},  {0x47e5, 102, 98, 0},  {0x41cf, 103, 99, 0},  {0x3c3d, 104, 100, 0},
    {0x375e, 99, 93, 0},   {0x5231, 105, 102, 0}, {0x4c0f, 106, 103, 0}, {0x4639, 107, 104, 0}, {0x415e, 103, 99, 0},
    {0x5627, 105, 106, 1}, {0x50e7, 108, 107, 0}, {0x4b85, 109, 103, 0}, {0x5597, 110, 109, 0}, {0x504f, 111, 107, 0},
    {0x5a10, 110, 111, 1}, {0x5522, 112, 109, 0}, {0x59eb, 112, 111, 1},
};

// Each context's statistics are one byte, state * 2 + MPS. The coding
// step looks up its row by that byte XOR the pixel, so the row already
// knows whether the pixel is the MPS (even row) or the LPS (odd row):
//  - qe: the state's LPS probability estimate;
//  - renormBelow: A - Qe below this needs renormalising (0x8000 for an
//    MPS; above any A for an LPS, which always renormalises);
//  - lpsMask: all ones for an LPS row;
//  - upperBelow: the decision takes the upper sub-interval (of size Qe)
//    when (A - Qe) ^ lpsMask is below this: for an MPS when A - Qe < Qe,
//    for an LPS when A - Qe >= Qe (the conditional exchange). Inverting
//    both sides for an LPS turns the second test into the first form.
//  - next[renormalised]: the new statistics byte XOR the pixel (an MPS
//    keeps its state unless A needed renormalising).
struct QmStep {
    uint32_t qe;
    uint32_t renormBelow;
    uint32_t lpsMask;
    uint32_t upperBelow;
    uint8_t next[2];
};
struct QmSteps {
    QmStep row[2 * kQmStates];
};

constexpr QmSteps BuildQmSteps()
{
    QmSteps t{};
    for (int s = 0; s < kQmStates; ++s) {
        // Pixel equal to the MPS: row 2s whatever the MPS is, since the
        // pixel is XORed back in.
        QmStep& m = t.row[2 * s];
        m.qe = kQmTable[s].qe;
        m.renormBelow = 0x8000;
        m.lpsMask = 0;
        m.upperBelow = kQmTable[s].qe;
        m.next[0] = static_cast<uint8_t>(2 * s);
        m.next[1] = static_cast<uint8_t>(2 * kQmTable[s].nextMps);
        // Pixel equal to the LPS: the MPS is the pixel's complement, and
        // the new MPS is that, exchanged if the state says so.
        QmStep& l = t.row[2 * s + 1];
        l.qe = kQmTable[s].qe;
        l.renormBelow = 0x20000;
        l.lpsMask = 0xFFFFFFFFu;
        l.upperBelow = ~(kQmTable[s].qe - 1u);
        l.next[0] = l.next[1] = static_cast<uint8_t>(2 * kQmTable[s].nextLps + (1 ^ kQmTable[s].swapMps));
    }
    return t;
}
constexpr QmSteps kQmSteps = BuildQmSteps();

constexpr unsigned kContexts = 1024;
// Context of the bit that tells, before each line, whether typical
// prediction's answer changed (three-line template).
constexpr unsigned kTpContext = 0x0e5;

// The coder's registers are kept in locals of the coding loops and stored
// here between them. C holds, from the top: a carry bit, the next output
// byte, 3 spacer bits and 16 fraction bits; it is 64 bits wide so that a
// whole renormalisation can be shifted in one step and the completed bytes
// taken out afterwards.
//
// Completed bytes go unstuffed into `buf` after a leading spare byte; a
// carry is added straight into the bytes already written (0xFF bytes roll
// over to 0x00 and the byte before them takes it). The spare byte takes a
// carry that would reach before the first byte. Stuffing happens once the
// stripe is complete.
struct QmCoder {
    uint64_t c;
    uint32_t a;  // interval size
    int ct;      // shifts left before the next output byte is complete
    uint8_t* p;  // next free byte of buf
    uint8_t* end;
    std::vector<uint8_t> buf;
    uint8_t stat[kContexts];
};

void QmInit(QmCoder& q)
{
    q.a = 0x10000;
    q.c = 0;
    q.ct = 11;
    q.buf.assign(1 << 14, 0);
    q.p = q.buf.data() + 1;
    q.end = q.buf.data() + q.buf.size();
    std::memset(q.stat, 0, sizeof q.stat);
}

// Makes room for `n` more bytes of coded data.
void QmReserve(QmCoder& q, size_t n)
{
    if (static_cast<size_t>(q.end - q.p) >= n)
        return;
    const size_t used = static_cast<size_t>(q.p - q.buf.data());
    q.buf.resize(std::max(2 * q.buf.size(), used + n));
    q.p = q.buf.data() + used;
    q.end = q.buf.data() + q.buf.size();
}

// Adds a carry into the bytes before `p`.
__attribute__((noinline)) void AddCarry(uint8_t* p)
{
    uint8_t* b = p - 1;
    while (*b == 0xFF) {
        *b = 0x00;
        --b;
    }
    ++*b;
}

// Called when CT has dropped to 0 or below: C has been shifted -CT bits past
// a completed byte (possibly past two). Writes the completed bytes.
inline void TakeBytes(uint8_t*& p, uint64_t& c, int& ct)
{
    do {
        const int at = 19 - ct;
        const uint32_t t = static_cast<uint32_t>(c >> at);
        c &= (uint64_t(1) << at) - 1;
        if (t > 0xFF)
            AddCarry(p);
        *p++ = static_cast<uint8_t>(t);
        ct += 8;
    } while (ct <= 0);
}

// Codes one decision in context `cx` without branching on its outcome:
// A is reduced by Qe, the sub-interval chosen (with the conditional
// exchange), the statistics advanced and A doubled back to at least 0x8000.
// `row` is the context's statistics byte XOR the pixel. Returns 1 when A
// needed renormalising, else 0.
inline uint32_t CodeRow(uint8_t* stat, unsigned cx, unsigned pix, unsigned row, uint32_t& a, uint64_t& c, int& ct,
                        uint8_t*& p)
{
    const QmStep& e = kQmSteps.row[row];
    const uint32_t qe = e.qe;
    const uint32_t a1 = a - qe;
    const uint32_t renorm = a1 < e.renormBelow;
    const uint32_t upper = (a1 ^ e.lpsMask) < e.upperBelow;
    c += a1 & (0u - upper);
    a = upper ? qe : a1;
    stat[cx] = static_cast<uint8_t>(e.next[renorm] ^ pix);
    const int n = __builtin_clz(a) - 16;
    a <<= n;
    c <<= n;
    ct -= n;
    if (ct <= 0)
        TakeBytes(p, c, ct);
    return renorm;
}

inline uint32_t CodeBit(uint8_t* stat, unsigned cx, unsigned pix, uint32_t& a, uint64_t& c, int& ct, uint8_t*& p)
{
    return CodeRow(stat, cx, pix, stat[cx] ^ pix, a, c, ct, p);
}

inline void Code(QmCoder& q, unsigned cx, unsigned pix)
{
    uint32_t a = q.a;
    uint64_t c = q.c;
    int ct = q.ct;
    uint8_t* p = q.p;
    CodeBit(q.stat, cx, pix, a, c, ct, p);
    q.a = a;
    q.c = c;
    q.ct = ct;
    q.p = p;
}

// Codes `n` decisions in context `cx` that all equal its MPS, jumping
// straight from one renormalisation to the next.
void CodeMpsRun(QmCoder& q, uint32_t& a, uint64_t& c, int& ct, uint8_t*& p, unsigned cx, uint64_t n)
{
    while (n > 0) {
        const unsigned s = q.stat[cx];
        const uint32_t qe = kQmSteps.row[s & ~1u].qe;
        // A is at least 0x8000 here; a short run often ends above it.
        if (n < 0x10000 && static_cast<uint32_t>(n) * qe <= a - 0x8000) {
            a -= static_cast<uint32_t>(n) * qe;
            return;
        }
        // Decisions until A drops below 0x8000.
        const uint64_t m = (a - 0x8000) / qe + 1;
        if (m > n) {
            a -= static_cast<uint32_t>(n) * qe;
            return;
        }
        a -= static_cast<uint32_t>(m - 1) * qe;
        n -= m;
        CodeBit(q.stat, cx, s & 1, a, c, ct, p);
    }
}

// Ends the coded data: picks the value in the final interval with the most
// trailing zero bits and writes the last bytes.
void QmFlush(QmCoder& q)
{
    QmReserve(q, 2);
    uint64_t t = (q.c + q.a - 1) & 0xFFFF0000u;
    if (t < q.c)
        t += 0x8000;
    const uint64_t c = t << q.ct;
    if (c > 0x7FFFFFF)
        AddCarry(q.p);
    *q.p++ = static_cast<uint8_t>(c >> 19);
    *q.p++ = static_cast<uint8_t>(c >> 11);
}

// Appends the coded data to `out` without its trailing 0x00 bytes (a
// decoder supplies zeros itself at the marker), stuffing a 0x00 after every
// 0xFF so that no marker can appear inside the data. An 0xFF at the end
// keeps its stuffed 0x00, as 0xFF right before the marker would read as a
// marker prefix.
void QmAppendStuffed(const QmCoder& q, std::vector<uint8_t>* out)
{
    const uint8_t* b = q.buf.data() + 1;
    const uint8_t* e = q.p;
    while (e > b && *(e - 1) == 0x00)
        --e;
    while (b < e) {
        const uint8_t* ff = static_cast<const uint8_t*>(std::memchr(b, 0xFF, static_cast<size_t>(e - b)));
        if (!ff) {
            out->insert(out->end(), b, e);
            break;
        }
        out->insert(out->end(), b, ff + 1);
        out->push_back(0x00);
        b = ff + 1;
    }
}

// ---------------------------------------------------------------------------
// Stripe coding

// Line buffers carry this many zero bytes on each side, so the context of
// the first and last pixels and word-wide scans need no bounds checks.
constexpr size_t kPad = 8;

// A line is coded the busy way when more than one decision in kBusyShare
// needed renormalising on the line coded before it.
constexpr uint32_t kBusyShare = 4;

// Index of the first non-zero byte of u[from, to), or `to`. May read up to
// 7 bytes past `to` (inside the buffer's padding).
size_t FirstNonZeroByte(const uint8_t* u, size_t from, size_t to)
{
    size_t i = from;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    for (; i < to; i += 8) {
        uint64_t w;
        std::memcpy(&w, u + i, 8);
        if (w != 0)
            return std::min(to, i + static_cast<size_t>(__builtin_ctzll(w) >> 3));
    }
    return to;
#else
    while (i < to && u[i] == 0)
        ++i;
    return i;
#endif
}

// Codes pixel k (0 = leftmost) of a byte from the three line windows built
// by CodeLine. Returns 1 when the decision needed renormalising.
template <bool kBusy>
inline uint32_t CodePixel(uint8_t* stat, uint32_t w2, uint32_t w1, uint32_t w0, unsigned k, uint32_t& a, uint64_t& c,
                          int& ct, uint8_t*& p)
{
    // Context, most significant bit first: x-1..x+1 two lines up, x-2..x+2
    // one line up, x-2 and x-1 on this line.
    const unsigned cx = ((w2 >> (7 - k)) & 0x380) | ((w1 >> (11 - k)) & 0x7C) | ((w0 >> (8 - k)) & 0x3);
    const unsigned pix = (w0 >> (7 - k)) & 1;
    const unsigned row = stat[cx] ^ pix;
    if (!kBusy) {
        const uint32_t a1 = a - kQmSteps.row[row].qe;
        if (a1 >= kQmSteps.row[row].renormBelow) {
            a = a1;
            return 0;
        }
    }
    return CodeRow(stat, cx, pix, row, a, c, ct, p);
}

// Codes the pixels of one line in the three-line template. `l2`, `l1` and
// `l0` are the lines two above, one above and the line itself; `u` is their
// bytewise OR. All four are padded with zeros by kPad bytes on each side
// and have the bits after the last pixel cleared.
//
// Two ways to code the same decisions: kBusy codes every pixel without
// branching on its outcome, which is faster where many decisions need
// renormalising (dithered or noisy content, whose outcomes a branch
// predictor can't guess); otherwise a pixel that is its context's MPS and
// needs no renormalisation takes a short path. Returns the number of
// decisions that needed renormalising, which picks the way for the next
// line.
template <bool kBusy>
uint32_t CodeLine(QmCoder& q, const uint8_t* l2, const uint8_t* l1, const uint8_t* l0, const uint8_t* u, uint32_t width)
{
    const size_t nbytes = JbigRowBytes(width);
    uint8_t* stat = q.stat;
    uint32_t a = q.a;
    uint64_t c = q.c;
    int ct = q.ct;
    uint8_t* p = q.p;
    uint32_t renorms = 0;
    size_t j = 0;
    while (j < nbytes) {
        // Where all three lines are white around a byte, every pixel of it
        // is white in context 0: code them as one run when white is that
        // context's MPS.
        // Rows carry zero padding before byte 0: (row + j) - 1 stays inside it.
        if ((*(u + j - 1) | u[j] | u[j + 1]) == 0 && (stat[0] & 1) == 0) {
            size_t z = FirstNonZeroByte(u, j + 2, nbytes);
            size_t end = z >= nbytes ? nbytes : z - 1;
            uint64_t x1 = std::min<uint64_t>(8 * static_cast<uint64_t>(end), width);
            CodeMpsRun(q, a, c, ct, p, 0, x1 - 8 * static_cast<uint64_t>(j));
            j = end;
            continue;
        }
        // Bits 16-23: byte j-1, 8-15: byte j, 0-7: byte j+1.
        uint32_t w2 = static_cast<uint32_t>(*(l2 + j - 1)) << 16 | static_cast<uint32_t>(l2[j]) << 8 | l2[j + 1];
        uint32_t w1 = static_cast<uint32_t>(*(l1 + j - 1)) << 16 | static_cast<uint32_t>(l1[j]) << 8 | l1[j + 1];
        uint32_t w0 = static_cast<uint32_t>(*(l0 + j - 1)) << 8 | l0[j];
        const uint64_t left = width - 8 * static_cast<uint64_t>(j);
        if (left >= 8) {
#pragma GCC unroll 8
            for (unsigned k = 0; k < 8; ++k)
                renorms += CodePixel<kBusy>(stat, w2, w1, w0, k, a, c, ct, p);
        } else {
            for (unsigned k = 0; k < left; ++k)
                renorms += CodePixel<kBusy>(stat, w2, w1, w0, k, a, c, ct, p);
        }
        ++j;
    }
    q.a = a;
    q.c = c;
    q.ct = ct;
    q.p = p;
    return renorms;
}

// any = l2 | l1 | l0, eight bytes at a time (the buffers' padding covers
// the last partial word).
void MergeLines(uint8_t* any, const uint8_t* l2, const uint8_t* l1, const uint8_t* l0, size_t bpl)
{
    for (size_t i = 0; i < bpl; i += 8) {
        uint64_t w2, w1, w0;
        std::memcpy(&w2, l2 + i, 8);
        std::memcpy(&w1, l1 + i, 8);
        std::memcpy(&w0, l0 + i, 8);
        const uint64_t w = w2 | w1 | w0;
        std::memcpy(any + i, &w, 8);
    }
}

struct StripeBuffers {
    std::vector<uint8_t> mem;
    uint8_t* line[3];  // each kPad + bpl + kPad bytes, data at line[i]
    uint8_t* any;      // OR of the three lines
};

void SetUpBuffers(StripeBuffers& b, size_t bpl)
{
    size_t span = bpl + 2 * kPad;
    b.mem.assign(4 * span, 0);
    for (int i = 0; i < 3; ++i)
        b.line[i] = b.mem.data() + i * span + kPad;
    b.any = b.mem.data() + 3 * span + kPad;
}

// One stripe being coded, a line at a time.
struct StripeCoder {
    QmCoder q;
    StripeBuffers b;
    // Lines two above, one above and current; above the stripe all white.
    uint8_t* l2;
    uint8_t* l1;
    uint8_t* l0;
    const uint8_t* rows;  // the stripe's first row in the raster
    uint32_t lines;
    unsigned prevNotTypical;
    uint32_t renorms;  // on the last line coded
};

void StripeBegin(StripeCoder& s, const uint8_t* raster, uint32_t width, uint32_t height, uint32_t stripe)
{
    const size_t bpl = JbigRowBytes(width);
    const uint32_t y0 = stripe * kJbigStripeLines;
    const uint32_t y1 = std::min<uint64_t>(static_cast<uint64_t>(y0) + kJbigStripeLines, height);
    SetUpBuffers(s.b, bpl);
    s.l2 = s.b.line[0];
    s.l1 = s.b.line[1];
    s.l0 = s.b.line[2];
    s.rows = raster + static_cast<size_t>(y0) * bpl;
    s.lines = y1 - y0;
    s.prevNotTypical = 1;
    s.renorms = 0;
    QmInit(s.q);
}

// Takes line i of the stripe and codes its typical-prediction bit. Returns
// true when the line itself is to be coded (it differs from the one above).
bool StripeLineStart(StripeCoder& s, uint32_t width, uint32_t i)
{
    const size_t bpl = JbigRowBytes(width);
    const uint8_t lastMask = static_cast<uint8_t>(0xFF00u >> (width % 8 == 0 ? 8 : width % 8));
    std::memcpy(s.l0, s.rows + static_cast<size_t>(i) * bpl, bpl);
    s.l0[bpl - 1] &= lastMask;
    // A decision writes at most two bytes (it shifts C by at most 15 bits).
    QmReserve(s.q, 2 * static_cast<size_t>(width) + 16);
    // Typical prediction: a line equal to the one above is not coded; the
    // bit coded says whether that answer differs from the last one.
    const unsigned notTypical = std::memcmp(s.l0, s.l1, bpl) != 0;
    Code(s.q, kTpContext, (notTypical ^ s.prevNotTypical) ^ 1);
    s.prevNotTypical = notTypical;
    return notTypical != 0;
}

bool StripeLineBusy(const StripeCoder& s, uint32_t width) { return s.renorms > width / kBusyShare; }

void StripeCodeLine(StripeCoder& s, uint32_t width)
{
    MergeLines(s.b.any, s.l2, s.l1, s.l0, JbigRowBytes(width));
    s.renorms = StripeLineBusy(s, width) ? CodeLine<true>(s.q, s.l2, s.l1, s.l0, s.b.any, width)
                                         : CodeLine<false>(s.q, s.l2, s.l1, s.l0, s.b.any, width);
}

void StripeLineEnd(StripeCoder& s)
{
    uint8_t* freed = s.l2;
    s.l2 = s.l1;
    s.l1 = s.l0;
    s.l0 = freed;
}

void StripeFinish(StripeCoder& s, std::vector<uint8_t>* out)
{
    QmFlush(s.q);
    QmAppendStuffed(s.q, out);
    out->push_back(0xFF);  // ESC
    out->push_back(0x03);  // SDRST
}

// Codes a busy line of two stripes at once, pixel for pixel alternating
// between them. Each decision waits for the interval size left by the one
// before it in the same coder; two independent coders give the processor
// two such chains to overlap.
void CodeLinePair(StripeCoder& s, StripeCoder& t, uint32_t width)
{
    const size_t nbytes = JbigRowBytes(width);
    const uint8_t* a2 = s.l2;
    const uint8_t* a1l = s.l1;
    const uint8_t* a0 = s.l0;
    const uint8_t* b2 = t.l2;
    const uint8_t* b1 = t.l1;
    const uint8_t* b0 = t.l0;
    uint8_t* sstat = s.q.stat;
    uint8_t* tstat = t.q.stat;
    uint32_t sa = s.q.a, ta = t.q.a;
    uint64_t sc = s.q.c, tc = t.q.c;
    int sct = s.q.ct, tct = t.q.ct;
    uint8_t* sp = s.q.p;
    uint8_t* tp = t.q.p;
    uint32_t sren = 0, tren = 0;
    for (size_t j = 0; j < nbytes; ++j) {
        // Bits 16-23: byte j-1, 8-15: byte j, 0-7: byte j+1 (rows carry zero
        // padding before byte 0 and after the last).
        const uint32_t sw2 = static_cast<uint32_t>(*(a2 + j - 1)) << 16 | static_cast<uint32_t>(a2[j]) << 8 | a2[j + 1];
        const uint32_t sw1 =
            static_cast<uint32_t>(*(a1l + j - 1)) << 16 | static_cast<uint32_t>(a1l[j]) << 8 | a1l[j + 1];
        const uint32_t sw0 = static_cast<uint32_t>(*(a0 + j - 1)) << 8 | a0[j];
        const uint32_t tw2 = static_cast<uint32_t>(*(b2 + j - 1)) << 16 | static_cast<uint32_t>(b2[j]) << 8 | b2[j + 1];
        const uint32_t tw1 = static_cast<uint32_t>(*(b1 + j - 1)) << 16 | static_cast<uint32_t>(b1[j]) << 8 | b1[j + 1];
        const uint32_t tw0 = static_cast<uint32_t>(*(b0 + j - 1)) << 8 | b0[j];
        const uint64_t left = width - 8 * static_cast<uint64_t>(j);
        if (left >= 8) {
#pragma GCC unroll 8
            for (unsigned k = 0; k < 8; ++k) {
                sren += CodePixel<true>(sstat, sw2, sw1, sw0, k, sa, sc, sct, sp);
                tren += CodePixel<true>(tstat, tw2, tw1, tw0, k, ta, tc, tct, tp);
            }
        } else {
            for (unsigned k = 0; k < left; ++k) {
                sren += CodePixel<true>(sstat, sw2, sw1, sw0, k, sa, sc, sct, sp);
                tren += CodePixel<true>(tstat, tw2, tw1, tw0, k, ta, tc, tct, tp);
            }
        }
    }
    s.q.a = sa;
    s.q.c = sc;
    s.q.ct = sct;
    s.q.p = sp;
    s.renorms = sren;
    t.q.a = ta;
    t.q.c = tc;
    t.q.ct = tct;
    t.q.p = tp;
    t.renorms = tren;
}

// Codes stripes `first` and `first` + 1 side by side into out[0] and
// out[1]. Lines that are busy in both are coded as a pair.
void EncodeJbigStripePair(const uint8_t* raster, uint32_t width, uint32_t height, uint32_t first,
                          std::vector<uint8_t>* out0, std::vector<uint8_t>* out1)
{
    std::unique_ptr<StripeCoder[]> sc(new StripeCoder[2]);
    StripeCoder& s = sc[0];
    StripeCoder& t = sc[1];
    StripeBegin(s, raster, width, height, first);
    StripeBegin(t, raster, width, height, first + 1);
    for (uint32_t i = 0; i < s.lines; ++i) {
        const bool sCode = StripeLineStart(s, width, i);
        const bool tCode = i < t.lines && StripeLineStart(t, width, i);
        if (sCode && tCode && StripeLineBusy(s, width) && StripeLineBusy(t, width)) {
            CodeLinePair(s, t, width);
        } else {
            if (sCode)
                StripeCodeLine(s, width);
            if (tCode)
                StripeCodeLine(t, width);
        }
        StripeLineEnd(s);
        if (i < t.lines)
            StripeLineEnd(t);
    }
    StripeFinish(s, out0);
    StripeFinish(t, out1);
}

// The 20-byte bi-level image header (BIH) of a page.
void JbigHeader(uint32_t width, uint32_t height, uint8_t out[kJbigHeaderSize])
{
    const uint32_t l0 = kJbigStripeLines;
    const uint8_t bih[kJbigHeaderSize] = {
        0,  // DL: lowest resolution layer
        0,  // D: no differential layers
        1,  // P: one bit plane
        0,  // reserved
        static_cast<uint8_t>(width >> 24),
        static_cast<uint8_t>(width >> 16),
        static_cast<uint8_t>(width >> 8),
        static_cast<uint8_t>(width),
        static_cast<uint8_t>(height >> 24),
        static_cast<uint8_t>(height >> 16),
        static_cast<uint8_t>(height >> 8),
        static_cast<uint8_t>(height),
        static_cast<uint8_t>(l0 >> 24),
        static_cast<uint8_t>(l0 >> 16),
        static_cast<uint8_t>(l0 >> 8),
        static_cast<uint8_t>(l0),
        0,     // MX: no adaptive template moves
        0,     // MY
        0,     // order
        0x08,  // options: TPBON
    };
    std::memcpy(out, bih, kJbigHeaderSize);
}

// Appends the coded data of stripe `stripe` (lines stripe*128 up to 128
// lines further, fewer for the last one) followed by the marker FF 03. The
// coder and its statistics restart and the lines above count as white.
void EncodeJbigStripe(const uint8_t* raster, uint32_t width, uint32_t height, uint32_t stripe,
                      std::vector<uint8_t>* out)
{
    std::unique_ptr<StripeCoder> s(new StripeCoder);
    StripeBegin(*s, raster, width, height, stripe);
    for (uint32_t i = 0; i < s->lines; ++i) {
        if (StripeLineStart(*s, width, i))
            StripeCodeLine(*s, width);
        StripeLineEnd(*s);
    }
    StripeFinish(*s, out);
}

// Stripes handed between the coding threads and the writer. A stripe's
// buffer lives in slot stripe % window, so at most `window` stripes are
// coded ahead of the one being written.
struct StripeQueue {
    std::mutex m;
    std::condition_variable cv;
    uint32_t stripes = 0;
    uint32_t window = 0;
    uint32_t nextClaim = 0;  // next stripe a thread takes
    uint32_t nextWrite = 0;  // next stripe the writer hands to the sink
    bool stop = false;
    bool failed = false;  // a coding thread ran out of memory
    std::vector<std::vector<uint8_t>> slot;
    std::vector<char> ready;
};

struct PageJob {
    const uint8_t* raster;
    uint32_t width;
    uint32_t height;
    StripeQueue* queue;
};

// Codes stripe `s`, and `s` + 1 with it when `pair`, into buf[0] and buf[1].
void CodeStripeUnit(const PageJob& job, uint32_t s, bool pair, std::vector<uint8_t>* buf)
{
    buf[0].clear();
    if (pair) {
        buf[1].clear();
        EncodeJbigStripePair(job.raster, job.width, job.height, s, &buf[0], &buf[1]);
    } else {
        EncodeJbigStripe(job.raster, job.width, job.height, s, &buf[0]);
    }
}

// Claims stripes two at a time (coded as a pair) while the window allows.
void CodeStripes(PageJob job)
{
    StripeQueue& sq = *job.queue;
    std::unique_lock<std::mutex> lock(sq.m);
    for (;;) {
        sq.cv.wait(lock,
                   [&] { return sq.stop || sq.nextClaim >= sq.stripes || sq.nextClaim < sq.nextWrite + sq.window; });
        if (sq.stop || sq.nextClaim >= sq.stripes)
            return;
        const uint32_t s = sq.nextClaim;
        const bool pair = s + 1 < sq.stripes && s + 1 < sq.nextWrite + sq.window;
        sq.nextClaim += pair ? 2 : 1;
        std::vector<uint8_t> buf[2];
        buf[0] = std::move(sq.slot[s % sq.window]);
        if (pair)
            buf[1] = std::move(sq.slot[(s + 1) % sq.window]);
        lock.unlock();
        bool ok = true;
        try {
            CodeStripeUnit(job, s, pair, buf);
        } catch (const std::bad_alloc&) {
            ok = false;
        }
        lock.lock();
        if (!ok) {
            sq.failed = true;
            sq.stop = true;
            sq.cv.notify_all();
            return;
        }
        for (uint32_t i = 0; i < (pair ? 2u : 1u); ++i) {
            sq.slot[(s + i) % sq.window] = std::move(buf[i]);
            sq.ready[(s + i) % sq.window] = 1;
        }
        sq.cv.notify_all();
    }
}

bool EncodeSerial(const uint8_t* raster, uint32_t width, uint32_t height, JbigSink sink, void* ctx)
{
    std::vector<uint8_t> buf[2];
    const uint32_t n = JbigStripeCount(height);
    const PageJob job = {raster, width, height, nullptr};
    for (uint32_t s = 0; s < n;) {
        const bool pair = s + 1 < n;
        CodeStripeUnit(job, s, pair, buf);
        for (uint32_t i = 0; i < (pair ? 2u : 1u); ++i) {
            if (!sink(ctx, buf[i].data(), buf[i].size()))
                return false;
        }
        s += pair ? 2 : 1;
    }
    return true;
}

// Hands the coded stripes to the sink in order as the threads finish them.
bool WriteStripesInOrder(StripeQueue& sq, JbigSink sink, void* ctx)
{
    for (uint32_t s = 0; s < sq.stripes; ++s) {
        std::vector<uint8_t> data;
        {
            std::unique_lock<std::mutex> lock(sq.m);
            sq.cv.wait(lock, [&] { return sq.failed || sq.ready[s % sq.window] != 0; });
            if (sq.failed)
                return false;
            data = std::move(sq.slot[s % sq.window]);
            sq.ready[s % sq.window] = 0;
        }
        bool ok = sink(ctx, data.data(), data.size());
        std::lock_guard<std::mutex> lock(sq.m);
        sq.slot[s % sq.window] = std::move(data);  // keep the memory for a later stripe
        ++sq.nextWrite;
        if (!ok)
            sq.stop = true;
        sq.cv.notify_all();
        if (!ok)
            return false;
    }
    return true;
}

bool EncodePage(const uint8_t* raster, uint32_t width, uint32_t height, int threads, JbigSink sink, void* ctx)
{
    uint8_t bih[kJbigHeaderSize];
    JbigHeader(width, height, bih);
    if (!sink(ctx, bih, sizeof bih))
        return false;
    const uint32_t stripes = JbigStripeCount(height);
    if (threads > kJbigMaxThreads)
        threads = kJbigMaxThreads;
    if (threads <= 1 || stripes <= 1)
        return EncodeSerial(raster, width, height, sink, ctx);
    if (static_cast<uint32_t>(threads) > stripes)
        threads = static_cast<int>(stripes);

    StripeQueue sq;
    sq.stripes = stripes;
    sq.window = 4 * static_cast<uint32_t>(threads);
    sq.slot.resize(sq.window);
    sq.ready.assign(sq.window, 0);
    std::vector<std::thread> pool;
    pool.reserve(static_cast<size_t>(threads));  // nothing may throw while threads run
    const PageJob job = {raster, width, height, &sq};
    for (int i = 0; i < threads; ++i) {
        try {
            pool.emplace_back(CodeStripes, job);
        } catch (const std::system_error&) {
            break;  // fewer threads then
        }
    }
    if (pool.empty())
        return EncodeSerial(raster, width, height, sink, ctx);
    bool ok = false;
    try {
        ok = WriteStripesInOrder(sq, sink, ctx);
    } catch (const std::bad_alloc&) {}
    {
        std::lock_guard<std::mutex> lock(sq.m);
        sq.stop = true;
        sq.cv.notify_all();
    }
    for (std::thread& t : pool)
        t.join();
    return ok && !sq.failed;
}

bool AppendToVector(void* ctx, const uint8_t* data, size_t len)
{
    auto* v = static_cast<std::vector<uint8_t>*>(ctx);
    v->insert(v->end(), data, data + len);
    return true;
}

}  // namespace

bool EncodeJbigToSink(const uint8_t* raster, uint32_t width, uint32_t height, int threads, JbigSink sink, void* ctx)
{
    try {
        return EncodePage(raster, width, height, threads, sink, ctx);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

std::vector<uint8_t> EncodeJbig(const uint8_t* raster, uint32_t width, uint32_t height, int threads)
{
    std::vector<uint8_t> out;
    // The sink never refuses, so a failure is a lack of memory.
    if (!EncodeJbigToSink(raster, width, height, threads, AppendToVector, &out))
        throw std::bad_alloc();
    return out;
}

int JbigDefaultThreads()
{
    int n = 0;
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0)
        n = CPU_COUNT(&set);
    if (n <= 0)
        n = static_cast<int>(std::thread::hardware_concurrency());
    return std::max(1, std::min(n, kJbigMaxThreads));
}

bool JbigHasPaddingBits(const uint8_t* raster, uint32_t width, uint32_t height)
{
    if (width % 8 == 0)
        return false;
    const size_t bpl = JbigRowBytes(width);
    const uint8_t pad = static_cast<uint8_t>(0xFFu >> (width % 8));
    for (uint32_t y = 0; y < height; ++y) {
        if (raster[static_cast<size_t>(y) * bpl + bpl - 1] & pad)
            return true;
    }
    return false;
}
