#include "qvdhcp_leasedb.h"

#include "qv_file.h"
#include "qv_text.h"

#include <glib.h>
#include <glib/gstdio.h>
#include <json/json.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace {

using Mac = std::array<uint8_t, 6>;

struct LeaseRecord {
    Mac aucMac;
    uint32_t uiAddress;
};

constexpr const char *kDbPath = "conf/dhcp_db.json";

GMutex s_stLock;
std::vector<LeaseRecord> s_vecRecords;
QV_LogSink s_stLoadSink;

class Locked {
public:
    Locked() { g_mutex_lock(&s_stLock); }
    ~Locked() { g_mutex_unlock(&s_stLock); }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;
};

Mac ToMac(const uint8_t aucMac[6])
{
    Mac aucKey;
    std::memcpy(aucKey.data(), aucMac, aucKey.size());
    return aucKey;
}

void LoadLog(const char *pcFormat, ...) __attribute__((format(printf, 1, 2)));
void LoadLog(const char *pcFormat, ...)
{
    QV_LogSinks stSinks;
    stSinks.astSink[1] = s_stLoadSink;
    va_list args;
    va_start(args, pcFormat);
    QV_LogSinksEmitV(stSinks, 1, pcFormat, args);
    va_end(args);
}

// Exactly six two-digit hexadecimal groups joined by '-'.
bool ParseMacText(const char *pcText, Mac *paucMac)
{
    if (std::strlen(pcText) != 17) {
        return false;
    }
    for (size_t i = 0; i < 17; ++i) {
        bool bDash = (i % 3 == 2);
        if (bDash ? pcText[i] != '-' : !g_ascii_isxdigit(pcText[i])) {
            return false;
        }
    }
    for (size_t i = 0; i < 6; ++i) {
        (*paucMac)[i] = uint8_t(g_ascii_xdigit_value(pcText[3 * i]) * 16 +
                                g_ascii_xdigit_value(pcText[3 * i + 1]));
    }
    return true;
}

}  // namespace

void LEASEDB_SetLogSink(const QV_LogSink &stSink)
{
    s_stLoadSink = stSink;
}

void LEASEDB_Put(const uint8_t aucMac[6], uint32_t uiAddress)
{
    Mac aucKey = ToMac(aucMac);
    Locked lock;
    std::erase_if(s_vecRecords, [&](const LeaseRecord &stRec) {
        return stRec.aucMac == aucKey || stRec.uiAddress == uiAddress;
    });
    s_vecRecords.push_back({aucKey, uiAddress});
}

void LEASEDB_DeleteByMAC(const uint8_t aucMac[6])
{
    Mac aucKey = ToMac(aucMac);
    Locked lock;
    auto it = std::find_if(s_vecRecords.begin(), s_vecRecords.end(),
                           [&](const LeaseRecord &stRec) { return stRec.aucMac == aucKey; });
    if (it != s_vecRecords.end()) {
        s_vecRecords.erase(it);
    }
}

int LEASEDB_FindIPByMAC(const uint8_t aucMac[6], uint32_t *puiAddress)
{
    Mac aucKey = ToMac(aucMac);
    Locked lock;
    for (const LeaseRecord &stRec : s_vecRecords) {
        if (stRec.aucMac == aucKey) {
            *puiAddress = stRec.uiAddress;
            return 0;
        }
    }
    return LEASEDB_ERR_NOT_FOUND;
}

int LEASEDB_HasIP(uint32_t uiAddress)
{
    Locked lock;
    return std::any_of(s_vecRecords.begin(), s_vecRecords.end(),
                       [&](const LeaseRecord &stRec) { return stRec.uiAddress == uiAddress; })
               ? 1
               : 0;
}

void LEASEDB_Clear()
{
    Locked lock;
    s_vecRecords.clear();
}

std::vector<std::pair<std::string, uint32_t>> LEASEDB_Snapshot()
{
    Locked lock;
    std::vector<std::pair<std::string, uint32_t>> vecOut;
    for (const LeaseRecord &stRec : s_vecRecords) {
        vecOut.emplace_back(QV_MacText(stRec.aucMac.data()), stRec.uiAddress);
    }
    return vecOut;
}

