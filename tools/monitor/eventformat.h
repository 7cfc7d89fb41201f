#pragma once

#include "linesettings.h"
#include "streamdecoder.h"

#include <string>
#include <string_view>

namespace monitor {

// "04 01 43 31 58 17"
std::string hexBytes(const display::Bytes &bytes);

// "command", "frame", "text", "control"
std::string_view kindName(EventKind kind);

// What an event is, in words: "show demo, mode 3 (blinking)",
// "display baud rate 4800", "unknown frame", "\"Добро\"", "0D (CR)".
std::string summary(const Event &event);

// One line of the screen (without its line end), stamped with the clock
// time: "13:05:10.123 command   clear   04 01 43 31 58 17".
std::string screenLine(const Event &event, std::string_view clock);
// One JSON object for the log (without its line end).
std::string jsonLine(const Event &event, std::string_view time);

// "14400 baud, 2 stop bits, parity odd"
std::string summary(const ObservedLine &line);
std::string screenLine(const ObservedLine &line, std::string_view clock);
std::string jsonLine(const ObservedLine &line, std::string_view time);

// What the parity flags tell: "odd", "mark", "space", or "none or even",
// which a pseudo-terminal cannot tell apart.
std::string_view parityName(const ObservedLine &line);

// A JSON string literal, quotes included, of UTF-8 text; each byte that is
// not part of well-formed UTF-8 stands there as U+FFFD.
std::string jsonString(std::string_view bytes);

} // namespace monitor
