// fzinspect: checks a printer stream, prints its job parameters and one line
// per page record, and on request writes every page as PBM and PNG.
#include "tools/inspect.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kExitMalformed = 1;
constexpr int kExitUsage = 2;

struct Options {
    const char* pbmDir = nullptr;
    const char* pngDir = nullptr;
    bool quiet = false;
    const char* input = nullptr;  // nullptr or "-": standard input
};

void Usage() { fprintf(stderr, "usage: fzinspect [--pbm DIR] [--png DIR] [--quiet] [FILE|-]\n"); }

// False on a usage error (already reported).
bool ParseArgs(int argc, char** argv, Options* o)
{
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (strcmp(a, "--pbm") == 0 || strcmp(a, "--png") == 0) {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                fprintf(stderr, "fzinspect: %s needs a directory\n", a);
                return false;
            }
            (strcmp(a, "--pbm") == 0 ? o->pbmDir : o->pngDir) = argv[++i];
        } else if (strcmp(a, "--quiet") == 0) {
            o->quiet = true;
        } else if (a[0] == '-' && a[1] != '\0') {
            fprintf(stderr, "fzinspect: unknown option %s\n", a);
            return false;
        } else if (o->input) {
            fprintf(stderr, "fzinspect: more than one input file\n");
            return false;
        } else {
            o->input = a;
        }
    }
    return true;
}

bool ReadAll(int fd, std::vector<uint8_t>* buf)
{
    size_t used = 0;
    buf->resize(1 << 16);
    for (;;) {
        if (used == buf->size())
            buf->resize(buf->size() * 2);
        const ssize_t n = read(fd, buf->data() + used, buf->size() - used);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            break;
        used += size_t(n);
    }
    buf->resize(used);
    return true;
}

// Reads the input; on failure prints the reason and returns false.
bool ReadInput(const char* input, const char* name, std::vector<uint8_t>* buf)
{
    const bool useStdin = input == nullptr || strcmp(input, "-") == 0;
    const int fd = useStdin ? 0 : open(input, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "fzinspect: %s: %s\n", name, strerror(errno));
        return false;
    }
    const bool ok = ReadAll(fd, buf);
    const int err = errno;
    if (!useStdin)
        close(fd);
    if (!ok)
        fprintf(stderr, "fzinspect: %s: %s\n", name, strerror(err));
    return ok;
}

bool MakeDir(const char* dir)
{
    if (mkdir(dir, 0755) == 0 || errno == EEXIST)
        return true;
    fprintf(stderr, "fzinspect: %s: %s\n", dir, strerror(errno));
    return false;
}

bool IsTwoSided(const ParsedStream& s)
{
    const char* duplex = InspectParamValue(s.params, "Duplex");
    return duplex && strcmp(duplex, "None") != 0;
}

void PrintParams(const ParsedStream& s)
{
    printf("job record: %u bytes of parameter text\n", s.job_params_size);
    for (const InspectParam& r : s.params.row) {
        const bool hide = strcmp(r.key, "AuthPassword") == 0 && r.value[0] != '\0';
        printf("  %s=%s\n", r.key, hide ? "****" : r.value);
    }
    printf("%s\n", IsTwoSided(s) ? "two-sided: pages go front, back, front, back..." : "one-sided");
    printf("pageseq firstpage lastpage  datasize        size%s\n", IsTwoSided(s) ? "  sheet side" : "");
}

void PrintPage(const InspectPage& p, const PageImage& img, bool twoSided)
{
    char size[32];
    snprintf(size, sizeof size, "%ux%u", img.width, img.height);
    printf("%7u %9u %8u %9u %11s", p.pageseq, p.firstpage, p.lastpage, p.datasize, size);
    if (twoSided)
        printf("  %5u %s", SheetOfPage(p.pageseq), IsFrontSide(p.pageseq) ? "front" : "back");
    printf("\n");
}

// Writes page-NNN.<ext> into dir; false after reporting a failure.
bool WriteImage(const char* dir, const char* ext, const InspectPage& p, const PageImage& img)
{
    char path[4096];
    if (snprintf(path, sizeof path, "%s/page-%03u.%s", dir, p.pageseq, ext) >= int(sizeof path)) {
        fprintf(stderr, "fzinspect: %s: directory name too long\n", dir);
        return false;
    }
    std::string error;
    const bool ok = strcmp(ext, "pbm") == 0 ? WritePagePbm(path, img, &error) : WritePagePng(path, img, &error);
    if (!ok)
        fprintf(stderr, "fzinspect: %s\n", error.c_str());
    return ok;
}

// Decodes, prints and writes each page; returns the exit status.
int InspectPages(const ParsedStream& s, const Options& o, const char* name)
{
    const bool twoSided = IsTwoSided(s);
    for (const InspectPage& p : s.pages) {
        PageImage img;
        std::string error;
        if (!DecodeJbig(p.data, p.datasize, kInspectMaxPixels, &img, &error)) {
            fflush(stdout);
            fprintf(stderr, "fzinspect: %s, byte %zu, page record %u: %s\n", name, p.offset + 32, p.pageseq,
                    error.c_str());
            return kExitMalformed;
        }
        if (!o.quiet)
            PrintPage(p, img, twoSided);
        if (o.pbmDir && !WriteImage(o.pbmDir, "pbm", p, img))
            return kExitUsage;
        if (o.pngDir && !WriteImage(o.pngDir, "png", p, img))
            return kExitUsage;
    }
    if (!o.quiet) {
        printf("%zu page records", s.pages.size());
        if (twoSided && !s.pages.empty())
            printf(" on %u sheets", SheetOfPage(uint32_t(s.pages.size())));
        printf("\n");
    }
    return 0;
}

int Run(int argc, char** argv)
{
    Options o;
    if (!ParseArgs(argc, argv, &o)) {
        Usage();
        return kExitUsage;
    }
    const char* name = o.input && strcmp(o.input, "-") != 0 ? o.input : "standard input";
    std::vector<uint8_t> input;
    if (!ReadInput(o.input, name, &input))
        return kExitUsage;
    if ((o.pbmDir && !MakeDir(o.pbmDir)) || (o.pngDir && !MakeDir(o.pngDir)))
        return kExitUsage;

    ParsedStream s;
    std::string error;
    if (!ParseStream(input.data(), input.size(), &s, &error)) {
        fprintf(stderr, "fzinspect: %s, %s\n", name, error.c_str());
        return kExitMalformed;
    }
    if (!s.has_job_record) {
        if (!o.quiet)
            printf("empty stream: no job record, no page records\n");
        return 0;
    }
    if (!o.quiet)
        PrintParams(s);
    return InspectPages(s, o, name);
}

}  // namespace

int main(int argc, char** argv)
{
    int status = Run(argc, argv);
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "fzinspect: standard output: %s\n", strerror(errno));
        if (status == 0)
            status = kExitUsage;
    }
    return status;
}
