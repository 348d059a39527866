#include "osprey_agent_param.h"

#include <glib.h>
#include <glib/gstdio.h>
#include <json/json.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "osprey_service.h"
#include "plugin_hostcalls.h"
#include "plugin_text.h"

namespace {

// Fixed AES-128 key and IV of the template password: they keep the password out of plain
// sight in the template, they are no protection against someone holding this plug-in.
constexpr unsigned char TEMPLATE_KEY[16] = {0x4b, 0x49, 0x56, 0x2d, 0x4f, 0x53, 0x50, 0x52,
                                            0x45, 0x59, 0x2d, 0x4b, 0x45, 0x59, 0x31, 0x36};
constexpr unsigned char TEMPLATE_IV[16] = {0x19, 0x11, 0x07, 0x30, 0x05, 0x18, 0x4f, 0x53,
                                           0x50, 0x52, 0x45, 0x59, 0x2d, 0x49, 0x56, 0x21};
constexpr int MAX_CREDENTIAL_ASKS = 3;

CredentialsCheck g_fnCheck = SambaCredentialsCheck;
AccountSetter g_fnSetAccount = SambaSetAccount;
SambaReadiness g_fnReady = SambaMissingPiece;

// 24 characters from the system's random source.
std::string RandomPassword()
{
    static const char ALPHABET[] = "ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz23456789";
    unsigned char auc[24] = {};
    std::ifstream in("/dev/urandom", std::ios::binary);
    in.read(reinterpret_cast<char *>(auc), sizeof(auc));
    if (!in) return "";
    std::string str;
    for (unsigned char uc : auc) str += ALPHABET[uc % (sizeof(ALPHABET) - 1)];
    return str;
}

// Runs argv with `strInput` on its standard input; true when it exits with 0.
bool RunWithInput(const std::vector<std::string> &vecArgv, const std::string &strInput)
{
    std::vector<gchar *> vec;
    for (const std::string &str : vecArgv) vec.push_back(const_cast<gchar *>(str.c_str()));
    vec.push_back(nullptr);
    GPid pid = 0;
    gint iIn = -1;
    GError *pstError = nullptr;
    if (!g_spawn_async_with_pipes(nullptr, vec.data(), nullptr,
                                  GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD |
                                              G_SPAWN_STDOUT_TO_DEV_NULL),
                                  nullptr, nullptr, &pid, &iIn, nullptr, nullptr, &pstError)) {
        PluginLog(1, "Cannot run %s: %s", vecArgv[0].c_str(), pstError->message);
        g_error_free(pstError);
        return false;
    }
    bool bWritten = write(iIn, strInput.data(), strInput.size()) == ssize_t(strInput.size());
    close(iIn);
    int iStatus = 0;
    waitpid(pid, &iStatus, 0);
    g_spawn_close_pid(pid);
    bool bOk = bWritten && WIFEXITED(iStatus) && WEXITSTATUS(iStatus) == 0;
    if (!bOk) PluginLog(1, "%s failed (status %d).", vecArgv[0].c_str(), iStatus);
    return bOk;
}

std::string Crypt(const std::string &strIn, int iMode)
{
    std::string strOut;
    if (auto pfn = HostUtil<PFN_CryptString>(UTIL_CRYPT_STRING))
        pfn(&strOut, TEMPLATE_KEY, sizeof(TEMPLATE_KEY), TEMPLATE_IV, strIn.c_str(), iMode);
    return strOut;
}

bool ReadTemplate(const std::string &strPath, Json::Value *pjv)
{
    std::ifstream in(strPath, std::ios::binary);
    if (!in) return false;
    Json::CharReaderBuilder builder;
    std::string strErrors;
    return Json::parseFromStream(builder, in, pjv, &strErrors) && pjv->isObject();
}

std::string Styled(const Json::Value &jv)
{
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "   ";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, jv) + "\n";
}

