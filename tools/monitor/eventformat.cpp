#include "eventformat.h"

#include <array>
#include <cstdio>

namespace monitor {

namespace {

constexpr std::array<std::string_view, 32> controlNames = {
    "NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS",  "HT",  "LF",
    "VT",  "FF",  "CR",  "SO",  "SI",  "DLE", "DC1", "DC2", "DC3", "DC4", "NAK",
    "SYN", "ETB", "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US",
};

std::string_view controlName(std::uint8_t byte)
{
    if (byte < controlNames.size())
        return controlNames[byte];
    if (byte == 0x7F)
        return "DEL";
    return {};
}

std::string hexByte(std::uint8_t byte)
{
    char buf[3];
    std::snprintf(buf, sizeof buf, "%02X", byte);
    return buf;
}

std::size_t codePoints(std::string_view utf8)
{
    std::size_t n = 0;
    for (const char c : utf8)
        n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

std::string padded(std::string s, std::size_t width)
{
    const std::size_t n = codePoints(s);
    if (n < width)
        s.append(width - n, ' ');
    return s;
}

std::string commandJson(const Event &e)
{
    std::string json = "{\"name\":" + jsonString(e.command);
    if (e.demoMode != 0) {
        json += ",\"mode\":" + std::to_string(e.demoMode);
        json += ",\"modeName\":" + jsonString(display::demoModeName(e.demoMode));
    }
    if (e.baudRate != 0)
        json += ",\"rate\":" + std::to_string(e.baudRate);
    return json + "}";
}

} // namespace

std::string hexBytes(const display::Bytes &bytes)
{
    std::string out;
    for (const std::uint8_t b : bytes) {
        if (!out.empty())
            out += ' ';
        out += hexByte(b);
    }
    return out;
}

std::string_view kindName(EventKind kind)
{
    switch (kind) {
    case EventKind::Command: return "command";
    case EventKind::Frame: return "frame";
    case EventKind::Text: return "text";
    case EventKind::Control: return "control";
    }
    return {};
}

std::string summary(const Event &e)
{
    switch (e.kind) {
    case EventKind::Command:
        if (e.demoMode != 0)
            return e.command + ", mode " + std::to_string(e.demoMode) + " ("
                + std::string(display::demoModeName(e.demoMode)) + ")";
        if (e.baudRate != 0)
            return e.command + " " + std::to_string(e.baudRate);
        return e.command;
    case EventKind::Frame:
        return "unknown frame";
    case EventKind::Text:
        // Quoted, so that leading and trailing spaces show.
        return "\"" + e.text + "\"";
    case EventKind::Control: {
        const std::uint8_t b = e.bytes.empty() ? 0 : e.bytes.front();
        return hexByte(b) + " (" + std::string(controlName(b)) + ")";
    }
    }
    return {};
}

std::string screenLine(const Event &e, std::string_view clock)
{
    std::string line(clock);
    line += ' ';
    line += padded(std::string(kindName(e.kind)), 10);
    // Text is all in its characters; for the rest the bytes are the point.
    if (e.kind == EventKind::Text || e.kind == EventKind::Control)
        return line + summary(e);
    return line + padded(summary(e), 30) + " " + hexBytes(e.bytes);
}

std::string jsonLine(const Event &e, std::string_view time)
{
    std::string json = "{\"time\":" + jsonString(time);
    json += ",\"kind\":" + jsonString(kindName(e.kind));
    json += ",\"bytes\":" + jsonString(hexBytes(e.bytes));
    if (e.kind == EventKind::Text)
        json += ",\"text\":" + jsonString(e.text);
    if (e.kind == EventKind::Command)
        json += ",\"command\":" + commandJson(e);
    json += ",\"summary\":" + jsonString(summary(e));
    return json + "}";
}

std::string_view parityName(const ObservedLine &line)
{
    if (line.markSpace)
        return line.parityOdd ? "mark" : "space";
    return line.parityOdd ? "odd" : "none or even";
}

std::string summary(const ObservedLine &line)
{
    std::string s = std::to_string(line.outputBaud) + " baud";
    // An input rate of 0 means "the same as the output".
    if (line.inputBaud != 0 && line.inputBaud != line.outputBaud)
        s += " (input " + std::to_string(line.inputBaud) + ")";
    s += line.stopBits == 2 ? ", 2 stop bits" : ", 1 stop bit";
    s += ", parity ";
    s += parityName(line);
    return s;
}

std::string screenLine(const ObservedLine &line, std::string_view clock)
{
    return std::string(clock) + " settings  " + summary(line);
}

std::string jsonLine(const ObservedLine &line, std::string_view time)
{
    std::string json = "{\"time\":" + jsonString(time);
    json += ",\"kind\":\"settings\"";
    json += ",\"baud\":" + std::to_string(line.outputBaud);
    json += ",\"inputBaud\":" + std::to_string(line.inputBaud != 0 ? line.inputBaud : line.outputBaud);
    json += ",\"stopBits\":" + std::to_string(line.stopBits);
    json += ",\"parity\":" + jsonString(parityName(line));
    json += ",\"summary\":" + jsonString(summary(line));
    return json + "}";
}

namespace {

// The length of the well-formed UTF-8 sequence at the start of bytes (no
// overlong forms, no surrogates, nothing above U+10FFFF), 0 when there is none.
std::size_t utf8SequenceLength(std::string_view bytes)
{
    const auto at = [&bytes](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = at(0);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF; // the range of the second byte
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0; // overlong below
        else if (lead == 0xED)
            high = 0x9F; // surrogates above
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F; // beyond U+10FFFF above
    } else {
        return 0;
    }
    if (bytes.size() < length || at(1) < low || at(1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (at(i) < 0x80 || at(i) > 0xBF)
            return 0;
    }
    return length;
}

} // namespace

std::string jsonString(std::string_view bytes)
{
    // JSON is UTF-8 text; a byte that is not part of UTF-8 (a folder named
    // in Latin-1, say) becomes U+FFFD, so that the log stays readable to
    // every JSON reader whatever the bytes of a path.
    static constexpr std::string_view replacement = "\xEF\xBF\xBD";
    std::string out = "\"";
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t length = utf8SequenceLength(bytes.substr(i));
        if (length == 0) {
            out += replacement;
            ++i;
            continue;
        }
        if (length > 1) {
            out += bytes.substr(i, length);
            i += length;
            continue;
        }
        const char c = bytes[i++];
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (u < 0x20) {
                char buf[7];
                std::snprintf(buf, sizeof buf, "\\u%04X", u);
                out += buf;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

} // namespace monitor
