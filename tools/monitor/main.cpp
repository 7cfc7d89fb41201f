// vkd417-monitor: a virtual VKD-417 display. It makes a pseudo-terminal,
// links a COM name of the demo program to it, and shows what arrives.

#include "eventformat.h"
#include "linesettings.h"
#include "portlink.h"
#include "streamdecoder.h"
#include "virtualport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace {

using namespace std::chrono_literals;
using monitor::Clock;
using WallClock = std::chrono::system_clock;

constexpr std::string_view programName = "vkd417-monitor";
constexpr auto settingsPollInterval = 100ms;

constexpr std::string_view usageText = R"(Usage: vkd417-monitor [--link COMn] [--force] [--log FILE]

Stands in for the VKD-417 display: makes a pseudo-terminal, links the port
name COMn of vkd417-demo to it and shows every byte that arrives, one line per
event: a command of the display, an unknown frame, text (code page 866) or a
control byte, and the line settings the sender chose whenever they change.
Runs until stopped with Ctrl+C, SIGTERM or SIGHUP, and then removes its link.

Options:
  --link COMn   the port name to stand in for (default COM1); the link is
                $XDG_CONFIG_HOME/vkd417-demo/ports/COMn (~/.config when
                XDG_CONFIG_HOME is not set)
  --force       replace whatever is already there under that name; a link
                that an earlier monitor left behind (ended by SIGKILL, a
                crash, a power cut) is replaced without it, told apart by
                the record COMn.monitor that each monitor keeps beside its
                link; such links under other names are removed at start
  --log FILE    also append every event to FILE as one JSON object a line
  --help        show this text
)";

struct Options
{
    std::string comName = "COM1";
    bool force = false;
    std::string logPath;
    bool help = false;
};

int signalPipe[2] = {-1, -1};

extern "C" void onSignal(int signal)
{
    const auto b = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &b, 1);
}

void printError(const std::string &message)
{
    std::fprintf(stderr, "%.*s: %s\n", static_cast<int>(programName.size()), programName.data(),
                 message.c_str());
}

std::optional<Options> parseArguments(int argc, char **argv, std::string &error)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        std::optional<std::string_view> value;
        if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
        }
        const auto takeValue = [&]() -> std::optional<std::string_view> {
            if (value)
                return value;
            if (i + 1 < argc)
                return std::string_view(argv[++i]);
            error = std::string(arg) + " needs a value";
            return std::nullopt;
        };
        const auto noValue = [&] {
            if (value)
                error = std::string(arg) + " takes no value";
            return !value;
        };

        if (arg == "--help" || arg == "-h") {
            if (!noValue())
                return std::nullopt;
            options.help = true;
        } else if (arg == "--force") {
            if (!noValue())
                return std::nullopt;
            options.force = true;
        } else if (arg == "--link") {
            const auto name = takeValue();
            if (!name)
                return std::nullopt;
            if (!monitor::isComName(*name)) {
                error = "--link expects a port name COM1, COM2, ..., not \"" + std::string(*name) + "\"";
                return std::nullopt;
            }
            options.comName = *name;
        } else if (arg == "--log") {
            const auto path = takeValue();
            if (!path)
                return std::nullopt;
            if (path->empty()) {
                error = "--log needs a file name";
                return std::nullopt;
            }
            options.logPath = *path;
        } else {
            error = "unknown argument \"" + std::string(arg) + "\"";
            return std::nullopt;
        }
    }
    return options;
}

// Stamps for the screen ("13:05:10.123") and the log (ISO 8601 with the zone).
std::string clockTime(WallClock::time_point t, bool full)
{
    const std::time_t seconds = WallClock::to_time_t(t);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() % 1000;
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char date[32];
    std::strftime(date, sizeof date, full ? "%Y-%m-%dT%H:%M:%S" : "%H:%M:%S", &local);
    char out[64];
    if (!full) {
        std::snprintf(out, sizeof out, "%s.%03d", date, static_cast<int>(ms));
        return out;
    }
    char zone[8];
    std::strftime(zone, sizeof zone, "%z", &local);
    std::snprintf(out, sizeof out, "%s.%03d%.3s:%s", date, static_cast<int>(ms), zone, zone + 3);
    return out;
}

// Where every event goes: the screen, and the log when there is one.
class Output
{
public:
    ~Output()
    {
        if (m_log)
            std::fclose(m_log);
    }

    bool openLog(const std::string &path, std::string &error)
    {
        m_log = std::fopen(path.c_str(), "a");
        if (!m_log) {
            error = "cannot write the log " + path + ": " + std::strerror(errno);
            return false;
        }
        m_logPath = path;
        return true;
    }

    void note(const std::string &text)
    {
        std::fprintf(stdout, "%s\n", text.c_str());
        std::fflush(stdout);
    }

    template<typename Item>
    bool show(const Item &item, WallClock::time_point when)
    {
        note(monitor::screenLine(item, clockTime(when, false)));
        return writeLog(monitor::jsonLine(item, clockTime(when, true)));
    }

    bool writeLog(const std::string &line)
    {
        if (!m_log)
            return true;
        // Flushed at once, for whoever reads the log while the monitor runs.
        if (std::fprintf(m_log, "%s\n", line.c_str()) < 0 || std::fflush(m_log) != 0) {
            printError("cannot write the log " + m_logPath + ": " + std::strerror(errno));
            return false;
        }
        return true;
    }

    const std::string &logPath() const { return m_logPath; }

private:
    std::FILE *m_log = nullptr;
    std::string m_logPath;
};

std::string signalName(int signal)
{
    switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    }
    return "signal " + std::to_string(signal);
}

