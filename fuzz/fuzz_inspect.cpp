// libFuzzer target: arbitrary bytes as a printer stream through the
// inspector's strict parser, then every page's JBIG data through the decoder.
#include "tools/inspect.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

// Keeps a single decoded page small enough for the fuzzer's memory limit
// while still covering multi-stripe pages.
constexpr uint64_t kFuzzMaxPixels = uint64_t(1) << 22;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ParsedStream s;
    std::string error;
    if (!ParseStream(data, size, &s, &error)) {
        if (error.compare(0, 5, "byte ") != 0)
            __builtin_trap();  // every refusal says where
        return 0;
    }
    if (s.has_job_record) {
        // Parsing the carried text alone must agree with the record's parse.
        InspectParams again;
        if (!ParseJobParams(s.job_params.data(), s.job_params.size(), &again, &error))
            __builtin_trap();
        if (memcmp(&again, &s.params, sizeof again) != 0)
            __builtin_trap();
    }
    uint32_t expected = 1;
    for (const InspectPage& p : s.pages) {
        if (p.pageseq != expected++ || p.firstpage > 1 || p.lastpage > 1)
            __builtin_trap();
        if (p.data < data || p.data + p.datasize > data + size)
            __builtin_trap();
        PageImage img;
        if (DecodeJbig(p.data, p.datasize, kFuzzMaxPixels, &img, &error)) {
            const uint64_t want = (uint64_t(img.width) + 7) / 8 * img.height;
            if (img.bits.size() != want || uint64_t(img.width) * img.height > kFuzzMaxPixels)
                __builtin_trap();
        }
    }
    return 0;
}