// Through a temporary file and a rename, so a crash never leaves half a file.
bool WriteFile(const std::string &strPath, const std::string &strText)
{
    std::string strTemp = strPath + ".part";
    {
        std::ofstream out(strTemp, std::ios::binary | std::ios::trunc);
        if (!out || !(out << strText).flush()) {
            g_remove(strTemp.c_str());
            return false;
        }
    }
    return g_rename(strTemp.c_str(), strPath.c_str()) == 0;
}

std::string Member(const Json::Value &jv, const char *pcKey)
{
    const Json::Value &jvItem = jv[pcKey];
    return jvItem.isString() ? jvItem.asString() : "null";
}

// The per-service members, then the copy: styled, every doubled backslash made single again
// because the agent takes the text between the quotes literally.
int WriteCopy(Json::Value jv, const ServiceStartRequest &req, const std::string &strOutput)
{
    jv["IMAGE_INDEX"] = OspreyImageIndex();
    jv["SERVER_IP"] = Dotted(req.server_ip);
    jv["SERVER_MASK"] = Dotted(req.server_mask);
    jv["HTTP_PORT"] = std::to_string(req.http_port);
    std::string strText = Styled(jv);
    ReplaceAll(&strText, "\\\\", "\\");
    if (!WriteFile(strOutput, strText)) {
        PluginLog(1, "Failed to write %s.", strOutput.c_str());
        return AGENT_PARAM_BAD_TEMPLATE;
    }
    return AGENT_PARAM_OK;
}

// "DOMAIN\user" or "user" (domain ".").
void SplitAccount(const std::string &strAccount, std::string *pstrDomain, std::string *pstrUser)
{
    size_t pos = strAccount.find('\\');
    *pstrDomain = pos == std::string::npos ? "." : strAccount.substr(0, pos);
    *pstrUser = pos == std::string::npos ? strAccount : strAccount.substr(pos + 1);
}

}  // namespace

std::string AgentSharePath(uint32_t uiServerIp)
{
    return "\\\\" + Dotted(uiServerIp) + "\\" + OSPREY_SHARE_NAME;
}

std::string ReversedHex(const std::string &strClear)
{
    std::string str;
    for (size_t i = strClear.size(); i-- > 0;)
        str += Printf("%02X", unsigned(static_cast<unsigned char>(strClear[i])));
    return str;
}

std::string EncryptTemplatePassword(const std::string &strClear)
{
    return Crypt(strClear, 1);
}
std::string DecryptTemplatePassword(const std::string &strCipher)
{
    return Crypt(strCipher, 2);
}

bool SambaCredentialsCheck(const std::string &strDomain, const std::string &strUser,
                           const std::string &strPassword, uint32_t uiServerIp)
{
    gchar *pcClient = g_find_program_in_path("smbclient");
    if (!pcClient) {
        PluginLog(0, "smbclient is not installed: cannot check the share credentials.");
        return false;
    }
    // The password goes through a private authentication file, never on a command line.
    gchar *pcAuth = nullptr;
    int fd = g_file_open_tmp("kivpxe-smbauth-XXXXXX", &pcAuth, nullptr);
    bool bOk = false;
    if (fd >= 0) {
        std::string strAuth = "username = " + strUser + "\npassword = " + strPassword + "\n";
        if (strDomain != ".") strAuth += "domain = " + strDomain + "\n";
        bool bWritten = write(fd, strAuth.data(), strAuth.size()) == ssize_t(strAuth.size());
        close(fd);
        std::string strShare = "//" + Dotted(uiServerIp) + "/" + OSPREY_SHARE_NAME;
        // Bounded: the check runs on the main thread, which an unanswering server must not hold.
        const gchar *apcArgv[] = {pcClient, strShare.c_str(), "-A", pcAuth, "-t", "10", "-c",
                                  "ls",     nullptr};
        gint iWait = -1;
        bOk = bWritten &&
              g_spawn_sync(nullptr, const_cast<gchar **>(apcArgv), nullptr,
                           GSpawnFlags(G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL),
                           nullptr, nullptr, nullptr, nullptr, &iWait, nullptr) &&
              g_spawn_check_wait_status(iWait, nullptr);
        g_remove(pcAuth);
    }
    g_free(pcAuth);
    g_free(pcClient);
    return bOk;
}

