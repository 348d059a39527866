#include "controller.h"

#include <curl/curl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "admission.h"
#include "answer_access.h"
#include "active_boot.h"
#include "boot_config.h"
#include "client_table.h"
#include "data_dir.h"
#include "deploy_runs.h"
#include "grub_server.h"
#include "dhcp_commit.h"
#include "iso_image.h"
#include "kiv_restful.h"
#include "log.h"
#include "msg_table.h"
#include "platform.h"
#include "plugin_host.h"
#include "row_print.h"
#include "prompt.h"
#include "qvdhcp.h"
#include "qvdhcp_leasedb.h"
#include "qvdhcp_ra.h"
#include "qvdhcp_rfc.h"
#include "qv_text.h"
#include "qvhttp.h"
#include "qv_text.h"
#include "qvtftp.h"
#include "root_password.h"
#include "service_roots.h"
#include "settings.h"
#include "source_extract.h"
#include "start_check.h"
#include "version.h"

namespace {

ControllerState g_stCtl;
// Ticks of 100 ms between two log flushes, so that a headless run is followed closely.
constexpr unsigned LOG_FLUSH_TICKS = 20;
unsigned g_uiTicks = 0;
constexpr unsigned HEAP_RELEASE_TICKS = 50;
unsigned g_uiHeapTicks = 0;

std::string DataPath(const char *pcRelative)
{
    return DataDirectory() + "/" + pcRelative;
}

uint32_t StartAddress()
{
    return PoolStartAddress(Settings());
}

// The leases as last saved: while the service runs they are saved when they changed, before the
// ACK that hands one out (and each 2 s), so a crash or power loss never loses a lease in use.
std::vector<std::pair<std::string, uint32_t>> g_vecSavedLeases;

void SaveChangedLeases()
{
    if (!g_stCtl.bRunning) {
        return;
    }
    auto vecLeases = LEASEDB_Snapshot();
    if (vecLeases != g_vecSavedLeases && LEASEDB_Save(StartAddress(), Settings().uiIPNum) == 0) {
        g_vecSavedLeases = std::move(vecLeases);
    }
}

ServiceStartRequest StartRequest()
{
    ServiceStartRequest stReq;
    stReq.chinese_ui = MSG_IsChinese() ? 1 : 0;
    stReq.server_ip = g_stCtl.uiLocalAddr;
    stReq.server_mask = Settings().uiDhcpMask;
    stReq.source_dir = Settings().strImgPath;
    stReq.iso_handle = g_stCtl.pstImage.get();
    stReq.http_port = Settings().usHttpPort;
    stReq.http_disk_mode = int32_t(Settings().uiHttpDiskMode);
    return stReq;
}

void PublishRestInfo()
{
    KIV_REST_SysInfo stInfo;
    stInfo.strVersion = VersionText();
    stInfo.bRunning = g_stCtl.bRunning;
    if (g_stCtl.bRunning) {
        stInfo.usHttpPort = Settings().usHttpPort;
        stInfo.strOsName = g_stCtl.stOsInfo.strOsName;
        stInfo.bSupportUefi = g_stCtl.stOsInfo.ucSupportUefi != 0;
        stInfo.bIscsiBios = g_stCtl.stOsInfo.ucIscsiBios != 0;
        stInfo.bIscsiUefi = g_stCtl.stOsInfo.ucIscsiUefi != 0;
    }
    KIV_REST_Publish(stInfo);
}

bool StartDhcp(uint32_t uiRouter)
{
    ServerSettings &stSet = Settings();
    uint32_t uiStart = StartAddress();
    QVDHCP_CFG_SetServerIP(g_stCtl.uiLocalAddr);
    QVDHCP_CFG_SetMask(stSet.uiDhcpMask);
    QVDHCP_CFG_SetIPRange(uiStart, uiStart + stSet.uiIPNum - 1);
    QVDHCP_CFG_SetNextServer(g_stCtl.uiLocalAddr);
    QVDHCP_CFG_SetBiosBootFile(BiosBootFile().c_str());
    QVDHCP_CFG_SetEfiBootFile(UefiBootFile().c_str());
    auto [strBiosBcd, strEfiBcd] = WindowsBcdPaths();
    QVDHCP_CFG_SetBcdPaths(strBiosBcd.c_str(), strEfiBcd.c_str());
    QVDHCP_CFG_SetHttpPort(stSet.usHttpPort);
    QVDHCP_CFG_SetLeaseTime(360000);
    QVDHCP_CFG_SetRouter(uiRouter);
    std::vector<uint32_t> vecDns;
    for (const std::string &strAddr : stSet.vecDhcpDns) {
        uint32_t uiAddr = 0;
        if (QV_IpParse(strAddr.c_str(), &uiAddr)) {
            vecDns.push_back(uiAddr);
        }
    }
    QVDHCP_CFG_SetDns(vecDns.data(), uint32_t(vecDns.size()));
    QVDHCP_CFG_SetDomain(stSet.strDhcpDomain.c_str());
    QVDHCP_CFG_SetOnlyPXE(uint32_t(stSet.iDhcpOnlyPxe));
    QVDHCP_CFG_SetVMFilter(uint32_t(stSet.iZelVmFilter));
    QVDHCP_CFG_SetIpxeLoader(BootConfig().iLoaderType == BOOT_LOADER_IPXE ? 1 : 0);
    QVDHCP_CFG_SetProxy(stSet.uiDhcpProxy != 0 ? 1 : 0);
    QVDHCP_CFG_SetRelay(stSet.uiDhcpRelay != 0 ? 1 : 0);
    QVDHCP_CFG_SetAdmitFunc(AdmitClient);
    // A client's lease is on disk and its files are written before its ACK leaves.
    DHCP_COMMIT_Open([] {
        DrainNotifications();
        SaveChangedLeases();
    });
    int iResult = QVDHCP_Start(&g_stCtl.pstDhcp);
    if (iResult != 0) {
        DHCP_COMMIT_Close();
        g_stCtl.pstDhcp = nullptr;
        ShowStartFailure("DHCP", iResult == QV_ERR_PORT_IN_USE);
        return false;
    }
    return true;
}

// The service thread may be waiting for the main loop, which is about to join it.
void StopDhcp()
{
    DHCP_COMMIT_Close();
    QVDHCP_Stop(g_stCtl.pstDhcp);
}

// The plug-in's redirections of "ISO1", for both file services.
std::vector<QV_RedirectRule> RedirectRules()
{
    PluginOsInfo stInfo;
    ActivePlugin()->pfnGetOSInfo(&stInfo);
    std::vector<QV_RedirectRule> vecRules;
    for (const auto &[strRaw, strNew] : stInfo.vecRedirect) {
        vecRules.push_back({strRaw, strNew});
    }
    return vecRules;
}

bool StartTftp()
{
    const ServerSettings &stSet = Settings();
    QVTFTP_CFG_Conf stConf;
    stConf.uiServerIp = g_stCtl.uiLocalAddr;
    stConf.usPort = 69;
    stConf.uiSinglePort = stSet.uiTftpSingleMode != 0 ? 1 : 0;
    stConf.usTidFirst = 50000;
    stConf.usTidLast = 65000;
    stConf.usTimeout = uint16_t(stSet.uiTftpTimeout);
    stConf.usMaxSends = uint16_t(stSet.uiTftpMaxRetrans);
    QVTFTP_CFG_SetConf(&stConf);
    std::vector<ServiceRoot> vecRoots{
        {g_stCtl.pstImage.get(), "ISO1", stSet.strImgPath, RedirectRules()}};
    if (!LoaderDirectory().empty()) {
        vecRoots.push_back({nullptr, "", DataPath(LoaderDirectory().c_str()), {}});
    }
    for (const char *pcName : {"virtualiso", "driver"}) {
        vecRoots.push_back({nullptr, pcName, DataPath(pcName), {}});
    }
    if (!ROOTS_AddTftp(vecRoots)) {
        return false;
    }
    uint32_t uiResult = QVTFTP_Start(&g_stCtl.pstTftp);
    if (uiResult != 0) {
        g_stCtl.pstTftp = nullptr;
        ShowStartFailure("TFTP", uiResult == QVTFTP_ERR_PORT_IN_USE);
        return false;
    }
    return true;
}

bool StartHttp()
{
    const ServerSettings &stSet = Settings();
    std::vector<QV_RedirectRule> vecRules = RedirectRules();
    QVHTTP_CFG_SetAddr(g_stCtl.uiLocalAddr, stSet.usHttpPort);
    QVHTTP_CFG_SetMaxConn(512);
    std::vector<ServiceRoot> vecRoots{{g_stCtl.pstImage.get(), "ISO1", stSet.strImgPath, vecRules}};
    for (const char *pcName : {"kickstart", "repository", "virtualiso", "driver"}) {
        vecRoots.push_back({nullptr, pcName, DataPath(pcName), {}});
    }
    if (!LoaderDirectory().empty()) {
        for (const char *pcName : {"flash_rom_loader", "kiv_loader"}) {
            vecRoots.push_back({nullptr, pcName, DataPath(LoaderDirectory().c_str()), {}});
        }
    }
    if (!ROOTS_AddHttp(vecRoots)) {
        return false;
    }
    uint32_t uiResult = QVHTTP_Start(&g_stCtl.pstHttp);
    if (uiResult != 0) {
        g_stCtl.pstHttp = nullptr;
        ShowStartFailure("HTTP", uiResult == QVHTTP_ERR_PORT_IN_USE);
        return false;
    }
    return true;
}

std::string Text(const char *pc)
{
    return pc != nullptr ? pc : "";
}

// The plug-in's answer in the form the overlay takes.
QVHTTP_VirtIsoFiles VirtIsoFilesOf(const PluginVirtIsoInfo &stInfo)
{
    QVHTTP_VirtIsoFiles stFiles;
    stFiles.strBiosCfg = Text(stInfo.pcBiosCfg);
    stFiles.strUefiCfg = Text(stInfo.pcUefiCfg);
    stFiles.strBiosCfgEx = Text(stInfo.pcBiosCfgExtra);
    stFiles.strUefiCfgEx = Text(stInfo.pcUefiCfgExtra);
    stFiles.strOldFile1 = Text(stInfo.pcOldFile1);
    stFiles.strNewFile1 = Text(stInfo.pcNewFile1);
    stFiles.strOldFile2 = Text(stInfo.pcOldFile2);
    stFiles.strNewFile2 = Text(stInfo.pcNewFile2);
    for (unsigned i = 0; i < VIRTISO_EXT_FILES; ++i) {
        stFiles.astrIntFile[i] = Text(stInfo.astPair[i].pcInternal);
        stFiles.astrExtFile[i] = Text(stInfo.astPair[i].pcExternal);
    }
    return stFiles;
}

void AddVirtIso(const std::string &strPath, const QVHTTP_VirtIsoFiles &stFiles)
{
    if (QVHTTP_VIRTISO_Add(strPath.c_str(), stFiles) != 0) {
        PROMPT_Show("Add Virtual ISO config failed!", "MSG", PromptIcon::Warning);
    }
}

void SetUpVirtualIso()
{
    const ServerSettings &stSet = Settings();
    bool bDirectory = stSet.uiImgISO == 0;
    if (BootConfig().iLoaderType != BOOT_LOADER_IPXE ||
        (bDirectory && g_stCtl.stOsInfo.strOsName.find("Tencent") == std::string::npos)) {
        LOG_Print(0, "PXEDLG", "Virtual ISO is not supported in current config.");
        return;
    }
    PluginVirtIsoInfo stInfo;
    ActivePlugin()->pfnGetVirtISOInfo(&stInfo);
    if (stInfo.usSupported != 1) {
        LOG_Print(0, "PXEDLG", "Virtual ISO is not supported for %s.", stSet.strImgPath.c_str());
        return;
    }
    QVHTTP_VirtIsoFiles stFiles = VirtIsoFilesOf(stInfo);
    std::string strDriverIso = Text(stInfo.pcDriverIso);
    if (strDriverIso.empty()) {
        AddVirtIso(stSet.strImgPath, stFiles);
        return;
    }
    std::string strPath = DataDirectory() + "/virtualiso/extfile/" + strDriverIso;
    AddVirtIso(strPath, stFiles);
    std::string strPrefix = strDriverIso;
    for (size_t uiAt; (uiAt = strPrefix.find(".iso")) != std::string::npos;) {
        strPrefix.erase(uiAt, 4);
    }
    QVHTTP_CFG_AddRootPath({nullptr, strPrefix, strPath, {}});
}

void ReleaseImage()
{
    g_stCtl.pstImage.reset();
}

// One hash per password: crypt(3) costs milliseconds, and offers come in floods.
std::string RootPasswordCrypt(const std::string &strPlain)
{
    static std::string s_strPlain, s_strCrypt;
    if (s_strCrypt.empty() || s_strPlain != strPlain) {
        s_strPlain = strPlain;
        s_strCrypt = CryptRootPassword(strPlain);
    }
    return s_strCrypt;
}

// The per-client request to the plug-in; pstEvent null for a client known only by its address.
bool ConfigureClient(const QVDHCP_ClientEvent *pstEvent, uint32_t uiAddress)
{
    const PluginEntryPoints *pstPlugin = ActivePlugin();
    if (pstPlugin == nullptr) {
        return false;
    }
    const ServerSettings &stSet = Settings();
    const BootLoaderConfig &stBoot = BootConfig();
    bool bUefi = pstEvent != nullptr && pstEvent->uiIsEFI != 0;
    ClientCfgRequest stReq;
    stReq.uefi = bUefi ? 1 : 0;
    stReq.arch = pstEvent != nullptr ? pstEvent->usArch : 0;
    bool bIsoBeside = g_file_test((stSet.strImgPath + ".iso").c_str(), G_FILE_TEST_IS_REGULAR);
    stReq.ipxe_sanboot =
        stBoot.iLoaderType == BOOT_LOADER_IPXE && (stSet.uiImgISO == 1 || bIsoBeside);
    stReq.sanboot_use_type = int32_t(stBoot.uiSanbootUseType);
    stReq.iso_index = 1;
    stReq.client_ip = uiAddress;
    stReq.mask = pstEvent != nullptr ? pstEvent->uiMask : 0xFFFFFF00u;
    stReq.gateway = pstEvent != nullptr ? pstEvent->uiRouter : 0;
    stReq.server_ip = g_stCtl.uiLocalAddr;
    if (pstEvent != nullptr) {
        memcpy(stReq.mac, pstEvent->aucMac, 6);
    }
    stReq.bkimg_index = int32_t(BackgroundIndex());
    stReq.logo_timeout = int32_t(stBoot.uiLogoTimeout);
    stReq.http_image = BootFileFetchesOverHttp(bUefi) ? 1 : 0;
    stReq.boot_file[CLIENT_BOOT_FILE_BIOS] = BiosBootFile();
    stReq.boot_file[CLIENT_BOOT_FILE_UEFI] = UefiBootFile();
    stReq.boot_file[CLIENT_BOOT_FILE_ROOT_PASSWORD] = stSet.strRootPassword;
    stReq.root_password_crypt = RootPasswordCrypt(stSet.strRootPassword);
    int iRow = pstEvent != nullptr ? FindRowByMac(QV_MacText(pstEvent->aucMac))
                                   : FindRowByAddress(uiAddress);
    stReq.client_token = ClientToken(iRow);
    stReq.boot_file[CLIENT_BOOT_FILE_NFS_ROOT] = stSet.strNfsShareUrl;
    stReq.disk_select = int32_t(stBoot.uiDiskSelect);
    stReq.disk_size_gb = int32_t(stBoot.uiDiskSizeGb);
    stReq.disk_name = stBoot.strDiskName;
    gchar *pcUrl =
        g_strdup_printf("http://" QVDHCP_IP_FMT ":%u/ISO%u/_RAWISO_.iso",
                        QVDHCP_IP_ARGS(g_stCtl.uiLocalAddr), unsigned(stSet.usHttpPort), 1u);
    stReq.http_disk_url = pcUrl;
    g_free(pcUrl);
    stReq.iscsi_deploy = 0;
    stReq.ext_boot_opt = ExtBootOptionFor(stSet.vecExtBootOpt, g_stCtl.stOsInfo.strOsName, bUefi);
    stReq.auto_install = int32_t(stSet.uiAutoInstall);
    stReq.winkey_enable = int32_t(stSet.uiWinkeyEnable);
    stReq.winkey = stSet.strWinkey;
    pstPlugin->pfnMakeCfgFile(&stReq);
    return pstEvent != nullptr && CheckClientArchitecture(g_stCtl.stOsInfo, pstEvent->usArch);
}

void InstallTableHooks()
{
    ClientTableHooks stHooks;
    stHooks.fnDhcpRunning = [] { return g_stCtl.pstDhcp != nullptr; };
    stHooks.fnTftpRunning = [] { return g_stCtl.pstTftp != nullptr; };
    stHooks.fnHttpRunning = [] { return g_stCtl.pstHttp != nullptr; };
    stHooks.fnConfigureClient = ConfigureClient;
    stHooks.fnIsBootFile = [](const std::string &strFile) {
        return strFile == BiosBootFile() || strFile == UefiBootFile();
    };
    stHooks.fnAdvanceBackground = [] { AdvanceBackground(); };
    stHooks.fnRowChanged = ClientRowPrinter();
    stHooks.fnRowRemoved = [](const ClientRow &stRow) { RemoveClientFiles(stRow.strMac); };
    stHooks.fnNeighbourMac = PLAT_NeighbourMac;
    CLIENTS_SetHooks(stHooks);
}

}  // namespace

