// Start-up and memory: from process start to the window first shown, and the
// resident memory once shown, for the demo and for a bare Qt window of the
// same size (barewindow.cpp), measured the same way, in turns, under the X
// server named by DISPLAY (scripts/bench starts an Xvfb of its own).
//
// How "shown" is seen from outside, without touching the program: the
// watcher listens on the root window for new top-level windows (X's
// SubstructureNotify). When one is created it asks for its Expose events and
// has the DAMAGE extension report every drawing into it. Then:
//  - mapped:  the server maps the window (MapNotify on the root), i.e. it is
//             on the screen, still empty;
//  - painted: the first drawing into the window after its first Expose, i.e.
//             the program has put its first frame up. This is "first shown".
// The clock starts just before fork(), so both figures include fork and exec,
// the dynamic loader, Qt's start, the X connection and the program's own set-up.
// The resident memory (VmRSS of /proc/PID/status) is read 500 ms after the
// first paint, once the program is idle. Each program runs once first
// unmeasured (file and font caches warm), then they take turns.
//
// A third subject, the bare window with one titled group box, is measured
// alongside for information: it pays Qt's first text and first frame, which
// the bare window does not.
//
// Usage: bench_startup RUNS WIDTH HEIGHT PROGRAM BASELINE

#include "table.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xdamage.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string &what)
{
    std::fprintf(stderr, "bench_startup: %s\n", what.c_str());
    std::exit(1);
}

struct Launch
{
    double mappedMs = 0;
    double paintedMs = 0;
    double rssMiB = 0;
};

double rssMiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            double kib = 0;
            status >> kib;
            return kib / 1024;
        }
        status.ignore(1 << 16, '\n');
    }
    fail("no VmRSS for the program");
}

class Watcher
{
public:
    Watcher()
    {
        m_display = XOpenDisplay(nullptr);
        if (!m_display)
            fail("cannot open the X display (is DISPLAY set?)");
        int error = 0;
        if (!XDamageQueryExtension(m_display, &m_damageEvent, &error))
            fail("the X server has no DAMAGE extension");
        XSelectInput(m_display, DefaultRootWindow(m_display), SubstructureNotifyMask);
        XSync(m_display, False);
    }
    ~Watcher() { XCloseDisplay(m_display); }

    Launch launch(const char *program, const char *argument, int width, int height)
    {
        drain();
        std::optional<Clock::time_point> mapped, exposed, painted;
        std::map<Window, Damage> damages;
        std::map<Window, unsigned long> selected;
        Window target = 0;
        bool waitForExpose = true;

        const auto start = Clock::now();
        const pid_t pid = fork();
        if (pid < 0)
            fail("fork failed");
        if (pid == 0) {
            execl(program, program, argument, static_cast<char *>(nullptr));
            _exit(127);
        }

        const auto deadline = start + std::chrono::seconds(20);
        while (!painted) {
            if (!XPending(m_display)) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
                if (left <= 0) {
                    kill(pid, SIGKILL);
                    waitpid(pid, nullptr, 0);
                    fail(std::string(program) + " showed no window within 20 s");
                }
                pollfd p{ConnectionNumber(m_display), POLLIN, 0};
                poll(&p, 1, static_cast<int>(left));
                int status = 0;
                if (waitpid(pid, &status, WNOHANG) == pid)
                    fail(std::string(program) + " ended before showing its window");
                continue;
            }
            XEvent event;
            XNextEvent(m_display, &event);
            const auto now = Clock::now();
            switch (event.type) {
            case CreateNotify:
                if (event.xcreatewindow.parent == DefaultRootWindow(m_display)
                    && event.xcreatewindow.width == width && event.xcreatewindow.height == height) {
                    const Window w = event.xcreatewindow.window;
                    selected[w] = NextRequest(m_display);
                    XSelectInput(m_display, w, ExposureMask);
                    damages[w] = XDamageCreate(m_display, w, XDamageReportRawRectangles);
                    XFlush(m_display);
                }
                break;
            case MapNotify:
                if (event.xmap.event == DefaultRootWindow(m_display) && damages.count(event.xmap.window)
                    && !mapped) {
                    mapped = now;
                    target = event.xmap.window;
                    // The event carries the serial of the last of our
                    // requests the server had done: if that includes the
                    // selection, an Expose is sure to follow.
                    waitForExpose = event.xmap.serial >= selected[target];
                }
                break;
            case Expose:
                if (event.xexpose.window == target && !exposed)
                    exposed = now;
                break;
            default:
                if (event.type == m_damageEvent + XDamageNotify) {
                    const auto &damage = reinterpret_cast<const XDamageNotifyEvent &>(event);
                    // The server paints nothing itself into a window
                    // without a background (Qt's are such); a damage before
                    // the Expose would be the server's, so it waits for the
                    // Expose when it was seen.
                    if (damage.drawable == target && mapped && (exposed || !waitForExpose))
                        painted = now;
                    if (std::getenv("BENCH_DEBUG"))
                        std::fprintf(stderr, "damage %s expose (waiting for it: %d)\n",
                                     exposed ? "after" : "before", waitForExpose);
                }
            }
        }

