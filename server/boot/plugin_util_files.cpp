// Utility slots over text files, regular expressions and files of the installation source.
#include <fcntl.h>
#include <glib.h>
#include <glib/gstdio.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>

#include "boot_text.h"
#include "qv_file.h"
#include "iso_image.h"
#include "log.h"
#include "plugin_util.h"
#include "template_expand.h"

namespace fs = std::filesystem;

namespace {

struct RegexFree {
    void operator()(GRegex *pstRegex) const { g_regex_unref(pstRegex); }
};
using RegexPtr = std::unique_ptr<GRegex, RegexFree>;

RegexPtr CompileRegex(const char *pcRegex)
{
    GError *pstError = nullptr;
    RegexPtr pstRegex(g_regex_new(pcRegex != nullptr ? pcRegex : "", G_REGEX_RAW,
                                  G_REGEX_MATCH_DEFAULT, &pstError));
    if (pstError != nullptr) {
        LOG_Print(2, "PXEDLG", "Invalid regex %s: %s", pcRegex, pstError->message);
        g_error_free(pstError);
    }
    return pstRegex;
}

// The first capture group (or "" without one) of the first line of a text file that the regex
// matches; nothing when no line does, the file is missing or the regex is invalid.
std::optional<std::string> FirstMatchingLine(const std::string &strPath, const char *pcRegex)
{
    RegexPtr pstRegex = CompileRegex(pcRegex);
    std::ifstream stIn(strPath, std::ios::binary);
    if (!pstRegex || !stIn) {
        return std::nullopt;
    }
    std::string strLine;
    while (std::getline(stIn, strLine)) {
        if (!strLine.empty() && strLine.back() == '\r') {
            strLine.pop_back();
        }
        GMatchInfo *pstInfo = nullptr;
        bool bMatched =
            g_regex_match(pstRegex.get(), strLine.c_str(), G_REGEX_MATCH_DEFAULT, &pstInfo);
        std::string strCapture;
        if (bMatched) {
            gchar *pcCapture = g_match_info_fetch(pstInfo, 1);
            strCapture = pcCapture != nullptr ? pcCapture : "";
            g_free(pcCapture);
        }
        g_match_info_free(pstInfo);
        if (bMatched) {
            return strCapture;
        }
    }
    return std::nullopt;
}

// Looks a file of the source up and runs fnTest on a host path holding it: the file itself in a
// directory source, or a copy taken out of the image into a private temporary directory (never
// the working directory, where the copy could replace a file of the same name).
std::optional<std::string> MatchInSource(const char *pcSource, const IsoImage *pstImage,
                                         const char *pcPathInSource, const char *pcRegex)
{
    if (pcPathInSource == nullptr) {
        return std::nullopt;
    }
    if (pstImage == nullptr) {
        return FirstMatchingLine(
            (fs::path(pcSource != nullptr ? pcSource : "") / pcPathInSource).string(), pcRegex);
    }
    IsoEntry stEntry;
    if (IsoFind(pstImage, pcPathInSource, false, &stEntry) != 0 ||
        stEntry.ucKind != ISO_KIND_FILE) {
        LOG_Print(1, "PXEDLG", "Failed to find file %s in ISO.", pcPathInSource);
        return std::nullopt;
    }
    gchar *pcTmpDir = g_dir_make_tmp("kiv-match-XXXXXX", nullptr);
    if (pcTmpDir == nullptr) {
        LOG_Print(0, "PXEDLG", "Cannot make a temporary directory for %s", pcPathInSource);
        return std::nullopt;
    }
    std::string strTmpDir = pcTmpDir;
    g_free(pcTmpDir);
    std::string strCopy = (fs::path(strTmpDir) / stEntry.szName).string();
    LOG_Print(1, "PXEDLG", "Tmp file is %s.", strCopy.c_str());
    std::optional<std::string> optResult;
    if (IsoExtract(pstImage, stEntry.pstNode, strTmpDir.c_str(), nullptr, nullptr) == 0) {
        optResult = FirstMatchingLine(strCopy, pcRegex);
    }
    std::error_code stErr;
    fs::remove_all(strTmpDir, stErr);
    return optResult;
}

// Writes a file through a temporary file and a rename, so a reader never sees half of it.
bool WriteWhole(const std::string &strPath, const std::string &strData)
{
    if (!QV_SaveFile(strPath, strData)) {
        LOG_Print(1, "PXEDLG", "File %s create failed", strPath.c_str());
        return false;
    }
    return true;
}

// Keyword pairs {OS keyword, ISO keyword} of slot 17.
const char *const g_apcOsIsoKeywords[][2] = {
    {"VXRCLOUD", "VXRCLOUD"},
    {"CENTOS", "CENTOS"},
    {"REDHAT", "RHEL"},
    {"ZEL", "ZEL"},
    {"VXRLINUX", "VXRLINUX"},
    {"DEBIAN", "DEBIAN"},
    {"UBUNTU SERVER", "UBUNTU"},
    {"FEDORA", "FEDORA"},
    {"XENSERVER", "XENSERVER"},
    {"VMWARE", "VMWARE"},
    {"LEAP", "LEAP"},
    {"OPENSUSE", "OPENSUSE"},
    {"SUSE SERVER", "SLE"},
    {"FREEBSD", "FREEBSD"},
    {"NEOKYLIN", "NEOKYLIN"},
    {"ISOFT SERVER", "ISOFT-SERVER"},
    {"TENCENT OS", "TLINUX"},
    {"LETV OS", "LETVOS"},
};

}  // namespace

