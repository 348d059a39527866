#include "core/answer_file.h"

#include "core/agent_log.h"
#include "core/disk_select.h"
#include "core/http_get.h"
#include "core/network.h"
#include "core/text_util.h"

namespace ferrit {

void FilterFirmwareSections(const std::string &from, const std::string &to, bool uefi)
{
    const char *dropOpen = uefi ? "<KIV_LABEL_BIOS" : "<KIV_LABEL_UEFI";
    const char *dropClose = uefi ? "</KIV_LABEL_BIOS" : "</KIV_LABEL_UEFI";
    const char *keepOpen = uefi ? "<KIV_LABEL_UEFI" : "<KIV_LABEL_BIOS";
    const char *keepClose = uefi ? "</KIV_LABEL_UEFI" : "</KIV_LABEL_BIOS";
    std::vector<std::string> kept;
    bool skipping = false;
    for (const auto &line : ReadLines(from).value_or(std::vector<std::string>{})) {
        if (skipping) {
            if (Contains(line, dropClose)) skipping = false;
            continue;
        }
        if (Contains(line, dropOpen)) {
            skipping = !Contains(line, dropClose);
            continue;
        }
        if (Contains(line, keepOpen) || Contains(line, keepClose)) continue;
        kept.push_back(line);
    }
    WriteLines(to, kept);
}

bool IsManualInstall(const std::string &answerFile)
{
    for (const auto &line : ReadLines(answerFile).value_or(std::vector<std::string>{}))
        if (Contains(line, "INSTALL_TYPE=")) return Contains(line, "MANUAL");
    return false;
}

void AdjustLanguage(const std::string &answerFile, bool chinese)
{
    auto lines = ReadLines(answerFile);
    if (!lines) return;
    const std::string from = chinese ? "en-US" : "zh-CN", to = chinese ? "zh-CN" : "en-US";
    for (auto &line : *lines)
        if (auto at = line.find(from); at != std::string::npos) line.replace(at, from.size(), to);
    WriteLines(answerFile, *lines);
}

int ReadHttpDiskUrl(const std::string &answerFile, std::string &url)
{
    for (const auto &line : ReadLines(answerFile).value_or(std::vector<std::string>{})) {
        auto at = line.find("HTTPDISKURL=");
        if (at == std::string::npos) continue;
        std::string rest = line.substr(at + 12);
        url = Bounded(rest.substr(0, rest.find_first_of(" \r\n")), 256);
        return 0;
    }
    return 1;
}

bool Unix2Dos(const std::string &from, const std::string &to)
{
    auto lines = ReadLines(from);
    if (!lines) return false;
    return WriteLines(to, *lines, "\r\n");
}

bool FetchAnswerFiles(AgentContext &ctx)
{
    std::string ip, mac;
    int result = ChooseAdapter(ctx.sys.Adapters(), ctx.params.uiServerIp, false, ip, mac);
    std::uint32_t s = ctx.params.uiServerIp;
    AgentLog("KIV_NET_GetIPMac ret %d: SerIP:%u.%u.%u.%u:%u LocalIP:%s MAC:%s", result, s >> 24,
             (s >> 16) & 255, (s >> 8) & 255, s & 255, ctx.params.usHttpPort, ip.c_str(),
             mac.c_str());
    if (result != 0) {
        ctx.sys.SetStatus(StatusField::Setup, "Failed");
        return false;
    }
    ctx.szClientIp = ip;
    ctx.szClientMac = mac;
    HttpGet(s, ctx.params.usHttpPort, "/kickstart/01-" + mac + ".auto", kAnswerDownload);
    std::string wget = Format("wget.exe http://%s:%u/kickstart/01-%s.first -O TmpFirstRun.bat",
                              IpText(s).c_str(), ctx.params.usHttpPort, mac.c_str());
    AgentLog("Now run %s", wget.c_str());
    ctx.sys.RunAndWait(wget, Show::Hidden);
    ctx.sys.SleepMs(1000);
    if (Unix2Dos("TmpFirstRun.bat", "FirstRun.bat")) {
        AgentLog("Unix2Dos Finish %s %s", "TmpFirstRun.bat", "FirstRun.bat");
    } else {
        AgentLog("Failed to open file %p %p", static_cast<void *>(nullptr),
                 static_cast<void *>(nullptr));
        const char *type = "type TmpFirstRun.bat|more>FirstRun.bat";
        AgentLog("Now run %s", type);
        ctx.sys.RunAndWait(std::string("cmd /c ") + type, Show::Hidden);
    }
    FilterFirmwareSections(kAnswerDownload, kAnswerFile, ctx.sys.BootedUefi());
    SelectTargetDisk(ctx, kAnswerFile);
    ctx.bManualInstall = IsManualInstall(kAnswerFile);
    return true;
}

}  // namespace ferrit
