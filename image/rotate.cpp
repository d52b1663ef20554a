// Quarter and half turns of packed 1-bit images, in memory and file to file.
//
// Layout: pixel (row i, column j) is bit 7 - j % 8 of byte i * stride + j / 8,
// stride (width + 7) / 8, 1 = black. The bits after a row's last pixel are
// padding: never read from the source, always 0 in the output.
#include "image/image.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

inline size_t Stride(int width) { return ((size_t)width + 7) / 8; }

inline int GetBit(const uint8_t* img, size_t stride, int row, int col)
{
    return (img[(size_t)row * stride + (size_t)col / 8] >> (7 - col % 8)) & 1;
}

inline void OrBit(uint8_t* img, size_t stride, int row, int col, int bit)
{
    img[(size_t)row * stride + (size_t)col / 8] |= (uint8_t)(bit << (7 - col % 8));
}

// Transposes an 8x8 bit block held with row r in byte 7 - r of the word
// (row 0 most significant) and column c in bit 7 - c of its byte.
inline uint64_t Transpose8x8(uint64_t x)
{
    uint64_t t;
    t = (x ^ (x >> 7)) & 0x00AA00AA00AA00AAull;
    x = x ^ t ^ (t << 7);
    t = (x ^ (x >> 14)) & 0x0000CCCC0000CCCCull;
    x = x ^ t ^ (t << 14);
    t = (x ^ (x >> 28)) & 0x00000000F0F0F0F0ull;
    x = x ^ t ^ (t << 28);
    return x;
}

struct ReverseTable {
    uint8_t v[256];
    constexpr ReverseTable() : v()
    {
        for (int i = 0; i < 256; i++) {
            int r = 0;
            for (int b = 0; b < 8; b++)
                if (i & (1 << b))
                    r |= 0x80 >> b;
            v[i] = (uint8_t)r;
        }
    }
};
constexpr ReverseTable kReverse;

// Output byte columns handled together in one sweep over the source: 256
// source rows, whose current cache lines stay in the first-level cache while
// each output row receives 32 consecutive bytes per sweep (measured fastest
// among 8 to 128 on an A4 1200 dpi page).
constexpr int kTileBytes = 32;

// Quarter turns by 8x8 block transposes. Output byte column ob holds the
// source rows that land in output columns 8*ob .. 8*ob+7; each source byte
// column gives 8 output rows.
void QuarterTurn(const uint8_t* src, int w, int h, bool clockwise, uint8_t* dst)
{
    const size_t S = Stride(w);
    const size_t D = Stride(h);
    const uint8_t* rows[kTileBytes * 8];
    uint64_t masks[kTileBytes];
    for (size_t ob0 = 0; ob0 < D; ob0 += kTileBytes) {
        const int nb = (int)std::min<size_t>(kTileBytes, D - ob0);
        for (int t = 0; t < nb; t++) {
            uint64_t mask = 0;
            for (int j = 0; j < 8; j++) {
                // Output column c = 8*(ob0+t)+j comes from source row c (-90)
                // or h-1-c (90). Rows past the image read row 0 and are masked.
                int64_t c = (int64_t)(ob0 + t) * 8 + j;
                int64_t sy = clockwise ? (int64_t)h - 1 - c : c;
                bool valid = sy >= 0 && sy < h;
                rows[t * 8 + j] = src + (valid ? (size_t)sy * S : 0);
                if (valid)
                    mask |= 0xFFull << (56 - 8 * j);
            }
            masks[t] = mask;
        }
        for (size_t bx = 0; bx < S; bx++) {
            const int kmax = (int)std::min<int64_t>(8, (int64_t)w - 8 * (int64_t)bx);
            // Output row of source column 8*bx+k: w-1-x for -90, x for 90.
            uint8_t* out[8];
            for (int k = 0; k < kmax; k++) {
                int64_t x = 8 * (int64_t)bx + k;
                size_t row = clockwise ? (size_t)x : (size_t)(w - 1 - x);
                out[k] = dst + row * D + ob0;
            }
            for (int t = 0; t < nb; t++) {
                const uint8_t* const* r = rows + t * 8;
                uint64_t x = (uint64_t)r[0][bx] << 56 | (uint64_t)r[1][bx] << 48 | (uint64_t)r[2][bx] << 40 |
                             (uint64_t)r[3][bx] << 32 | (uint64_t)r[4][bx] << 24 | (uint64_t)r[5][bx] << 16 |
                             (uint64_t)r[6][bx] << 8 | (uint64_t)r[7][bx];
                x = Transpose8x8(x & masks[t]);
                for (int k = 0; k < kmax; k++)
                    out[k][t] = (uint8_t)(x >> (56 - 8 * k));
            }
        }
    }
}