void ShowStartFailure(const char *pcService, bool bPortInUse)
{
    gchar *pcText =
        bPortInUse ? g_strdup_printf("%s, %s Server %s", MSG_Text(128), pcService, MSG_Text(129))
                   : g_strdup_printf("%s Server %s", pcService, MSG_Text(129));
    PROMPT_Show(pcText, "ERR", PromptIcon::Error);
    g_free(pcText);
}

const ControllerState &Controller()
{
    return g_stCtl;
}

void ControllerInit()
{
    QVDHCP_CFG_SetEventFunc(OnDhcpEvent);
    QVDHCP_CFG_SetCommitFunc(DHCP_COMMIT_Wait);
    QVTFTP_SetEventFunc(OnTftpEvent);
    QVHTTP_SetEventFunc(OnHttpEvent);
    QVHTTP_SetAccessFunc(AnswerFileAccess);
    KIV_REST_SetNotifyFunc(OnRestNotify);
    InstallTableHooks();
    SetMacFilter(Settings().uiMacFltDeny != 0, Settings().vecMacFltList);
    PublishRestInfo();
    g_stCtl.bAutoStartRequest = Settings().uiAutoStart != 0;
}

void StartDeployment()
{
    if (g_stCtl.bRunning) {
        return;
    }
    ServerSettings &stSet = Settings();
    uint32_t uiLocal = 0, uiMask = 0;
    // A UDF source is extracted first; the start goes on from here when that has finished.
    if (CheckStartParameters(stSet, &uiLocal, &uiMask, [] { StartDeployment(); }) == 0) {
        return;
    }
    g_stCtl.uiLocalAddr = uiLocal;
    g_stCtl.uiLocalMask = uiMask;
    if (stSet.uiImgISO == 1) {
        auto pstImage = std::make_unique<IsoImage>();
        if (IsoOpen(stSet.strImgPath.c_str(), true, pstImage.get()) != 0) {
            PROMPT_Show(MSG_Text(7), WindowTitle());
            return;
        }
        g_stCtl.pstImage = std::move(pstImage);
    }
    if (MatchPlugin(stSet.strImgPath, g_stCtl.pstImage.get()) == 0) {
        ReleaseImage();
        PROMPT_Show(MSG_Text(130), WindowTitle());
        return;
    }
    if (ActivePluginFileName() == "PLUG_OSPREY.so" && !BootFileSupportsWindows()) {
        ReleaseImage();
        PROMPT_Show(MSG_Text(131), "MSG", PromptIcon::Warning);
        return;
    }
    const PluginEntryPoints *pstPlugin = ActivePlugin();
    g_stCtl.stOsInfo = PluginOsInfo{};
    pstPlugin->pfnGetOSInfo(&g_stCtl.stOsInfo);
    if (g_stCtl.stOsInfo.ucNeedNfs) {
        PROMPT_Show(MSG_Text(132), "MSG", PromptIcon::Warning);
    }
    if (stSet.uiDhcpFollowHost) {
        stSet.uiDhcpMask = uiMask;
    }
    uint32_t uiRouter = stSet.uiDhcpXxx1 ? ((uiLocal & 0xFFFFFF00u) | 1u) : stSet.uiDhcpGateway;
    stSet.uiDhcpGateway = uiRouter;
    // Rows of offers nobody took stay bounded; a proxy has no pool to size them by, but as many
    // clients as its own table holds.
    CLIENTS_SetOfferLimit(stSet.uiDhcpProxy != 0 ? QVDHCP_PROXY_TABLE_MAX
                                                 : size_t(4) * stSet.uiIPNum);
    SetHostServerInfo({uiLocal, stSet.uiDhcpMask, uiRouter, stSet.usHttpPort});
    ServiceStartRequest stReq = StartRequest();
    if (pstPlugin->pfnServiceStart(&stReq) != 0) {
        // The plug-in may have added TFTP roots before it failed.
        ROOTS_ClearAll();
        ReleaseImage();
        PROMPT_Show(stReq.error_text, WindowTitle());
        LOG_Flush();
        return;
    }
    // GRUB would otherwise ask the server of the firmware's DHCP acknowledgement for its menu,
    // which behind a proxy or a relay need not be this one.
    GRUB_WriteServerAddress(QV_IpText(uiLocal));
    // A failed service stops the ones started before it, and the plug-in undoes its start (its
    // share must not outlive a start that did not happen).
    bool bStarted = StartDhcp(uiRouter);
    if (bStarted && !StartTftp()) {
        StopDhcp();
        g_stCtl.pstDhcp = nullptr;
        bStarted = false;
    }
    if (bStarted && !StartHttp()) {
        StopDhcp();
        QVTFTP_Stop(g_stCtl.pstTftp);
        g_stCtl.pstDhcp = g_stCtl.pstTftp = nullptr;
        bStarted = false;
    }
    if (!bStarted) {
        pstPlugin->pfnServiceStop(&stReq);
        ROOTS_ClearAll();
        ReleaseImage();
        return;
    }
    // Without it clients only wait longer for IPv6: a failure is logged, the deployment runs.
    if (stSet.uiIpv6Ra != 0) {
        QVDHCP_RA_Start(uiLocal);
    }
    RefreshInstallLabel();
    UpdateSourceHistory(stSet.vecHistoryPath, stSet.strImgPath);
    SetUpVirtualIso();
    g_stCtl.bRunning = true;
    RUNS_Started(stSet.strImgPath, g_stCtl.stOsInfo.strOsName);
    g_stCtl.strTitle = g_stCtl.stOsInfo.strOsName;
    SetWindowTitle(g_stCtl.strTitle);
    PublishRestInfo();
    LOG_Print(0, "PXEDLG", "Service started for %s (%s) on " QVDHCP_IP_FMT,
              g_stCtl.stOsInfo.strOsName.c_str(), stSet.strImgPath.c_str(),
              QVDHCP_IP_ARGS(uiLocal));
    LOG_Flush();
    gchar *pcLine = g_strdup_printf("started %s on " QVDHCP_IP_FMT " (HTTP port %u)",
                                    g_stCtl.stOsInfo.strOsName.c_str(), QVDHCP_IP_ARGS(uiLocal),
                                    unsigned(stSet.usHttpPort));
    PrintServiceLine(pcLine);
    g_free(pcLine);
}