namespace {
// True when something accepts a TCP connection on ip:port within two seconds.
bool Answers(uint32_t uiIp, uint16_t usPort)
{
    int iSock = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (iSock < 0) return false;
    sockaddr_in st{};
    st.sin_family = AF_INET;
    st.sin_port = htons(usPort);
    st.sin_addr.s_addr = htonl(uiIp);
    bool bOk = connect(iSock, reinterpret_cast<sockaddr *>(&st), sizeof(st)) == 0;
    if (!bOk && errno == EINPROGRESS) {
        pollfd stPoll{iSock, POLLOUT, 0};
        int iError = 0;
        socklen_t uiLen = sizeof(iError);
        bOk = poll(&stPoll, 1, 2000) == 1 &&
              getsockopt(iSock, SOL_SOCKET, SO_ERROR, &iError, &uiLen) == 0 && iError == 0;
    }
    close(iSock);
    return bOk;
}
}  // namespace

std::string SambaMissingPiece(uint32_t uiServerIp)
{
    for (const char *pc : {"smbd", "net", "smbpasswd", "testparm"}) {
        gchar *pcPath = g_find_program_in_path(pc);
        bool bFound = pcPath != nullptr || g_file_test((std::string("/usr/sbin/") + pc).c_str(),
                                                       G_FILE_TEST_IS_EXECUTABLE);
        g_free(pcPath);
        if (!bFound)
            return std::string("Share mode needs Samba: ") + pc +
                   " is missing (install the samba package; tools/setup.sh does)";
    }
    if (!Answers(uiServerIp, 445))
        return "Share mode needs smbd running: nothing answers on " + Dotted(uiServerIp) +
               " TCP 445 (systemctl enable --now smbd; open TCP 445 in the firewall)";
    gchar *pcOut = nullptr;
    const gchar *apcArgv[] = {"testparm", "-s", "--parameter-name", "usershare max shares",
                              nullptr};
    g_spawn_sync(nullptr, const_cast<gchar **>(apcArgv), nullptr,
                 GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_STDERR_TO_DEV_NULL), nullptr, nullptr,
                 &pcOut, nullptr, nullptr, nullptr);
    bool bAllowed = pcOut != nullptr && std::atoi(pcOut) > 0;
    g_free(pcOut);
    if (!bAllowed)
        return "Share mode needs Samba usershares: set \"usershare max shares\" (e.g. 100) in "
               "smb.conf and make the usershare directory (see \"Deploying Windows\" in the "
               "operator guide)";
    return "";
}

void SetSambaReadiness(SambaReadiness fnReady)
{
    g_fnReady = fnReady ? std::move(fnReady) : SambaMissingPiece;
}

std::string SambaMissingForStart(uint32_t uiServerIp)
{
    return g_fnReady(uiServerIp);
}

bool SambaSetAccount(const std::string &strUser, const std::string &strPassword)
{
    if (getpwnam(strUser.c_str()) == nullptr &&
        !RunWithInput({"useradd", "--system", "--no-create-home", "--home-dir", "/nonexistent",
                       "--shell", "/usr/sbin/nologin", strUser},
                      "")) {
        PluginLog(1,
                  "Cannot create the system user %s (kivpxe must run as root, or setup "
                  "creates it).",
                  strUser.c_str());
        return false;
    }
    if (!RunWithInput({"smbpasswd", "-s", "-a", strUser},
                      strPassword + "\n" + strPassword + "\n")) {
        PluginLog(1, "Cannot set the Samba password of %s: is Samba (smbpasswd) installed?",
                  strUser.c_str());
        return false;
    }
    return true;
}

void SetAccountSetter(AccountSetter fnSet)
{
    g_fnSetAccount = fnSet ? std::move(fnSet) : SambaSetAccount;
}

