#include "filter/filter.h"

#if defined(__SANITIZE_ADDRESS__)
// libcups 2.4 leaks a few strings of the PPD cache that cupsMarkOptions
// builds for IPP options such as media= (ppdClose does not free them). The
// leak is the library's, once per job; keep LeakSanitizer quiet about it.
extern "C" const char* __lsan_default_suppressions() { return "leak:_ppdCacheCreateWithPPD\n"; }
#endif

int main(int argc, char** argv) { return FilterMain(argc, argv); }
