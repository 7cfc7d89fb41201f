#pragma once

#include "commands.h"

#include <string_view>

namespace display {

// The text field's characters as Windows-1251 bytes, one byte per character:
// a character that Windows-1251 lacks (a surrogate pair counts as one
// character) becomes "?".
Bytes toWindows1251(std::u16string_view text);

// Moves the Cyrillic letters of Windows-1251 text ("А" to "я") to their code
// page 866 positions; every other byte, "Ё" and "ё" among them, stays as it is.
Bytes toCodePage866(const Bytes &windows1251);

// The character a byte stands for in code page 866.
char32_t fromCodePage866(std::uint8_t byte);

} // namespace display