void StopDeployment()
{
    if (g_stCtl.pstHttp == nullptr) {
        return;
    }
    if (!g_stCtl.bExiting) {
        PromptRequest stAsk{MSG_Choose("服务正在运行，确认要停止吗？",
                                       "Service is running, are you sure to stop it?"),
                            MSG_Choose("警告", "WARNING"), PromptIcon::Warning,
                            PromptButtons::YesNo, PromptAnswer::No};
        if (PROMPT_Ask(stAsk) != PromptAnswer::Yes) {
            return;
        }
    }
    ServiceStartRequest stReq = StartRequest();
    ActivePlugin()->pfnServiceStop(&stReq);
    QVDHCP_RA_Stop();
    StopDhcp();
    QVTFTP_Stop(g_stCtl.pstTftp);
    QVHTTP_Stop(g_stCtl.pstHttp);
    ROOTS_ClearAll();
    g_stCtl.pstDhcp = g_stCtl.pstTftp = g_stCtl.pstHttp = nullptr;
    ReleaseImage();
    RUNS_Stopped(ClientRows());
    ClearClients();
    CleanServiceMenus();
    g_stCtl.strOsType = "unknown";
    g_stCtl.strInstallLabel.clear();
    DiscardNotifications();
    QVHTTP_VIRTISO_Clear();
    g_stCtl.bRunning = false;
    g_stCtl.strTitle = "KIV Deploy System";
    SetWindowTitle(g_stCtl.strTitle);
    PublishRestInfo();
    LEASEDB_Save(StartAddress(), Settings().uiIPNum);
    LOG_Print(0, "PXEDLG", "Service stopped");
    LOG_Flush();
    PrintServiceLine("stopped");
}

