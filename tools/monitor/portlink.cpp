#include "portlink.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace monitor {

namespace {

std::string homeFolder()
{
    if (const char *home = std::getenv("HOME"); home && *home)
        return home;
    if (const passwd *pw = ::getpwuid(::getuid()); pw && pw->pw_dir)
        return pw->pw_dir;
    return {};
}

std::optional<std::string> linkTarget(const std::string &path)
{
    std::string buf(4096, '\0');
    const ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
    if (n < 0)
        return std::nullopt;
    buf.resize(static_cast<std::size_t>(n));
    return buf;
}

std::string makeFolders(const std::string &folder)
{
    for (std::size_t pos = 1; pos <= folder.size(); ++pos) {
        if (pos != folder.size() && folder[pos] != '/')
            continue;
        const std::string part = folder.substr(0, pos);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return "cannot create the folder " + part + ": " + std::strerror(errno);
    }
    struct stat st{};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return folder + " is not a folder";
    return {};
}

std::string whatIsThere(const std::string &link)
{
    if (const auto target = linkTarget(link))
        return link + " already points at " + *target;
    return link + " already exists and is not a link";
}

std::string firstLine(const std::string &path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// A process is named by its number, the boot it ran in and the moment it
// started (in clock ticks since boot): numbers are reused, across boots too,
// but never with the same start.
struct ProcessIdentity
{
    long pid = 0;
    std::string boot;
    unsigned long long started = 0;

    bool operator==(const ProcessIdentity &) const = default;
};

std::optional<unsigned long long> startTime(long pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(in, stat))
        return std::nullopt;
    // The name in parentheses may hold spaces; the fields after it are plain.
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    // The state is field 3 of /proc/<pid>/stat, the start time field 22.
    for (int i = 3; i < 22 && fields >> field;)
        ++i;
    unsigned long long started = 0;
    if (!(fields >> started))
        return std::nullopt;
    return started;
}

std::string bootId()
{
    return firstLine("/proc/sys/kernel/random/boot_id");
}

ProcessIdentity thisProcess()
{
    return {static_cast<long>(::getpid()), bootId(), startTime(::getpid()).value_or(0)};
}

bool isRunning(const ProcessIdentity &p)
{
    if (p.pid <= 0 || p.boot != bootId())
        return false;
    if (const auto started = startTime(p.pid))
        return *started == p.started;
    // Without /proc, a live process of that number is taken for the monitor.
    return p.started == 0 && (::kill(static_cast<pid_t>(p.pid), 0) == 0 || errno == EPERM);
}

struct OwnerRecord
{
    ProcessIdentity owner;
    std::string device;
};

std::optional<OwnerRecord> readOwnerRecord(const std::string &path)
{
    std::ifstream in(path);
    std::string magic;
    if (!std::getline(in, magic) || magic != "vkd417-monitor")
        return std::nullopt;
    OwnerRecord record;
    bool hasPid = false, hasDevice = false;
    for (std::string line; std::getline(in, line);) {
        const std::size_t space = line.find(' ');
        const std::string key = line.substr(0, space);
        const std::string value = space == std::string::npos ? std::string() : line.substr(space + 1);
        try {
            if (key == "pid") {
                record.owner.pid = std::stol(value);
                hasPid = true;
            } else if (key == "boot") {
                record.owner.boot = value;
            } else if (key == "started") {
                record.owner.started = std::stoull(value);
            } else if (key == "device") {
                record.device = value;
                hasDevice = true;
            }
        } catch (const std::exception &) {
            return std::nullopt;
        }
    }
    if (!hasPid || !hasDevice)
        return std::nullopt;
    return record;
}

// Written whole under another name and renamed into place, so that a record
// is never seen half written.
std::string writeOwnerRecord(const std::string &path, const std::string &device)
{
    const ProcessIdentity self = thisProcess();
    const std::string temporary = path + "." + std::to_string(self.pid);
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << "vkd417-monitor\n"
            << "pid " << self.pid << "\n"
            << "boot " << self.boot << "\n"
            << "started " << self.started << "\n"
            << "device " << device << "\n";
        out.close();
        if (!out) {
            ::unlink(temporary.c_str());
            return "cannot write " + temporary;
        }
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return "cannot write " + path + ": " + std::strerror(error);
    }
    return {};
}

