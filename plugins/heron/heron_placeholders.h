// The 52 {placeholder, value} pairs every template of a client is expanded with. Order matters:
// the expander replaces pairs in array order, so a value holding a later placeholder gets it
// replaced as well.
#pragma once

#include <string>
#include <vector>

#include "esxi_imgdb.h"
#include "plugin_text.h"
#include "kiv_plugin_api.h"
#include "plugin_profile.h"

constexpr int PLACEHOLDER_COUNT = 52;

struct PlaceholderInput {
    const ClientCfgRequest *pstReq;
    const OsRecord *pstRecord;
    uint16_t usHttpPort;
    std::string strDriverPath;  // "driver/Linux/<name>"
    bool bDriverImage;          // <driver path>/orv_driver.img exists
    const EsxiModuleLists *pstLists;
};

// Fills the table; *pbSanboot tells whether the client boots the virtual ISO.
std::vector<TemplatePair> BuildPlaceholderTable(const PlaceholderInput &stIn, bool *pbSanboot);
