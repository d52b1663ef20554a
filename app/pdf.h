// PDF documents for the printer application: rendered by ghostscript in a
// child process, 1 bit per pixel, one page at a time.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

struct PdfRenderLimits {
    int seconds = 300;                     // wall-clock time for the whole document (also its CPU time limit);
                                           // time spent in onPage is not counted
    size_t memoryBytes = size_t(1) << 30;  // the child's address space
    const char* ghostscript = "gs";        // program, searched in PATH
};

// Receives one rendered page: packed rows, most significant bit first,
// 1 = black, stride (width + 7) / 8. Returns false to stop the rendering
// (the job was cancelled or the page could not be used).
using PdfPageSink = std::function<bool(const uint8_t* rows, int width, int height)>;

// Renders `path` at `dpi` in both directions, each page fit to a sheet of
// widthPt x heightPt points (scaled to fit, centred, a landscape page turned
// for a portrait sheet), with ghostscript in a child process: PDF only
// ("-dSAFER", the document read as PDF even when it holds PostScript), no
// environment from the caller, no files written, run as an unprivileged
// user ("lp", else "nobody") when called as root, within `limits`. A
// document that user may not read is copied into memory for it (at most
// limits.memoryBytes). Pages reach `onPage` in order as soon as each is
// complete. Returns the number of pages rendered, or -1 with `why` set (a
// short reason fit for a job's log, with a hint from ghostscript's
// diagnostics): ghostscript could not be started, failed, ran out of time
// or memory, wrote a broken page, was stopped by `onPage`, or the document
// has no pages. Pages handed to `onPage` before a failure stay handed.
// Calls share no state: several may run at once.
int RenderPdf(const char* path, int dpi, double widthPt, double heightPt, const PdfPageSink& onPage, std::string* why,
              const PdfRenderLimits& limits = {});
