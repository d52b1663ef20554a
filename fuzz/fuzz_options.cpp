// The option text through the parameter table, collation and serialisation.
#include <cstdint>
#include <cstring>
#include <string>

#include "params/params.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string options(reinterpret_cast<const char*>(data), size);
    options = options.c_str();  // the filter receives a C string
    PARAM_KEY_SPERATOR_VALUE table[kParamRows];
    memcpy(table, tblDefParam, sizeof table);
    GetJobParamFromCups(options.c_str(), table);
    SetJobParam("DocName", options.c_str(), table);
    DetectCollate(options.c_str());
    char text[kJobParamsTextSize];
    char* p = text;
    BuildJobParams(&p, table);
    if (strlen(text) > kJobParamsTextSize - 1)
        __builtin_trap();
    for (const auto& row : table)
        if (strnlen(row.value, sizeof row.value) == sizeof row.value)
            __builtin_trap();
    std::string shown = JobParamsForLog(table);
    std::string safe = LogSafe(options.c_str());
    if (safe.find('\n') != std::string::npos || safe.find('\r') != std::string::npos)
        __builtin_trap();
    char name[256] = {0};
    char* np = name;
    getDocumenName(options.c_str(), &np);
    if (strnlen(name, sizeof name) == sizeof name)
        __builtin_trap();
    return 0;
}