bool installSignalHandlers(std::string &error)
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::string("cannot set up signal handling: ") + std::strerror(errno);
        return false;
    }
    struct sigaction action{};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int s : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(s, &action, nullptr);
    // A closed pipe on the screen side must not end the monitor; the log goes on.
    ::signal(SIGPIPE, SIG_IGN);
    return true;
}

int run(const Options &options)
{
    std::string error;
    Output out;
    if (!options.logPath.empty() && !out.openLog(options.logPath, error)) {
        printError(error);
        return 1;
    }
    if (!installSignalHandlers(error)) {
        printError(error);
        return 1;
    }

    monitor::VirtualPort port;
    if (!port.isOpen()) {
        printError(port.error());
        return 1;
    }
    const std::string link = monitor::portLinkFolder() + "/" + options.comName;
    for (const std::string &removed : monitor::removeStaleLinks(monitor::portLinkFolder(), link))
        out.note(std::string(programName) + ": " + removed);
    const monitor::LinkClaim claim = monitor::claimPortLink(link, port.devicePath(), options.force);
    if (!claim.error.empty()) {
        printError(claim.error);
        return 1;
    }
    if (!claim.note.empty())
        out.note(std::string(programName) + ": " + claim.note);

    out.note(std::string(programName) + ": " + options.comName + " is " + port.devicePath()
             + " (linked as " + link + ")");
    out.note(std::string(programName)
             + ": a pseudo-terminal does not show the data bits or whether parity is on"
               " (the kernel keeps it at 8 bits, no parity); of the parity only the odd and"
               " mark/space flags show, so none and even look alike");
    if (!out.writeLog("{\"time\":" + monitor::jsonString(clockTime(WallClock::now(), true))
                      + ",\"kind\":\"start\",\"device\":" + monitor::jsonString(port.devicePath())
                      + ",\"link\":" + monitor::jsonString(link) + "}")) {
        monitor::releasePortLink(link, port.devicePath());
        return 1;
    }

    monitor::StreamDecoder decoder;
    std::optional<monitor::ObservedLine> shownLine;
    bool failed = false;

    const auto wallTimeOf = [](Clock::time_point t) {
        return WallClock::now() - std::chrono::duration_cast<WallClock::duration>(Clock::now() - t);
    };
    const auto showSettings = [&] {
        const auto line = monitor::observeLine(port.device());
        if (line && line != shownLine) {
            shownLine = line;
            failed |= !out.show(*line, WallClock::now());
        }
    };
    const auto showEvents = [&](const std::vector<monitor::Event> &events) {
        if (events.empty())
            return;
        // The sender sets the line before it writes, so the settings go first.
        showSettings();
        for (const monitor::Event &e : events)
            failed |= !out.show(e, wallTimeOf(e.arrived));
    };

    // Bounded, so that a sender that never stops cannot starve the rest.
    bool masterHungUp = false;
    const auto readArrivals = [&] {
        unsigned char buf[4096];
        for (int reads = 0; reads < 16; ++reads) {
            const ssize_t n = ::read(port.master(), buf, sizeof buf);
            if (n <= 0) {
                if (n < 0 && errno == EIO)
                    masterHungUp = true;
                return;
            }
            showEvents(decoder.feed(std::span(buf, static_cast<std::size_t>(n)), Clock::now()));
        }
    };

    showSettings();
    Clock::time_point nextSettingsPoll = Clock::now() + settingsPollInterval;
    int stopSignal = 0;

    while (!failed && stopSignal == 0) {
        Clock::time_point wake = nextSettingsPoll;
        if (const auto deadline = decoder.deadline(); deadline && *deadline < wake)
            wake = *deadline;
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - Clock::now());

        pollfd fds[2] = {{signalPipe[0], POLLIN, 0}, {masterHungUp ? -1 : port.master(), POLLIN, 0}};
        masterHungUp = false;
        const int ready = ::poll(fds, 2, static_cast<int>(std::max<long long>(wait.count(), 0)));
        if (ready < 0 && errno != EINTR) {
            printError(std::string("cannot wait for the pseudo-terminal: ") + std::strerror(errno));
            failed = true;
            break;
        }

        if (fds[0].revents & POLLIN) {
            unsigned char s = 0;
            if (::read(signalPipe[0], &s, 1) == 1)
                stopSignal = s;
        }

        if (fds[1].revents & POLLIN) {
            readArrivals();
        } else if (fds[1].revents & (POLLHUP | POLLERR)) {
            // Not expected while the monitor holds the device open itself;
            // leave the master out of one round rather than spin on it.
            masterHungUp = true;
        }

        const Clock::time_point now = Clock::now();
        showEvents(decoder.expire(now));
        if (now >= nextSettingsPoll) {
            showSettings();
            nextSettingsPoll = now + settingsPollInterval;
        }
    }

    // What has come but was not read yet, and what is still held, is shown
    // as what it is, not lost.
    if (!failed)
        readArrivals();
    showEvents(decoder.finish());

    const bool removed = monitor::releasePortLink(link, port.devicePath());
    if (stopSignal != 0) {
        out.note(std::string(programName) + ": stopped by " + signalName(stopSignal)
                 + (removed ? "; removed the link " : "; left alone the link ") + link
                 + (removed ? "" : ", which no longer points here"));
    }
    return failed ? 1 : 0;
}

} // namespace

int main(int argc, char **argv)
{
    std::string error;
    const auto options = parseArguments(argc, argv, error);
    if (!options) {
        printError(error + " (see --help)");
        return 2;
    }
    if (options->help) {
        std::fwrite(usageText.data(), 1, usageText.size(), stdout);
        return 0;
    }
    return run(*options);
}
