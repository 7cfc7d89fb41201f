#pragma once

#include <QtGlobal>

#include <array>
#include <optional>

// The line settings the window offers, in the order of its lists: the
// position of a list's entry is the index into these.
inline constexpr std::array<qint32, 8> baudRates = {300, 600, 1200, 2400, 4800, 9600, 14400, 19200};

enum class Parity { None, Odd, Even, Mark, Space };
enum class DataBits { Five, Six, Seven, Eight };
enum class StopBits { One, OneAndHalf, Two };

template<typename Enum>
std::optional<Enum> settingAt(int position, Enum last)
{
    if (position < 0 || position > static_cast<int>(last))
        return std::nullopt;
    return static_cast<Enum>(position);
}

int dataBitCount(DataBits bits);

// Everything that goes onto the line at once. Flow control is always off
// and DTR and RTS always low, so they are not settings.
struct LineSettings
{
    qint32 baudRate = 9600;
    DataBits dataBits = DataBits::Eight;
    Parity parity = Parity::None;
    StopBits stopBits = StopBits::One;

    friend bool operator==(const LineSettings &, const LineSettings &) = default;
};
