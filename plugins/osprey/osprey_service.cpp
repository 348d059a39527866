#include "osprey_service.h"

#include <glib.h>
#include <glib/gstdio.h>
#include <wimlib.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "osprey_agent_param.h"
#include "osprey_cfgfile.h"
#include "plugin_hostcalls.h"
#include "plugin_profile.h"
#include "plugin_text.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> g_vecImages;
std::string g_strImageIndex, g_strImageName;
bool g_bChinese = false;
bool g_bShared = false;  // the share of the source was added by the last start

constexpr uint32_t PROGRESS_STEPS = 6;

// The loader's Windows folder (relative to the working directory) and the iPXE name suffix.
struct LoaderFolder {
    std::string strDir;
    std::string strSuffix;
};

LoaderFolder CurrentLoaderFolder()
{
    std::string strMenu = HostMenuDir();
    if (strMenu.find("grub") != std::string::npos) return {"grub2/OSPREY", ""};
    if (strMenu.find("ipxe") != std::string::npos) return {"ipxe/OSPREY", "_ISO1"};
    return {"pxelinux/OSPREY", ""};
}

// The Windows boot manager files a PXE client chains, taken from the boot WIM itself: {path in
// the WIM, place relative to the loader's Windows folder}. pxeboot.n12 asks for bootmgr.exe
// beside the boot file, which the top-level root of the Windows folder answers.
struct BootManagerFile {
    const char *pcWimPath;
    const char *pcPlace;
};
constexpr BootManagerFile BOOT_MANAGER_FILES[] = {
    {"/Windows/Boot/PXE/pxeboot.n12", "boot/pxeboot.n12"},
    {"/Windows/Boot/PXE/bootmgr.exe", "bootmgr.exe"},
    {"/Windows/Boot/PXE/bootmgr.exe", "boot/bootmgr.exe"},
    {"/Windows/Boot/EFI/bootmgfw.efi", "boot/bootmgfw.efi"},
};
// The stores the boot manager of each firmware reads ({copy in boot/, store path it asks for}).
// TFTP turns the backslashes into "/", but this file system tells "Boot/BCD" from "boot/bcd".
struct FirmwareStore {
    const char *pcCopy;
    const char *pcPath;
};
constexpr FirmwareStore FIRMWARE_STORES[] = {{"bcd", KIV_WINDOWS_BCD_BIOS},
                                             {"bcd_uefi", KIV_WINDOWS_BCD_UEFI}};

// "\Boot\UEFI\BCD" as a path below the Windows folder: "Boot/UEFI/BCD".
std::string StorePlace(const char *pcPath)
{
    std::string str(pcPath);
    std::replace(str.begin(), str.end(), '\\', '/');
    return str.substr(str.find_first_not_of('/'));
}
// With PXELINUX and GRUB 2 the DHCP service hands UEFI Windows clients the boot manager directly:
// chained by either loader it runs on a network handle without the PXE answer it reads its store
// from. iPXE hands it over with that answer, so its clients keep their menu.
const char *UefiWindowsBootFile(const std::string &strLoaderDir)
{
    if (strLoaderDir.starts_with("pxelinux")) return "pxelinux/pxelinux.efi.windows";
    if (strLoaderDir.starts_with("grub2")) return "grub2/grub2.efi.windows";
    return nullptr;
}

bool CopyFile(const std::string &strFrom, const std::string &strTo)
{
    std::error_code ec;
    fs::copy_file(strFrom, strTo, fs::copy_options::overwrite_existing, ec);
    return !ec;
}

void Progress(uint32_t uiDone)
{
    if (auto pfn = HostUtil<PFN_ProgressAdvance>(UTIL_PROGRESS_ADVANCE)) pfn(uiDone, "");
}

// Extracts one file of the boot image (the image the WIM boots, else the last) into a folder.
bool ExtractFromWim(const std::string &strWim, const char *pcWimPath, const std::string &strDestDir)
{
    WIMStruct *pstWim = nullptr;
    if (wimlib_open_wim(strWim.c_str(), 0, &pstWim) != 0) return false;
    wimlib_wim_info stInfo{};
    wimlib_get_wim_info(pstWim, &stInfo);
    int iImage = stInfo.boot_index ? int(stInfo.boot_index) : int(stInfo.image_count);
    const char *apcPaths[] = {pcWimPath};
    int iResult = wimlib_extract_paths(pstWim, iImage, strDestDir.c_str(), apcPaths, 1,
                                       WIMLIB_EXTRACT_FLAG_NO_PRESERVE_DIR_STRUCTURE |
                                           WIMLIB_EXTRACT_FLAG_NO_ACLS);
    wimlib_free(pstWim);
    wimlib_global_cleanup();
    return iResult == 0;
}

