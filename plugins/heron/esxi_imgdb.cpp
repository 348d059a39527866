#include "esxi_imgdb.h"

#include <glib.h>

#include <cstring>
#include <optional>
#include <vector>

#include "plugin_hostcalls.h"

namespace {

constexpr size_t BLOCK = 512;
constexpr const char *PROFILE_HEAD =
    "<imageprofile><name>KIV-Deploy-System</name><creator>KIV. / KIV DEPLOY SYSTEM</creator>"
    "<profileID>e8fffdbee1b911e5ab6c0200ffb6b535</profileID>"
    "<creationtime>2016-03-04T03:33:49.895649+00:00</creationtime>"
    "<modifiedtime>2017-12-21T01:46:54.000000+00:00</modifiedtime><serialno>0</serialno>"
    "<description>This is a VMware ESXi 6.x build customized by "
    "ORV</description><readonly>false</readonly>";

size_t Round512(size_t u)
{
    return (u + BLOCK - 1) / BLOCK * BLOCK;
}

struct TarEntry {
    size_t uHeader;  // offset of the header
    std::string strName;
    bool bRegular;
    size_t uSize;
    size_t Data() const { return uHeader + BLOCK; }
    size_t End() const { return Data() + Round512(uSize); }
};

struct TarImage {
    std::string strBytes;
    std::vector<TarEntry> vecEntries;
    size_t uEnd = 0;  // where the end-of-archive blocks start
};

bool ReadFile(const std::string &strPath, std::string *pstr)
{
    gchar *pc = nullptr;
    gsize uLen = 0;
    if (!g_file_get_contents(strPath.c_str(), &pc, &uLen, nullptr)) return false;
    pstr->assign(pc, uLen);
    g_free(pc);
    return true;
}

// Walks the headers while they carry the ustar magic. An entry whose data would run past the
// file ends the walk, so a truncated archive is never read out of bounds.
std::optional<TarImage> LoadTar(const std::string &strPath)
{
    TarImage st;
    if (!ReadFile(strPath, &st.strBytes)) {
        PluginLog(1, "Failed to read %s", strPath.c_str());
        return std::nullopt;
    }
    const std::string &b = st.strBytes;
    size_t off = 0;
    while (off + BLOCK <= b.size() && b[off + 257] == 'u') {
        TarEntry e{off, std::string(b.data() + off, strnlen(b.data() + off, 100)), false, 0};
        char cType = b[off + 156];
        e.bRegular = cType == '0' || cType == '\0';
        e.uSize = std::strtoull(std::string(b.data() + off + 124, 12).c_str(), nullptr, 8);
        if (e.End() > b.size()) break;
        st.vecEntries.push_back(e);
        off = e.End();
    }
    st.uEnd = off;
    return st;
}

bool WriteFile(const std::string &strPath, const std::string &strBytes)
{
    GError *pErr = nullptr;
    if (g_file_set_contents(strPath.c_str(), strBytes.data(), strBytes.size(), &pErr)) return true;
    PluginLog(1, "Failed to write %s: %s", strPath.c_str(), pErr->message);
    g_error_free(pErr);
    return false;
}

std::string Padded(const std::string &str)
{
    return str + std::string(Round512(str.size()) - str.size(), '\0');
}

const TarEntry *FindProfile(const TarImage &st)
{
    for (const TarEntry &e : st.vecEntries)
        if (e.bRegular && e.strName.find("/profiles/") != std::string::npos) return &e;
    return nullptr;
}

// The text between "<label>" and the next "</", or "" (logged) when absent.
std::string LabelValue(const std::string &strXml, const char *pcLabel, size_t uMax)
{
    std::string strOpen = std::string("<") + pcLabel + ">";
    size_t pos = strXml.find(strOpen);
    if (pos == std::string::npos) {
        PluginLog(1, "Label %s NOT found\n", pcLabel);
        return "";
    }
    pos += strOpen.size();
    size_t end = strXml.find("</", pos);
    if (end == std::string::npos) {
        PluginLog(1, "Label %s right <  NOT found\n", pcLabel);
        return "";
    }
    return strXml.substr(pos, std::min(end - pos, uMax));
}

std::string PayloadName(const std::string &strXml)
{
    size_t pos = strXml.find("<payload");
    if (pos == std::string::npos) {
        PluginLog(1, "Label %s NOT found\n", "<payload");
        return "";
    }
    pos = strXml.find("name=", pos);
    if (pos == std::string::npos) {
        PluginLog(1, "Property %s NOT found\n", "name=");
        return "";
    }
    pos += 5;
    if (pos >= strXml.size() || strXml[pos] != '"') {
        PluginLog(1, "Property %s NOT found not \"\n", "name=");
        return "";
    }
    size_t end = strXml.find('"', pos + 1);
    if (end == std::string::npos) {
        PluginLog(1, "Property %s right \"  NOT found\n", "name=");
        return "";
    }
    return strXml.substr(pos + 1, std::min<size_t>(end - pos - 1, 63));
}

// The <vib> element of the profile that carries the payload: [begin, end) and its module name.
struct VibElement {
    size_t uBegin, uEnd;
    std::string strModule;
};

std::optional<VibElement> FindVibElement(const std::string &strProfile,
                                         const std::string &strPayload, bool *pbNoEnd)
{
    *pbNoEnd = false;
    size_t pos = strProfile.find("\"" + strPayload + "\"");
    if (pos == std::string::npos) return std::nullopt;
    size_t begin = strProfile.rfind("<vib>", pos);
    size_t end = strProfile.find("</vib>", pos);
    if (begin == std::string::npos || end == std::string::npos) {
        *pbNoEnd = true;
        return std::nullopt;
    }
    end += 6;
    std::string strElement = strProfile.substr(begin, end - begin);
    std::string strModule;
    if (size_t close = strElement.find("</payload>"); close != std::string::npos) {
        size_t gt = strElement.rfind('>', close);
        if (gt != std::string::npos) strModule = strElement.substr(gt + 1, close - gt - 1);
    }
    return VibElement{begin, end, strModule};
}

// Removes one module from a " --- "-separated list. The whole name is matched as one item, so a
// module whose name begins like another's never removes the other.
void RemoveModule(std::string *pstrList, const std::string &strModule)
{
    if (strModule.empty()) return;
    gchar *pcEscaped = g_regex_escape_string(strModule.c_str(), -1);
    std::string strPattern = std::string(" *--- *[^- ]*") + pcEscaped + "(?=\\s|$)";
    g_free(pcEscaped);
    GRegex *pRegex = g_regex_new(strPattern.c_str(), G_REGEX_RAW, GRegexMatchFlags(0), nullptr);
    if (!pRegex) {
        PluginLog(1, "Create regex pattern failed");
        return;
    }
    PluginLog(0, "Modlist Before Del %s is<%s>", strModule.c_str(), pstrList->c_str());
    GMatchInfo *pInfo = nullptr;
    if (g_regex_match(pRegex, pstrList->c_str(), GRegexMatchFlags(0), &pInfo)) {
        int iStart = 0, iEnd = 0;
        g_match_info_fetch_pos(pInfo, 0, &iStart, &iEnd);
        pstrList->erase(iStart, iEnd - iStart);
    }
    g_match_info_free(pInfo);
    g_regex_unref(pRegex);
    PluginLog(0, "Modlist after Del %s is<%s>", strModule.c_str(), pstrList->c_str());
}

void RemoveModuleFromLists(EsxiModuleLists *pst, const std::string &strModule)
{
    RemoveModule(&pst->strPath, strModule);
    RemoveModule(&pst->strFile, strModule);
}

void AppendModule(std::string *pstrList, const std::string &strModule)
{
    PluginLog(0, "Modlist Before Add %s is<%s>", strModule.c_str(), pstrList->c_str());
    *pstrList += " --- " + strModule;
    PluginLog(0, "Modlist After Add %s is<%s>", strModule.c_str(), pstrList->c_str());
}

struct VibDescriptor {
    std::string strXml, strName, strVersion, strVendor, strType, strPayload;
};

std::optional<VibDescriptor> ReadDescriptor(const std::string &strDir)
{
    VibDescriptor st;
    if (!ReadFile(strDir + "/descriptor.xml", &st.strXml)) {
        PluginLog(1, "Failed to read descriptor.xml");
        return std::nullopt;
    }
    st.strName = LabelValue(st.strXml, "name", 63);
    st.strVersion = LabelValue(st.strXml, "version", 127);
    st.strVendor = LabelValue(st.strXml, "vendor", 15);
    st.strType = LabelValue(st.strXml, "type", 31);
    st.strPayload = PayloadName(st.strXml);
    PluginLog(0, "VIB name=[%s]\n", st.strName.c_str());
    PluginLog(0, "VIB version=[%s]\n", st.strVersion.c_str());
    PluginLog(0, "VIB vendor=[%s]\n", st.strVendor.c_str());
    PluginLog(0, "VIB type=[%s]\n", st.strType.c_str());
    PluginLog(0, "VIB PayLoad Name=[%s]\n", st.strPayload.c_str());
    return st;
}

std::string VibPrefix(const TarImage &st)
{
    for (const TarEntry &e : st.vecEntries) {
        size_t pos = e.strName.find("/vibs/");
        if (e.bRegular && pos != std::string::npos) return e.strName.substr(0, pos) + "/vibs";
    }
    return "";
}

// A copy of an entry's header with a new name (when given), size and checksum.
std::string RewrittenHeader(const TarImage &st, const TarEntry &e, const std::string *pstrName,
                            size_t uSize)
{
    std::string strHeader = st.strBytes.substr(e.uHeader, BLOCK);
    if (pstrName) {
        std::memset(strHeader.data(), 0, 100);
        std::memcpy(strHeader.data(), pstrName->data(), std::min<size_t>(pstrName->size(), 100));
    }
    SetTarSizeAndChecksum(strHeader.data(), uSize);
    return strHeader;
}

std::string EndOfArchive(const TarImage &st, std::string strOut)
{
    strOut += st.strBytes.substr(st.uEnd);
    return Padded(strOut);
}

}  // namespace