int UTIL_FileLineMatches(const char *pcPath, const char *pcRegex)
{
    return pcPath != nullptr && FirstMatchingLine(pcPath, pcRegex).has_value();
}

int UTIL_SourceFileMatches(const char *pcSource, const IsoImage *pstImage,
                           const char *pcPathInSource, const char *pcRegex)
{
    return MatchInSource(pcSource, pstImage, pcPathInSource, pcRegex).has_value();
}

int UTIL_SourceFileCapture(const char *pcSource, const IsoImage *pstImage,
                           const char *pcPathInSource, const char *pcRegex, std::string *pstrOut)
{
    std::optional<std::string> optCapture =
        MatchInSource(pcSource, pstImage, pcPathInSource, pcRegex);
    if (!optCapture) {
        return 0;
    }
    *pstrOut = *optCapture;
    return 1;
}

int UTIL_FileExists(const char *pcPath)
{
    return pcPath != nullptr && g_file_test(pcPath, G_FILE_TEST_IS_REGULAR) &&
           access(pcPath, R_OK) == 0;
}

void UTIL_StripCarriageReturns(const char *pcPath)
{
    std::ifstream stIn(pcPath, std::ios::binary);
    if (!stIn) {
        return;
    }
    std::string strData((std::istreambuf_iterator<char>(stIn)), std::istreambuf_iterator<char>());
    stIn.close();
    strData.erase(std::remove(strData.begin(), strData.end(), '\r'), strData.end());
    // The rename replaces the file in one step: no moment without it.
    QV_SaveFile(pcPath, strData);
}

void UTIL_ExpandTemplate(const char *pcTemplate, const char *pcOutput, const TemplatePair *pstPairs,
                         uint32_t uiCount)
{
    std::ifstream stIn(pcTemplate != nullptr ? pcTemplate : "", std::ios::binary);
    if (!stIn) {
        LOG_Print(2, "PXEDLG", "File %s not exist.", pcTemplate != nullptr ? pcTemplate : "");
        return;
    }
    std::ostringstream stText;
    stText << stIn.rdbuf();
    std::string strResult = ExpandTemplateText(stText.str(), pstPairs, uiCount);
    WriteWhole(pcOutput, strResult);
}

int UTIL_RegexMatches(const char *pcRegex, const char *pcText)
{
    RegexPtr pstRegex = CompileRegex(pcRegex);
    return pstRegex && g_regex_match(pstRegex.get(), pcText != nullptr ? pcText : "",
                                     G_REGEX_MATCH_DEFAULT, nullptr);
}

int UTIL_OsNameMatchesIsoName(const char *pcOsText, const char *pcIsoText)
{
    std::string strOs = UpperText(pcOsText != nullptr ? pcOsText : "");
    std::string strIso = UpperText(pcIsoText != nullptr ? pcIsoText : "");
    for (const auto &apcPair : g_apcOsIsoKeywords) {
        if (strOs.find(apcPair[0]) != std::string::npos &&
            strIso.find(apcPair[1]) != std::string::npos) {
            return 1;
        }
    }
    return 0;
}

int UTIL_CopyFileFromIso(const IsoImage *pstImage, const char *pcImageFile,
                         const char *pcPathInImage, const char *pcDestDir)
{
    IsoEntry stEntry;
    if (pstImage == nullptr || pcPathInImage == nullptr || pcDestDir == nullptr ||
        IsoFind(pstImage, pcPathInImage, false, &stEntry) != 0 || stEntry.ucKind != ISO_KIND_FILE) {
        return 1;
    }
    // The output path is built from the caller's path: no component may climb out of the target.
    fs::path stRelative(pcPathInImage);
    for (const fs::path &stPart : stRelative) {
        if (stPart == "..") {
            LOG_Print(1, "PXEDLG", "File %s create failed", pcPathInImage);
            return 1;
        }
    }
    int iIn = open(pcImageFile != nullptr ? pcImageFile : "", O_RDONLY | O_CLOEXEC);
    if (iIn < 0) {
        LOG_Print(1, "PXEDLG", "File %s not exist.", pcImageFile != nullptr ? pcImageFile : "");
        return 1;
    }
    std::string strOut = (fs::path(pcDestDir) / stRelative.relative_path()).string();
    std::error_code stErr;
    fs::create_directories(fs::path(strOut).parent_path(), stErr);
    std::string strData;
    bool bRead = true;
    try {
        strData.resize(stEntry.ullDataLen);
    } catch (const std::bad_alloc &) {
        LOG_Print(1, "PXEDLG", "Malloc Failed %lu.",
                  static_cast<unsigned long>(stEntry.ullDataLen));
        close(iIn);
        return 1;
    }
    for (size_t uiDone = 0; uiDone < strData.size();) {
        ssize_t iGot = pread(iIn, strData.data() + uiDone, strData.size() - uiDone,
                             static_cast<off_t>(stEntry.ullExtentOffset + uiDone));
        if (iGot <= 0) {
            bRead = false;
            break;
        }
        uiDone += static_cast<size_t>(iGot);
    }
    close(iIn);
    if (!bRead) {
        LOG_Print(1, "PXEDLG", "File %s read failed", pcImageFile);
        return 1;
    }
    return WriteWhole(strOut, strData) ? 0 : 1;
}
