// Job parameters: the 24-row parameter table and its text form, the print
// settings decided from the job's choices (read from the queue's PPD or given
// by another front end), the document name, the host name and the
// authentication identity.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
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

// Where every function declared here writes its lines: standard error,
// unless the calling thread has named another stream. A printer application
// runs several jobs at once, one per thread, and sends each job's lines to
// that job's log; the filter never sets it.
FILE* ParamsLog();
// Names the calling thread's stream; nullptr restores standard error.
void SetParamsLog(FILE* log);

// Table operations. Each logs its lines (no CUPS prefix) to ParamsLog().
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
    int duplex = 0;  // 0 one-sided, 1 DuplexNoTumble, 2 DuplexTumble
    int Flag_FeedEdge = 0;
    int Flag_Page_A5 = 0;
    int Flag_MediaType = 0;  // Plain 0, Thin 1, Thick 2, Recycle 3
    int copies = 0;
};

inline bool IsA5L(const PrintSettings& s) { return s.Flag_Page_A5 == 1 && s.Flag_FeedEdge == 1; }

// Collation as the queue delivers it: a Collate option (any spelling of its
// name, boolean value), else multiple-document-handling, else off.
int DetectCollate(const char* options);

// What the job chose, as far as the print settings depend on it. A front
// end fills it from wherever its choices live: the PPD adapter below from
// the job's option text and the choices its PPD has marked, a printer
// application from the job's IPP attributes. Nothing here is logged when it
// is filled; ApplyJobChoices writes every line.
enum class PageSizeFrom {
    Nothing,  // the table's PageSize stays as it is
    Option,   // the job's PageSize option, text as given
    Marking,  // a size the printer knows, chosen by marking or default
};
enum class DuplexChoice { None, NoTumble, Tumble };  // stored as None, DuplexNoTumble, DuplexTumble
enum class TrayChoice { Main, Manual, Auto };        // stored as MainTray, ManualTray, AutoTray
enum class MediaChoice { Plain, Recycle, Thin, Thick };

// The members' defaults leave the table's defaults in place.
struct JobChoices {
    std::string pageSize;
    PageSizeFrom pageSizeFrom = PageSizeFrom::Nothing;
    // The chosen size is A5. It is decided with the choices, not from the
    // text: a PageSize option the PPD lacks is never A5.
    bool pageA5 = false;
    // The InputSlot option's text, logged and stored before `tray`
    // overwrites it.
    std::optional<std::string> inputSlotText;
    TrayChoice tray = TrayChoice::Main;
    bool resolution1200 = false;  // otherwise Resolution keeps its value
    DuplexChoice duplex = DuplexChoice::None;
    bool feedEdge = false;   // FeedEdge "1": the short edge leads
    bool landscape = false;  // logged only
    MediaChoice media = MediaChoice::Plain;
    bool borderless = false;  // Border "0"
    // The printer's identity, when the front end keeps it (a printer
    // application, per printer). Without it the authentication file is read,
    // as the filter does.
    struct Identity {
        std::string authId;
        std::string password;
    };
    std::optional<Identity> identity;
};

// Writes every setting the choices decide into the table and `settings`
// (all but collate), in this order, each with its DEBUG lines: PageSize,
// InputSlot, Resolution, Duplex, FeedEdge, the A5 flag, the orientation (a
// log line only), MediaType, the copies (the argument's leading number; the
// text itself is stored), the bank sizes' printer names (BANK1 -> CUS_1,
// BANK2 -> CUS_2), the identity (the choices' own, else the authentication
// file's), the checks
// that turn two-sided printing off (manual tray, media neither plain nor
// recycled, A5 fed short edge first, a size other than A4, Letter, A5, B5,
// B5ISO and 16k: the first that applies is logged), and Border.
void ApplyJobChoices(const JobChoices& choices, const char* copies, PARAM_KEY_SPERATOR_VALUE* table,
                     PrintSettings* settings);

// The PPD adapter. Opens the PPD named by $PPD, marks its defaults and the
// job's options, reads the choices as JobChoices and applies them. Where
// the marking leaves more than one choice of an option, the first of these
// counts: PageSize A4, A5, B5, 16k, Letter, Statement, Legal, Executive, A6,
// B6, B5ISO, BANK1, BANK2 (a PageSize option's text comes before any of
// them); InputSlot MainTray, ManualTray, else AutoTray; Duplex None,
// DuplexNoTumble, else DuplexTumble (also when the PPD has no Duplex);
// MediaType Plain, Recycle, Thin, else Thick. Resolution is 1200dpi, FeedEdge
// "1", Border "0" and Orientation Landscape only when that choice is marked.
// Returns false, after "ERROR: Unable to open PPD file!", when no PPD can be
// opened; the table and `settings` are then untouched.
bool ResolvePrintSettings(const char* options, const char* copies, PARAM_KEY_SPERATOR_VALUE* table,
                          PrintSettings* settings);

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
