#include "wim_access.h"

#include <wimlib.h>

int AddFilesToWim(const char *pcWimPath, const WimAddPair *pstPairs, uint32_t uiCount)
{
    if (pcWimPath == nullptr || (pstPairs == nullptr && uiCount != 0)) {
        return -1;
    }
    std::vector<wimlib_update_command> vecCommands;
    try {
        vecCommands.resize(uiCount);
    } catch (const std::bad_alloc &) {
        return -1;
    }
    WIMStruct *pstWim = nullptr;
    int iResult = wimlib_open_wim(pcWimPath, 0, &pstWim);
    if (iResult != 0) {
        wimlib_global_cleanup();
        return iResult;
    }
    for (uint32_t i = 0; i < uiCount; ++i) {
        wimlib_update_command &stCommand = vecCommands[i];
        stCommand.op = WIMLIB_UPDATE_OP_ADD;
        // wimlib reads these strings only; its C interface simply lacks const.
        stCommand.add.fs_source_path = const_cast<char *>(pstPairs[i].strSource.c_str());
        stCommand.add.wim_target_path = const_cast<char *>(pstPairs[i].strWimPath.c_str());
        stCommand.add.config_file = nullptr;
        stCommand.add.add_flags = 0;
    }
    // Image 2 is the Setup image of a Windows PE boot WIM.
    iResult = wimlib_update_image(pstWim, 2, vecCommands.data(), vecCommands.size(), 0);
    // wimlib_overwrite writes through a temporary file and a rename, so a failure leaves the old
    // WIM whole; nothing changed is not written at all.
    if (iResult == 0) {
        iResult += wimlib_overwrite(pstWim, 0, 0);
    }
    wimlib_free(pstWim);
    wimlib_global_cleanup();
    return iResult;
}

int GetWimImageNames(const char *pcWimPath, std::vector<std::string> *pvecNames)
{
    pvecNames->clear();
    WIMStruct *pstWim = nullptr;
    int iResult = wimlib_open_wim(pcWimPath != nullptr ? pcWimPath : "", 0, &pstWim);
    if (iResult != 0) {
        wimlib_global_cleanup();
        return iResult;
    }
    wimlib_wim_info stInfo{};
    wimlib_get_wim_info(pstWim, &stInfo);
    for (uint32_t i = 1; i <= stInfo.image_count; ++i) {
        const char *pcName = wimlib_get_image_name(pstWim, static_cast<int>(i));
        pvecNames->push_back(pcName != nullptr ? pcName : "");
    }
    wimlib_free(pstWim);
    wimlib_global_cleanup();
    return 0;
}
