// Outside text (titles, option tokens, values, auth data, host names) made
// safe to print inside one diagnostic line, and the stream the parameter
// functions write their lines to. The scheduler acts on lines that begin
// with "PPD:", "ATTR:" or "STATE:", so a line feed or carriage return taken
// from a job must never start a new line on standard error.
#include "params/params.h"

#include <cstdio>
#include <cstring>

namespace {
thread_local FILE* threadLog = nullptr;
}  // namespace

FILE* ParamsLog() { return threadLog != nullptr ? threadLog : stderr; }

void SetParamsLog(FILE* log) { threadLog = log; }

std::string LogSafe(const char* text, size_t len)
{
    std::string out;
    if (text == nullptr)
        return out;
    out.reserve(len);
    for (size_t i = 0; i < len; ++i) {
        unsigned char c = (unsigned char)text[i];
        switch (c) {
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\\':
            out += "\\\\";
            break;
        default:
            if (c < 0x20 || c == 0x7f) {
                char hex[5];
                snprintf(hex, sizeof hex, "\\x%02x", c);
                out += hex;
            } else {
                // Printable ASCII and bytes from 0x80 up (UTF-8 titles) as they are.
                out += (char)c;
            }
        }
    }
    return out;
}

std::string LogSafe(const char* text)
{
    if (text == nullptr)
        return std::string();
    return LogSafe(text, strlen(text));
}
