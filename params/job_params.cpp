// The 24-row job parameter table, the operations that fill and read it, and
// its text form "key=value, " that travels to the printer in the job record.
#include "params/params.h"

#include <cstdio>
#include <cstring>

const PARAM_KEY_SPERATOR_VALUE tblDefParam[kParamRows] = {
    {"PageSize", "=", "A4"},
    {"Resolution", "=", "600dpi"},
    {"resX", "=", "600dpi"},
    {"resY", "=", "600dpi"},
    {"FeedEdge", "=", "0"},
    {"Collate", "=", "False"},
    {"Duplex", "=", "None"},
    {"MediaType", "=", "Plain"},
    {"InputSlot", "=", "MainTray"},
    {"number-up", "=", "1"},
    {"job-uuid", "=", ""},
    {"job-originating-host-name", "=", ""},
    // The date-time rows stand before the time rows: "time-at-creation" is
    // contained in "date-time-at-creation", and the first matching row wins.
    {"date-time-at-creation", "=", ""},
    {"date-time-at-processing", "=", ""},
    {"time-at-creation", "=", ""},
    {"time-at-processing", "=", ""},
    {"copies", "=", "1"},
    {"jobId", "=", ""},
    {"DocName", "=", ""},
    {"HostName", "=", ""},
    {"LoginName", "=", ""},
    {"AuthID", "=", ""},
    {"AuthPassword", "=", ""},
    {"Border", "=", "1"},
};

namespace {

constexpr size_t kKeyMax = sizeof(PARAM_KEY_SPERATOR_VALUE::key) - 1;
constexpr size_t kSepMax = sizeof(PARAM_KEY_SPERATOR_VALUE::sperator) - 1;
constexpr size_t kValueMax = sizeof(PARAM_KEY_SPERATOR_VALUE::value) - 1;
constexpr size_t kTokenMax = 511;
const char kPasswordKey[] = "AuthPassword";
const char kMask[] = "****";

// Field lengths never reach past the field, even in a table whose text
// lost its terminator.
size_t KeyLen(const PARAM_KEY_SPERATOR_VALUE& row) { return strnlen(row.key, kKeyMax); }
size_t SepLen(const PARAM_KEY_SPERATOR_VALUE& row) { return strnlen(row.sperator, kSepMax); }
size_t ValueLen(const PARAM_KEY_SPERATOR_VALUE& row) { return strnlen(row.value, kValueMax); }

bool IsPasswordRow(const PARAM_KEY_SPERATOR_VALUE& row) { return strncmp(row.key, kPasswordKey, sizeof row.key) == 0; }

// A row's value as a diagnostic may show it: the password masked, the rest
// with control characters escaped.
std::string ValueForLog(const PARAM_KEY_SPERATOR_VALUE& row)
{
    size_t len = ValueLen(row);
    if (IsPasswordRow(row))
        return len == 0 ? std::string() : std::string(kMask);
    return LogSafe(row.value, len);
}

PARAM_KEY_SPERATOR_VALUE* FindRow(const char* name, PARAM_KEY_SPERATOR_VALUE* table)
{
    if (name == nullptr || table == nullptr)
        return nullptr;
    for (int i = 0; i < kParamRows; ++i) {
        if (strncmp(table[i].key, name, sizeof table[i].key) == 0)
            return &table[i];
    }
    return nullptr;
}

// The row an option token sets: the first, in table order, whose name
// occurs anywhere in the token.
PARAM_KEY_SPERATOR_VALUE* MatchRow(const char* token, PARAM_KEY_SPERATOR_VALUE* table)
{
    for (int i = 0; i < kParamRows; ++i) {
        if (strnlen(table[i].key, sizeof table[i].key) <= kKeyMax && strstr(token, table[i].key) != nullptr)
            return &table[i];
    }
    return nullptr;
}

// Replaces a row's value with at most 255 characters of `text` (which may
// point into the row itself).
void StoreValue(PARAM_KEY_SPERATOR_VALUE* row, const char* text, size_t len)
{
    char tmp[sizeof row->value];
    if (len > kValueMax)
        len = kValueMax;
    memcpy(tmp, text, len);
    memset(row->value, 0, sizeof row->value);
    memcpy(row->value, tmp, len);
}

size_t Append(char* out, size_t pos, const char* text, size_t len)
{
    memcpy(out + pos, text, len);
    return pos + len;
}

// The text form of the table into `out` (at least kJobParamsTextSize bytes).
// Every field is bounded, so the text never exceeds 6,436 characters.
void Serialise(const PARAM_KEY_SPERATOR_VALUE* table, char* out)
{
    size_t pos = 0;
    for (int i = 0; i < kParamRows; ++i) {
        const PARAM_KEY_SPERATOR_VALUE& row = table[i];
        if (SepLen(row) > 0) {
            pos = Append(out, pos, row.key, KeyLen(row));
            pos = Append(out, pos, row.sperator, SepLen(row));
        }
        pos = Append(out, pos, row.value, ValueLen(row));
        pos = Append(out, pos, ", ", 2);
    }
    out[pos] = '\0';
}

// A token as its log line may show it: a password token keeps its name and
// separator, the rest becomes "****".
std::string TokenForLog(const char* token, size_t len, PARAM_KEY_SPERATOR_VALUE* table)
{
    const PARAM_KEY_SPERATOR_VALUE* row = MatchRow(token, table);
    if (row == nullptr || !IsPasswordRow(*row))
        return LogSafe(token, len);
    if (SepLen(*row) == 0)
        return kMask;  // the whole token would be the value
    size_t head = KeyLen(*row) + SepLen(*row);
    if (len <= head)
        return LogSafe(token, len);  // nothing after the name and separator
    return LogSafe(token, head) + kMask;
}

// One option token, copied into its 512-byte buffer (cut to 511 characters).
void HandleToken(const char* start, size_t len, PARAM_KEY_SPERATOR_VALUE* table)
{
    char token[kTokenMax + 1];
    memset(token, 0, sizeof token);
    if (len > kTokenMax)
        len = kTokenMax;
    memcpy(token, start, len);
    fprintf(ParamsLog(), "One_Param:%s , Len:%d\n", TokenForLog(token, len, table).c_str(), (int)len);
    SetJobParams(token, table);
}

}  // namespace

