#include "streamdecoder.h"

#include "codepage.h"

#include <array>
#include <string_view>
#include <utility>

namespace monitor {

namespace {

struct NamedCommand
{
    display::Command command;
    std::string_view name;
};

constexpr std::array<NamedCommand, 8> namedCommands = {{
    {display::Command::Clear, "clear"},
    {display::Command::Cursor, "cursor"},
    {display::Command::RussianSet, "Russian character set"},
    {display::Command::EnglishSet, "English character set"},
    {display::Command::GermanSet, "German character set"},
    {display::Command::SaveDemo, "store demo"},
    {display::Command::PrinterOn, "printer on"},
    {display::Command::PrinterOff, "printer off"},
}};

void appendUtf8(std::string &out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        // Code page 866 has nothing beyond the Basic Multilingual Plane.
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

Event controlEvent(std::uint8_t byte, Clock::time_point arrived)
{
    Event e;
    e.kind = EventKind::Control;
    e.bytes = {byte};
    e.arrived = arrived;
    return e;
}

} // namespace

bool isPrintable(std::uint8_t byte)
{
    // Every byte from 0x80 up is a letter or sign in code page 866.
    return (byte >= 0x20 && byte != 0x7F);
}

Event decodeFrame(const display::Bytes &frame)
{
    Event e;
    e.bytes = frame;
    e.kind = EventKind::Frame;
    if (frame.size() < 3)
        return e;
    const std::string_view body(reinterpret_cast<const char *>(frame.data()) + 2, frame.size() - 3);

    for (const NamedCommand &c : namedCommands) {
        if (display::commandBody(c.command) == body) {
            e.kind = EventKind::Command;
            e.command = c.name;
            return e;
        }
    }
    for (int mode = display::minDemoMode; mode <= display::maxDemoMode; ++mode) {
        if (display::viewDemoFrame(mode) == frame) {
            e.kind = EventKind::Command;
            e.command = "show demo";
            e.demoMode = mode;
            return e;
        }
    }
    if (body.size() == 3 && body[0] == 'B' && body[2] == 'N') {
        if (const auto rate = display::rateForCode(body[1])) {
            e.kind = EventKind::Command;
            e.command = "display baud rate";
            e.baudRate = *rate;
            return e;
        }
    }
    return e;
}

StreamDecoder::StreamDecoder(DecoderTiming timing)
    : m_timing(timing)
{
}

std::vector<Event> StreamDecoder::feed(std::span<const std::uint8_t> bytes, Clock::time_point now)
{
    std::vector<Event> out;
    for (const std::uint8_t b : bytes)
        take(b, now, out);
    if (!bytes.empty())
        m_lastByte = now;
    return out;
}

std::vector<Event> StreamDecoder::expire(Clock::time_point now)
{
    std::vector<Event> out;
    const bool framePending = m_state == State::FrameStart || m_state == State::FrameBody;
    if (framePending && now - m_lastByte >= m_timing.frameGap)
        abandonFrame(out);
    // Giving up a frame may leave its body as a text run, which is just as quiet.
    if (m_state == State::Text && now - m_lastByte >= m_timing.textQuiet)
        endText(out);
    return out;
}

std::optional<Clock::time_point> StreamDecoder::deadline() const
{
    switch (m_state) {
    case State::Idle:
        return std::nullopt;
    case State::Text:
        return m_lastByte + m_timing.textQuiet;
    case State::FrameStart:
    case State::FrameBody:
        return m_lastByte + m_timing.frameGap;
    }
    return std::nullopt;
}

std::vector<Event> StreamDecoder::finish()
{
    std::vector<Event> out;
    if (m_state == State::FrameStart || m_state == State::FrameBody)
        abandonFrame(out);
    if (m_state == State::Text)
        endText(out);
    return out;
}

void StreamDecoder::take(std::uint8_t byte, Clock::time_point now, std::vector<Event> &out)
{
    switch (m_state) {
    case State::Idle:
        if (byte == display::EOT) {
            m_state = State::FrameStart;
            m_held = {byte};
            m_heldSince = now;
        } else if (isPrintable(byte)) {
            m_state = State::Text;
            m_held = {byte};
            m_heldSince = now;
        } else {
            out.push_back(controlEvent(byte, now));
        }
        return;

    case State::Text:
        if (!isPrintable(byte)) {
            endText(out);
            take(byte, now, out);
            return;
        }
        m_held.push_back(byte);
        if (m_held.size() >= m_timing.maxTextRun)
            endText(out);
        return;

    case State::FrameStart:
        if (byte != display::SOH) {
            abandonFrame(out);
            take(byte, now, out);
            return;
        }
        m_held.push_back(byte);
        m_state = State::FrameBody;
        return;

    case State::FrameBody:
        if (byte == display::ETB) {
            m_held.push_back(byte);
            endFrame(out);
        } else if (byte == display::EOT) {
            // A sender that starts again has given up what it had begun.
            abandonFrame(out);
            take(byte, now, out);
        } else {
            m_held.push_back(byte);
            if (m_held.size() - 2 > m_timing.maxFrameBody)
                abandonFrame(out);
        }
        return;
    }
}

void StreamDecoder::endText(std::vector<Event> &out)
{
    Event e;
    e.kind = EventKind::Text;
    e.arrived = m_heldSince;
    for (const std::uint8_t b : m_held)
        appendUtf8(e.text, display::fromCodePage866(b));
    e.bytes = std::exchange(m_held, {});
    m_state = State::Idle;
    out.push_back(std::move(e));
}

void StreamDecoder::endFrame(std::vector<Event> &out)
{
    Event e = decodeFrame(m_held);
    e.arrived = m_heldSince;
    m_held.clear();
    m_state = State::Idle;
    out.push_back(std::move(e));
}

void StreamDecoder::abandonFrame(std::vector<Event> &out)
{
    // The held bytes are EOT, maybe SOH, then a body without EOT: read again
    // from Idle they cannot start another frame.
    const display::Bytes held = std::exchange(m_held, {});
    const Clock::time_point since = m_heldSince;
    m_state = State::Idle;
    out.push_back(controlEvent(held.front(), since));
    for (std::size_t i = 1; i < held.size(); ++i)
        take(held[i], since, out);
}

} // namespace monitor
