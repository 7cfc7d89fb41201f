#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace monitor {

// The folder in which the demo program looks up its COM names:
// $XDG_CONFIG_HOME/vkd417-demo/ports, ~/.config when that is not set.
std::string portLinkFolder();

// COM1, COM2, ... as the demo program knows them.
bool isComName(std::string_view name);

// Where a monitor notes, beside its link, which monitor made it and to which
// device: COM1.monitor for COM1. With it a monitor tells a link that an
// earlier monitor left behind (ended by SIGKILL, a crash, a power cut) from
// anybody else's.
std::string ownerRecordPath(const std::string &link);

struct LinkClaim
{
    std::string error; // empty on success
    std::string note;  // what was cleaned up on the way, for the operator
};

// Makes the link point at target, creating its folders if need be, and
// records this process as its owner. A link that an earlier monitor, no
// longer running, left behind is replaced; anything else already there is
// kept unless force is set.
LinkClaim claimPortLink(const std::string &link, const std::string &target, bool force);

// Removes, from the folder, the links that monitors no longer running left
// behind under other names than keep (each with its record), and records
// that no longer describe their link. Says what it removed, a line each.
std::vector<std::string> removeStaleLinks(const std::string &folder, const std::string &keep);

// Removes the link if it still points at target, and only then: whoever
// replaced it meanwhile keeps theirs. This process's record goes either way.
bool releasePortLink(const std::string &link, const std::string &target);

} // namespace monitor
