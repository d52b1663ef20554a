// The printer application's parts on PAPPL: the drivers, the job glue
// between PAPPL's callbacks and the page intake, the document formats the
// application reads itself, and the raster tap.
#pragma once
#include <cups/raster.h>
#include <pappl/pappl.h>
#include <string>

#include "app/job.h"

// The printer's own stream as a document format: passed through untouched.
constexpr const char* kVendorFormat = "application/vnd.fiskor-zembrulan";

// The drivers, one per resolution.
constexpr int kDriverCount = 2;
extern pappl_pr_driver_t kDrivers[kDriverCount];
int DriverResolution(const char* driverName);
bool DriverCallback(pappl_system_t* system, const char* driverName, const char* deviceUri, const char* deviceId,
                    pappl_pr_driver_data_t* data, ipp_t** attrs, void* cbdata);

// The state directory, set once by the system callback before any job: the
// printers' credentials live there (app/credentials.h).
void SetStateDirectory(const std::string& dir);
const std::string& StateDirectory();

// A job on its way through the intake; made by the raster start callback or
// by a format filter that hands in whole pages.
struct AppJob;
// Reads the job's choices and identity from PAPPL and starts the intake.
// nullptr, the job's reason and message set, when it cannot start.
AppJob* BeginAppJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
bool AppJobAddPage(AppJob* aj, PageBitmap page);
// Sends the last records and checks that the device took every byte; frees
// the job. False, the job's reason and message set, when the job failed.
bool EndAppJob(AppJob* aj);

// Logs an error in the job's log and makes it the job's message and reason.
void FailJob(pappl_job_t* job, pappl_jreason_t reason, const char* format, ...) __attribute__((format(printf, 3, 4)));

// The formats read by the application itself.
bool PngFilter(pappl_job_t* job, pappl_device_t* device, void* data);
bool PdfFilter(pappl_job_t* job, pappl_device_t* device, void* data);

// PAPPL 1.3.1 streams a raster document that arrives over IPP straight into
// the driver's raster callbacks and shows them a page header of its own
// making, never the document's. The tap (raster_tap.cpp) stands in for
// libcups's cupsRasterReadHeader2 and cupsRasterReadPixels in this program,
// passes every call on, and keeps, per thread, the document's last page
// header and a hook for its lines.
//
// The header read last on this thread, once: false when none was read since.
bool TakeRasterHeader(cups_page_header2_t* header);
// Every line read on this thread goes to `hook` until it is set to nullptr.
using RasterLineHook = void (*)(void* ctx, const unsigned char* line, unsigned length);
void SetRasterLineHook(RasterLineHook hook, void* ctx);