void PlaceBootManager(const std::string &strWim, const std::string &strFolder,
                      const char *pcUefiDirect)
{
    std::string strTemp = JoinPath(strFolder, "boot/.bootmgr");
    std::error_code ec;
    fs::remove_all(strTemp, ec);
    fs::create_directories(strTemp, ec);
    for (const BootManagerFile &st : BOOT_MANAGER_FILES) {
        std::string strName = fs::path(st.pcWimPath).filename().string();
        std::string strGot = JoinPath(strTemp, strName);
        if (!fs::exists(strGot) && !ExtractFromWim(strWim, st.pcWimPath, strTemp)) {
            PluginLog(1, "File %s is not in the boot WIM; clients that need it cannot boot.",
                      st.pcWimPath);
            continue;
        }
        CopyFile(strGot, JoinPath(strFolder, st.pcPlace));
        if (pcUefiDirect && strName == "bootmgfw.efi")
            CopyFile(strGot, JoinPath(PluginWorkDir(), pcUefiDirect));
    }
    fs::remove_all(strTemp, ec);
}

// The install images of the source and the operator's choice; false with error_text set.
bool ChooseImage(ServiceStartRequest *pstReq)
{
    auto pfnNames = HostUtil<PFN_GetWimImageNames>(UTIL_GET_WIM_IMAGE_NAMES);
    g_vecImages.clear();
    // Every file is taken from the file system, so an ISO file as the source has no images.
    if (pfnNames)
        pfnNames(JoinPath(pstReq->source_dir, "sources/install.wim").c_str(), &g_vecImages);
    if (g_vecImages.empty()) {
        PluginLog(0, "Failed to get image list from install.wim.");
        pstReq->error_text = g_bChinese ? "没有可用的镜像" : "No available image";
        return false;
    }
    int iChosen = 0;
    if (g_vecImages.size() > 1) {
        // The last DATACENTER or PREVIEW edition, else the last image.
        int iDefault = int(g_vecImages.size()) - 1;
        for (size_t i = 0; i < g_vecImages.size(); ++i) {
            gchar *pc = g_ascii_strup(g_vecImages[i].c_str(), -1);
            std::string strUp(pc);
            g_free(pc);
            for (const char *pcWord : {"DATACENTER", "PREVIEW"}) {
                size_t pos = strUp.find(pcWord);
                if (pos != std::string::npos && pos + strlen(pcWord) == strUp.size())
                    iDefault = int(i);
            }
        }
        auto pfnChoose = HostUtil<PFN_ChooseItem>(UTIL_CHOOSE_ITEM);
        iChosen = pfnChoose ? pfnChoose(g_bChinese ? "请选择要安装的类型"
                                                   : "Please select the install type",
                                        &g_vecImages, iDefault)
                            : -1;
        if (iChosen < 0 || iChosen >= int(g_vecImages.size())) {
            pstReq->error_text = g_bChinese ? "用户取消了操作" : "User canceled the operation";
            return false;
        }
    }
    g_strImageIndex = std::to_string(iChosen + 1);
    g_strImageName = g_vecImages[iChosen];
    return true;
}

