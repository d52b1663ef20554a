// The PPD front end of the print settings: the queue's PPD, marked with its
// defaults and the job's options, read into JobChoices without a word to the
// log, then applied like any other front end's choices.
#include "params/params.h"

#include <cstdio>
#include <cstdlib>
#include <cups/cups.h>
#include <cups/ppd.h>

namespace {

bool Marked(ppd_file_t* ppd, const char* keyword, const char* choice) { return ppdIsMarked(ppd, keyword, choice) != 0; }

// The sizes the printer knows, in the order a marked size is looked for.
const char* const kKnownSizes[] = {"A4",        "A5", "B5", "16k",   "Letter", "Statement", "Legal",
                                   "Executive", "A6", "B6", "B5ISO", "BANK1",  "BANK2"};

JobChoices ReadChoices(ppd_file_t* ppd, int numOptions, cups_option_t* options)
{
    JobChoices c;
    if (const char* text = cupsGetOption("PageSize", numOptions, options)) {
        c.pageSize = text;
        c.pageSizeFrom = PageSizeFrom::Option;
    } else {
        for (const char* size : kKnownSizes) {
            if (Marked(ppd, "PageSize", size)) {
                c.pageSize = size;
                c.pageSizeFrom = PageSizeFrom::Marking;
                break;
            }
        }
    }
    // The marking decides, not the option text: a size the PPD lacks is not A5.
    c.pageA5 = Marked(ppd, "PageSize", "A5");

    if (const char* text = cupsGetOption("InputSlot", numOptions, options))
        c.inputSlotText = text;
    c.tray = Marked(ppd, "InputSlot", "MainTray")     ? TrayChoice::Main
             : Marked(ppd, "InputSlot", "ManualTray") ? TrayChoice::Manual
                                                      : TrayChoice::Auto;

    c.resolution1200 = Marked(ppd, "Resolution", "1200dpi");
    // A PPD without a Duplex option prints on both sides, short edge.
    c.duplex = Marked(ppd, "Duplex", "None")             ? DuplexChoice::None
               : Marked(ppd, "Duplex", "DuplexNoTumble") ? DuplexChoice::NoTumble
                                                         : DuplexChoice::Tumble;
    c.feedEdge = Marked(ppd, "FeedEdge", "1");
    c.landscape = Marked(ppd, "Orientation", "Landscape");
    c.media = Marked(ppd, "MediaType", "Plain")     ? MediaChoice::Plain
              : Marked(ppd, "MediaType", "Recycle") ? MediaChoice::Recycle
              : Marked(ppd, "MediaType", "Thin")    ? MediaChoice::Thin
                                                    : MediaChoice::Thick;
    c.borderless = Marked(ppd, "Border", "0");
    return c;
}

}  // namespace

bool ResolvePrintSettings(const char* options, const char* copies, PARAM_KEY_SPERATOR_VALUE* table,
                          PrintSettings* settings)
{
    cups_option_t* parsed = nullptr;
    int n = cupsParseOptions(options != nullptr ? options : "", 0, &parsed);
    const char* path = getenv("PPD");
    ppd_file_t* ppd = path != nullptr ? ppdOpenFile(path) : nullptr;
    if (ppd == nullptr) {
        fprintf(ParamsLog(), "ERROR: Unable to open PPD file!\n");
        cupsFreeOptions(n, parsed);
        return false;
    }
    ppdMarkDefaults(ppd);
    cupsMarkOptions(ppd, n, parsed);  // conflicts are not the filter's concern
    JobChoices choices = ReadChoices(ppd, n, parsed);
    ppdClose(ppd);
    cupsFreeOptions(n, parsed);

    ApplyJobChoices(choices, copies, table, settings);
    return true;
}
