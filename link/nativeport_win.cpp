#include "nativeport.h"
#include "portname.h"

#include <QRegularExpression>

#include <windows.h>

#include <algorithm>
#include <iterator>

namespace {

QString systemError(DWORD error)
{
    wchar_t *text = nullptr;
    const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                              | FORMAT_MESSAGE_IGNORE_INSERTS,
                                          nullptr, error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    QString message = length ? QString::fromWCharArray(text, int(length)).trimmed() : QString();
    ::LocalFree(text);
    // The same shape as the Unix texts, which end without a full stop.
    if (message.endsWith(QLatin1Char('.')))
        message.chop(1);
    return message.isEmpty() ? QStringLiteral("system error %1").arg(error) : message;
}

// What a driver answers once its device has gone (a USB adapter pulled out):
// the handle is of no more use.
bool isDeviceGone(DWORD error)
{
    switch (error) {
    case ERROR_BAD_COMMAND:
    case ERROR_ACCESS_DENIED:
    case ERROR_OPERATION_ABORTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY:
    case ERROR_BROKEN_PIPE:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_INVALID_HANDLE:
        return true;
    default:
        return false;
    }
}

BYTE dcbParity(Parity parity)
{
    switch (parity) {
    case Parity::None: return NOPARITY;
    case Parity::Odd: return ODDPARITY;
    case Parity::Even: return EVENPARITY;
    case Parity::Mark: return MARKPARITY;
    case Parity::Space: return SPACEPARITY;
    }
    return NOPARITY;
}

BYTE dcbStopBits(StopBits bits)
{
    switch (bits) {
    case StopBits::One: return ONESTOPBIT;
    case StopBits::OneAndHalf: return ONE5STOPBITS;
    case StopBits::Two: return TWOSTOPBITS;
    }
    return ONESTOPBIT;
}

// Steps from one DCB to another, a setting at a time: what a driver refuses
// as a whole is found by asking for each part.
enum class Part { BaudRate, DataBits, Parity, StopBits };
constexpr Part parts[] = {Part::BaudRate, Part::DataBits, Part::Parity, Part::StopBits};

void setPart(DCB &dcb, Part part, const LineSettings &settings)
{
    switch (part) {
    case Part::BaudRate: dcb.BaudRate = DWORD(settings.baudRate); break;
    case Part::DataBits: dcb.ByteSize = BYTE(dataBitCount(settings.dataBits)); break;
    case Part::Parity: dcb.Parity = dcbParity(settings.parity); break;
    case Part::StopBits: dcb.StopBits = dcbStopBits(settings.stopBits); break;
    }
}

bool partTaken(const DCB &dcb, Part part, const LineSettings &settings)
{
    DCB asked = dcb;
    setPart(asked, part, settings);
    switch (part) {
    case Part::BaudRate: return dcb.BaudRate == asked.BaudRate;
    case Part::DataBits: return dcb.ByteSize == asked.ByteSize;
    case Part::Parity: return dcb.Parity == asked.Parity;
    case Part::StopBits: return dcb.StopBits == asked.StopBits;
    }
    return false;
}

QString describePart(Part part, const LineSettings &settings)
{
    switch (part) {
    case Part::BaudRate: return describeBaudRate(settings.baudRate);
    case Part::DataBits: return describeDataBits(settings.dataBits);
    case Part::Parity: return describeParity(settings.parity);
    case Part::StopBits: return describeStopBits(settings.stopBits);
    }
    return {};
}

// The DCB asked for: the line settings, binary mode, no flow control of any
// kind, DTR and RTS held low.
DCB lineDcb(DCB dcb, const LineSettings &settings)
{
    for (Part part : parts)
        setPart(dcb, part, settings);
    dcb.fBinary = TRUE;
    dcb.fParity = settings.parity != Parity::None;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    return dcb;
}

} // namespace

struct NativePort::Device
{
    HANDLE handle = INVALID_HANDLE_VALUE;
    QString path;
    DCB original{};              // put back at close
    COMMTIMEOUTS originalTimeouts{};
};

NativePort::NativePort() = default;

NativePort::~NativePort()
{
    close();
}

bool NativePort::isOpen() const
{
    return m_device != nullptr;
}