void SetTarSizeAndChecksum(char *pcHeader, size_t uSize)
{
    g_snprintf(pcHeader + 124, 12, "%011llo", static_cast<unsigned long long>(uSize));
    std::memset(pcHeader + 148, ' ', 8);
    int iSum = 0;
    for (size_t i = 0; i < BLOCK; ++i) iSum += static_cast<signed char>(pcHeader[i]);
    // "0" and the octal digits, at most seven characters and a NUL: a shorter sum keeps a
    // trailing space from the blanked field.
    g_snprintf(pcHeader + 148, 8, "0%o", static_cast<unsigned>(iSum));
}

std::string MakeTarHeader(const std::string &strName, size_t uSize)
{
    std::string strHeader(BLOCK, '\0');
    char *pc = strHeader.data();
    std::memcpy(pc, strName.data(), std::min<size_t>(strName.size(), 100));
    std::memcpy(pc + 100, "0000744", 7);
    std::memcpy(pc + 108, "0000000", 7);
    std::memcpy(pc + 116, "0000000", 7);
    std::memcpy(pc + 136, "13215125046", 11);
    pc[156] = '0';
    std::memcpy(pc + 257, "ustar  ", 8);  // with its NUL
    std::memcpy(pc + 265, "root", 4);
    std::memcpy(pc + 297, "root", 4);
    SetTarSizeAndChecksum(pc, uSize);
    return strHeader;
}

