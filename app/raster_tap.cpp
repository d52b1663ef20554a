// The raster tap: this program's definitions of two libcups functions, which
// take the place of libcups's own for every caller in the process (PAPPL
// included) and pass each call on to libcups. They keep what a raster
// document says about itself where the driver can read it. Part of the
// program itself, not of a library, so the dynamic linker finds them first.
#include <dlfcn.h>

#include "app/app.h"

namespace {

struct Tap {
    cups_page_header2_t header;
    bool fresh = false;
    RasterLineHook hook = nullptr;
    void* ctx = nullptr;
};
thread_local Tap tap;

template <typename Fn>
Fn Next(const char* name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" unsigned cupsRasterReadHeader2(cups_raster_t* r, cups_page_header2_t* h)
{
    using Fn = unsigned (*)(cups_raster_t*, cups_page_header2_t*);
    static const Fn next = Next<Fn>("cupsRasterReadHeader2");
    if (next == nullptr)
        return 0;
    const unsigned ok = next(r, h);
    if (ok) {
        tap.header = *h;
        tap.fresh = true;
    }
    return ok;
}

extern "C" unsigned cupsRasterReadPixels(cups_raster_t* r, unsigned char* p, unsigned len)
{
    using Fn = unsigned (*)(cups_raster_t*, unsigned char*, unsigned);
    static const Fn next = Next<Fn>("cupsRasterReadPixels");
    if (next == nullptr)
        return 0;
    const unsigned got = next(r, p, len);
    if (got == len && tap.hook != nullptr)
        tap.hook(tap.ctx, p, len);
    return got;
}

bool TakeRasterHeader(cups_page_header2_t* header)
{
    if (!tap.fresh)
        return false;
    *header = tap.header;
    tap.fresh = false;
    return true;
}

void SetRasterLineHook(RasterLineHook hook, void* ctx)
{
    tap.hook = hook;
    tap.ctx = ctx;
}