QString NativePort::open(const QString &path, const LineSettings &settings)
{
    close();
    // "COM10" and above are reached only through the device namespace.
    const QString file = path.startsWith(QLatin1String("\\\\")) ? path : QStringLiteral("\\\\.\\") + path;
    // Read access too: some drivers (wine's among them) refuse every comm
    // call on a handle that may only write. No sharing: the port is this
    // program's alone while open.
    const HANDLE handle = ::CreateFileW(reinterpret_cast<const wchar_t *>(file.utf16()), GENERIC_READ | GENERIC_WRITE,
                                        0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
            return QStringLiteral("Cannot open %1: in use by another program (%2)").arg(path, systemError(error));
        return QStringLiteral("Cannot open %1: %2").arg(path, systemError(error));
    }

    auto device = std::make_unique<Device>();
    device->handle = handle;
    device->path = path;
    device->original.DCBlength = sizeof(DCB);
    if (::GetFileType(handle) != FILE_TYPE_CHAR || !::GetCommState(handle, &device->original)
        || !::GetCommTimeouts(handle, &device->originalTimeouts)) {
        ::CloseHandle(handle);
        return QStringLiteral("Cannot open %1: %1 is not a serial port").arg(path);
    }
    m_device = std::move(device);

    if (const QString error = apply(settings); !error.isEmpty()) {
        close();
        return error;
    }
    // The DCB has taken them low already; these say so to a driver that
    // keeps the lines apart from its DCB. A device without modem lines
    // (a pseudo-terminal under wine) has nothing to lower.
    for (DWORD function : {CLRDTR, CLRRTS}) {
        if (!::EscapeCommFunction(m_device->handle, function)) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_FUNCTION
                && error != ERROR_INVALID_PARAMETER) {
                close();
                return QStringLiteral("Cannot lower DTR and RTS on %1: %2").arg(path, systemError(error));
            }
        }
    }
    return {};
}

QString NativePort::apply(const LineSettings &settings)
{
    if (!m_device)
        return QStringLiteral("The port is not open");
    const HANDLE handle = m_device->handle;
    DCB before{};
    before.DCBlength = sizeof(DCB);
    if (!::GetCommState(handle, &before))
        return QStringLiteral("%1 refuses these line settings: %2").arg(m_device->path, systemError(::GetLastError()));

    // One update with every setting, then read back: a driver may take a
    // DCB and keep something else.
    const DCB asked = lineDcb(before, settings);
    DCB wanted = asked;
    const bool set = ::SetCommState(handle, &wanted);
    const DWORD setError = set ? ERROR_SUCCESS : ::GetLastError();
    if (!set && isDeviceGone(setError))
        return QStringLiteral("%1 refuses these line settings: %2").arg(m_device->path, systemError(setError));
    DCB now{};
    now.DCBlength = sizeof(DCB);
    if (!::GetCommState(handle, &now))
        return QStringLiteral("%1 refuses these line settings: %2").arg(m_device->path, systemError(::GetLastError()));
    const bool allTaken = std::all_of(std::begin(parts), std::end(parts),
                                      [&](Part part) { return partTaken(now, part, settings); });
    if (allTaken && (now.fOutxCtsFlow || now.fOutxDsrFlow || now.fOutX || now.fInX)) {
        DCB former = before;
        ::SetCommState(handle, &former);
        return QStringLiteral("%1 refuses these line settings: it keeps flow control on").arg(m_device->path);
    }
    // Lowering DTR or RTS is what fails on a device without modem lines;
    // the read-back tells whether the settings themselves were taken.
    if (allTaken && (set || setError == ERROR_NOT_SUPPORTED || setError == ERROR_INVALID_FUNCTION))
        return {};

    // Refused whole or in part: find the first setting the device does not
    // take by stepping from the former settings one at a time.
    QString refused;
    DCB step = before;
    for (Part part : parts) {
        setPart(step, part, settings);
        DCB trial = step;
        const bool ok = ::SetCommState(handle, &trial);
        const DWORD trialError = ok ? ERROR_SUCCESS : ::GetLastError();
        DCB read{};
        read.DCBlength = sizeof(DCB);
        const bool taken = ::GetCommState(handle, &read) && partTaken(read, part, settings)
            && (ok || trialError == ERROR_NOT_SUPPORTED || trialError == ERROR_INVALID_FUNCTION);
        if (!taken) {
            refused = cannotSend(m_device->path, describePart(part, settings));
            break;
        }
    }
    DCB former = before;
    ::SetCommState(handle, &former);
    if (refused.isEmpty()) // each part alone was taken, not all of them at once
        refused = QStringLiteral("%1 refuses these line settings: %2")
                      .arg(m_device->path, set ? QStringLiteral("it keeps others") : systemError(setError));
    return refused;
}

