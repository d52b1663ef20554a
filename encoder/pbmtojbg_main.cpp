// The project's `pbmtojbg`: reads a P4 PBM page and writes its JBIG
// encoding, byte for byte what jbigkit's pbmtojbg writes for
//   pbmtojbg -q -x W -y H -r -s 128 -o 0 -p 8 -m 0 IN OUT
// Output goes to a temporary file beside OUT that is renamed into place
// only once complete, so a failure never leaves a partial OUT behind.
#include "encoder/encoder.h"
#include "encoder/pbmtojbg_cli.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const char* const kProg = "pbmtojbg";

// The input file's bytes: mapped when it is a regular file, read otherwise.
struct InputBytes {
    const uint8_t* data = nullptr;
    size_t len = 0;
    void* map = nullptr;
    size_t mapLen = 0;
    std::vector<uint8_t> copy;
};

bool ReadAll(int fd, std::vector<uint8_t>* out)
{
    uint8_t buf[1 << 16];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            return true;
        out->insert(out->end(), buf, buf + n);
    }
}

bool LoadInput(const char* path, InputBytes* in)
{
    const bool useStdin = std::strcmp(path, "-") == 0;
    int fd = useStdin ? 0 : open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "%s: cannot open input file %s: %s\n", kProg, path, strerror(errno));
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        fprintf(stderr, "%s: cannot read input file %s: %s\n", kProg, path, strerror(errno));
        if (!useStdin)
            close(fd);
        return false;
    }
    if (S_ISREG(st.st_mode) && st.st_size > 0) {
        void* p = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
        if (p != MAP_FAILED) {
            in->map = p;
            in->mapLen = static_cast<size_t>(st.st_size);
            in->data = static_cast<const uint8_t*>(p);
            in->len = in->mapLen;
        }
    }
    if (!in->map) {
        if (!ReadAll(fd, &in->copy)) {
            fprintf(stderr, "%s: cannot read input file %s: %s\n", kProg, path, strerror(errno));
            if (!useStdin)
                close(fd);
            return false;
        }
        in->data = in->copy.data();
        in->len = in->copy.size();
    }
    if (!useStdin)
        close(fd);  // a mapping stays valid after close
    return true;
}

void ReleaseInput(InputBytes* in)
{
    if (in->map)
        munmap(in->map, in->mapLen);
    in->map = nullptr;
}

// Buffered writes to a descriptor.
struct FileSink {
    int fd;
    std::vector<uint8_t> buf;
    int err;  // errno of the first failed write, 0 if none
};

bool WriteFully(int fd, const uint8_t* data, size_t len, int* err)
{
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *err = errno;
            return false;
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

constexpr size_t kWriteBuffer = 1 << 18;

bool SinkWrite(void* ctx, const uint8_t* data, size_t len)
{
    FileSink* s = static_cast<FileSink*>(ctx);
    if (s->buf.size() + len > kWriteBuffer) {
        if (!WriteFully(s->fd, s->buf.data(), s->buf.size(), &s->err))
            return false;
        s->buf.clear();
        if (len >= kWriteBuffer)
            return WriteFully(s->fd, data, len, &s->err);
    }
    s->buf.insert(s->buf.end(), data, data + len);
    return true;
}

bool SinkFlush(FileSink* s)
{
    bool ok = WriteFully(s->fd, s->buf.data(), s->buf.size(), &s->err);
    s->buf.clear();
    return ok;
}

// Encodes into an open descriptor; false after a message on failure.
bool EncodeToFd(const uint8_t* raster, const PbmP4Header& h, int fd, const char* outName)
{
    FileSink sink;
    sink.fd = fd;
    sink.err = 0;
    bool ok = false;
    try {
        sink.buf.reserve(kWriteBuffer);
        ok = EncodeJbigToSink(raster, h.width, h.height, JbigDefaultThreads(), SinkWrite, &sink) && SinkFlush(&sink);
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    if (!ok) {
        if (sink.err)
            fprintf(stderr, "%s: cannot write output file %s: %s\n", kProg, outName, strerror(sink.err));
        else
            fprintf(stderr, "%s: encoding failed: out of memory\n", kProg);
    }
    return ok;
}

bool WriteOutputFile(const uint8_t* raster, const PbmP4Header& h, const char* outPath)
{
    if (std::strcmp(outPath, "-") == 0)
        return EncodeToFd(raster, h, 1, "(standard output)");

    std::string tmp = std::string(outPath) + ".tmp-" + std::to_string(static_cast<long>(getpid()));
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        fprintf(stderr, "%s: cannot create output file %s: %s\n", kProg, tmp.c_str(), strerror(errno));
        return false;
    }
    bool ok = EncodeToFd(raster, h, fd, tmp.c_str());
    if (close(fd) != 0 && ok) {
        fprintf(stderr, "%s: cannot write output file %s: %s\n", kProg, tmp.c_str(), strerror(errno));
        ok = false;
    }
    if (ok && rename(tmp.c_str(), outPath) != 0) {
        fprintf(stderr, "%s: cannot rename %s to %s: %s\n", kProg, tmp.c_str(), outPath, strerror(errno));
        ok = false;
    }
    if (!ok)
        unlink(tmp.c_str());
    return ok;
}

int Run(const EncoderArgs& args)
{
    InputBytes in;
    if (!LoadInput(args.in, &in))
        return 1;
    PbmP4Header h;
    const char* why = nullptr;
    if (!ParsePbmP4Header(in.data, in.len, &h, &why)) {
        fprintf(stderr, "%s: %s: %s\n", kProg, args.in, why);
        ReleaseInput(&in);
        return 1;
    }
    const size_t bpl = JbigRowBytes(h.width);
    const size_t avail = in.len - h.dataOffset;
    if (bpl > avail / h.height) {
        fprintf(stderr, "%s: %s: the raster is shorter than %u rows of %u pixels\n", kProg, args.in, h.height, h.width);
        ReleaseInput(&in);
        return 1;
    }
    const uint8_t* raster = in.data + h.dataOffset;
    if (JbigHasPaddingBits(raster, h.width, h.height))
        fprintf(stderr, "%s: warning: %s has set bits after the last pixel of some rows; they are ignored\n", kProg,
                args.in);
    bool ok = WriteOutputFile(raster, h, args.out);
    ReleaseInput(&in);
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    EncoderArgs args;
    if (!ParseEncoderArgs(argc, argv, &args)) {
        fputs(kEncoderUsage, stderr);
        return 2;
    }
    try {
        return Run(args);
    } catch (const std::bad_alloc&) {
        fprintf(stderr, "%s: out of memory\n", kProg);
        return 1;
    }
}