void SetJobParams(char* token, PARAM_KEY_SPERATOR_VALUE* table)
{
    if (token == nullptr || table == nullptr)
        return;
    PARAM_KEY_SPERATOR_VALUE* row = MatchRow(token, table);
    if (row == nullptr)
        return;

    size_t keyLen = KeyLen(*row);
    fprintf(ParamsLog(), "Key:%s , Length:%d\n", LogSafe(row->key, keyLen).c_str(), (int)keyLen);

    size_t tokenLen = strlen(token);
    size_t sepLen = SepLen(*row);
    if (sepLen == 0) {
        StoreValue(row, token, tokenLen);
    } else if (tokenLen > keyLen + sepLen) {
        // The value is whatever follows the name's and separator's lengths,
        // counted from the token's start.
        size_t start = keyLen + sepLen;
        StoreValue(row, token + start, tokenLen - start);
    }
    fprintf(ParamsLog(), "Value:%s , Length:%d\n", ValueForLog(*row).c_str(), (int)ValueLen(*row));
}

void GetJobParam(const char* name, char** value, PARAM_KEY_SPERATOR_VALUE* table)
{
    PARAM_KEY_SPERATOR_VALUE* row = FindRow(name, table);
    if (row == nullptr || value == nullptr)
        return;
    *value = row->value;
    fprintf(ParamsLog(), "GetJobParam:[%s , %s ]\n", LogSafe(row->key, KeyLen(*row)).c_str(),
            ValueForLog(*row).c_str());
}

void SetJobParam(const char* name, const char* value, PARAM_KEY_SPERATOR_VALUE* table)
{
    PARAM_KEY_SPERATOR_VALUE* row = FindRow(name, table);
    if (row == nullptr)
        return;
    if (value == nullptr)
        value = "";
    StoreValue(row, value, strnlen(value, kValueMax));
    fprintf(ParamsLog(), "SetJobParam:[%s , %s ]\n", LogSafe(row->key, KeyLen(*row)).c_str(),
            ValueForLog(*row).c_str());
}

void BuildJobParams(char** text, PARAM_KEY_SPERATOR_VALUE* table)
{
    if (text == nullptr || *text == nullptr || table == nullptr)
        return;
    Serialise(table, *text);
    fprintf(ParamsLog(), "BuildJobParams:%s\n", JobParamsForLog(table).c_str());
}

std::string JobParamsForLog(const PARAM_KEY_SPERATOR_VALUE* table)
{
    // Same layout as the printer's text, but one safe log line.
    std::string out;
    if (table == nullptr)
        return out;
    for (int i = 0; i < kParamRows; ++i) {
        const PARAM_KEY_SPERATOR_VALUE& row = table[i];
        if (SepLen(row) > 0) {
            out += LogSafe(row.key, KeyLen(row));
            out += LogSafe(row.sperator, SepLen(row));
        }
        out += ValueForLog(row);
        out += ", ";
    }
    return out;
}

void GetJobParamFromCups(const char* options, PARAM_KEY_SPERATOR_VALUE* table)
{
    if (options == nullptr || table == nullptr)
        return;
    // Tokens end at each blank (0x20 only) and at the end of the text; two
    // blanks in a row make an empty token, the end of the text does not.
    const char* start = options;
    for (const char* p = options;; ++p) {
        if (*p == ' ') {
            HandleToken(start, (size_t)(p - start), table);
            start = p + 1;
        } else if (*p == '\0') {
            if (p > start)
                HandleToken(start, (size_t)(p - start), table);
            break;
        }
    }
}

std::string OptionsForLog(const char* options)
{
    PARAM_KEY_SPERATOR_VALUE table[kParamRows];
    memcpy(table, tblDefParam, sizeof table);
    std::string out;
    const char* start = options;
    for (const char* p = options;; ++p) {
        if (*p != ' ' && *p != '\0')
            continue;
        std::string token(start, (size_t)(p - start));
        out += TokenForLog(token.c_str(), token.size(), table);
        if (*p == '\0')
            break;
        out += ' ';
        start = p + 1;
    }
    return out;
}