int LEASEDB_Load(uint32_t uiStart, uint32_t uiCount)
{
    if (!g_file_test(kDbPath, G_FILE_TEST_EXISTS)) {
        LoadLog("No need to recover dhcp db data");
        return 0;
    }
    std::ifstream stIn(kDbPath, std::ios::binary);
    Json::Value stRoot;
    Json::CharReaderBuilder stBuilder;
    std::string strErrors;
    if (!stIn || !Json::parseFromStream(stBuilder, stIn, &stRoot, &strErrors) ||
        !stRoot.isObject() || !stRoot["startip"].isUInt() || !stRoot["ipnum"].isUInt()) {
        LoadLog("Failed to parse dhcp db %s %s", kDbPath, strErrors.c_str());
        return QV_ERR_FAILED;
    }
    uint64_t ulOldStart = stRoot["startip"].asUInt();
    uint64_t ulOldEnd = ulOldStart + stRoot["ipnum"].asUInt();
    uint64_t ulNewEnd = uint64_t(uiStart) + uiCount;
    // The ends are exclusive; an end of 2^32 prints as 0.0.0.0, as the 32-bit value would.
    const char *pcFormat = (ulOldStart < uiStart || ulNewEnd < ulOldEnd)
                               ? "IP range changed Last:[%s-%s) Now:[%s-%s), no need to recover"
                               : "IP range valid Last:[%s-%s) Now:[%s-%s), now recover dhcp db";
    LoadLog(pcFormat, QV_IpText(uint32_t(ulOldStart)).c_str(),
            QV_IpText(uint32_t(ulOldEnd)).c_str(), QV_IpText(uiStart).c_str(),
            QV_IpText(uint32_t(ulNewEnd)).c_str());
    if (ulOldStart < uiStart || ulNewEnd < ulOldEnd) {
        return 0;
    }
    const Json::Value &stList = stRoot["list"];
    if (!stList.isArray()) {
        return 0;
    }
    for (Json::ArrayIndex i = 0; i < stList.size(); ++i) {
        const Json::Value &stItem = stList[i];
        std::string strMac =
            stItem.isObject() && stItem["mac"].isString() ? stItem["mac"].asString() : "";
        std::string strIp =
            stItem.isObject() && stItem["ip"].isString() ? stItem["ip"].asString() : "";
        Mac aucMac;
        uint32_t uiIp = 0;
        // A damaged element is skipped; the others still come back.
        if (!ParseMacText(strMac.c_str(), &aucMac) || !QV_IpValid(strIp.c_str()) ||
            !QV_IpParse(strIp.c_str(), &uiIp)) {
            LoadLog("skip invalid dhcp db element %u MAC:%s IP:%s", i, strMac.c_str(),
                    strIp.c_str());
            continue;
        }
        LEASEDB_Put(aucMac.data(), uiIp);
        LoadLog("recover dhcp db MAC:%s IP:%s", strMac.c_str(), strIp.c_str());
    }
    return 0;
}

int LEASEDB_Save(uint32_t uiStart, uint32_t uiCount)
{
    Json::Value stRoot(Json::objectValue);
    stRoot["startip"] = Json::UInt(uiStart);
    stRoot["ipnum"] = Json::UInt(uiCount);
    Json::Value &stList = stRoot["list"] = Json::Value(Json::arrayValue);
    for (const auto &[strMac, uiIp] : LEASEDB_Snapshot()) {
        Json::Value stItem(Json::objectValue);
        stItem["mac"] = strMac;
        stItem["ip"] = QV_IpText(uiIp);
        stList.append(stItem);
    }
    std::string strText = Json::StyledWriter().write(stRoot);
    if (!QV_SaveFile(kDbPath, strText)) {
        LoadLog("Failed to save dhcp db %s: %s", kDbPath, g_strerror(errno));
        return QV_ERR_FAILED;
    }
    return 0;
}
