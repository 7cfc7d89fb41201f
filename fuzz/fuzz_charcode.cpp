// Feeds arbitrary bytes to parseCharCode and compares every answer with a
// second reading of the character-code rules, written as a state machine over
// character classes so that it shares no structure with the parser. Any
// difference aborts, and libFuzzer keeps the input.

#include "charcode.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>

namespace {

enum class State {
    Spaces,    // only leading spaces so far
    Sign,      // "+" or "-" read, no digit yet
    Zero,      // a lone "0": a decimal digit or the start of "0x"
    Decimal,   // decimal digits
    HexPrefix, // "$", "x", "X" or "0x" read, no digit yet
    Hex,       // hexadecimal digits
};

int decimalValue(unsigned char c)
{
    return c >= '0' && c <= '9' ? c - '0' : -1;
}

int hexValue(unsigned char c)
{
    if (decimalValue(c) >= 0)
        return decimalValue(c);
    const unsigned char lower = c | 0x20;
    return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

// The digits are summed in 128 bits and held at a ceiling far above any
// 32-bit value, so no run of digits can ever wrap round to a small number.
struct Accumulator {
    static constexpr unsigned __int128 ceiling = static_cast<unsigned __int128>(1) << 40;
    unsigned __int128 value = 0;

    void add(unsigned base, int digit)
    {
        value = value * base + static_cast<unsigned>(digit);
        if (value > ceiling)
            value = ceiling;
    }
};

std::optional<std::int32_t> modelCharCode(const std::uint8_t *data, std::size_t size)
{
    State state = State::Spaces;
    bool negative = false;
    Accumulator digits;

    for (std::size_t i = 0; i < size; ++i) {
        const unsigned char c = data[i];
        switch (state) {
        case State::Spaces:
            if (c == ' ') {
            } else if (c == '+' || c == '-') {
                negative = c == '-';
                state = State::Sign;
            } else if (c == '$' || c == 'x' || c == 'X') {
                state = State::HexPrefix;
            } else if (c == '0') {
                state = State::Zero;
            } else if (decimalValue(c) > 0) {
                digits.add(10, decimalValue(c));
                state = State::Decimal;
            } else {
                return std::nullopt;
            }
            break;
        case State::Zero:
            if (c == 'x' || c == 'X') {
                state = State::HexPrefix;
                break;
            }
            [[fallthrough]];
        case State::Sign:
        case State::Decimal:
            if (decimalValue(c) < 0)
                return std::nullopt;
            digits.add(10, decimalValue(c));
            state = State::Decimal;
            break;
        case State::HexPrefix:
        case State::Hex:
            if (hexValue(c) < 0)
                return std::nullopt;
            digits.add(16, hexValue(c));
            state = State::Hex;
            break;
        }
    }

    switch (state) {
    case State::Spaces:
    case State::Sign:
    case State::HexPrefix:
        return std::nullopt;
    case State::Zero:
        return 0;
    case State::Decimal: {
        const __int128 value = negative ? -static_cast<__int128>(digits.value)
                                        : static_cast<__int128>(digits.value);
        if (value < INT32_MIN || value > INT32_MAX)
            return std::nullopt;
        return static_cast<std::int32_t>(value);
    }
    case State::Hex:
        if (digits.value > 0xFFFFFFFFu)
            return std::nullopt;
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(digits.value));
    }
    return std::nullopt;
}

void report(const char *what, const std::optional<std::int32_t> &result)
{
    if (result)
        std::fprintf(stderr, "%s: %d\n", what, *result);
    else
        std::fprintf(stderr, "%s: refused\n", what);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    const auto parsed = display::parseCharCode(text);
    const auto expected = modelCharCode(data, size);
    if (parsed != expected) {
        std::fprintf(stderr, "parseCharCode disagrees with the model on %zu bytes:", size);
        for (std::size_t i = 0; i < size; ++i)
            std::fprintf(stderr, " %02x", data[i]);
        std::fputc('\n', stderr);
        report("parseCharCode", parsed);
        report("model", expected);
        std::abort();
    }
    return 0;
}
