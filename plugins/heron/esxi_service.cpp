#include "esxi_service.h"

#include <glib.h>
#include <glib/gstdio.h>

#include "plugin_hostcalls.h"

namespace {

EsxiModuleLists g_stLists;

bool IsEsxi(const OsRecord *pst)
{
    if (!pst) return false;
    gchar *pcUpper = g_ascii_strup(pst->strOSName.c_str(), -1);
    bool b = strstr(pcUpper, "VMWARE") != nullptr;
    g_free(pcUpper);
    return b;
}

bool CopyFile(const std::string &strFrom, const std::string &strTo)
{
    gchar *pc = nullptr;
    gsize uLen = 0;
    if (!g_file_get_contents(strFrom.c_str(), &pc, &uLen, nullptr)) return false;
    bool bOk = g_file_set_contents(strTo.c_str(), pc, uLen, nullptr);
    g_free(pc);
    return bOk;
}

void AddOrReplaceRedirect(OsRecord *pst, const std::string &strRaw, const std::string &strNew)
{
    for (auto &pair : pst->vecRedirect) {
        if (pair.first != strRaw) continue;
        pair.second = strNew;
        PluginLog(0, "Replace VMW File Redt [%s] [%s]", strRaw.c_str(), strNew.c_str());
        return;
    }
    pst->vecRedirect.emplace_back(strRaw, strNew);
    PluginLog(0, "Add New VMW File Redt [%s] [%s]", strRaw.c_str(), strNew.c_str());
}

void ApplyDriverRules(OsRecord *pst, const std::string &strArchive)
{
    PluginLog(0, "Raw mod file list is<%s>", g_stLists.strFile.c_str());
    for (const VmwareRule &stRule : pst->vecVmwareRules) {
        if (stRule.strOperation == "add") {
            PluginLog(0, "Add VMW Driver %s %s", stRule.strPayload.c_str(), stRule.strFile.c_str());
            AddVibToImageDb(strArchive, stRule, &g_stLists);
            std::string strNew = stRule.strDir + "/" + stRule.strFile;
            if (size_t pos = strNew.find("virtualiso/extfile/"); pos != std::string::npos)
                strNew.erase(pos, strlen("virtualiso/extfile/"));
            AddOrReplaceRedirect(pst, stRule.strFile, strNew);
        } else if (stRule.strOperation == "del") {
            PluginLog(0, "Delete VMW Driver %s", stRule.strPayload.c_str());
            RemoveVibFromImageDb(strArchive, stRule.strPayload, &g_stLists);
        }
    }
    AddOrReplaceRedirect(pst, "imgdb.tgz", "imgdb.tgz");
}

}  // namespace

EsxiModuleLists &EsxiLists()
{
    return g_stLists;
}

bool UnpackImageDb(const std::string &strFile, const std::string &strDir)
{
    std::string strTarget = strDir + "/imgdb.tgz";
    std::string strCopy = strTarget + ".gz";
    g_unlink(strTarget.c_str());
    if (!CopyFile(strFile, strCopy)) {
        PluginLog(1, "Failed to copy %s to %s", strFile.c_str(), strCopy.c_str());
        return false;
    }
    std::string strOut = "-o" + strDir;
    const char *apcArgv[] = {"7z", "x", "-y", strCopy.c_str(), strOut.c_str(), nullptr};
    gint iStatus = 0;
    GError *pErr = nullptr;
    bool bOk = g_spawn_sync(
        nullptr, const_cast<gchar **>(apcArgv), nullptr,
        GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL),
        nullptr, nullptr, nullptr, nullptr, &iStatus, &pErr);
    if (!bOk) {
        PluginLog(1, "Failed to run 7z: %s", pErr->message);
        g_error_free(pErr);
    } else if (!g_spawn_check_wait_status(iStatus, nullptr)) {
        PluginLog(1, "7z failed to unpack %s", strCopy.c_str());
        bOk = false;
    }
    g_unlink(strCopy.c_str());
    return bOk && g_file_test(strTarget.c_str(), G_FILE_TEST_IS_REGULAR);
}

void PatchEsxiImageDb(const ServiceStartRequest *pstReq)
{
    OsRecord *pst = ActiveOs();
    g_stLists = EsxiModuleLists{};
    if (!IsEsxi(pst) || !pstReq) return;
    std::string strWork = PluginWorkDir();
    std::string strExt = strWork + "/virtualiso/extfile";
    std::string strCapture;
    auto pfnCapture = HostUtil<PFN_SourceFileCapture>(UTIL_SOURCE_FILE_CAPTURE);
    if (pfnCapture && pfnCapture(pstReq->source_dir.c_str(), pstReq->iso_handle, "boot.cfg",
                                 "modules *= *(.*)", &strCapture)) {
        // boot.cfg of the ISO may end its lines with CR.
        g_strchomp(strCapture.data());
        strCapture.resize(strlen(strCapture.c_str()));
        g_stLists.strPath = strCapture;
    } else {
        g_stLists.strPath = "Get Failed";
    }
    g_stLists.strFile.clear();
    for (char c : g_stLists.strPath)
        if (c != '/') g_stLists.strFile += c;

    g_mkdir_with_parents(strExt.c_str(), 0755);
    if (pstReq->iso_handle) {
        auto pfnCopy = HostUtil<PFN_CopyFileFromIso>(UTIL_COPY_FILE_FROM_ISO);
        std::string strDir = strWork + "/virtualiso";
        if (!pfnCopy || pfnCopy(pstReq->iso_handle, pstReq->source_dir.c_str(), "imgdb.tgz",
                                strDir.c_str()) != 0) {
            PluginLog(1, "Extract imgdb.tgz Failed");
        } else {
            UnpackImageDb(strDir + "/imgdb.tgz", strExt);
            g_unlink((strDir + "/imgdb.tgz").c_str());
        }
    } else {
        UnpackImageDb(pstReq->source_dir + "/imgdb.tgz", strExt);
    }
    std::string strArchive = strExt + "/imgdb.tgz";
    if (g_file_test(strArchive.c_str(), G_FILE_TEST_IS_REGULAR)) ApplyDriverRules(pst, strArchive);
}

void EsxiServiceStop()
{
    if (IsEsxi(ActiveOs())) g_unlink((PluginWorkDir() + "/virtualiso/extfile/imgdb.tgz").c_str());
}