void NativePort::close()
{
    if (!m_device)
        return;
    // The next program finds the port as this one found it.
    ::SetCommState(m_device->handle, &m_device->original);
    ::SetCommTimeouts(m_device->handle, &m_device->originalTimeouts);
    ::CloseHandle(m_device->handle);
    m_device.reset();
}

QString NativePort::discard(bool &deviceGone)
{
    if (!m_device)
        return QStringLiteral("The port is not open");
    // Every write waits until its bytes have left, so output is pending only
    // on a port still sending. Clearing the output of a pseudo-terminal
    // (under wine) would throw away bytes delivered but not yet read at the
    // far end, so it is cleared only when the driver says some wait.
    DWORD errors = 0;
    COMSTAT status{};
    DWORD flags = PURGE_RXABORT | PURGE_RXCLEAR;
    if (!::ClearCommError(m_device->handle, &errors, &status) || status.cbOutQue > 0)
        flags |= PURGE_TXABORT | PURGE_TXCLEAR;
    if (::PurgeComm(m_device->handle, flags))
        return {};
    const DWORD error = ::GetLastError();
    deviceGone = isDeviceGone(error);
    return QStringLiteral("Cannot clear the port's buffers: %1").arg(systemError(error));
}

QString NativePort::writeAll(const QByteArray &bytes, QDeadlineTimer deadline, bool &deviceGone)
{
    if (!m_device)
        return QStringLiteral("The port is not open");
    const HANDLE handle = m_device->handle;
    const auto remainingMs = [&deadline]() -> DWORD {
        if (deadline.isForever())
            return MAXDWORD - 1;
        return DWORD(std::clamp<qint64>(deadline.remainingTime(), 1, MAXDWORD - 1));
    };
    const auto timedOut = [handle] {
        ::PurgeComm(handle, PURGE_TXABORT | PURGE_TXCLEAR);
        return QStringLiteral("Write timed out");
    };
    const auto failed = [&deviceGone](DWORD error) {
        deviceGone = isDeviceGone(error);
        return QStringLiteral("Write error: %1").arg(systemError(error));
    };

    qsizetype done = 0;
    while (done < bytes.size()) {
        if (deadline.hasExpired())
            return timedOut();
        // The driver ends the write itself when the deadline comes.
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = MAXDWORD;
        timeouts.WriteTotalTimeoutConstant = remainingMs();
        if (!::SetCommTimeouts(handle, &timeouts))
            return failed(::GetLastError());
        const DWORD chunk = DWORD(std::min<qsizetype>(bytes.size() - done, 1 << 20));
        DWORD written = 0;
        if (!::WriteFile(handle, bytes.constData() + done, chunk, &written, nullptr))
            return failed(::GetLastError());
        done += written;
        if (written < chunk)
            return timedOut();
    }

    // The write is done once the driver's queue is empty: wait for it, no
    // longer than the deadline (FlushFileBuffers would wait for ever).
    for (;;) {
        DWORD errors = 0;
        COMSTAT status{};
        if (!::ClearCommError(handle, &errors, &status))
            return failed(::GetLastError());
        if (status.cbOutQue == 0)
            return {};
        if (deadline.hasExpired())
            return timedOut();
        ::Sleep(std::min<DWORD>(remainingMs(), 5));
    }
}

PortDevice resolvePortName(const QString &name)
{
    static const QRegularExpression comName(QStringLiteral("^COM[1-9][0-9]*$"));
    if (!comName.match(name).hasMatch())
        return {{}, {}, QStringLiteral("No such port")};
    return {name, {}, {}};
}

QString describePortName(const QString &name)
{
    const PortDevice device = resolvePortName(name);
    if (device.path.isEmpty())
        return device.error;
    // The driver's device behind the name: \Device\Serial0 for a UART,
    // \Device\VCP0 or the like for a USB adapter.
    wchar_t target[512];
    if (::QueryDosDeviceW(reinterpret_cast<const wchar_t *>(device.path.utf16()), target, DWORD(std::size(target))) == 0)
        return device.path + QStringLiteral(", not present");
    return device.path + QStringLiteral(" \u2014 ") + QString::fromWCharArray(target);
}

QString portLinkFolder()
{
    return {};
}
