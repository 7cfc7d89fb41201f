#include "commands.h"

#include <array>

namespace display {

namespace {

constexpr std::array<std::string_view, 7> demoModeNames = {
    "horizontal scroll", "vertical scroll",   "blinking",          "mode1+mode2",
    "mode1+mode3",       "mode2+mode3",       "mode1+mode2+mode3",
};

// By position in the baud-rate list: 300, 600, 1200, 2400, 4800, 9600, 14400, 19200.
constexpr std::array<char, 8> rateCodes = {'6', '5', '4', '3', '2', '1', '1', '1'};
constexpr std::array<int, 6> codeRates = {9600, 4800, 2400, 1200, 600, 300}; // codes '1' to '6'

} // namespace

Bytes commandFrame(std::string_view body)
{
    Bytes frame;
    frame.reserve(body.size() + 3);
    frame.push_back(EOT);
    frame.push_back(SOH);
    for (const char c : body)
        frame.push_back(static_cast<std::uint8_t>(c));
    frame.push_back(ETB);
    return frame;
}

std::string_view commandBody(Command command)
{
    switch (command) {
    case Command::Clear: return "C1X";
    case Command::Cursor: return "P1";
    case Command::RussianSet: return "I:";
    case Command::EnglishSet: return "I0";
    case Command::GermanSet: return "I2";
    case Command::SaveDemo: return "S2";
    case Command::PrinterOn: return "\x1bG";
    case Command::PrinterOff: return "\x1bS";
    }
    return {};
}

Bytes frameFor(Command command)
{
    return commandFrame(commandBody(command));
}

Bytes viewDemoFrame(int mode)
{
    const char body[] = {'D', '2', static_cast<char>('0' + mode)};
    return commandFrame(std::string_view(body, sizeof body));
}

std::string_view demoModeName(int mode)
{
    if (mode < minDemoMode || mode > maxDemoMode)
        return {};
    return demoModeNames[static_cast<std::size_t>(mode - minDemoMode)];
}

char rateCode(int baudIndex)
{
    if (baudIndex < 0 || baudIndex >= static_cast<int>(rateCodes.size()))
        return '1';
    return rateCodes[static_cast<std::size_t>(baudIndex)];
}

std::optional<int> rateForCode(char code)
{
    if (code < '1' || code > '6')
        return std::nullopt;
    return codeRates[static_cast<std::size_t>(code - '1')];
}

Bytes setupFrame(int baudIndex)
{
    const char body[] = {'B', rateCode(baudIndex), 'N'};
    return commandFrame(std::string_view(body, sizeof body));
}

Bytes alphabetRun()
{
    Bytes run;
    for (int b = 0x80; b <= 0xA7; ++b)
        run.push_back(static_cast<std::uint8_t>(b));
    return run;
}

} // namespace display
