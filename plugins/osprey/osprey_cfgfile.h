// Everything one Windows client needs, expanded from the active record's templates: its boot
// menu, the extra menu, the virtual-ISO menus, its answer files and the first-run batch file.
#pragma once

#include <string>
#include <vector>

#include "kiv_plugin_api.h"
#include "plugin_profile.h"

// The profile file and driver folder of this plug-in.
extern const ProfileFlavor OSPREY_FLAVOR;

constexpr int OSPREY_PLACEHOLDER_COUNT = 50;

// The 50 pairs in their fixed order; strImageIndex is the chosen install image ("" before a start).
std::vector<TemplatePair> OspreyPlaceholderTable(const ClientCfgRequest &r, const OsRecord &os,
                                                 uint16_t usHttpPort,
                                                 const std::string &strImageIndex);

int OspreyMakeCfgFile(const ClientCfgRequest *pstReq, const std::string &strImageIndex);

// Puts "<!-- HTTPDISKURL=<url> -->" before the first line of the file, every line ended by CR LF.
// A file that cannot be opened is left as it is.
void PrependHttpDiskUrl(const std::string &strPath, const std::string &strUrl);
