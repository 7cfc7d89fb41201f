#pragma once

// The guest's marks in the referee's record (see linecases.h): written as
// port I/O to the spare 16550's scratch register, so the guest runs as root.

#include "linecases.h"

#include <cstdio>
#include <sys/io.h>

namespace hwbench {

inline bool reachMarkPort(const char *program)
{
    if (ioperm(markPort, 1, 1) == 0)
        return true;
    std::fprintf(stderr, "%s: cannot reach the mark port: ", program);
    std::perror(nullptr);
    return false;
}

inline void mark(Phase phase, int number)
{
    for (const unsigned value :
         {unsigned(markLead), unsigned(phase), unsigned(number >> 8) & 0xff, unsigned(number) & 0xff})
        outb(static_cast<unsigned char>(value), markPort);
}

} // namespace hwbench