void removeOwnRecord(const std::string &path)
{
    if (const auto record = readOwnerRecord(path); record && record->owner == thisProcess())
        ::unlink(path.c_str());
}

} // namespace

std::string ownerRecordPath(const std::string &link)
{
    return link + ".monitor";
}

std::string portLinkFolder()
{
    std::string config;
    if (const char *xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
        config = xdg;
    else
        config = homeFolder() + "/.config";
    return config + "/vkd417-demo/ports";
}

bool isComName(std::string_view name)
{
    if (name.size() < 4 || name.substr(0, 3) != "COM" || name[3] == '0' || name.size() > 8)
        return false;
    for (const char c : name.substr(3)) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

LinkClaim claimPortLink(const std::string &link, const std::string &target, bool force)
{
    const std::size_t slash = link.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        if (std::string error = makeFolders(link.substr(0, slash)); !error.empty())
            return {error, {}};
    }
    const std::string recordPath = ownerRecordPath(link);

    struct stat st{};
    const bool occupied = ::lstat(link.c_str(), &st) == 0;
    LinkClaim claim;
    const std::optional<std::string> current = linkTarget(link);
    if (occupied && current != target) {
        // A link is an earlier monitor's only while it still leads where
        // that monitor's record says: someone may have pointed it elsewhere
        // since.
        const auto record = readOwnerRecord(recordPath);
        const bool monitorsLink = record && current && *current == record->device;
        if (monitorsLink && isRunning(record->owner)) {
            if (!force)
                return {link + " is the link of vkd417-monitor process " + std::to_string(record->owner.pid)
                            + ", which is running (--force replaces it)",
                        {}};
        } else if (monitorsLink) {
            claim.note = "replaced the stale link to " + *current + " that vkd417-monitor process "
                + std::to_string(record->owner.pid) + " left behind";
        } else if (!force) {
            return {whatIsThere(link) + " (--force replaces it)", {}};
        }
    }

    if (std::string error = writeOwnerRecord(recordPath, target); !error.empty())
        return {error, {}};
    const auto fail = [&](std::string error) {
        removeOwnRecord(recordPath);
        return LinkClaim{std::move(error), {}};
    };

    if (!occupied) {
        if (::symlink(target.c_str(), link.c_str()) == 0)
            return claim;
        if (errno == EEXIST)
            return fail(whatIsThere(link) + " (--force replaces it)");
        return fail("cannot create the link " + link + ": " + std::strerror(errno));
    }
    if (current == target)
        return claim;

    // A new link renamed over the old one, so that the name never leads nowhere.
    const std::string temporary = link + ".vkd417-monitor." + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    if (::symlink(target.c_str(), temporary.c_str()) != 0)
        return fail("cannot create the link " + temporary + ": " + std::strerror(errno));
    if (::rename(temporary.c_str(), link.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return fail("cannot replace " + link + ": " + std::strerror(error));
    }
    return claim;
}

std::vector<std::string> removeStaleLinks(const std::string &folder, const std::string &keep)
{
    static constexpr std::string_view suffix = ".monitor";
    std::vector<std::string> removed;
    DIR *dir = ::opendir(folder.c_str());
    if (!dir)
        return removed;
    std::vector<std::string> names;
    while (const dirent *entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name.size() > suffix.size() && name.ends_with(suffix))
            names.emplace_back(name.substr(0, name.size() - suffix.size()));
    }
    ::closedir(dir);

    for (const std::string &name : names) {
        const std::string link = folder + "/" + name;
        if (link == keep || !isComName(name))
            continue;
        const std::string recordPath = ownerRecordPath(link);
        const auto record = readOwnerRecord(recordPath);
        if (!record || isRunning(record->owner))
            continue;
        // Without its link the name is the machine's own port again, as it
        // was before the monitor came.
        if (linkTarget(link) == record->device && ::unlink(link.c_str()) == 0) {
            removed.push_back("removed the stale link " + link + " to " + record->device
                              + " that vkd417-monitor process " + std::to_string(record->owner.pid) + " left behind");
        }
        ::unlink(recordPath.c_str());
    }
    return removed;
}

bool releasePortLink(const std::string &link, const std::string &target)
{
    removeOwnRecord(ownerRecordPath(link));
    if (linkTarget(link) != target)
        return false;
    return ::unlink(link.c_str()) == 0;
}

} // namespace monitor