void AddVibToImageDb(const std::string &strArchive, const VmwareRule &stRule,
                     EsxiModuleLists *pstLists)
{
    std::optional<VibDescriptor> stDesc = ReadDescriptor(stRule.strDir);
    if (!stDesc) return;
    std::optional<TarImage> stTar = LoadTar(strArchive);
    if (!stTar) return;
    const TarEntry *pstProfile = FindProfile(*stTar);
    std::string strPrefix = VibPrefix(*stTar);
    if (!strPrefix.empty()) PluginLog(0, "Find vib path prefix:%s\n", strPrefix.c_str());
    if (!pstProfile) {
        PluginLog(0, "##### NO Profile XML Found.");
        return;
    }
    PluginLog(0, "### Find xml profile %s size:%d \n", pstProfile->strName.c_str(),
              int(pstProfile->uSize));
    std::string strOld = stTar->strBytes.substr(pstProfile->Data(), pstProfile->uSize);
    size_t uListBegin = strOld.find("<viblist>");
    size_t uListEnd = strOld.find("</viblist>");
    if (uListBegin == std::string::npos || uListEnd == std::string::npos || uListEnd < uListBegin) {
        PluginLog(1, "NO </viblist> FOUND\n");
        return;
    }
    std::string strNewName = strPrefix + "/" + stDesc->strName + "-9999999900.xml";
    if (strPrefix.empty() || strNewName.size() > 100) {
        // A ustar name field holds 100 bytes; a longer name would be cut and never found again.
        PluginLog(1, "No room for VIB descriptor %s in TAR, driver %s not added",
                  strNewName.c_str(), stRule.strPayload.c_str());
        return;
    }
    bool bNoEnd = false;
    std::optional<VibElement> stOld = FindVibElement(strOld, stRule.strPayload, &bNoEnd);
    std::string strProfile = PROFILE_HEAD;
    if (stOld && stOld->uBegin > uListBegin && stOld->uEnd <= uListEnd) {
        PluginLog(0, "VIB PayLoad Name=%s V00=%s YES Found in profile xml\n",
                  stRule.strPayload.c_str(), stOld->strModule.c_str());
        strProfile += strOld.substr(uListBegin, stOld->uBegin - uListBegin);
        strProfile += strOld.substr(stOld->uEnd, uListEnd - stOld->uEnd);
    } else {
        stOld.reset();
        PluginLog(0, "VIB PayLoad Name=%s Not Found in profile xml\n", stRule.strPayload.c_str());
        strProfile += strOld.substr(uListBegin, uListEnd - uListBegin);
    }
    strProfile += "<vib><vib-id>" + stDesc->strVendor + "_" + stDesc->strType + "_" +
                  stDesc->strName + "_" + stDesc->strVersion +
                  "</vib-id><payloads><payload payload-name=\"" + stDesc->strPayload + "\">" +
                  stRule.strFile + "</payload></payloads></vib>";
    strProfile += "</viblist><acceptancelevel>community</acceptancelevel></imageprofile>";
    PluginLog(0, "Ceate New Profile XML: len=%u oldLen=%d\n", unsigned(strProfile.size()),
              int(strOld.size()));

    std::string strOut;
    std::string strVibStart = strPrefix + "/" + stDesc->strName;
    for (const TarEntry &e : stTar->vecEntries) {
        if (!e.bRegular) {
            strOut += stTar->strBytes.substr(e.uHeader, e.End() - e.uHeader);
        } else if (e.strName.find("/profiles/") != std::string::npos) {
            strOut += RewrittenHeader(*stTar, e, nullptr, strProfile.size()) + Padded(strProfile);
            PluginLog(0, "Profile %s replace ... Old size:%d New_real_size:%d  new512size:%d\n",
                      e.strName.c_str(), int(e.uSize), int(strProfile.size()),
                      int(Round512(strProfile.size())));
        } else if (stOld && g_str_has_prefix(e.strName.c_str(), strVibStart.c_str()) &&
                   g_str_has_suffix(e.strName.c_str(), ".xml")) {
            strOut += RewrittenHeader(*stTar, e, &strNewName, stDesc->strXml.size()) +
                      Padded(stDesc->strXml);
            PluginLog(0, "Replace xml file %s in TAR, new len:%d\n", e.strName.c_str(),
                      int(stDesc->strXml.size()));
        } else {
            if (g_str_has_prefix(e.strName.c_str(), strPrefix.c_str()))
                PluginLog(0, "File %s don't modify\n", e.strName.c_str());
            strOut += stTar->strBytes.substr(e.uHeader, e.End() - e.uHeader);
        }
    }
    if (!stOld) {
        strOut += MakeTarHeader(strNewName, stDesc->strXml.size()) + Padded(stDesc->strXml);
        PluginLog(0, "Add %s to tar size:%d\n", strNewName.c_str(), int(stDesc->strXml.size()));
    }
    strOut = EndOfArchive(*stTar, std::move(strOut));
    PluginLog(0, "Old Tar Filelen:%d\n", int(stTar->strBytes.size()));
    PluginLog(0, "New Tar Filelen:%d\n", int(strOut.size()));
    if (!WriteFile(strArchive, strOut)) return;
    if (stOld) RemoveModuleFromLists(pstLists, stOld->strModule);
    AppendModule(&pstLists->strPath, stRule.strFile);
    AppendModule(&pstLists->strFile, stRule.strFile);
}

