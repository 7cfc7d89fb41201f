#include "charcode.h"

namespace display {

namespace {

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Accumulates digits up to a limit; leading zeros never overflow.
std::optional<std::uint64_t> digits(std::string_view s, int base, std::uint64_t limit)
{
    if (s.empty())
        return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : s) {
        const int d = base == 16 ? hexDigit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (d < 0)
            return std::nullopt;
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
        if (value > limit)
            return std::nullopt;
    }
    return value;
}

} // namespace

std::optional<std::int32_t> parseCharCode(std::string_view text)
{
    const auto start = text.find_first_not_of(' ');
    if (start == std::string_view::npos)
        return std::nullopt;
    std::string_view s = text.substr(start);

    std::size_t prefix = 0;
    if (s[0] == '$' || s[0] == 'x' || s[0] == 'X')
        prefix = 1;
    else if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
        prefix = 2;
    if (prefix != 0) {
        const auto value = digits(s.substr(prefix), 16, 0xFFFFFFFFu);
        if (!value)
            return std::nullopt;
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(*value));
    }

    const bool negative = s[0] == '-';
    if (s[0] == '-' || s[0] == '+')
        s.remove_prefix(1);
    const std::uint64_t limit = negative ? 0x80000000u : 0x7FFFFFFFu;
    const auto value = digits(s, 10, limit);
    if (!value)
        return std::nullopt;
    return static_cast<std::int32_t>(negative ? -static_cast<std::int64_t>(*value)
                                              : static_cast<std::int64_t>(*value));
}

} // namespace display
