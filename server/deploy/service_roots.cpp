#include "service_roots.h"

#include <glib.h>

#include "log.h"
#include "prompt.h"
#include "qvhttp.h"
#include "qvtftp.h"

namespace {

// 0 or "already present" leave the root in the table, and a folder the data directory does not
// have serves nothing either way; anything else (no slot left, a file that is no readable image)
// fails the start.
bool Refused(const char *pcService, const ServiceRoot &stRoot, uint32_t uiResult, uint32_t uiExist)
{
    if (uiResult == 0 || uiResult == uiExist) {
        return false;
    }
    if (!g_file_test(stRoot.strPath.c_str(), G_FILE_TEST_EXISTS)) {
        LOG_Print(1, "PXEDLG", "%s root %s %s not present, not served.", pcService,
                  stRoot.strPrefix.c_str(), stRoot.strPath.c_str());
        return false;
    }
    gchar *pcText = g_strdup_printf("%s root %s %s could not be added (0x%x)", pcService,
                                    stRoot.strPrefix.c_str(), stRoot.strPath.c_str(), uiResult);
    LOG_Print(0, "PXEDLG", "%s", pcText);
    PROMPT_Show(pcText, "ERR", PromptIcon::Error);
    g_free(pcText);
    ROOTS_ClearAll();
    return true;
}

}  // namespace

bool ROOTS_AddTftp(const std::vector<ServiceRoot> &vecRoots)
{
    for (const ServiceRoot &stRoot : vecRoots) {
        const QVTFTP_CFG_Root stAdd{stRoot.pstImage, stRoot.strPrefix, stRoot.strPath,
                                    stRoot.vRules};
        if (Refused("TFTP", stRoot, QVTFTP_CFG_AddRootPath(&stAdd), QVTFTP_ERR_EXIST)) {
            return false;
        }
    }
    return true;
}

bool ROOTS_AddHttp(const std::vector<ServiceRoot> &vecRoots)
{
    for (const ServiceRoot &stRoot : vecRoots) {
        const QVHTTP_Root stAdd{stRoot.pstImage, stRoot.strPrefix, stRoot.strPath, stRoot.vRules};
        if (Refused("HTTP", stRoot, QVHTTP_CFG_AddRootPath(stAdd), QVHTTP_ERR_EXIST)) {
            return false;
        }
    }
    return true;
}

void ROOTS_ClearAll()
{
    QVTFTP_CFG_ClearRoots();
    QVHTTP_CFG_ClearRoots();
}