void RemoveVibFromImageDb(const std::string &strArchive, const std::string &strPayload,
                          EsxiModuleLists *pstLists)
{
    std::optional<TarImage> stTar = LoadTar(strArchive);
    if (!stTar) return;
    const TarEntry *pstProfile = FindProfile(*stTar);
    if (!pstProfile) {
        PluginLog(0, "##### Remove Driver NO Profile XML Found.");
        return;
    }
    std::string strProfile = stTar->strBytes.substr(pstProfile->Data(), pstProfile->uSize);
    bool bNoEnd = false;
    std::optional<VibElement> stVib = FindVibElement(strProfile, strPayload, &bNoEnd);
    if (!stVib) {
        if (bNoEnd)
            PluginLog(1, "</vib> NOT found in profile xml file\n");
        else
            PluginLog(0, "Payload \"%s\" NOT found in profile xml file\n", strPayload.c_str());
        return;
    }
    PluginLog(0, "Find Drv Info From Profile XML %s",
              strProfile.substr(stVib->uBegin, stVib->uEnd - stVib->uBegin).c_str());
    // Blanking keeps every size, so the profile's header stays valid.
    stTar->strBytes.replace(pstProfile->Data() + stVib->uBegin, stVib->uEnd - stVib->uBegin,
                            stVib->uEnd - stVib->uBegin, ' ');

    PluginLog(0, "Now delete xml file from tar\n");
    gchar *pcEscaped = g_regex_escape_string(strPayload.c_str(), -1);
    std::string strPattern = std::string("^") + pcEscaped + "-+[0-9]*\\.(xml|xml\\.orig|sig)$";
    g_free(pcEscaped);
    std::string strOut;
    for (const TarEntry &e : stTar->vecEntries) {
        const char *pcBase = strrchr(e.strName.c_str(), '/');
        pcBase = pcBase ? pcBase + 1 : e.strName.c_str();
        if (e.bRegular && g_regex_match_simple(strPattern.c_str(), pcBase, GRegexCompileFlags(0),
                                               GRegexMatchFlags(0))) {
            PluginLog(0, "Now delete %s from TAR\n", e.strName.c_str());
            continue;
        }
        strOut += stTar->strBytes.substr(e.uHeader, e.End() - e.uHeader);
    }
    PluginLog(0, "Copy last data len:%d\n", int(stTar->strBytes.size() - stTar->uEnd));
    strOut = EndOfArchive(*stTar, std::move(strOut));
    PluginLog(0, "Old tar file len:%d\n", int(stTar->strBytes.size()));
    PluginLog(0, "New tar file len:%d\n", int(strOut.size()));
    if (WriteFile(strArchive, strOut)) RemoveModuleFromLists(pstLists, stVib->strModule);
}
