// The authentication file's bytes through its parser: no crash, and the
// identity and password always fit their 128-byte buffers.
#include <cstdint>
#include <cstring>

#include "params/params.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    char id[128], pw[128];
    memset(id, 0, sizeof id);
    memset(pw, 0, sizeof pw);
    ParseAuthJson(reinterpret_cast<const char*>(data), size, id, pw);
    if (strnlen(id, sizeof id) == sizeof id || strnlen(pw, sizeof pw) == sizeof pw)
        __builtin_trap();
    return 0;
}
