#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace display {

// Reads the character-code field (UTF-8) as a 32-bit signed integer: leading
// spaces, then either an optional sign and decimal digits, or hexadecimal
// digits after "$", "x", "X", "0x" or "0X". Nothing may follow the digits.
// Decimal must fit in 32 signed bits; hexadecimal may go up to FFFFFFFF and
// then stands for the 32-bit pattern. Anything else is refused (nullopt).
std::optional<std::int32_t> parseCharCode(std::string_view text);

} // namespace display
