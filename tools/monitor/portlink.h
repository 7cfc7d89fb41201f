#pragma once

#include <string>
#include <string_view>

namespace monitor {

// The folder in which the demo program looks up its COM names:
// $XDG_CONFIG_HOME/vkd417-demo/ports, ~/.config when that is not set.
std::string portLinkFolder();

// COM1, COM2, ... as the demo program knows them.
bool isComName(std::string_view name);

// Makes the link point at target, creating its folders if need be. Anything
// else already there is kept unless force is set. Gives an error message,
// empty on success.
std::string claimPortLink(const std::string &link, const std::string &target, bool force);

// Removes the link if it still points at target, and only then: whoever
// replaced it meanwhile keeps theirs.
bool releasePortLink(const std::string &link, const std::string &target);

} // namespace monitor
