#pragma once

// Sets a terminal's line as a sender would, with TCSETS2 so that any rate
// (14400 too) can be given: 8 data bits, the given stop bits and parity flags.
bool setTerminalLine(int fd, unsigned baud, int stopBits, bool parityOdd, bool markSpace);
