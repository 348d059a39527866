// Everything one client needs, expanded from the active record's templates: its boot menu, the
// extra menu, the virtual-ISO menus and its answer files.
#pragma once

#include "kiv_plugin_api.h"
#include "plugin_profile.h"

// The profile file and driver folder of this plug-in.
extern const ProfileFlavor HERON_FLAVOR;

int HeronMakeCfgFile(const ClientCfgRequest *pstReq);
