// Job parameters: the 24-row parameter table and its text form, the print
// settings resolved from the option text and the queue's PPD, the document
// name, the host name and the authentication identity.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

struct PARAM_KEY_SPERATOR_VALUE {
    char key[256];
    char sperator[8];
    char value[256];
};

constexpr int kParamRows = 24;
// Longest text block (6,436 characters) plus its terminator.
constexpr size_t kJobParamsTextSize = 6437;

extern const PARAM_KEY_SPERATOR_VALUE tblDefParam[kParamRows];

// Table operations. Each logs its lines (no CUPS prefix) to standard error.
void SetJobParams(char* token, PARAM_KEY_SPERATOR_VALUE* table);
void GetJobParam(const char* name, char** value, PARAM_KEY_SPERATOR_VALUE* table);
void SetJobParam(const char* name, const char* value, PARAM_KEY_SPERATOR_VALUE* table);
void BuildJobParams(char** text, PARAM_KEY_SPERATOR_VALUE* table);
void GetJobParamFromCups(const char* options, PARAM_KEY_SPERATOR_VALUE* table);

// The parameter text as it may be shown in logs: the password replaced by
// "****" (when set) and control characters escaped as LogSafe does.
std::string JobParamsForLog(const PARAM_KEY_SPERATOR_VALUE* table);

// The option text as a log line may show it: every token that would set the
// password keeps its name and shows "****" for the value; control
// characters escaped as LogSafe does.
std::string OptionsForLog(const char* options);

// Job flags decided once during start-up.
struct PrintSettings {
    unsigned char collate = 0;
    int duplex = 0;          // 0 one-sided, 1 DuplexNoTumble, 2 DuplexTumble
    int Flag_FeedEdge = 0;
    int Flag_Page_A5 = 0;
    int Flag_MediaType = 0;  // Plain 0, Thin 1, Thick 2, Recycle 3
    int copies = 0;
};

inline bool IsA5L(const PrintSettings& s) { return s.Flag_Page_A5 == 1 && s.Flag_FeedEdge == 1; }

// Collation as the queue delivers it: a Collate option (any spelling of its
// name, boolean value), else multiple-document-handling, else off.
int DetectCollate(const char* options);

// Opens the PPD named by $PPD, marks the job's options and writes every
// setting into the table and `settings` (all but collate). Returns false,
// after "ERROR: Unable to open PPD file!", when no PPD can be opened.
bool ResolvePrintSettings(const char* options, const char* copies,
                          PARAM_KEY_SPERATOR_VALUE* table, PrintSettings* settings);

// Document name from the job title (last path component, cut at the first
// blank after its first '.'), into a 256-byte buffer.
void getDocumenName(const char* title, char** name);

// Reads "/tmp/auth/auth_config"; fills the two 128-byte buffers. Returns true
// when the file was opened and parsed as JSON.
bool getAuthInfo(char** authId, char** password);
// Same, from a given path (tests and fuzzing).
bool getAuthInfoFrom(const char* path, char** authId, char** password);
// Parsing of the file's bytes alone.
bool ParseAuthJson(const char* text, size_t len, char* authId, char* password);

// Host name into a 65-byte buffer and parameter "HostName".
void SetHostNameParam(PARAM_KEY_SPERATOR_VALUE* table);

// Outside text made safe for one diagnostic line: control characters and
// backslashes are escaped (\n, \r, \t, \\, \xHH).
std::string LogSafe(const char* text);
std::string LogSafe(const char* text, size_t len);
