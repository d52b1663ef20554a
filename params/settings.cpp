// Print settings: collation from the option text, and every other setting
// from the queue's PPD marked with the job's options.
#include "params/params.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <cups/cups.h>
#include <cups/ppd.h>

namespace {

constexpr size_t kAuthBufSize = 128;

// A boolean option value as libcups spells it: 1 true, 0 false, -1 neither.
int BooleanValue(const char* v)
{
    if (strcasecmp(v, "true") == 0 || strcasecmp(v, "yes") == 0 || strcasecmp(v, "on") == 0)
        return 1;
    if (strcasecmp(v, "false") == 0 || strcasecmp(v, "no") == 0 || strcasecmp(v, "off") == 0)
        return 0;
    return -1;
}

// The IPP form print dialogs send: 1 collated, 0 uncollated, -1 neither.
int DocumentHandlingValue(const char* v)
{
    if (strcmp(v, "separate-documents-uncollated-copies") == 0)
        return 0;
    if (strcmp(v, "separate-documents-collated-copies") == 0 || strcmp(v, "single-document") == 0 ||
        strcmp(v, "single-document-new-sheet") == 0)
        return 1;
    return -1;
}

bool Marked(ppd_file_t* ppd, const char* keyword, const char* choice)
{
    return ppdIsMarked(ppd, keyword, choice) != 0;
}

// The table's value of `key`, or "" when the row is missing.
const char* TableValue(const char* key, PARAM_KEY_SPERATOR_VALUE* table)
{
    char* value = nullptr;
    GetJobParam(key, &value, table);
    return value != nullptr ? value : "";
}

// atoi's reading of the copies argument (optional blanks and sign, leading
// decimal digits, 0 without any), held to the range of int.
int CopiesFromArg(const char* text)
{
    if (text == nullptr)
        return 0;
    long long v = strtoll(text, nullptr, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return (int)v;
}

void ResolvePageSize(ppd_file_t* ppd, int numOptions, cups_option_t* options, PARAM_KEY_SPERATOR_VALUE* table)
{
    const char* option = cupsGetOption("PageSize", numOptions, options);
    if (option != nullptr) {
        fprintf(stderr, "DEBUG: option PageSize,value=%s\n", LogSafe(option).c_str());
        SetJobParam("PageSize", option, table);
        return;
    }
    static const char* const chain[] = {"A4",    "A5",        "B5", "16k", "Letter", "Statement", "Legal",
                                        "Executive", "A6", "B6", "B5ISO", "BANK1", "BANK2"};
    for (const char* size : chain) {
        if (Marked(ppd, "PageSize", size)) {
            fprintf(stderr, "DEBUG: ppd PageSize,value=%s\n", size);
            SetJobParam("PageSize", size, table);
            return;
        }
    }
}

void ResolveInputSlot(ppd_file_t* ppd, int numOptions, cups_option_t* options, PARAM_KEY_SPERATOR_VALUE* table)
{
    const char* option = cupsGetOption("InputSlot", numOptions, options);
    if (option != nullptr) {
        fprintf(stderr, "DEBUG: option PaperBox,value=%s\n", LogSafe(option).c_str());
        SetJobParam("InputSlot", option, table);
    }
    if (Marked(ppd, "InputSlot", "MainTray")) {
        SetJobParam("InputSlot", "MainTray", table);
        fprintf(stderr, "DEBUG: InputSlot is MainTray.\n");
    } else if (Marked(ppd, "InputSlot", "ManualTray")) {
        fprintf(stderr, "DEBUG: InputSlot is ManualTray.\n");
        SetJobParam("InputSlot", "ManualTray", table);
    } else {
        SetJobParam("InputSlot", "AutoTray", table);
        fprintf(stderr, "DEBUG: InputSlot is AutoTray.\n");
    }
}

void ResolveResolution(ppd_file_t* ppd, PARAM_KEY_SPERATOR_VALUE* table)
{
    if (Marked(ppd, "Resolution", "1200dpi")) {
        SetJobParam("Resolution", "1200dpi", table);
        fprintf(stderr, "DEBUG: Resolution is 1200dpi. \n");
    }
    fprintf(stderr, "DEBUG: resX is default(600dpi).\n");
}

void ResolveDuplex(ppd_file_t* ppd, PARAM_KEY_SPERATOR_VALUE* table, PrintSettings* s)
{
    if (Marked(ppd, "Duplex", "None")) {
        s->duplex = 0;
        SetJobParam("Duplex", "None", table);
    } else if (Marked(ppd, "Duplex", "DuplexNoTumble")) {
        s->duplex = 1;
        SetJobParam("Duplex", "DuplexNoTumble", table);
    } else {
        // Also a PPD without a Duplex option.
        s->duplex = 2;
        SetJobParam("Duplex", "DuplexTumble", table);
    }
    fprintf(stderr, "DEBUG: duplex is %d \n", s->duplex);
}

void ResolveFeedEdge(ppd_file_t* ppd, PARAM_KEY_SPERATOR_VALUE* table, PrintSettings* s)
{
    s->Flag_FeedEdge = 0;
    if (Marked(ppd, "FeedEdge", "1")) {
        s->Flag_FeedEdge = 1;
        SetJobParam("FeedEdge", "1", table);
    }
    fprintf(stderr, "DEBUG: ppdIsMarked FeedEdge,value=%d\n", s->Flag_FeedEdge);
}

void ResolveA5(ppd_file_t* ppd, PrintSettings* s)
{
    // The PPD's marking decides, not the table's PageSize.
    s->Flag_Page_A5 = Marked(ppd, "PageSize", "A5") ? 1 : 0;
    fprintf(stderr, "DEBUG: ppdIsMarked Flag_Page_A5,value=%d\n", s->Flag_Page_A5);
}

// Logged only: neither the constraints nor the rotation depend on it.
void LogOrientation(ppd_file_t* ppd)
{
    fprintf(stderr, "DEBUG: ppdIsMarked Orientation,value=%d\n", Marked(ppd, "Orientation", "Landscape") ? 1 : 0);
}

void ResolveMediaType(ppd_file_t* ppd, PARAM_KEY_SPERATOR_VALUE* table, PrintSettings* s)
{
    if (Marked(ppd, "MediaType", "Plain")) {
        s->Flag_MediaType = 0;
        SetJobParam("MediaType", "Plain", table);
    } else if (Marked(ppd, "MediaType", "Recycle")) {
        s->Flag_MediaType = 3;
        SetJobParam("MediaType", "Recycle", table);
    } else if (Marked(ppd, "MediaType", "Thin")) {
        s->Flag_MediaType = 1;
        SetJobParam("MediaType", "Thin", table);
    } else {
        s->Flag_MediaType = 2;
        SetJobParam("MediaType", "Thick", table);
    }
    fprintf(stderr, "DEBUG: ppdIsMarked MediaType,value=%d\n", s->Flag_MediaType);
}

void ResolveCopies(const char* copies, PARAM_KEY_SPERATOR_VALUE* table, PrintSettings* s)
{
    s->copies = CopiesFromArg(copies);
    fprintf(stderr, "DEBUG: input copies is %d \n", s->copies);
    SetJobParam("copies", copies != nullptr ? copies : "", table);
}

// The printer knows the bank sizes by other names.
void RenameCustomSizes(PARAM_KEY_SPERATOR_VALUE* table)
{
    const char* size = TableValue("PageSize", table);
    if (strcmp(size, "BANK1") == 0)
        SetJobParam("PageSize", "CUS_1", table);
    else if (strcmp(size, "BANK2") == 0)
        SetJobParam("PageSize", "CUS_2", table);
}

void ResolveAuth(PARAM_KEY_SPERATOR_VALUE* table)
{
    char authId[kAuthBufSize];
    char password[kAuthBufSize];
    memset(authId, 0, sizeof authId);
    memset(password, 0, sizeof password);
    char* idPtr = authId;
    char* pwPtr = password;
    if (getAuthInfo(&idPtr, &pwPtr)) {
        SetJobParam("AuthID", authId, table);
        SetJobParam("AuthPassword", password, table);
    }
    // The password leaves no copy on the stack.
    explicit_bzero(password, sizeof password);
}

bool DuplexSizeSupported(const char* size)
{
    static const char* const sizes[] = {"A4", "Letter", "A5", "B5", "B5ISO", "16k"};
    for (const char* s : sizes)
        if (strcmp(size, s) == 0)
            return true;
    return false;
}

// Two-sided printing is turned off by the first rule that matches.
void CheckConstraints(PARAM_KEY_SPERATOR_VALUE* table, PrintSettings* s)
{
    fprintf(stderr, "DEBUG: Verify the Params Constraint. \n");
    if (s->duplex == 0)
        return;
    fprintf(stderr, "DEBUG: Verifying Duplex Constraint... \n");
    const char* slot = TableValue("InputSlot", table);
    const char* cause = nullptr;
    if (strcmp(slot, "ManualTray") == 0) {
        cause = "DEBUG: Duplex is amend to OFF. Cause of Duplex ON + ManualTray. \n";
    } else if (s->Flag_MediaType != 0 && s->Flag_MediaType != 3) {
        cause = "DEBUG: Duplex is amend to OFF. Cause of Duplex ON + No Plain. \n";
    } else if (IsA5L(*s)) {
        cause = "DEBUG: Duplex is amend to OFF. Cause of Duplex ON + A5L. \n";
    } else {
        const char* size = TableValue("PageSize", table);
        fprintf(stderr, "DEBUG: PageSize:%s. \n", LogSafe(size).c_str());
        if (!DuplexSizeSupported(size))
            cause = "DEBUG: Duplex is amend to OFF. Cause of Duplex ON + Unsupport Media Size. \n";
    }
    if (cause == nullptr)
        return;
    fputs(cause, stderr);
    s->duplex = 0;
    SetJobParam("Duplex", "None", table);
}

void ResolveBorder(ppd_file_t* ppd, PARAM_KEY_SPERATOR_VALUE* table)
{
    if (Marked(ppd, "Border", "0")) {
        SetJobParam("Border", "0", table);
        fprintf(stderr, "DEBUG: ppdIsMarked Border,value=0\n");
    } else {
        SetJobParam("Border", "1", table);
        fprintf(stderr, "DEBUG: ppdIsMarked Border,value=1\n");
    }
}

}  // namespace

int DetectCollate(const char* options)
{
    cups_option_t* parsed = nullptr;
    int n = cupsParseOptions(options != nullptr ? options : "", 0, &parsed);
    // cupsGetOption compares names without regard to case, and the parser
    // has kept the later of two duplicates ("collate" and "noCollate" are
    // both the option Collate, true and false).
    int decided = -1;
    const char* value = cupsGetOption("Collate", n, parsed);
    if (value != nullptr)
        decided = BooleanValue(value);
    // A Collate option whose value is no boolean says nothing; the IPP form decides then.
    if (decided < 0) {
        value = cupsGetOption("multiple-document-handling", n, parsed);
        if (value != nullptr)
            decided = DocumentHandlingValue(value);
    }
    cupsFreeOptions(n, parsed);

    int collate = 0;
    if (decided == 0) {
        fprintf(stderr, "DEBUG: option nocollate found\n");
    } else if (decided == 1) {
        fprintf(stderr, "DEBUG: option collate found\n");
        collate = 1;
    }
    fprintf(stderr, "DEBUG: collate is %d\n", collate);
    return collate;
}

bool ResolvePrintSettings(const char* options, const char* copies, PARAM_KEY_SPERATOR_VALUE* table,
                          PrintSettings* settings)
{
    cups_option_t* parsed = nullptr;
    int n = cupsParseOptions(options != nullptr ? options : "", 0, &parsed);
    const char* path = getenv("PPD");
    ppd_file_t* ppd = path != nullptr ? ppdOpenFile(path) : nullptr;
    if (ppd == nullptr) {
        fprintf(stderr, "ERROR: Unable to open PPD file!\n");
        cupsFreeOptions(n, parsed);
        return false;
    }
    ppdMarkDefaults(ppd);
    cupsMarkOptions(ppd, n, parsed);  // conflicts are not the filter's concern

    ResolvePageSize(ppd, n, parsed, table);
    ResolveInputSlot(ppd, n, parsed, table);
    ResolveResolution(ppd, table);
    ResolveDuplex(ppd, table, settings);
    ResolveFeedEdge(ppd, table, settings);
    ResolveA5(ppd, settings);
    LogOrientation(ppd);
    ResolveMediaType(ppd, table, settings);
    ResolveCopies(copies, table, settings);
    RenameCustomSizes(table);
    ResolveAuth(table);
    CheckConstraints(table, settings);
    ResolveBorder(ppd, table);

    ppdClose(ppd);
    cupsFreeOptions(n, parsed);
    return true;
}