// Steps 1 to 6 of the progress; false with error_text set.
bool PrepareBootFiles(ServiceStartRequest *pstReq)
{
    const OsRecord *pstOs = ActiveOs();
    std::string strWork = PluginWorkDir();
    LoaderFolder stLoader = CurrentLoaderFolder();
    std::string strFolder = JoinPath(strWork, stLoader.strDir);
    std::string strBoot = JoinPath(strFolder, "boot");
    g_mkdir_with_parents(strBoot.c_str(), 0755);
    if (auto pfn = HostUtil<PFN_AddTftpRoot>(UTIL_ADD_TFTP_ROOT)) {
        pfn("", strFolder.c_str());
        pfn("", pstReq->source_dir.c_str());
    }
    Progress(1);

    if (!CopyFile(JoinPath(pstReq->source_dir, "boot/boot.sdi"),
                  strBoot + "/boot" + stLoader.strSuffix + ".sdi"))
        PluginLog(1, "Cannot copy boot/boot.sdi of the source; clients will not boot.");
    CopyOptimizedBcd(strBoot);
    for (const FirmwareStore &st : FIRMWARE_STORES) {
        std::string strPlace = JoinPath(strFolder, StorePlace(st.pcPath));
        g_mkdir_with_parents(fs::path(strPlace).parent_path().c_str(), 0755);
        if (!CopyFile(JoinPath(strBoot, st.pcCopy), strPlace))
            PluginLog(1, "No %s for the TFTP block size; clients that read %s cannot boot.",
                      st.pcCopy, st.pcPath);
    }
    Progress(2);

    std::string strWim = strBoot + "/KIVBoot" + stLoader.strSuffix + ".wim";
    std::string strOwn = JoinPath(strWork, "KIVBoot.wim");
    std::string strSourceWim = pstOs ? JoinPath(pstReq->source_dir, pstOs->strBootWimPath) : "";
    if (HostFileExists(strOwn)) {
        PluginLog(0, "File KIVBoot.wim is found.");
        CopyFile(strOwn, strWim);
    } else if (!strSourceWim.empty() && HostFileExists(strSourceWim)) {
        PluginLog(0, "File %s is found.", strSourceWim.c_str());
        CopyFile(strSourceWim, strWim);
    }
    PlaceBootManager(strWim, strFolder, UefiWindowsBootFile(stLoader.strDir));
    Progress(3);

    std::string strFerrit = JoinPath(strWork, "Ferrit");
    std::string strTemplate = strFerrit + "/Ferrit.json", strCopy = strFerrit + "/Ferrit.json.tmp";
    int iParam;
    if (pstReq->http_disk_mode) {
        PluginLog(0, "Use httpdisk mode.");
        iParam = WriteAgentParametersHttpDisk(strTemplate, *pstReq, strCopy);
    } else if (std::string strMissing = SambaMissingForStart(pstReq->server_ip);
               !strMissing.empty()) {
        pstReq->error_text = strMissing;
        return false;
    } else {
        auto fnShare = [pstReq](const std::string &strUser) {
            auto pfn = HostUtil<PFN_AddShare>(UTIL_ADD_SHARE);
            bool bOk =
                pfn && pfn(OSPREY_SHARE_NAME, pstReq->source_dir.c_str(), strUser.c_str()) == 0;
            g_bShared = g_bShared || bOk;
            return bOk;
        };
        iParam = WriteAgentParameters(strTemplate, *pstReq, strCopy, fnShare);
    }
    if (iParam == AGENT_PARAM_CANCELLED) {
        pstReq->error_text = g_bChinese ? "用户中止了操作" : "User stop the operation";
        return false;
    }
    if (iParam == AGENT_PARAM_NO_ACCOUNT) {
        pstReq->error_text = std::string("The Samba share for account ") + OSPREY_SHARE_ACCOUNT +
                             " could not be set up; see the log (is Samba installed, smbd "
                             "running, usershares allowed?)";
        return false;
    }
    if (iParam == AGENT_PARAM_REFUSED) {
        pstReq->error_text =
            g_bChinese ? "请检查用户名密码是否正确" : "Wrong username or password, please check.";
        return false;
    }
    Progress(4);

    auto pfnMatches = HostUtil<PFN_SourceFileMatches>(UTIL_SOURCE_FILE_MATCHES);
    bool b64 = pfnMatches &&
               pfnMatches(pstReq->source_dir.c_str(), pstReq->iso_handle, "autorun.inf", "x64");
    const char *pcBits = b64 ? "64" : "32";
    PluginLog(0, "This is %s bit OS, use FERRIT_%s.exe.", pcBits, pcBits);
    std::string strDriver = strFerrit + "/httpdisk_" + pcBits + ".sys";
    bool bHttpDisk = HostFileExists(strDriver);
    if (pstReq->http_disk_mode && !bHttpDisk) {
        // The driver cannot be built here; without it every HTTP-disk client would fail later.
        pstReq->error_text = "HTTP-disk mode needs " + strDriver +
                             "; place the driver build there or use share mode";
        return false;
    }
    std::vector<WimAddPair> vecPairs = {
        {strFerrit + "/FERRIT_" + pcBits + ".exe", "/Windows/System32/FERRIT.exe"},
        {strFerrit + "/wget_" + pcBits + ".exe", "/Windows/System32/wget.exe"},
        {strFerrit + "/winpeshl.ini", "/Windows/System32/winpeshl.ini"},
        {strCopy, "/Windows/System32/Ferrit.json"},
        {JoinPath(strWork, pstOs ? DriverPath(OSPREY_FLAVOR, *pstOs) : "driver/Windows"),
         "/$WinPEDriver$"},
        {strFerrit + "/wim_param.bin", "/Windows/System32/wim_param.bin"},
    };
    if (bHttpDisk) vecPairs.push_back({strDriver, "/Windows/System32/drivers/httpdisk.sys"});
    for (const WimAddPair &st : vecPairs)
        if (!fs::exists(st.strSource)) PluginLog(1, "File %s not exist.", st.strSource.c_str());
    auto pfnAdd = HostUtil<PFN_AddFilesToWim>(UTIL_ADD_FILES_TO_WIM);
    int iAdd = pfnAdd ? pfnAdd(strWim.c_str(), vecPairs.data(), uint32_t(vecPairs.size())) : -1;
    if (iAdd != 0) {
        pstReq->error_text = Printf("Failed to add file to wim %d", iAdd);
        return false;
    }
    Progress(5);
    g_remove(strCopy.c_str());
    Progress(PROGRESS_STEPS);
    return true;
}

}  // namespace