void OnTimerTick()
{
    if (g_stCtl.bAutoStartRequest) {
        g_stCtl.bAutoStartRequest = false;
        LOG_Print(0, "PXEDLG", "Automatic start requested");
        StartDeployment();
    }
    DrainNotifications();
    if (++g_uiTicks >= LOG_FLUSH_TICKS) {
        g_uiTicks = 0;
        LOG_Flush();
        SaveChangedLeases();
    }
    // What the transfers of a storm of clients freed goes back to the system.
    if (++g_uiHeapTicks >= HEAP_RELEASE_TICKS) {
        g_uiHeapTicks = 0;
        PLAT_ReleaseFreeHeap();
    }
}

bool OnClose(bool bAsk)
{
    if (!g_stCtl.bRunning || !bAsk) {
        return true;
    }
    const char *pcCaption = MSG_Choose("警告", "WARNING");
    PromptRequest stFirst{
        MSG_Choose("服务正在运行，确认要关闭吗？", "Service is running, are you sure to close it?"),
        pcCaption, PromptIcon::Warning, PromptButtons::YesNo, PromptAnswer::No};
    if (PROMPT_Ask(stFirst) != PromptAnswer::Yes) {
        return false;
    }
    PromptRequest stSecond = stFirst;
    stSecond.strText = MSG_Choose("服务正在运行，确认要关闭吗？ 再次确认！",
                                  "Service is running, are you sure to close it? (Double-check)");
    return PROMPT_Ask(stSecond) == PromptAnswer::Yes;
}

