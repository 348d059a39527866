// Version texts, read from "dll/version.data" of the data directory: three 32-bit unsigned
// numbers (major, minor, patch) in network byte order.
#pragma once

#include <string>

// "%d.%d.%d" of the file, empty when it cannot be opened or is shorter than 12 bytes.
std::string VersionTextFromFile(const char *pcPath);

// The cached texts: the version of "dll/version.data" (read once), "KIV Deploy System %s" and
// the banner "ORV %s".
const std::string &VersionText();
const std::string &ProductTitle();
std::string BannerText();