const std::string &OspreyImageIndex()
{
    return g_strImageIndex;
}
const std::string &OspreyImageName()
{
    return g_strImageName;
}

void CopyOptimizedBcd(const std::string &strBootDir)
{
    PluginServerInfo stServer;
    if (auto pfn = HostUtil<PFN_GetServerInfo>(UTIL_GET_SERVER_INFO)) pfn(&stServer);
    std::string strMarker = Printf("_tftp_%u", stServer.uiTftpBlockSize);
    std::error_code ec;
    for (const fs::directory_entry &entry :
         fs::directory_iterator(JoinPath(strBootDir, "optimize"), ec)) {
        if (!entry.is_regular_file()) continue;
        std::string strName = entry.path().filename().string();
        size_t pos = strName.find(strMarker);
        if (pos == 0 || pos == std::string::npos) continue;
        std::string strTo = JoinPath(strBootDir, strName.substr(0, pos));
        if (CopyFile(entry.path().string(), strTo))
            PluginLog(0, "CopyBCDFile. %s to %s", entry.path().c_str(), strTo.c_str());
    }
}

int OspreyServiceStart(ServiceStartRequest *pstReq)
{
    if (!pstReq) return 1;
    g_bChinese = pstReq->chinese_ui != 0;
    pstReq->error_text.clear();
    if (!ChooseImage(pstReq)) return 1;
    if (auto pfn = HostUtil<PFN_ProgressShow>(UTIL_PROGRESS_SHOW))
        pfn(g_bChinese ? "正在预处理， 请稍等 ......" : "Preprocessing, please wait ......",
            PROGRESS_STEPS);
    Progress(0);
    bool bOk = PrepareBootFiles(pstReq);
    if (auto pfn = HostUtil<PFN_ProgressClose>(UTIL_PROGRESS_CLOSE)) pfn();
    if (!bOk) {
        PluginLog(0, "%s", pstReq->error_text.c_str());
        // A failed start leaves neither the share nor the boot files behind.
        OspreyServiceStop();
    }
    return bOk ? 0 : 1;
}

void OspreyServiceStop()
{
    LoaderFolder stLoader = CurrentLoaderFolder();
    std::string strFolder = JoinPath(PluginWorkDir(), stLoader.strDir);
    std::string strBoot = JoinPath(strFolder, "boot");
    std::vector<std::string> vecFiles = {strBoot + "/boot" + stLoader.strSuffix + ".sdi",
                                         strBoot + "/KIVBoot" + stLoader.strSuffix + ".wim"};
    for (const char *pc : {"bcd", "bce", "bcd_bios", "bcd_uefi"})
        vecFiles.push_back(JoinPath(strBoot, pc));
    for (const BootManagerFile &st : BOOT_MANAGER_FILES)
        vecFiles.push_back(JoinPath(strFolder, st.pcPlace));
    if (const char *pcUefiDirect = UefiWindowsBootFile(stLoader.strDir))
        vecFiles.push_back(JoinPath(PluginWorkDir(), pcUefiDirect));
    for (const std::string &str : vecFiles) g_remove(str.c_str());
    // Each store, then its folders as far as they are empty ("Boot/UEFI", then "Boot").
    for (const FirmwareStore &st : FIRMWARE_STORES) {
        fs::path stPlace = StorePlace(st.pcPath);
        g_remove(JoinPath(strFolder, stPlace.string()).c_str());
        for (fs::path stDir = stPlace.parent_path(); !stDir.empty(); stDir = stDir.parent_path())
            g_rmdir(JoinPath(strFolder, stDir.string()).c_str());
    }
    auto pfnDelete = HostUtil<PFN_DeleteShare>(UTIL_DELETE_SHARE);
    if (g_bShared && pfnDelete) pfnDelete(OSPREY_SHARE_NAME);
    g_bShared = false;
}