        // Idle for a while, answering X as we go, then read the memory.
        const auto settle = Clock::now() + std::chrono::milliseconds(500);
        while (Clock::now() < settle) {
            pollfd p{ConnectionNumber(m_display), POLLIN, 0};
            poll(&p, 1, 10);
            drain();
        }
        Launch result;
        result.rssMiB = rssMiB(pid);
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        for (const auto &[window, damage] : damages)
            XDamageDestroy(m_display, damage);
        XSync(m_display, False);
        drain();

        const auto ms = [start](Clock::time_point t) {
            return std::chrono::duration<double, std::milli>(t - start).count();
        };
        result.mappedMs = ms(*mapped);
        result.paintedMs = ms(*painted);
        return result;
    }

private:
    void drain()
    {
        // Errors from windows that have just gone (BadWindow, BadDamage) are
        // expected and harmless here.
        XSync(m_display, False);
        while (XPending(m_display)) {
            XEvent event;
            XNextEvent(m_display, &event);
        }
    }

    Display *m_display = nullptr;
    int m_damageEvent = 0;
};

int ignoreXErrors(Display *, XErrorEvent *)
{
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 6)
        fail("usage: bench_startup RUNS WIDTH HEIGHT PROGRAM BASELINE");
    const int runs = std::atoi(argv[1]);
    const int width = std::atoi(argv[2]);
    const int height = std::atoi(argv[3]);
    const char *program = argv[4];
    const char *baseline = argv[5];
    if (runs < 1)
        fail("RUNS must be a positive number");
    XSetErrorHandler(ignoreXErrors);

    Watcher watcher;
    struct Subject
    {
        const char *program, *argument;
    };
    // The program, the bare window, and the bare window with one titled
    // group box (informative only).
    const Subject subjects[3] = {{program, nullptr}, {baseline, nullptr}, {baseline, "groupbox"}};
    for (const Subject &s : subjects)
        watcher.launch(s.program, s.argument, width, height);
    std::vector<double> mapped[3], painted[3], rss[3];
    for (int i = 0; i < runs; ++i) {
        for (int k = 0; k < 3; ++k) {
            const Launch l = watcher.launch(subjects[k].program, subjects[k].argument, width, height);
            mapped[k].push_back(l.mappedMs);
            painted[k].push_back(l.paintedMs);
            rss[k].push_back(l.rssMiB);
        }
    }

    using bench::median;
    const std::string n = " (" + std::to_string(runs) + " runs)";
    bool met = bench::printRow("start-up to window mapped" + n, median(mapped[0]), median(mapped[1]), "ms", 1.2);
    met &= bench::printRow("start-up to first paint (shown)" + n, median(painted[0]), median(painted[1]), "ms", 1.2);
    met &= bench::printRow("resident memory once shown (VmRSS)", median(rss[0]), median(rss[1]), "MiB", 1.3);
    bench::printRow("  info: first paint vs window + 1 group box", median(painted[0]), median(painted[2]), "ms", 0);
    bench::printRow("  info: memory vs window + 1 group box", median(rss[0]), median(rss[2]), "MiB", 0);
    return met ? 0 : 2;
}