// Half turn: each output row is a source row read backwards. Reversing the
// bytes and the bits in each byte puts the row's padding in front; shifting
// the row left by the padding width moves it back to the end.
void HalfTurn(const uint8_t* src, int w, int h, uint8_t* dst)
{
    const size_t S = Stride(w);
    const int pad = (int)(S * 8 - (size_t)w);
    for (int y = 0; y < h; y++) {
        const uint8_t* s = src + (size_t)y * S;
        uint8_t* d = dst + (size_t)(h - 1 - y) * S;
        if (pad == 0) {
            for (size_t i = 0; i < S; i++)
                d[i] = kReverse.v[s[S - 1 - i]];
            continue;
        }
        unsigned hi = kReverse.v[s[S - 1]];
        for (size_t i = 0; i + 1 < S; i++) {
            unsigned lo = kReverse.v[s[S - 2 - i]];
            d[i] = (uint8_t)((hi << pad) | (lo >> (8 - pad)));
            hi = lo;
        }
        d[S - 1] = (uint8_t)(hi << pad);
    }
}

size_t RotatedSize(int w, int h, int angle) { return angle == 180 ? Stride(w) * (size_t)h : Stride(h) * (size_t)w; }

bool SupportedAngle(int angle) { return angle == -90 || angle == 90 || angle == 180; }

}  // namespace

void RotateBitsReference(const uint8_t* src, int w, int h, int angle, uint8_t* dst)
{
    if (!SupportedAngle(angle) || w <= 0 || h <= 0)
        return;
    const size_t S = Stride(w);
    const size_t D = angle == 180 ? Stride(w) : Stride(h);
    memset(dst, 0, RotatedSize(w, h, angle));
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++) {
            int bit = GetBit(src, S, y, x);
            if (angle == -90)
                OrBit(dst, D, w - 1 - x, y, bit);
            else if (angle == 90)
                OrBit(dst, D, x, h - 1 - y, bit);
            else
                OrBit(dst, D, h - 1 - y, w - 1 - x, bit);
        }
    }
}

void RotateBits(const uint8_t* src, int w, int h, int angle, uint8_t* dst)
{
    if (!SupportedAngle(angle) || w <= 0 || h <= 0)
        return;
    if (angle == 180)
        HalfTurn(src, w, h, dst);
    else
        QuarterTurn(src, w, h, angle == 90, dst);
}

namespace {

bool Allocate(std::vector<uint8_t>* v, size_t size, const char* in)
{
    try {
        v->resize(size);
        return true;
    } catch (const std::bad_alloc&) {
        fprintf(stderr, "PBM file %s: no memory for %zu bytes.\n", in, size);
        return false;
    }
}

// The half turn's trace of the top left 100 x 100 source pixels, in the
// order a per-pixel turn visits them: rows outer, columns inner.
void PrintHalfTurnTrace(int w, int h)
{
    const int64_t S = (int64_t)Stride(w);
    for (int y = 0; y < std::min(h, 100); y++)
        for (int x = 0; x < std::min(w, 100); x++)
            fprintf(stderr, "col = %d, originalByte = %d, rotatedByte = %d\n", x, (int)(y * S + x / 8),
                    (int)((h - 1 - y) * S + (w - 1 - x) / 8));
}

// Reads the input image: header, the one whitespace after it, the raster.
// False after a message.
bool ReadPbmImage(const char* in, int* w, int* h, std::vector<uint8_t>* img)
{
    std::unique_ptr<FILE, int (*)(FILE*)> f(fopen(in, "rb"), fclose);
    if (!f) {
        perror("Error opening input file");
        return false;
    }
    char magic[3];
    bool header = ReadPbmHeader(f.get(), magic, w, h);
    fgetc(f.get());
    if (strcmp(magic, "P4") != 0) {
        fprintf(stderr, "Unsupported format or not a PBM file.\n");
        return false;
    }
    // A header without a usable size, or a size beyond any page the filter
    // captures, is refused rather than guessed at.
    if (!header || *w <= 0 || *h <= 0 || Stride(*w) * (uint64_t)*h > kMaxPageBytes ||
        Stride(*h) * (uint64_t)*w > kMaxPageBytes) {
        fprintf(stderr, "PBM file %s: width and height missing or out of range.\n", in);
        return false;
    }
    const size_t size = Stride(*w) * (size_t)*h;
    if (!Allocate(img, size, in))
        return false;
    size_t got = fread(img->data(), 1, size, f.get());
    // Missing raster bytes have no defined content: refuse the file.
    if (got != size) {
        fprintf(stderr, "PBM file %s: raster has %zu of %zu bytes.\n", in, got, size);
        return false;
    }
    return true;
}

}  // namespace

int rotatePbm(const char* in, const char* out, int angle)
{
    if (!SupportedAngle(angle)) {
        fprintf(stderr, "Unsupported rotation angle %d.\n", angle);
        return 1;
    }
    int w = 0, h = 0;
    std::vector<uint8_t> img, turned;
    if (!ReadPbmImage(in, &w, &h, &img) || !Allocate(&turned, RotatedSize(w, h, angle), in))
        return 1;
    RotateBits(img.data(), w, h, angle, turned.data());
    if (angle == 180)
        PrintHalfTurnTrace(w, h);
    const int outW = angle == 180 ? w : h;
    const int outH = angle == 180 ? h : w;
    switch (WritePbm(out, outW, outH, turned.data())) {
    case PbmWrite::Ok:
        return 0;
    case PbmWrite::OpenFailed:
        perror("Error opening output file");
        return 1;
    case PbmWrite::WriteFailed:
        perror("Error writing output file");
        return 1;
    }
    return 1;
}
