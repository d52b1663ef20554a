// Shared set-up for the fuzz targets: the code under test writes many
// diagnostic lines, which would drown libFuzzer's own output.
#pragma once
#include <fcntl.h>
#include <unistd.h>

inline void SilenceStderr()
{
    int fd = open("/dev/null", O_WRONLY);
    if (fd >= 0) {
        dup2(fd, 2);
        close(fd);
    }
}
