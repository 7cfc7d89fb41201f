#pragma once

// The plain C baseline of a send: the same writes as the program, each with
// write() and tcdrain(), after a discard done with tcflush() where the
// program discards.

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

struct baseline_write
{
    const unsigned char *bytes;
    size_t size;
};

// Opens the terminal device at path for writing, non-blocking, in raw mode,
// as the program's serial port does; returns the descriptor or -1.
int baseline_open(const char *path);

// Returns 0, or -1 with errno set.
int baseline_send(int fd, int discard, const struct baseline_write *writes, size_t count);

#ifdef __cplusplus
}
#endif
