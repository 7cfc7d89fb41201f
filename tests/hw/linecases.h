#pragma once

// The line-settings table of the hardware bench: what the guest asks of each
// device, case by case, in this order. The guest works through it; the host
// reads what the device models were told and judges each case. Only the
// questions are shared here: the expected answers are the host's own.

#include "portsettings.h"

#include <cstdint>
#include <string>
#include <vector>

namespace hwbench {

// The devices under test and the COM names the guest links to them.
enum class Device { Uart, Usb };

inline const char *comName(Device d) { return d == Device::Uart ? "COM1" : "COM2"; }
inline const char *devicePath(Device d) { return d == Device::Uart ? "/dev/ttyS1" : "/dev/ttyUSB0"; }
inline const char *deviceLabel(Device d) { return d == Device::Uart ? "16550 (8250)" : "FTDI (ftdi_sio)"; }

// How the setting is given: from a closed port, as the port opens, or to a
// port that is already open under `base` (as the window's "Обновить" does).
enum class Path { AtOpen, WhileOpen };

struct Setting
{
    int baudIndex = 5; // into baudRates
    DataBits dataBits = DataBits::Eight;
    Parity parity = Parity::None;
    StopBits stopBits = StopBits::One;
};

// What an open port has before a change: it differs from the framing rows in
// its rate, and from 8N1 rows at 9600 in nothing else, so that a change that
// is refused half-way shows.
inline constexpr Setting base{7, DataBits::Eight, Parity::None, StopBits::One};

struct LineCase
{
    int number = 0; // also its mark in the referee's record
    Device device = Device::Uart;
    Path path = Path::AtOpen;
    Setting setting;
};

// Every rate at 8N1, then every framing (data bits x parity x stop bits) at
// 9600, on both devices, at open and while open.
inline std::vector<LineCase> lineCases()
{
    std::vector<LineCase> cases;
    for (Device device : {Device::Uart, Device::Usb}) {
        for (Path path : {Path::AtOpen, Path::WhileOpen}) {
            const auto add = [&](Setting s) {
                cases.push_back({static_cast<int>(cases.size()) + 1, device, path, s});
            };
            for (int rate = 0; rate < static_cast<int>(baudRates.size()); ++rate)
                add({rate, DataBits::Eight, Parity::None, StopBits::One});
            for (DataBits bits : {DataBits::Five, DataBits::Six, DataBits::Seven, DataBits::Eight}) {
                for (Parity parity : {Parity::None, Parity::Odd, Parity::Even, Parity::Mark, Parity::Space}) {
                    for (StopBits stop : {StopBits::One, StopBits::OneAndHalf, StopBits::Two}) {
                        if (bits == DataBits::Eight && parity == Parity::None && stop == StopBits::One)
                            continue; // the 9600 row above
                        add({5, bits, parity, stop});
                    }
                }
            }
        }
    }
    return cases;
}

// The bytes a case sends: its number, then a run that walks through every
// byte value over the cases, so that each value crosses each device.
inline std::string payload(int caseNumber)
{
    std::string bytes = "#" + std::to_string(caseNumber) + ":";
    for (int i = 0; i < 16; ++i)
        bytes.push_back(static_cast<char>((caseNumber * 16 + i) & 0xff));
    return bytes;
}

// The marks: a write of markLead, then the phase, then the case number in
// two bytes, to the scratch register of a 16550 that only the referee uses
// (ttyS2, I/O port 0x3e8); the 8250 driver writes a scratch register only
// while it probes a port at boot.
inline constexpr std::uint16_t markPort = 0x3e8 + 7;
inline constexpr std::uint8_t markLead = 0xa5;
enum class Phase : std::uint8_t {
    Begin = 1,     // before anything of the case
    Change = 2,    // the port prepared (open under base, or closed); the setting is given next
    Sending = 3,   // the setting given; the bytes are sent next
    Sent = 4,      // the send has returned
    End = 5,       // the port closed again
};

// What the drivers do with DTR and RTS as a port opens, with and without a
// rate of 0 left in the driver's saved settings; the steps, in order, for
// each device.
enum class DtrStudy {
    PlainOpen,        // open and close, the saved rate not 0
    LeaveAtZero,      // open, set rate 0 (B0), close: the driver keeps B0
    OpenAtZero,       // open again, and keep it open
    RateFromZero,     // set 9600 on it, then B0 again, and close
    ProgramOpenAtZero, // the program opens the port (9600) and closes it
    PutBackRate,      // open, set 9600, close
    Count
};
inline int dtrStudyNumber(Device d, DtrStudy s) { return 2000 + 10 * static_cast<int>(d) + static_cast<int>(s); }

} // namespace hwbench