void OnDestroy()
{
    g_stCtl.bExiting = true;
    StopDeployment();
    EXTRACT_Shutdown();
    LOG_Flush();
    // The services let go of their state first, then the settings and the lease database are
    // written out, then the exit line and the log.
    QVDHCP_Deinit();
    QVTFTP_Deinit();
    QVHTTP_Deinit();
    KIV_REST_Stop();
    SaveSettings();
    if (LEASEDB_Save(StartAddress(), Settings().uiIPNum) != 0) {
        LOG_Print(0, "PXEDLG", "Failed to save the lease database");
    }
    unlink("tmp_mac_list.txt");
    ClearClients();
    RemoveChainLoaderLinks();
    RemoveExitDirectories();
    LOG_Print(0, "PXEDLG", "%s exit", BannerText().c_str());
    LOG_Flush();
    curl_global_cleanup();
    g_stCtl.bExiting = false;
}

void UpdateSourceHistory(std::vector<std::string> &vecHistory, const std::string &strSource)
{
    for (auto it = vecHistory.begin(); it != vecHistory.end(); ++it) {
        if (g_ascii_strcasecmp(it->c_str(), strSource.c_str()) == 0) {
            vecHistory.erase(it);
            break;
        }
    }
    vecHistory.insert(vecHistory.begin(), strSource);
}

void RefreshInstallLabel()
{
    if (!g_stCtl.pstHttp) {
        return;
    }
    g_stCtl.strOsType = OsTypeOfName(g_stCtl.stOsInfo.strOsName);
    g_stCtl.strInstallLabel =
        g_stCtl.stOsInfo.strArch + (Settings().uiAutoInstall ? "\r\nAuto" : "\r\nManual");
}
