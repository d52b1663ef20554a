// JBIG (ITU-T T.82) encoder: QM arithmetic coder, three-line template,
// typical prediction, one SDRST-terminated stripe of 128 lines at a time.
// Stripes are coded independently, so a page's stripes are spread over a
// few threads and written out in order.
#include "image/jbig/jbig_encode.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <sched.h>
#include <system_error>
#include <thread>

namespace {

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
    {0x5a1d, 1, 1, 1},     {0x2586, 14, 2, 0},    {0x1114, 16, 3, 0},    {0x080b, 18, 4, 0},
    {0x03d8, 20, 5, 0},    {0x01da, 23, 6, 0},    {0x00e5, 25, 7, 0},    {0x006f, 28, 8, 0},
    {0x0036, 30, 9, 0},    {0x001a, 33, 10, 0},   {0x000d, 35, 11, 0},   {0x0006, 9, 12, 0},
    {0x0003, 10, 13, 0},   {0x0001, 12, 13, 0},   {0x5a7f, 15, 15, 1},   {0x3f25, 36, 16, 0},
    {0x2cf2, 38, 17, 0},   {0x207c, 39, 18, 0},   {0x17b9, 40, 19, 0},   {0x1182, 42, 20, 0},
    {0x0cef, 43, 21, 0},   {0x09a1, 45, 22, 0},   {0x072f, 46, 23, 0},   {0x055c, 48, 24, 0},
    {0x0406, 49, 25, 0},   {0x0303, 51, 26, 0},   {0x0240, 52, 27, 0},   {0x01b1, 54, 28, 0},
    {0x0144, 56, 29, 0},   {0x00f5, 57, 30, 0},   {0x00b7, 59, 31, 0},   {0x008a, 60, 32, 0},
    {0x0068, 62, 33, 0},   {0x004e, 63, 34, 0},   {0x003b, 32, 35, 0},   {0x002c, 33, 9, 0},
    {0x5ae1, 37, 37, 1},   {0x484c, 64, 38, 0},   {0x3a0d, 65, 39, 0},   {0x2ef1, 67, 40, 0},
    {0x261f, 68, 41, 0},   {0x1f33, 69, 42, 0},   {0x19a8, 70, 43, 0},   {0x1518, 72, 44, 0},
    {0x1177, 73, 45, 0},   {0x0e74, 74, 46, 0},   {0x0bfb, 75, 47, 0},   {0x09f8, 77, 48, 0},
    {0x0861, 78, 49, 0},   {0x0706, 79, 50, 0},   {0x05cd, 48, 51, 0},   {0x04de, 50, 52, 0},
    {0x040f, 50, 53, 0},   {0x0363, 51, 54, 0},   {0x02d4, 52, 55, 0},   {0x025c, 53, 56, 0},
    {0x01f8, 54, 57, 0},   {0x01a4, 55, 58, 0},   {0x0160, 56, 59, 0},   {0x0125, 57, 60, 0},
    {0x00f6, 58, 61, 0},   {0x00cb, 59, 62, 0},   {0x00ab, 61, 63, 0},   {0x008f, 61, 32, 0},
    {0x5b12, 65, 65, 1},   {0x4d04, 80, 66, 0},   {0x412c, 81, 67, 0},   {0x37d8, 82, 68, 0},
    {0x2fe8, 83, 69, 0},   {0x293c, 84, 70, 0},   {0x2379, 86, 71, 0},   {0x1edf, 87, 72, 0},
    {0x1aa9, 87, 73, 0},   {0x174e, 72, 74, 0},   {0x1424, 72, 75, 0},   {0x119c, 74, 76, 0},
    {0x0f6b, 74, 77, 0},   {0x0d51, 75, 78, 0},   {0x0bb6, 77, 79, 0},   {0x0a40, 77, 48, 0},
    {0x5832, 80, 81, 1},   {0x4d1c, 88, 82, 0},   {0x438e, 89, 83, 0},   {0x3bdd, 90, 84, 0},
    {0x34ee, 91, 85, 0},   {0x2eae, 92, 86, 0},   {0x299a, 93, 87, 0},   {0x2516, 86, 71, 0},
    {0x5570, 88, 89, 1},   {0x4ca9, 95, 90, 0},   {0x44d9, 96, 91, 0},   {0x3e22, 97, 92, 0},
    {0x3824, 99, 93, 0},   {0x32b4, 99, 94, 0},   {0x2e17, 93, 86, 0},   {0x56a8, 95, 96, 1},
    {0x4f46, 101, 97, 0},  {0x47e5, 102, 98, 0},  {0x41cf, 103, 99, 0},  {0x3c3d, 104, 100, 0},
    {0x375e, 99, 93, 0},   {0x5231, 105, 102, 0}, {0x4c0f, 106, 103, 0}, {0x4639, 107, 104, 0},
    {0x415e, 103, 99, 0},  {0x5627, 105, 106, 1}, {0x50e7, 108, 107, 0}, {0x4b85, 109, 103, 0},
    {0x5597, 110, 109, 0}, {0x504f, 111, 107, 0}, {0x5a10, 110, 111, 1}, {0x5522, 112, 109, 0},
    {0x59eb, 112, 111, 1},
};

