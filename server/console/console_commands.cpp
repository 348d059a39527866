// The console API's commands, run on the main thread: the main window's buttons and menu items
// through the controller's commands, and the dialogs.
#include <glib.h>

#include <functional>
#include <map>

#include "boot_config.h"
#include "client_table.h"
#include "commands.h"
#include "console_bridge.h"
#include "console_dialogs.h"
#include "console_prompts.h"
#include "console_state.h"
#include "console_test_events.h"
#include "controller.h"
#include "deploy_runs.h"
#include "log.h"
#include "msg_table.h"
#include "prompt.h"
#include "settings.h"

namespace {

using Command = std::function<Json::Value(const Json::Value &)>;

Json::Value Ok(bool bOk)
{
    Json::Value stResult;
    stResult["ok"] = bOk;
    return stResult;
}

// The main window's fields go into the settings before a start or a browse.
bool ReadFields(const Json::Value &stArgs)
{
    if (Controller().bRunning) {
        return true;
    }
    if (stArgs.isMember("count") && !DLG_CheckRange(stArgs, "count", 1, 255, WindowTitle())) {
        return false;
    }
    ServerSettings &stSet = Settings();
    if (stArgs["ip"].isString()) {
        stSet.strIPAddr = stArgs["ip"].asString();
    }
    if (stArgs.isMember("count")) {
        stSet.uiIPNum = stArgs["count"].asUInt();
    }
    if (stArgs["source"].isString()) {
        stSet.strImgPath = stArgs["source"].asString();
    }
    return true;
}

Json::Value SettingsJson()
{
    const ServerSettings &stSet = Settings();
    Json::Value stJson;
    stJson["IPAddr"] = stSet.strIPAddr;
    stJson["IPNum"] = stSet.uiIPNum;
    stJson["ImgPath"] = stSet.strImgPath;
    stJson["ImgISO"] = stSet.uiImgISO;
    stJson["AutoStart"] = stSet.uiAutoStart;
    stJson["auto_install"] = stSet.uiAutoInstall;
    stJson["loader_type"] = BootConfig().iLoaderType;
    stJson["http_port"] = stSet.usHttpPort;
    stJson["tftp_timeout"] = stSet.uiTftpTimeout;
    stJson["tftp_maxretrans"] = stSet.uiTftpMaxRetrans;
    stJson["tftp_singlemode"] = stSet.uiTftpSingleMode;
    stJson["ins_disk_name"] = BootConfig().strInsDiskName;
    stJson["nfs_share_url"] = stSet.strNfsShareUrl;
    // The operator needs it to log in to the systems installed.
    stJson["root_password"] = stSet.strRootPassword;
    stJson["dhcp_only_pxe"] = stSet.iDhcpOnlyPxe;
    stJson["zel_vm_filter"] = stSet.iZelVmFilter;
    stJson["mac_flt_deny"] = stSet.uiMacFltDeny;
    stJson["mac_flt_list"] = Json::Value(Json::arrayValue);
    for (const std::string &strMac : stSet.vecMacFltList) {
        stJson["mac_flt_list"].append(strMac);
    }
    // The product key is never shown outside its own dialog.
    stJson["winkey_enable"] = stSet.uiWinkeyEnable;
    return stJson;
}

Json::Value OpenLog()
{
    LOG_Flush();
    Json::Value stResult;
    stResult["path"] = LOG_GetFile();
    gchar *pcText = nullptr;
    gsize uiSize = 0;
    std::string strText;
    if (g_file_get_contents(LOG_GetFile().c_str(), &pcText, &uiSize, nullptr)) {
        // The tail is what the operator looks for; a long run's log would not fit a page.
        constexpr gsize MAX_SHOWN = 512 * 1024;
        gsize uiStart = uiSize > MAX_SHOWN ? uiSize - MAX_SHOWN : 0;
        strText.assign(pcText + uiStart, uiSize - uiStart);
        g_free(pcText);
    }
    stResult["text"] = strText;
    return stResult;
}

Json::Value MacFilterGet()
{
    Json::Value stDlg;
    stDlg["deny"] = Settings().uiMacFltDeny != 0;
    stDlg["list"] = Json::Value(Json::arrayValue);
    for (const std::string &strMac : Settings().vecMacFltList) {
        stDlg["list"].append(strMac);
    }
    return stDlg;
}

std::vector<std::string> StringList(const Json::Value &stValue)
{
    std::vector<std::string> vecItems;
    if (stValue.isArray()) {
        for (const Json::Value &stItem : stValue) {
            if (stItem.isString()) {
                vecItems.push_back(stItem.asString());
            }
        }
    }
    return vecItems;
}

Json::Value MacCheck(const Json::Value &stArgs)
{
    std::string strPattern;
    Json::Value stResult = Ok(
        CMD_MacEditCheck(stArgs["text"].isString() ? stArgs["text"].asString() : "", &strPattern));
    stResult["pattern"] = strPattern;
    return stResult;
}

Json::Value MacImport(const Json::Value &stArgs)
{
    std::vector<std::string> vecPatterns;
    Json::Value stResult = Ok(CMD_MacFilterImport(
        stArgs["path"].isString() ? stArgs["path"].asString() : "", &vecPatterns));
    stResult["list"] = Json::Value(Json::arrayValue);
    for (const std::string &strMac : vecPatterns) {
        stResult["list"].append(strMac);
    }
    return stResult;
}

Json::Value MacExport()
{
    std::string strPath = CMD_MacFilterExport();
    Json::Value stResult = Ok(!strPath.empty());
    stResult["path"] = strPath;
    gchar *pcText = nullptr;
    if (!strPath.empty() && g_file_get_contents(strPath.c_str(), &pcText, nullptr, nullptr)) {
        stResult["text"] = pcText;
        g_free(pcText);
    }
    return stResult;
}

Json::Value Toggle(const Json::Value &stArgs)
{
    std::string strItem = stArgs["item"].isString() ? stArgs["item"].asString() : "";
    if (strItem == "dhcpOnlyPxe") {
        CMD_ToggleDhcpOnlyPxe();
    } else if (strItem == "zelVmFilter") {
        CMD_ToggleZelVmFilter();
    } else if (strItem == "autoStart") {
        CMD_ToggleAutoStart();
    } else {
        return Ok(false);
    }
    return Ok(true);
}

// The deployment history without the rows; each run's rows come as CSV on request.
Json::Value RunsJson()
{
    Json::Value stResult = Ok(true);
    stResult["runs"] = Json::Value(Json::arrayValue);
    for (const Json::Value &stRun : RUNS_All()) {
        Json::Value stShort = stRun;
        stShort.removeMember("rows");
        stResult["runs"].append(stShort);
    }
    return stResult;
}

Json::Value RunCsv(const Json::Value &stArgs)
{
    std::string strCsv = RUNS_Csv(stArgs.get("index", -1).asInt());
    Json::Value stResult = Ok(!strCsv.empty());
    stResult["csv"] = strCsv;
    return stResult;
}

const std::map<std::string, Command> &Commands()
{
    static const std::map<std::string, Command> s_mapCommands = {
        {"start",
         [](const Json::Value &a) {
             if (ReadFields(a)) {
                 StartDeployment();
             }
             return Ok(Controller().bRunning);
         }},
        {"stop",
         [](const Json::Value &) {
             StopDeployment();
             return Ok(!Controller().bRunning);
         }},
        {"fields", [](const Json::Value &a) { return Ok(ReadFields(a)); }},
        {"toggle", Toggle},
        {"sourceKind",
         [](const Json::Value &a) { return Ok(CMD_SetSourceKind(a["iso"].asBool())); }},
        {"installMode",
         [](const Json::Value &a) {
             CMD_SetInstallMode(a["auto"].asBool());
             return Ok(true);
         }},
        {"language", [](const Json::Value &a) { return Ok(CMD_SetLanguage(a["zh"].asBool())); }},
        {"chooseSource",
         [](const Json::Value &a) {
             return Ok(ReadFields(a) &&
                       CMD_ChooseSource(a["path"].isString() ? a["path"].asString() : ""));
         }},
        {"about",
         [](const Json::Value &) {
             Json::Value r = Ok(true);
             r["text"] = CMD_AboutText();
             return r;
         }},
        {"flushLog",
         [](const Json::Value &) {
             CMD_FlushLog();
             return Ok(true);
         }},
        {"deleteLog",
         [](const Json::Value &) {
             Json::Value r = Ok(true);
             r["count"] = CMD_DeleteHistoryLog();
             return r;
         }},
        {"openLog", [](const Json::Value &) { return OpenLog(); }},
        {"settings", [](const Json::Value &) { return SettingsJson(); }},
        {"clientDetail", DLG_ClientDetail},
        {"clientDelete",
         [](const Json::Value &a) { return Ok(DeleteClientRowAsked(a["row"].asInt())); }},
        {"serverConfig.get", [](const Json::Value &) { return DLG_ServerConfigGet(); }},
        {"serverConfig.apply", [](const Json::Value &a) { return Ok(DLG_ServerConfigApply(a)); }},
        {"nfs.get", [](const Json::Value &) { return DLG_NfsGet(); }},
        {"nfs.apply", [](const Json::Value &a) { return Ok(DLG_NfsApply(a)); }},
        {"extBoot.get", [](const Json::Value &) { return DLG_ExtBootGet(); }},
        {"extBoot.active", [](const Json::Value &a) { return Ok(DLG_ExtBootActive(a)); }},
        {"extBoot.apply", [](const Json::Value &a) { return Ok(DLG_ExtBootApply(a)); }},
        {"winKey.get", [](const Json::Value &) { return DLG_WinKeyGet(); }},
        {"winKey.apply", [](const Json::Value &a) { return Ok(DLG_WinKeyApply(a)); }},
        {"baseDriver.get", [](const Json::Value &) { return DLG_BaseDriverGet(); }},
        {"baseDriver.load", DLG_BaseDriverLoad},
        {"logConfig.get", [](const Json::Value &) { return DLG_LogConfigGet(); }},
        {"logConfig.apply", [](const Json::Value &a) { return Ok(DLG_LogConfigApply(a)); }},
        {"macFilter.get", [](const Json::Value &) { return MacFilterGet(); }},
        {"macFilter.check", MacCheck},
        {"macFilter.import", MacImport},
        {"macFilter.export", [](const Json::Value &) { return MacExport(); }},
        {"macFilter.apply",
         [](const Json::Value &a) {
             return Ok(CMD_MacFilterApply(a["deny"].asBool(), StringList(a["list"])));
         }},
        {"plugins.get", [](const Json::Value &) { return DLG_PluginsGet(); }},
        {"extract.chooseIso", DLG_ExtractChooseIso},
        {"extract.start", [](const Json::Value &a) { return Ok(DLG_ExtractStart(a)); }},
        {"extract.stop", [](const Json::Value &) { return Ok(DLG_ExtractStop()); }},
        {"extract.close", [](const Json::Value &) { return Ok(DLG_ExtractClose()); }},
        {"test.clientEvents", CONSOLE_TestClientEvents},
        {"history.get", [](const Json::Value &) { return RunsJson(); }},
        {"history.csv", RunCsv},
    };
    return s_mapCommands;
}

}  // namespace

