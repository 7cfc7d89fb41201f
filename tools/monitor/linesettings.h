#pragma once

#include <optional>

namespace monitor {

// What a pseudo-terminal shows of the settings the sender gave its port.
// Data bits and whether parity is on are not among them: the kernel keeps
// a pseudo-terminal at 8 data bits without parity, whatever it is told.
// The parity flags still show odd (PARODD) and mark/space (CMSPAR).
struct ObservedLine
{
    unsigned outputBaud = 0;
    unsigned inputBaud = 0;
    int stopBits = 1;
    bool parityOdd = false;
    bool markSpace = false;

    bool operator==(const ObservedLine &) const = default;
};

// Read with TCGETS2, which tells any rate (14400 too), not just the B-constants.
std::optional<ObservedLine> observeLine(int fd);

} // namespace monitor
