#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace display {

// What goes to the display: plain bytes, never text with an encoding of its own.
using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t EOT = 0x04;
inline constexpr std::uint8_t SOH = 0x01;
inline constexpr std::uint8_t ETB = 0x17;
inline constexpr std::uint8_t ESC = 0x1B;

enum class Command {
    Clear,
    Cursor,
    RussianSet,
    EnglishSet,
    GermanSet,
    SaveDemo,
    PrinterOn,
    PrinterOff,
};

inline constexpr int minDemoMode = 1;
inline constexpr int maxDemoMode = 7;

// EOT SOH body ETB.
Bytes commandFrame(std::string_view body);

// The body of a command without parameters, and its whole frame.
std::string_view commandBody(Command command);
Bytes frameFor(Command command);

// Show the stored demo message in the given mode (1 to 7).
Bytes viewDemoFrame(int mode);

// The name the window shows for a demo mode; empty outside 1 to 7.
std::string_view demoModeName(int mode);

// The display's rate code for an entry of the port's baud-rate list
// (300 ... 19200), or for no entry (-1). Rates above 9600 have no code of
// their own and get that of 9600.
char rateCode(int baudIndex);
// The rate a code stands for, if it is one.
std::optional<int> rateForCode(char code);

// Set the display's own baud rate.
Bytes setupFrame(int baudIndex);

// The letters "А" to "з" of code page 866, 0x80 to 0xA7, in order.
Bytes alphabetRun();

} // namespace display
