// The project's JBIG encoder, the library behind its `pbmtojbg` program and
// what a printer application links to code pages itself.
//
// A page goes in as packed 1-bit rows: most significant bit first, 1 =
// black, each row (width + 7) / 8 bytes with no gap between rows (the raster
// of a binary PBM). Bits after a row's last pixel are ignored.
//
// A complete JBIG image (ITU-T T.82) comes out, byte for byte what jbigkit's
//   pbmtojbg -q -x W -y H -r -s 128 -o 0 -p 8 -m 0 IN OUT
// writes for the page, the printer's one configuration: the 20-byte header,
// then stripes of 128 lines, each closed by an SDRST marker; one resolution
// layer, one plane, the three-line template without adaptive-template moves,
// typical prediction on.
//
// Stripes are coded independently of each other, so a page may be spread
// over threads; the bytes never depend on the thread count. Width and
// height must be at least 1.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

inline size_t JbigRowBytes(uint32_t width) { return (static_cast<size_t>(width) + 7) / 8; }

// The page in memory, coded on up to `threads` threads (1 or less: the
// calling thread only). Throws std::bad_alloc when memory runs out.
std::vector<uint8_t> EncodeJbig(const uint8_t* rows, uint32_t width, uint32_t height, int threads = 1);

// Receives the coded page piece by piece, in order. Returns false to stop
// the encoding (for example on a failed write).
typedef bool (*JbigSink)(void* ctx, const uint8_t* data, size_t len);

// The page into `sink`, holding at most a few stripes' output at a time.
// Returns false when the sink refused data or memory ran out; the sink may
// then have received part of the page.
bool EncodeJbigToSink(const uint8_t* rows, uint32_t width, uint32_t height, int threads, JbigSink sink, void* ctx);

// Threads worth using here: the CPUs this process may run on, at most 8.
int JbigDefaultThreads();

// True when some row has a set bit after its last pixel.
bool JbigHasPaddingBits(const uint8_t* rows, uint32_t width, uint32_t height);
