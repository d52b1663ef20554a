#include "filter/filter.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

int mkdirs(const char* path, mode_t mode)
{
    char buf[512];
    size_t len = strlen(path);
    if (len >= sizeof buf)
        return 1;
    memcpy(buf, path, len + 1);
    for (size_t i = 1; i < len; i++) {
        if (buf[i] != '/')
            continue;
        buf[i] = '\0';
        if (access(buf, F_OK) != 0)
            mkdir(buf, mode);
        buf[i] = '/';
    }
    if (len > 0 && access(buf, F_OK) != 0)
        mkdir(buf, mode);
    struct stat st;
    if (stat(buf, &st) != 0 || !S_ISDIR(st.st_mode))
        return 1;
    return 0;
}

namespace {

// Parses "N" made of decimal digits only, with an optional leading '-'.
bool ParseNumber(const char*& p, long* out)
{
    const char* start = p;
    bool neg = false;
    if (*p == '-') {
        neg = true;
        p++;
    }
    if (*p < '0' || *p > '9')
        return false;
    long v = 0;
    while (*p >= '0' && *p <= '9') {
        if (v > 100000000000L)
            return false;
        v = v * 10 + (*p - '0');
        p++;
    }
    *out = neg ? -v : v;
    return p != start;
}

// Calls `fn(name)` for every entry of the directory `fd` but "." and "..";
// `fn` returns false for an entry it could not handle. False when the
// directory cannot be read or any entry failed.
template <typename Fn>
bool ForEachEntry(int fd, Fn fn)
{
    int dupFd = dup(fd);
    if (dupFd < 0)
        return false;
    DIR* d = fdopendir(dupFd);
    if (!d) {
        close(dupFd);
        return false;
    }
    bool ok = true;
    while (struct dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            ok = fn(e->d_name) && ok;
    }
    closedir(d);
    return ok;
}

// Removes everything inside the directory `fd`, never following a symlink.
// Depth is bounded so a hostile tree cannot exhaust descriptors.
bool EmptyDirAt(int fd, int depth)
{
    return ForEachEntry(fd, [fd, depth](const char* name) {
        if (unlinkat(fd, name, 0) == 0)
            return true;
        if ((errno != EISDIR && errno != EPERM) || depth >= 16)
            return false;
        int sub = openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub < 0)
            return false;
        bool emptied = EmptyDirAt(sub, depth + 1);
        close(sub);
        return unlinkat(fd, name, AT_REMOVEDIR) == 0 && emptied;
    });
}

bool RemoveOwnFiles(int fd, int jobId)
{
    return ForEachEntry(fd, [fd, jobId](const char* name) {
        return !IsOwnWorkFile(name, jobId) || unlinkat(fd, name, 0) == 0 || errno == ENOENT;
    });
}

int LockRetry(int fd, int op)
{
    int r;
    do {
        r = flock(fd, op);
    } while (r != 0 && errno == EINTR);
    return r;
}

}  // namespace

bool IsOwnWorkFile(const char* name, int jobId)
{
    const char* p = name;
    long id, page;
    if (!ParseNumber(p, &id) || id != jobId)
        return false;
    if (*p == '-') {
        p++;
        return ParseNumber(p, &page) && strcmp(p, ".jbg") == 0;
    }
    if (*p != '_')
        return false;
    p++;
    if (!ParseNumber(p, &page))
        return false;
    return strcmp(p, "_gs.pbm") == 0 || strcmp(p, "_gs_rotated.pbm") == 0;
}

namespace {

// Why the directory described by `st` must not be used, or nullptr.
const char* UnsafeWorkDir(const struct stat& st)
{
    if (S_ISLNK(st.st_mode))
        return "is a symbolic link";
    if (!S_ISDIR(st.st_mode))
        return "is not a directory";
    if (st.st_uid != geteuid())
        return "belongs to another user";
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return "is writable by group or others";
    return nullptr;
}

void ReportUnsafe(const char* dir, const char* why, const struct stat& st)
{
    fprintf(stderr,
            "ERROR: Work directory %s %s (owner %u, mode %03o; this filter runs as user %u); "
            "refusing to use it\n",
            dir, why, (unsigned)st.st_uid, (unsigned)(st.st_mode & 0777), (unsigned)geteuid());
}

}  // namespace

int PrepareWorkDir(const char* dir, int jobId)
{
    // Create it if it is missing; whatever is there is examined before it is
    // opened, and the opened directory must be the one examined.
    struct stat st;
    if (lstat(dir, &st) != 0) {
        if (errno != ENOENT) {
            fprintf(stderr, "ERROR: Work directory %s cannot be examined: %s\n", dir, strerror(errno));
            return -1;
        }
        mkdirs(dir, 0700);
        if (lstat(dir, &st) != 0) {
            fprintf(stderr, "ERROR: Work directory %s cannot be created: %s\n", dir, strerror(errno));
            return -1;
        }
    }
    if (const char* why = UnsafeWorkDir(st)) {
        ReportUnsafe(dir, why, st);
        return -1;
    }
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat opened;
    if (fd < 0 || fstat(fd, &opened) != 0) {
        fprintf(stderr, "ERROR: Work directory %s cannot be opened: %s\n", dir, strerror(errno));
        if (fd >= 0)
            close(fd);
        return -1;
    }
    const char* why = UnsafeWorkDir(opened);
    if (why || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) {
        ReportUnsafe(dir, why ? why : "changed while it was examined", opened);
        close(fd);
        return -1;
    }
    // A job that can have the directory to itself empties it; a job that
    // overlaps with others removes only its own leftovers. Every job keeps a
    // shared lock while it runs, so no reset ever removes a live job's files.
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        if (!EmptyDirAt(fd, 0))
            fprintf(stderr, "DEBUG: Work directory %s could not be emptied completely\n", dir);
        if (LockRetry(fd, LOCK_SH) != 0) {
            fprintf(stderr, "ERROR: Work directory %s cannot be locked: %s\n", dir, strerror(errno));
            close(fd);
            return -1;
        }
    } else {
        if (LockRetry(fd, LOCK_SH) != 0) {
            fprintf(stderr, "ERROR: Work directory %s cannot be locked: %s\n", dir, strerror(errno));
            close(fd);
            return -1;
        }
        fprintf(stderr, "DEBUG: Work directory %s is in use by another job; removing only job %d's files\n", dir,
                jobId);
        if (!RemoveOwnFiles(fd, jobId))
            fprintf(stderr, "DEBUG: Old files of job %d could not all be removed\n", jobId);
    }
    return fd;
}
