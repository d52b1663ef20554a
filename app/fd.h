// A file descriptor closed when it goes out of scope. For descriptors whose
// close can lose nothing (read ends, directories, pipes); a file written to
// is closed by hand and its close checked.
#pragma once
#include <unistd.h>

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { Reset(); }
    void Reset(int f = -1)
    {
        if (fd >= 0)
            close(fd);
        fd = f;
    }
    int Release()
    {
        int f = fd;
        fd = -1;
        return f;
    }
};