void SetCredentialsCheck(CredentialsCheck fnCheck)
{
    g_fnCheck = fnCheck ? std::move(fnCheck) : SambaCredentialsCheck;
}

int WriteAgentParameters(const std::string &strTemplate, const ServiceStartRequest &req,
                         const std::string &strOutput, const ShareForAccount &fnShare)
{
    Json::Value jv;
    if (!ReadTemplate(strTemplate, &jv)) return AGENT_PARAM_BAD_TEMPLATE;
    std::string strDomain = Member(jv, "DOMAIN"), strUser = Member(jv, "USERNAME");
    std::string strPassword;
    auto accepted = [&] {
        return fnShare(strUser) && g_fnCheck(strDomain, strUser, strPassword, req.server_ip);
    };
    if (strUser.empty() || strUser == "null") {
        // The dedicated account: a password that only reads this share during this deployment.
        strDomain = ".";
        strUser = OSPREY_SHARE_ACCOUNT;
        strPassword = RandomPassword();
        if (strPassword.empty() || !g_fnSetAccount(strUser, strPassword) || !accepted()) {
            PluginLog(1, "The share account %s cannot read the share.", strUser.c_str());
            return AGENT_PARAM_NO_ACCOUNT;
        }
        jv["DOMAIN"] = strDomain;
        jv["USERNAME"] = strUser;
    } else if (strPassword = DecryptTemplatePassword(Member(jv, "PASSWORD")); !accepted()) {
        auto pfnAsk = HostUtil<PFN_AskCredentials>(UTIL_ASK_CREDENTIALS);
        const std::string strPrompt =
            req.chinese_ui
                ? "客户端安装Windows时需要映射本机的共享目录\r\n\r\n请输入本机的用户名和密码"
                : "Windows share is needed during installing\r\n\r\nPlease input local username "
                  "and password";
        // Proposed: the operator's stored account, never the one the server runs under.
        std::string strAccount =
            strDomain != "." && strDomain != "null" ? strDomain + "\\" + strUser : strUser;
        std::string strAsk = strPrompt;
        bool bAccepted = false;
        for (int i = 0; i < MAX_CREDENTIAL_ASKS && !bAccepted; ++i) {
            std::string strTyped;
            if (!pfnAsk || !pfnAsk(strAsk.c_str(), &strAccount, &strTyped))
                return AGENT_PARAM_CANCELLED;
            SplitAccount(strAccount, &strDomain, &strUser);
            strPassword = strTyped;
            bAccepted = accepted();
            if (bAccepted) break;
            const char *pcWhy =
                strPassword.empty()
                    ? (req.chinese_ui ? "请先对用户设置密码，否则无法进行网络部署."
                                      : "Please set the username and password first.")
                    : (req.chinese_ui ? "请检查用户名密码是否正确"
                                      : "Wrong username or password, please check.");
            PluginLog(0, "%s", pcWhy);
            strAsk = std::string(pcWhy) + "\r\n\r\n" + strPrompt;
        }
        if (!bAccepted) return AGENT_PARAM_REFUSED;
        jv["DOMAIN"] = strDomain;
        jv["USERNAME"] = strUser;
        jv["PASSWORD"] = EncryptTemplatePassword(strPassword);
        if (!WriteFile(strTemplate, Styled(jv)))
            PluginLog(1, "Failed to write %s.", strTemplate.c_str());
    }
    jv["PASSWORD"] = ReversedHex(strPassword);
    jv["KIV_PXE_SHARE_PATH"] = AgentSharePath(req.server_ip);
    return WriteCopy(jv, req, strOutput);
}

int WriteAgentParametersHttpDisk(const std::string &strTemplate, const ServiceStartRequest &req,
                                 const std::string &strOutput)
{
    Json::Value jv;
    if (!ReadTemplate(strTemplate, &jv)) return AGENT_PARAM_BAD_TEMPLATE;
    return WriteCopy(jv, req, strOutput);
}
