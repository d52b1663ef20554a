// Differential fuzz target: the project's JBIG encoder against libjbig's
// encoder (jbigkit) with the options of the fixed command line
// `pbmtojbg -q -r -s 128 -o 0 -p 8 -m 0`: one layer, order 0, TPBON, SDRST,
// 128 lines per stripe, no adaptive-template moves. Any difference aborts.
//
// Input: a P4 PBM (header with comments, then the raster), or otherwise a
// compact description: width and height bytes, a fill mode, then pixel
// bytes that are repeated or continued row by row to cover the page.
#include "encoder/encoder.h"
#include "encoder/pbmtojbg_cli.h"

extern "C" {
#include <jbig.h>
}

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr uint64_t kMaxPixels = 1 << 19;

void Collect(unsigned char* data, size_t len, void* ctx)
{
    auto* v = static_cast<std::vector<uint8_t>*>(ctx);
    v->insert(v->end(), data, data + len);
}

std::vector<uint8_t> OracleEncode(std::vector<uint8_t> raster, uint32_t w, uint32_t h)
{
    // libjbig is given the page with the bits after each row's last pixel
    // cleared, as jbigkit's pbmtojbg does before encoding.
    const size_t bpl = JbigRowBytes(w);
    if (w % 8)
        for (uint32_t y = 0; y < h; ++y)
            raster[y * bpl + bpl - 1] &= static_cast<uint8_t>(0xFF00u >> (w % 8));
    std::vector<uint8_t> out;
    unsigned char* plane = raster.data();
    jbg_enc_state s;
    jbg_enc_init(&s, w, h, 1, &plane, Collect, &out);
    jbg_enc_layers(&s, 0);
    jbg_enc_options(&s, 0, JBG_TPBON | JBG_SDRST, 128, 0, 0);
    jbg_enc_out(&s);
    jbg_enc_free(&s);
    return out;
}

void Compare(const std::vector<uint8_t>& raster, uint32_t w, uint32_t h, int threads)
{
    std::vector<uint8_t> mine = EncodeJbig(raster.data(), w, h, threads);
    std::vector<uint8_t> theirs = OracleEncode(raster, w, h);
    if (mine != theirs) {
        size_t i = 0;
        while (i < mine.size() && i < theirs.size() && mine[i] == theirs[i])
            ++i;
        fprintf(stderr, "JBIG mismatch: %ux%u, %d threads, sizes %zu/%zu, first difference at byte %zu\n", w, h,
                threads, mine.size(), theirs.size(), i);
        abort();
    }
}

// Builds a page from the compact description.
bool PageFromBytes(const uint8_t* data, size_t size, std::vector<uint8_t>* raster, uint32_t* w, uint32_t* h,
                   int* threads)
{
    if (size < 5)
        return false;
    *w = 1 + ((static_cast<uint32_t>(data[0]) << 8 | data[1]) % 1200);
    *h = 1 + ((static_cast<uint32_t>(data[2]) << 8 | data[3]) % 700);
    const uint8_t mode = data[4];
    *threads = 1 + (mode >> 6);  // 1 to 4
    data += 5;
    size -= 5;
    if (static_cast<uint64_t>(*w) * *h > kMaxPixels)
        *h = static_cast<uint32_t>(kMaxPixels / *w);
    const size_t bpl = JbigRowBytes(*w);
    raster->assign(bpl * *h, 0);
    if (size == 0)
        return true;  // blank page
    // The bytes repeated, or as the first rows with each later row a copy of the one above.
    for (size_t i = 0; i < raster->size(); ++i)
        (*raster)[i] = !(mode & 1) || i < size ? data[i % size] : (i >= bpl ? (*raster)[i - bpl] : 0);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    PbmP4Header hdr;
    const char* why = nullptr;
    if (ParsePbmP4Header(data, size, &hdr, &why)) {
        const uint64_t pixels = static_cast<uint64_t>(hdr.width) * hdr.height;
        const size_t bpl = JbigRowBytes(hdr.width);
        const size_t avail = size - hdr.dataOffset;
        if (pixels <= kMaxPixels && bpl <= avail / hdr.height) {
            std::vector<uint8_t> raster(data + hdr.dataOffset, data + hdr.dataOffset + bpl * hdr.height);
            Compare(raster, hdr.width, hdr.height, 1 + static_cast<int>(size % 2));
        }
        return 0;
    }
    std::vector<uint8_t> raster;
    uint32_t w = 0, h = 0;
    int threads = 1;
    if (PageFromBytes(data, size, &raster, &w, &h, &threads))
        Compare(raster, w, h, threads);
    return 0;
}
