// The boot files that depend on the active plug-in's OS. Main thread only, like the plug-in host
// it asks; kept apart from boot_config so the loader settings do not depend on the host.
#pragma once

#include <string>
#include <utility>

// The file offered to UEFI clients; asks the active plug-in for its OS type and name.
std::string UefiBootFile();
// The store paths the DHCP service names in option 252 for BIOS and UEFI clients: the Windows
// plug-in's while the active plug-in serves Windows, else empty (no option).
std::pair<std::string, std::string> WindowsBcdPaths();
// True when the client's loader fetches over HTTP (lpxelinux, or PXELINUX's EFI loader).
bool BootFileFetchesOverHttp(bool bUefi);
