// The data directory: the working directory at start-up, and the fixed tree inside it.
#pragma once

#include <string>

void SetDataDirectory(const std::string &strDir);
const std::string &DataDirectory();

// Creates "driver" (with "Linux" and "Windows") when it is missing and "log" when it is missing,
// then checks the required directories in order: pxelinux, grub2, ipxe, virtualiso, log,
// kickstart, plugin, driver. Returns the first one that is not a directory, empty when all are.
std::string PrepareDataTree(const std::string &strDir);
