#include "portlink.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
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

} // namespace

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

std::string claimPortLink(const std::string &link, const std::string &target, bool force)
{
    const std::size_t slash = link.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        if (std::string error = makeFolders(link.substr(0, slash)); !error.empty())
            return error;
    }

    if (::symlink(target.c_str(), link.c_str()) == 0)
        return {};
    if (errno != EEXIST)
        return "cannot create the link " + link + ": " + std::strerror(errno);
    if (linkTarget(link) == target)
        return {};
    if (!force)
        return whatIsThere(link) + " (--force replaces it)";

    // A new link renamed over the old one, so that the name never leads nowhere.
    const std::string temporary = link + ".vkd417-monitor." + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    if (::symlink(target.c_str(), temporary.c_str()) != 0)
        return "cannot create the link " + temporary + ": " + std::strerror(errno);
    if (::rename(temporary.c_str(), link.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return "cannot replace " + link + ": " + std::strerror(error);
    }
    return {};
}

bool releasePortLink(const std::string &link, const std::string &target)
{
    if (linkTarget(link) != target)
        return false;
    return ::unlink(link.c_str()) == 0;
}

} // namespace monitor
