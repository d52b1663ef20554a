// Print settings: collation from the option text, and every other setting
// decided from the job's choices, whoever read them (no PPD needed here).
#include "params/params.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <cups/cups.h>

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

void ApplyPageSize(const JobChoices& c, PARAM_KEY_SPERATOR_VALUE* table)
{
    if (c.pageSizeFrom == PageSizeFrom::Nothing)
        return;
    fprintf(ParamsLog(), "DEBUG: %s PageSize,value=%s\n", c.pageSizeFrom == PageSizeFrom::Option ? "option" : "ppd",
            LogSafe(c.pageSize.c_str()).c_str());
    SetJobParam("PageSize", c.pageSize.c_str(), table);
}

void ApplyInputSlot(const JobChoices& c, PARAM_KEY_SPERATOR_VALUE* table)
{
    if (c.inputSlotText) {
        fprintf(ParamsLog(), "DEBUG: option PaperBox,value=%s\n", LogSafe(c.inputSlotText->c_str()).c_str());
        SetJobParam("InputSlot", c.inputSlotText->c_str(), table);
    }
    switch (c.tray) {
    case TrayChoice::Main:
        SetJobParam("InputSlot", "MainTray", table);
        fprintf(ParamsLog(), "DEBUG: InputSlot is MainTray.\n");
        break;
    case TrayChoice::Manual:
        fprintf(ParamsLog(), "DEBUG: InputSlot is ManualTray.\n");
        SetJobParam("InputSlot", "ManualTray", table);
        break;
    case TrayChoice::Auto:
        SetJobParam("InputSlot", "AutoTray", table);
        fprintf(ParamsLog(), "DEBUG: InputSlot is AutoTray.\n");
        break;
    }
}

void ApplyResolution(const JobChoices& c, PARAM_KEY_SPERATOR_VALUE* table)
{
    if (c.resolution1200) {
        SetJobParam("Resolution", "1200dpi", table);
        fprintf(ParamsLog(), "DEBUG: Resolution is 1200dpi. \n");
    }
    fprintf(ParamsLog(), "DEBUG: resX is default(600dpi).\n");
}

void ApplyDuplex(const JobChoices& c, PARAM_KEY_SPERATOR_VALUE* table, PrintSettings* s)
{
    static const char* const names[] = {"None", "DuplexNoTumble", "DuplexTumble"};
    s->duplex = c.duplex == DuplexChoice::None ? 0 : c.duplex == DuplexChoice::NoTumble ? 1 : 2;
    SetJobParam("Duplex", names[s->duplex], table);
    fprintf(ParamsLog(), "DEBUG: duplex is %d \n", s->duplex);
}

void ApplyFeedEdge(const JobChoices& c, PARAM_KEY_SPERATOR_VALUE* table, PrintSettings* s)
{
    s->Flag_FeedEdge = c.feedEdge ? 1 : 0;
    if (c.feedEdge)
        SetJobParam("FeedEdge", "1", table);
    fprintf(ParamsLog(), "DEBUG: ppdIsMarked FeedEdge,value=%d\n", s->Flag_FeedEdge);
}

void ApplyA5(const JobChoices& c, PrintSettings* s)
{
    s->Flag_Page_A5 = c.pageA5 ? 1 : 0;
    fprintf(ParamsLog(), "DEBUG: ppdIsMarked Flag_Page_A5,value=%d\n", s->Flag_Page_A5);
}

// Logged only: neither the constraints nor the rotation depend on it.
void LogOrientation(const JobChoices& c)
{
    fprintf(ParamsLog(), "DEBUG: ppdIsMarked Orientation,value=%d\n", c.landscape ? 1 : 0);
}

void ApplyMediaType(const JobChoices& c, PARAM_KEY_SPERATOR_VALUE* table, PrintSettings* s)
{
    // The printer's codes: Plain 0, Thin 1, Thick 2, Recycle 3.
    struct Media {
        MediaChoice choice;
        int flag;
        const char* name;
    };
    static const Media media[] = {{MediaChoice::Plain, 0, "Plain"},
                                  {MediaChoice::Recycle, 3, "Recycle"},
                                  {MediaChoice::Thin, 1, "Thin"},
                                  {MediaChoice::Thick, 2, "Thick"}};
    for (const Media& m : media) {
        if (m.choice == c.media) {
            s->Flag_MediaType = m.flag;
            SetJobParam("MediaType", m.name, table);
            break;
        }
    }
    fprintf(ParamsLog(), "DEBUG: ppdIsMarked MediaType,value=%d\n", s->Flag_MediaType);
}

void ApplyCopies(const char* copies, PARAM_KEY_SPERATOR_VALUE* table, PrintSettings* s)
{
    s->copies = CopiesFromArg(copies);
    fprintf(ParamsLog(), "DEBUG: input copies is %d \n", s->copies);
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

void ApplyAuth(const JobChoices& c, PARAM_KEY_SPERATOR_VALUE* table)
{
    if (c.identity) {
        // The front end's own: no file is read. The table logs the password masked.
        SetJobParam("AuthID", c.identity->authId.c_str(), table);
        SetJobParam("AuthPassword", c.identity->password.c_str(), table);
        return;
    }
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
    fprintf(ParamsLog(), "DEBUG: Verify the Params Constraint. \n");
    if (s->duplex == 0)
        return;
    fprintf(ParamsLog(), "DEBUG: Verifying Duplex Constraint... \n");
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
        fprintf(ParamsLog(), "DEBUG: PageSize:%s. \n", LogSafe(size).c_str());
        if (!DuplexSizeSupported(size))
            cause = "DEBUG: Duplex is amend to OFF. Cause of Duplex ON + Unsupport Media Size. \n";
    }
    if (cause == nullptr)
        return;
    fputs(cause, ParamsLog());
    s->duplex = 0;
    SetJobParam("Duplex", "None", table);
}

void ApplyBorder(const JobChoices& c, PARAM_KEY_SPERATOR_VALUE* table)
{
    const char* border = c.borderless ? "0" : "1";
    SetJobParam("Border", border, table);
    fprintf(ParamsLog(), "DEBUG: ppdIsMarked Border,value=%s\n", border);
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
        fprintf(ParamsLog(), "DEBUG: option nocollate found\n");
    } else if (decided == 1) {
        fprintf(ParamsLog(), "DEBUG: option collate found\n");
        collate = 1;
    }
    fprintf(ParamsLog(), "DEBUG: collate is %d\n", collate);
    return collate;
}

void ApplyJobChoices(const JobChoices& choices, const char* copies, PARAM_KEY_SPERATOR_VALUE* table,
                     PrintSettings* settings)
{
    ApplyPageSize(choices, table);
    ApplyInputSlot(choices, table);
    ApplyResolution(choices, table);
    ApplyDuplex(choices, table, settings);
    ApplyFeedEdge(choices, table, settings);
    ApplyA5(choices, settings);
    LogOrientation(choices);
    ApplyMediaType(choices, table, settings);
    ApplyCopies(copies, table, settings);
    RenameCustomSizes(table);
    ApplyAuth(choices, table);
    CheckConstraints(table, settings);
    ApplyBorder(choices, table);
}