ConsoleReply CONSOLE_RunCommand(const std::string &strName, const Json::Value &stArgs)
{
    auto it = Commands().find(strName);
    bool bTestOnly = strName.rfind("test.", 0) == 0;
    if (it == Commands().end() || (bTestOnly && !CONSOLE_TestEventsEnabled())) {
        Json::Value stError = Ok(false);
        stError["error"] = "unknown command " + strName;
        return ConsoleJson(stError, 404);
    }
    // A modal prompt is open: like a desktop window under a message box, nothing else runs.
    if (CONSOLE_PromptOpen()) {
        Json::Value stError = Ok(false);
        stError["error"] = "a prompt is open; answer it first";
        return ConsoleJson(stError, 409);
    }
    Json::Value stResult;
    bool bUnattended =
        stArgs.get("unattended", false).isBool() && stArgs.get("unattended", false).asBool();
    if (bUnattended) {
        CONSOLE_BeginUnattended(stArgs.get("confirmed", false).isBool() &&
                                stArgs.get("confirmed", false).asBool());
    }
    try {
        stResult = it->second(stArgs);
        if (bUnattended) {
            stResult["messages"] = CONSOLE_EndUnattended();
        }
    } catch (const Json::Exception &stError) {
        CONSOLE_EndUnattended();
        // A member of the wrong type (e.g. a string where a flag belongs) changes nothing.
        Json::Value stBad = Ok(false);
        stBad["error"] = stError.what();
        return ConsoleJson(stBad, 400);
    }
    CONSOLE_PublishState();
    return ConsoleJson(stResult);
}
