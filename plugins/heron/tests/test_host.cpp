#include "test_host.h"

#include <glib.h>
#include <glib/gstdio.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <fstream>
#include <sstream>

#include "iso_image.h"
#include "plugin_hostcalls.h"

namespace test_host {
namespace {

std::vector<std::string> g_vecLogs;
std::string g_strMenuDir;

int FileLineMatches(const char *pcPath, const char *pcRegex)
{
    GRegex *pRegex = g_regex_new(pcRegex, GRegexCompileFlags(0), GRegexMatchFlags(0), nullptr);
    if (!pRegex) return 0;
    std::ifstream in(pcPath);
    std::string strLine;
    bool bFound = false;
    while (!bFound && std::getline(in, strLine))
        bFound = g_regex_match(pRegex, strLine.c_str(), GRegexMatchFlags(0), nullptr);
    g_regex_unref(pRegex);
    return bFound;
}

// The file of a source as a host path: the directory's own file, or a copy out of the image.
std::string SourceFile(const char *pcSource, const IsoImage *pstImage, const char *pcPath,
                       std::string *pstrTemp)
{
    if (!pstImage) return std::string(pcSource) + "/" + pcPath;
    IsoEntry stEntry{};
    if (IsoFind(pstImage, pcPath, false, &stEntry) != 0) return "";
    *pstrTemp =
        std::filesystem::temp_directory_path() / ("kiv_heron_src_" + std::to_string(getpid()));
    std::filesystem::create_directories(*pstrTemp);
    if (IsoExtract(pstImage, stEntry.pstNode, pstrTemp->c_str(), nullptr, nullptr) != 0) return "";
    return *pstrTemp + "/" + stEntry.szName;
}

int SourceFileCapture(const char *pcSource, const IsoImage *pstImage, const char *pcPath,
                      const char *pcRegex, std::string *pstrOut)
{
    std::string strTemp;
    std::string strFile = SourceFile(pcSource, pstImage, pcPath, &strTemp);
    int iFound = 0;
    GRegex *pRegex = g_regex_new(pcRegex, GRegexCompileFlags(0), GRegexMatchFlags(0), nullptr);
    std::ifstream in(strFile);
    std::string strLine;
    while (pRegex && !iFound && std::getline(in, strLine)) {
        GMatchInfo *pInfo = nullptr;
        if (g_regex_match(pRegex, strLine.c_str(), GRegexMatchFlags(0), &pInfo)) {
            iFound = 1;
            if (pstrOut) {
                gchar *pc = g_match_info_fetch(pInfo, 1);
                *pstrOut = pc ? pc : "";
                g_free(pc);
            }
        }
        g_match_info_free(pInfo);
    }
    if (pRegex) g_regex_unref(pRegex);
    if (!strTemp.empty()) std::filesystem::remove_all(strTemp);
    return iFound;
}

int SourceFileMatches(const char *pcSource, const IsoImage *pstImage, const char *pcPath,
                      const char *pcRegex)
{
    return SourceFileCapture(pcSource, pstImage, pcPath, pcRegex, nullptr);
}

int FileExists(const char *pcPath)
{
    return g_file_test(pcPath, G_FILE_TEST_IS_REGULAR);
}

void ExpandTemplate(const char *pcTemplate, const char *pcOutput, const TemplatePair *pstPairs,
                    uint32_t uiCount)
{
    std::ifstream in(pcTemplate);
    if (!in) {
        g_vecLogs.push_back(std::string("File ") + pcTemplate + " not exist.");
        return;
    }
    std::ofstream out(pcOutput, std::ios::trunc);
    std::string strLine;
    while (std::getline(in, strLine)) {
        for (uint32_t i = 0; i < uiCount; ++i)
            for (size_t pos = strLine.find(pstPairs[i].strKey); pos != std::string::npos;
                 pos = strLine.find(pstPairs[i].strKey, pos + pstPairs[i].strValue.size()))
                strLine.replace(pos, pstPairs[i].strKey.size(), pstPairs[i].strValue);
        out << strLine << "\n";
    }
}

void Log(uint32_t, const char *, const char *pcFormat, ...)
{
    va_list args;
    va_start(args, pcFormat);
    gchar *pc = g_strdup_vprintf(pcFormat, args);
    va_end(args);
    g_vecLogs.emplace_back(pc);
    g_free(pc);
}

uint32_t FindFileInIso(const IsoImage *pstImage, const char *pcPath, int iFollow,
                       IsoEntry *pstEntry)
{
    IsoEntry stUnused;
    return IsoFind(pstImage, pcPath, iFollow != 0, pstEntry ? pstEntry : &stUnused);
}

int GetServerInfo(PluginServerInfo *pst)
{
    pst->uiHttpServerIp = 0xc0a80a01;
    pst->usHttpPort = 8080;
    pst->uiTftpBlockSize = 1408;
    return 0;
}

int GetMenuDir(std::string *pstr)
{
    *pstr = g_strMenuDir;
    return 0;
}

int GetClientMenuName(const uint8_t *puc, uint32_t, std::string *pstr)
{
    gchar *pc = g_strdup_printf("01-%02x-%02x-%02x-%02x-%02x-%02x", puc[0], puc[1], puc[2], puc[3],
                                puc[4], puc[5]);
    *pstr = pc;
    g_free(pc);
    return 0;
}

int OsNameMatchesIsoName(const char *pcOs, const char *pcIso)
{
    static const char *const apcPairs[][2] = {{"CENTOS", "CENTOS"},  {"REDHAT", "RHEL"},
                                              {"DEBIAN", "DEBIAN"},  {"UBUNTU SERVER", "UBUNTU"},
                                              {"FEDORA", "FEDORA"},  {"VMWARE", "VMWARE"},
                                              {"LEAP", "LEAP"},      {"OPENSUSE", "OPENSUSE"},
                                              {"SUSE SERVER", "SLE"}};
    gchar *pcO = g_ascii_strup(pcOs, -1), *pcI = g_ascii_strup(pcIso, -1);
    bool b = false;
    for (const auto &pair : apcPairs) b = b || (strstr(pcO, pair[0]) && strstr(pcI, pair[1]));
    g_free(pcO);
    g_free(pcI);
    return b;
}

int CopyFileFromIso(const IsoImage *pstImage, const char *, const char *pcPath, const char *pcDest)
{
    IsoEntry stEntry{};
    if (IsoFind(pstImage, pcPath, false, &stEntry) != 0) return 1;
    return IsoExtract(pstImage, stEntry.pstNode, pcDest, nullptr, nullptr) == 0 ? 0 : 1;
}

}  // namespace

void Install(const std::string &strMenuDir)
{
    PluginUtilTable st;
    st.apfnSlot[UTIL_FILE_LINE_MATCHES] = reinterpret_cast<void *>(&FileLineMatches);
    st.apfnSlot[UTIL_SOURCE_FILE_MATCHES] = reinterpret_cast<void *>(&SourceFileMatches);
    st.apfnSlot[UTIL_FILE_EXISTS] = reinterpret_cast<void *>(&FileExists);
    st.apfnSlot[UTIL_EXPAND_TEMPLATE] = reinterpret_cast<void *>(&ExpandTemplate);
    st.apfnSlot[UTIL_LOG] = reinterpret_cast<void *>(&Log);
    st.apfnSlot[UTIL_FIND_FILE_IN_ISO] = reinterpret_cast<void *>(&FindFileInIso);
    st.apfnSlot[UTIL_GET_SERVER_INFO] = reinterpret_cast<void *>(&GetServerInfo);
    st.apfnSlot[UTIL_GET_MENU_DIR] = reinterpret_cast<void *>(&GetMenuDir);
    st.apfnSlot[UTIL_GET_CLIENT_MENU_NAME] = reinterpret_cast<void *>(&GetClientMenuName);
    st.apfnSlot[UTIL_OS_NAME_MATCHES_ISO_NAME] = reinterpret_cast<void *>(&OsNameMatchesIsoName);
    st.apfnSlot[UTIL_SOURCE_FILE_CAPTURE] = reinterpret_cast<void *>(&SourceFileCapture);
    st.apfnSlot[UTIL_COPY_FILE_FROM_ISO] = reinterpret_cast<void *>(&CopyFileFromIso);
    g_strMenuDir = strMenuDir;
    g_vecLogs.clear();
    PluginSetHost(&st, "PLUG_HERON");
}

void SetMenuDir(const std::string &strMenuDir)
{
    g_strMenuDir = strMenuDir;
}
std::vector<std::string> &Logs()
{
    return g_vecLogs;
}

bool Logged(const std::string &strText)
{
    for (const std::string &str : g_vecLogs)
        if (str.find(strText) != std::string::npos) return true;
    return false;
}

std::string ReadText(const std::string &strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteText(const std::string &strPath, const std::string &strText)
{
    std::filesystem::create_directories(std::filesystem::path(strPath).parent_path());
    std::ofstream(strPath, std::ios::binary) << strText;
}

int Run(const std::vector<std::string> &vecArgv, std::string *pstrOut)
{
    std::vector<gchar *> vec;
    for (const std::string &str : vecArgv) vec.push_back(const_cast<gchar *>(str.c_str()));
    vec.push_back(nullptr);
    gchar *pcOut = nullptr;
    gint iStatus = -1;
    if (!g_spawn_sync(nullptr, vec.data(), nullptr,
                      GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_STDERR_TO_DEV_NULL), nullptr,
                      nullptr, &pcOut, nullptr, &iStatus, nullptr))
        return -1;
    if (pstrOut) *pstrOut = pcOut ? pcOut : "";
    g_free(pcOut);
    return WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : -1;
}

WorkDir::WorkDir()
{
    static std::atomic<int> s_iNext{0};
    m_old = std::filesystem::current_path();
    m_path = std::filesystem::temp_directory_path() /
             ("kiv_heron_" + std::to_string(getpid()) + "_" + std::to_string(s_iNext++));
    std::filesystem::remove_all(m_path);
    std::filesystem::create_directories(m_path);
    std::filesystem::current_path(m_path);
}

WorkDir::~WorkDir()
{
    std::filesystem::current_path(m_old);
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::string WorkDir::Path(const std::string &strName) const
{
    return strName.empty() ? m_path.string() : (m_path / strName).string();
}

}  // namespace test_host
