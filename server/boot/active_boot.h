// The boot files that depend on the active plug-in's OS. Main thread only, like the plug-in host
// it asks; kept apart from boot_config so the loader settings do not depend on the host.
#pragma once

#include <string>

// The file offered to UEFI clients; asks the active plug-in for its OS type and name.
std::string UefiBootFile();
// True when the client's loader fetches over HTTP (lpxelinux, or PXELINUX's EFI loader).
bool BootFileFetchesOverHttp(bool bUefi);
