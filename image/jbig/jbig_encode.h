// JBIG (ITU-T T.82) encoder for bi-level pages, specialised to the one
// configuration the printer takes: a single resolution layer, one plane,
// stripes of 128 lines each ended by an SDRST marker, typical prediction
// (TPBON), the three-line template without adaptive-template moves.
//
// Input rasters are packed 1-bit rows, most significant bit first, 1 =
// black, each row (width + 7) / 8 bytes long (the PBM P4 layout). The bits
// after the last pixel of a row are ignored.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

constexpr uint32_t kJbigStripeLines = 128;
constexpr size_t kJbigHeaderSize = 20;

inline size_t JbigRowBytes(uint32_t width) { return (static_cast<size_t>(width) + 7) / 8; }
inline uint32_t JbigStripeCount(uint32_t height) { return (height + kJbigStripeLines - 1) / kJbigStripeLines; }

// The 20-byte bi-level image header (BIH) for a page of this size.
void JbigHeader(uint32_t width, uint32_t height, uint8_t out[kJbigHeaderSize]);

// Appends the coded data of stripe `stripe` (lines stripe*128 up to 128
// lines further, fewer for the last one) followed by the marker FF 03.
// Stripes are independent of each other: the coder and its statistics
// restart and the lines above a stripe count as white.
void EncodeJbigStripe(const uint8_t* raster, uint32_t width, uint32_t height, uint32_t stripe,
                      std::vector<uint8_t>* out);

// Receives the encoded page piece by piece, in order. Returns false to stop
// the encoding (for example on a failed write).
typedef bool (*JbigSink)(void* ctx, const uint8_t* data, size_t len);

// Encodes a whole page (header and all stripes) into `sink`, coding stripes
// on up to `threads` threads (1 or less: on the calling thread only). At
// most a few stripes' output is held at any time. Returns false when the
// sink refused data or a thread could not be started; the sink may then
// have received part of the page. `width` and `height` must be at least 1.
bool EncodeJbigToSink(const uint8_t* raster, uint32_t width, uint32_t height, int threads, JbigSink sink,
                      void* ctx);

// The whole page in memory.
std::vector<uint8_t> EncodeJbig(const uint8_t* raster, uint32_t width, uint32_t height, int threads);

// Threads worth using on this machine: the CPUs this process may run on,
// at most kJbigMaxThreads.
constexpr int kJbigMaxThreads = 8;
int JbigDefaultThreads();

// True when some row has a set bit after its last pixel.
bool JbigHasPaddingBits(const uint8_t* raster, uint32_t width, uint32_t height);
