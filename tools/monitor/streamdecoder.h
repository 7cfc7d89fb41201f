#pragma once

#include "commands.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace monitor {

using Clock = std::chrono::steady_clock;

enum class EventKind {
    Command, // a frame of the command table
    Frame,   // EOT SOH ... ETB whose body is not in the table
    Text,    // a run of printable bytes
    Control, // any other byte, one event each
};

// One thing the display received. The bytes of all events, in order, are
// exactly the bytes that arrived.
struct Event
{
    EventKind kind = EventKind::Control;
    display::Bytes bytes;
    Clock::time_point arrived; // when its first byte came

    std::string text;    // Text: the characters, code page 866 read as UTF-8
    std::string command; // Command: its name, "clear", "show demo", ...
    int demoMode = 0;    // "show demo": 1 to 7
    int baudRate = 0;    // "display baud rate": the rate its code stands for
};

struct DecoderTiming
{
    // A started frame that hears nothing for this long is given up, and its
    // bytes are shown as what they are: a sender never pauses inside a frame,
    // which goes out in one write.
    std::chrono::milliseconds frameGap{200};
    // A text run ends at the first byte that is not printable, or when the
    // line has been quiet this long: not at a read boundary, since the
    // alphabet run comes in forty one-byte writes and should read as one line.
    std::chrono::milliseconds textQuiet{30};
    // Longer bodies are not a frame at all (the longest command has 3 bytes).
    std::size_t maxFrameBody = 8;
    // So that a steady stream of text still shows up while it goes on.
    std::size_t maxTextRun = 64;
};

// Splits what the display receives into events. Keeps its state across
// reads, so a frame that comes in two pieces is still one frame.
class StreamDecoder
{
public:
    explicit StreamDecoder(DecoderTiming timing = {});

    // The events that the bytes complete; a started frame or text run is
    // held until it ends.
    std::vector<Event> feed(std::span<const std::uint8_t> bytes, Clock::time_point now);
    // The events that a quiet line has ended by now.
    std::vector<Event> expire(Clock::time_point now);
    // When expire() will next have something to give, if anything is held.
    std::optional<Clock::time_point> deadline() const;
    // Everything still held, as what it is (at exit).
    std::vector<Event> finish();

private:
    enum class State { Idle, Text, FrameStart, FrameBody };

    void take(std::uint8_t byte, Clock::time_point now, std::vector<Event> &out);
    void endText(std::vector<Event> &out);
    void endFrame(std::vector<Event> &out);
    void abandonFrame(std::vector<Event> &out);

    DecoderTiming m_timing;
    State m_state = State::Idle;
    display::Bytes m_held;
    Clock::time_point m_heldSince;
    Clock::time_point m_lastByte;
};

// A frame (EOT SOH body ETB) as an event: a command of the table if it is
// one, else an unknown frame.
Event decodeFrame(const display::Bytes &frame);

bool isPrintable(std::uint8_t byte);

} // namespace monitor