// Each context's statistics are one byte, state * 2 + MPS, so one lookup
// gives Qe and the successors. next[] is indexed by (decision was the MPS)
// * 2 + (A needed renormalising): an LPS always renormalises, an MPS keeps
// its state unless it does.
struct QmStep {
    uint16_t qe;
    uint8_t next[4];
};
struct QmSteps {
    QmStep row[2 * kQmStates];
};

constexpr QmSteps BuildQmSteps()
{
    QmSteps t{};
    for (int s = 0; s < kQmStates; ++s) {
        for (int mps = 0; mps < 2; ++mps) {
            QmStep& e = t.row[2 * s + mps];
            const uint8_t self = static_cast<uint8_t>(2 * s + mps);
            const uint8_t afterMps = static_cast<uint8_t>(2 * kQmTable[s].nextMps + mps);
            const uint8_t afterLps = static_cast<uint8_t>(2 * kQmTable[s].nextLps + (mps ^ kQmTable[s].swapMps));
            e.qe = kQmTable[s].qe;
            e.next[0] = afterLps; // not reached
            e.next[1] = afterLps;
            e.next[2] = self;
            e.next[3] = afterMps;
        }
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
struct QmCoder {
    uint64_t c;
    uint32_t a;       // interval size
    int ct;           // shifts left before the next output byte is complete
    uint32_t stacked; // 0xFF bytes held back: a carry still turns them into 0x00
    int held;         // byte held back for a possible carry, -1 before the first
    std::vector<uint8_t>* out;
    uint8_t stat[kContexts];
};

void QmInit(QmCoder& q, std::vector<uint8_t>* out)
{
    q.a = 0x10000;
    q.c = 0;
    q.ct = 11;
    q.stacked = 0;
    q.held = -1;
    q.out = out;
    std::memset(q.stat, 0, sizeof q.stat);
}

// Writes one coded byte, stuffing a 0x00 after every 0xFF so that no marker
// can appear inside the data.
inline void PutByte(std::vector<uint8_t>* out, unsigned b)
{
    out->push_back(static_cast<uint8_t>(b));
    if (b == 0xFF)
        out->push_back(0x00);
}

// Takes one completed byte `t` (with the carry in bit 8) out of C.
void TakeByte(QmCoder& q, uint32_t t)
{
    if (t > 0xFF) {
        // A carry: it lands in the held byte, and the stacked 0xFF bytes roll
        // over to 0x00.
        if (q.held >= 0)
            PutByte(q.out, static_cast<unsigned>(q.held) + 1);
        for (; q.stacked > 0; --q.stacked)
            PutByte(q.out, 0x00);
        q.held = static_cast<int>(t & 0xFF);
    } else if (t == 0xFF) {
        ++q.stacked;
    } else {
        if (q.held >= 0)
            PutByte(q.out, static_cast<unsigned>(q.held));
        for (; q.stacked > 0; --q.stacked)
            PutByte(q.out, 0xFF);
        q.held = static_cast<int>(t);
    }
}

// Called when CT has dropped to 0 or below: C has been shifted -CT bits past
// a completed byte (possibly past two). Takes the completed bytes out. C and
// CT travel by value so that the coding loops keep them in registers.
struct CodeRegister {
    uint64_t c;
    int ct;
};
__attribute__((noinline)) CodeRegister TakeBytes(QmCoder& q, uint64_t c, int ct)
{
    do {
        const int extra = -ct;
        TakeByte(q, static_cast<uint32_t>(c >> (19 + extra)));
        c &= (uint64_t(1) << (19 + extra)) - 1;
        ct += 8;
    } while (ct <= 0);
    return CodeRegister{c, ct};
}

// Codes one decision in context `cx` without branching on its outcome:
// A is reduced by Qe, the sub-interval chosen (with the conditional
// exchange), the statistics advanced and A doubled back to at least 0x8000.
// Returns 1 when A needed renormalising, else 0.
inline uint32_t CodeBit(QmCoder& q, uint8_t* stat, unsigned cx, unsigned pix, uint32_t& a, uint64_t& c, int& ct)
{
    const unsigned s = stat[cx];
    const QmStep& e = kQmSteps.row[s];
    const uint32_t qe = e.qe;
    const uint32_t a1 = a - qe;
    const uint32_t isMps = pix == (s & 1);
    const uint32_t renorm = (isMps ^ 1) | (a1 < 0x8000);
    // The decision takes the upper sub-interval (of size Qe) for an LPS when
    // the lower one is at least Qe, and for an MPS when it is smaller.
    const uint32_t upper = isMps ^ (a1 >= qe);
    const uint32_t mask = 0u - upper;
    c += a1 & mask;
    a = (qe & mask) | (a1 & ~mask);
    stat[cx] = e.next[isMps * 2 + renorm];
    const int n = __builtin_clz(a) - 16;
    a <<= n;
    c <<= n;
    ct -= n;
    if (ct <= 0) {
        const CodeRegister r = TakeBytes(q, c, ct);
        c = r.c;
        ct = r.ct;
    }
    return renorm;
}

inline void Code(QmCoder& q, unsigned cx, unsigned pix)
{
    uint32_t a = q.a;
    uint64_t c = q.c;
    int ct = q.ct;
    CodeBit(q, q.stat, cx, pix, a, c, ct);
    q.a = a;
    q.c = c;
    q.ct = ct;
}

// Codes `n` decisions in context `cx` that all equal its MPS, jumping
// straight from one renormalisation to the next.
void CodeMpsRun(QmCoder& q, uint32_t& a, uint64_t& c, int& ct, unsigned cx, uint64_t n)
{
    while (n > 0) {
        const unsigned s = q.stat[cx];
        const uint32_t qe = kQmSteps.row[s].qe;
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
        CodeBit(q, q.stat, cx, s & 1, a, c, ct);
    }
}

// Ends the coded data: picks the value in the final interval with the most
// trailing zero bits and writes out everything still held.
void QmFlush(QmCoder& q)
{
    uint64_t t = (q.c + q.a - 1) & 0xFFFF0000u;
    if (t < q.c)
        t += 0x8000;
    uint64_t c = t << q.ct;
    if (c > 0x7FFFFFF) {
        if (q.held >= 0)
            PutByte(q.out, static_cast<unsigned>(q.held) + 1);
        for (; q.stacked > 0; --q.stacked)
            PutByte(q.out, 0x00);
    } else {
        if (q.held >= 0)
            PutByte(q.out, static_cast<unsigned>(q.held));
        for (; q.stacked > 0; --q.stacked)
            PutByte(q.out, 0xFF);
    }
    PutByte(q.out, (c >> 19) & 0xFF);
    PutByte(q.out, (c >> 11) & 0xFF);
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
inline uint32_t CodePixel(QmCoder& q, uint8_t* stat, uint32_t w2, uint32_t w1, uint32_t w0, unsigned k, uint32_t& a,
                          uint64_t& c, int& ct)
{
    // Context, most significant bit first: x-1..x+1 two lines up, x-2..x+2
    // one line up, x-2 and x-1 on this line.
    const unsigned cx = ((w2 >> (7 - k)) & 0x380) | ((w1 >> (11 - k)) & 0x7C) | ((w0 >> (8 - k)) & 0x3);
    const unsigned pix = (w0 >> (7 - k)) & 1;
    if (kBusy)
        return CodeBit(q, stat, cx, pix, a, c, ct);
    const unsigned s = stat[cx];
    const uint32_t a1 = a - kQmSteps.row[s].qe;
    if (pix == (s & 1) && a1 >= 0x8000) {
        a = a1;
        return 0;
    }
    return CodeBit(q, stat, cx, pix, a, c, ct);
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
uint32_t CodeLine(QmCoder& q, const uint8_t* l2, const uint8_t* l1, const uint8_t* l0, const uint8_t* u,
                  uint32_t width)
{
    const size_t nbytes = JbigRowBytes(width);
    uint8_t* stat = q.stat;
    uint32_t a = q.a;
    uint64_t c = q.c;
    int ct = q.ct;
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
            CodeMpsRun(q, a, c, ct, 0, x1 - 8 * static_cast<uint64_t>(j));
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
                renorms += CodePixel<kBusy>(q, stat, w2, w1, w0, k, a, c, ct);
        } else {
            for (unsigned k = 0; k < left; ++k)
                renorms += CodePixel<kBusy>(q, stat, w2, w1, w0, k, a, c, ct);
        }
        ++j;
    }
    q.a = a;
    q.c = c;
    q.ct = ct;
    return renorms;
}

// Removes the trailing 0x00 bytes of a stripe's coded data (from `start`);
// a decoder supplies zeros itself at the marker. A 0x00 stuffed after 0xFF
// stays, as 0xFF right before the marker would read as a marker prefix.
void TrimTrailingZeros(std::vector<uint8_t>* out, size_t start)
{
    while (out->size() > start && out->back() == 0x00) {
        size_t n = out->size();
        if (n - start >= 2 && (*out)[n - 2] == 0xFF)
            break;
        out->pop_back();
    }
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
    uint8_t* line[3]; // each kPad + bpl + kPad bytes, data at line[i]
    uint8_t* any;     // OR of the three lines
};

void SetUpBuffers(StripeBuffers& b, size_t bpl)
{
    size_t span = bpl + 2 * kPad;
    b.mem.assign(4 * span, 0);
    for (int i = 0; i < 3; ++i)
        b.line[i] = b.mem.data() + i * span + kPad;
    b.any = b.mem.data() + 3 * span + kPad;
}

} // namespace

void JbigHeader(uint32_t width, uint32_t height, uint8_t out[kJbigHeaderSize])
{
    const uint32_t l0 = kJbigStripeLines;
    const uint8_t bih[kJbigHeaderSize] = {
        0, // DL: lowest resolution layer
        0, // D: no differential layers
        1, // P: one bit plane
        0, // reserved
        static_cast<uint8_t>(width >> 24),  static_cast<uint8_t>(width >> 16),
        static_cast<uint8_t>(width >> 8),   static_cast<uint8_t>(width),
        static_cast<uint8_t>(height >> 24), static_cast<uint8_t>(height >> 16),
        static_cast<uint8_t>(height >> 8),  static_cast<uint8_t>(height),
        static_cast<uint8_t>(l0 >> 24),     static_cast<uint8_t>(l0 >> 16),
        static_cast<uint8_t>(l0 >> 8),      static_cast<uint8_t>(l0),
        0,    // MX: no adaptive template moves
        0,    // MY
        0,    // order
        0x08, // options: TPBON
    };
    std::memcpy(out, bih, kJbigHeaderSize);
}

void EncodeJbigStripe(const uint8_t* raster, uint32_t width, uint32_t height, uint32_t stripe,
                      std::vector<uint8_t>* out)
{
    const size_t bpl = JbigRowBytes(width);
    const uint32_t y0 = stripe * kJbigStripeLines;
    const uint32_t y1 = std::min<uint64_t>(static_cast<uint64_t>(y0) + kJbigStripeLines, height);
    const uint8_t lastMask = static_cast<uint8_t>(0xFF00u >> (width % 8 == 0 ? 8 : width % 8));

    StripeBuffers b;
    SetUpBuffers(b, bpl);
    // Lines two above, one above and current; above the stripe all white.
    uint8_t* l2 = b.line[0];
    uint8_t* l1 = b.line[1];
    uint8_t* l0 = b.line[2];

    QmCoder q;
    QmInit(q, out);
    const size_t start = out->size();
    unsigned prevNotTypical = 1;
    uint32_t renorms = 0;
    bool busy = false;
    for (uint32_t y = y0; y < y1; ++y) {
        std::memcpy(l0, raster + static_cast<size_t>(y) * bpl, bpl);
        l0[bpl - 1] &= lastMask;
        // Typical prediction: a line equal to the one above is not coded;
        // the bit coded says whether that answer differs from the last one.
        unsigned notTypical = std::memcmp(l0, l1, bpl) != 0;
        Code(q, kTpContext, (notTypical ^ prevNotTypical) ^ 1);
        prevNotTypical = notTypical;
        if (notTypical) {
            MergeLines(b.any, l2, l1, l0, bpl);
            busy = renorms > width / kBusyShare;
            renorms = busy ? CodeLine<true>(q, l2, l1, l0, b.any, width) : CodeLine<false>(q, l2, l1, l0, b.any, width);
        }
        uint8_t* freed = l2;
        l2 = l1;
        l1 = l0;
        l0 = freed;
    }
    QmFlush(q);
    TrimTrailingZeros(out, start);
    out->push_back(0xFF); // ESC
    out->push_back(0x03); // SDRST
}

namespace {

// Stripes handed between the coding threads and the writer. A stripe's
// buffer lives in slot stripe % window, so at most `window` stripes are
// coded ahead of the one being written.
struct StripeQueue {
    std::mutex m;
    std::condition_variable cv;
    uint32_t stripes = 0;
    uint32_t window = 0;
    uint32_t nextClaim = 0; // next stripe a thread takes
    uint32_t nextWrite = 0; // next stripe the writer hands to the sink
    bool stop = false;
    bool failed = false; // a coding thread ran out of memory
    std::vector<std::vector<uint8_t>> slot;
    std::vector<char> ready;
};

struct PageJob {
    const uint8_t* raster;
    uint32_t width;
    uint32_t height;
    StripeQueue* queue;
};

void CodeStripes(PageJob job)
{
    StripeQueue& sq = *job.queue;
    std::unique_lock<std::mutex> lock(sq.m);
    for (;;) {
        sq.cv.wait(lock, [&] {
            return sq.stop || sq.nextClaim >= sq.stripes || sq.nextClaim < sq.nextWrite + sq.window;
        });
        if (sq.stop || sq.nextClaim >= sq.stripes)
            return;
        uint32_t s = sq.nextClaim++;
        std::vector<uint8_t> buf = std::move(sq.slot[s % sq.window]);
        lock.unlock();
        bool ok = true;
        try {
            buf.clear();
            EncodeJbigStripe(job.raster, job.width, job.height, s, &buf);
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
        sq.slot[s % sq.window] = std::move(buf);
        sq.ready[s % sq.window] = 1;
        sq.cv.notify_all();
    }
}

bool EncodeSerial(const uint8_t* raster, uint32_t width, uint32_t height, JbigSink sink, void* ctx)
{
    std::vector<uint8_t> buf;
    const uint32_t n = JbigStripeCount(height);
    for (uint32_t s = 0; s < n; ++s) {
        buf.clear();
        EncodeJbigStripe(raster, width, height, s, &buf);
        if (!sink(ctx, buf.data(), buf.size()))
            return false;
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
        sq.slot[s % sq.window] = std::move(data); // keep the memory for a later stripe
        ++sq.nextWrite;
        if (!ok)
            sq.stop = true;
        sq.cv.notify_all();
        if (!ok)
            return false;
    }
    return true;
}

} // namespace

bool EncodeJbigToSink(const uint8_t* raster, uint32_t width, uint32_t height, int threads, JbigSink sink,
                      void* ctx)
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
    sq.window = 2 * static_cast<uint32_t>(threads);
    sq.slot.resize(sq.window);
    sq.ready.assign(sq.window, 0);
    std::vector<std::thread> pool;
    const PageJob job = {raster, width, height, &sq};
    for (int i = 0; i < threads; ++i) {
        try {
            pool.emplace_back(CodeStripes, job);
        } catch (const std::system_error&) {
            break; // fewer threads then
        }
    }
    if (pool.empty())
        return EncodeSerial(raster, width, height, sink, ctx);
    bool ok = WriteStripesInOrder(sq, sink, ctx);
    {
        std::lock_guard<std::mutex> lock(sq.m);
        sq.stop = true;
        sq.cv.notify_all();
    }
    for (std::thread& t : pool)
        t.join();
    return ok && !sq.failed;
}

namespace {
bool AppendToVector(void* ctx, const uint8_t* data, size_t len)
{
    auto* v = static_cast<std::vector<uint8_t>*>(ctx);
    v->insert(v->end(), data, data + len);
    return true;
}
} // namespace

std::vector<uint8_t> EncodeJbig(const uint8_t* raster, uint32_t width, uint32_t height, int threads)
{
    std::vector<uint8_t> out;
    EncodeJbigToSink(raster, width, height, threads, AppendToVector, &out);
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
