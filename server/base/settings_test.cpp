#include "settings.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <functional>
#include <set>

#include "log.h"
#include "msg_table.h"
#include "test_support.h"

namespace {

using Field = std::function<std::string(const ServerSettings &)>;

template <typename T>
Field Num(T ServerSettings::*pMember)
{
    return [pMember](const ServerSettings &stSet) { return std::to_string(stSet.*pMember); };
}

Field Str(std::string ServerSettings::*pMember)
{
    return [pMember](const ServerSettings &stSet) { return stSet.*pMember; };
}

Field Dns()
{
    return [](const ServerSettings &stSet) {
        std::string strOut;
        for (const std::string &strAddr : stSet.vecDhcpDns) {
            strOut += (strOut.empty() ? "" : ",") + strAddr;
        }
        return strOut;
    };
}

Json::Value ParseJson(const std::string &strText)
{
    Json::Value stRoot;
    std::istringstream stIn(strText);
    Json::CharReaderBuilder stBuilder;
    EXPECT_TRUE(Json::parseFromStream(stBuilder, stIn, &stRoot, nullptr)) << strText;
    return stRoot;
}

class SettingsTest : public testing::Test {
protected:
    void SetUp() override
    {
        LOG_SetFile(m_stDir / "test.log");
        LOG_SetCacheCount(1);
        LOG_SetLevel(2);
    }
    // Loads a fresh settings record from a file holding strJson (nullptr: no file).
    ServerSettings Load(const char *pcJson, bool *pbRead = nullptr)
    {
        ServerSettings stSet;
        std::string strPath = m_stDir / "orv.json";
        std::filesystem::remove(strPath);
        if (pcJson != nullptr) {
            WriteFile(strPath, pcJson);
        }
        bool bRead = LoadSettingsFile(strPath, stSet);
        if (pbRead != nullptr) {
            *pbRead = bRead;
        }
        return stSet;
    }
    TempDir m_stDir;
};

TEST_F(SettingsTest, LoadRules)
{
    struct Case {
        const char *pcName;
        const char *pcJson;  // nullptr: no settings file at all
        Field fnField;
        std::string strWanted;
    };
    const std::string strLongDomain = R"({"dhcp_domain":")" + std::string(254, 'a') + R"("})";
    const Case astCases[] = {
        {"followhost built-in", nullptr, Num(&ServerSettings::uiDhcpFollowHost), "1"},
        {"followhost absent", "{}", Num(&ServerSettings::uiDhcpFollowHost), "0"},
        {"IPNum absent", "{}", Num(&ServerSettings::uiIPNum), "20"},
        {"IPNum not range-checked", R"({"IPNum":1000})", Num(&ServerSettings::uiIPNum), "1000"},
        {"mask zero", R"({"dhcp_mask":0})", Num(&ServerSettings::uiDhcpMask), "4294967040"},
        {"mask kept", R"({"dhcp_mask":4294901760})", Num(&ServerSettings::uiDhcpMask),
         "4294901760"},
        {"tftp timeout zero", R"({"tftp_timeout":0})", Num(&ServerSettings::uiTftpTimeout), "1"},
        {"tftp retrans zero", R"({"tftp_maxretrans":0})", Num(&ServerSettings::uiTftpMaxRetrans),
         "5"},
        {"tftp timeout in range", R"({"tftp_timeout":100})", Num(&ServerSettings::uiTftpTimeout),
         "100"},
        {"tftp timeout above range", R"({"tftp_timeout":101})", Num(&ServerSettings::uiTftpTimeout),
         "100"},
        {"tftp timeout wraps 16 bits", R"({"tftp_timeout":65536})",
         Num(&ServerSettings::uiTftpTimeout), "100"},
        {"tftp retrans wraps 16 bits", R"({"tftp_maxretrans":65536})",
         Num(&ServerSettings::uiTftpMaxRetrans), "100"},
        {"tftp retrans huge", R"({"tftp_maxretrans":4294967295})",
         Num(&ServerSettings::uiTftpMaxRetrans), "100"},
        {"http port zero", R"({"http_port":0})", Num(&ServerSettings::usHttpPort), "8810"},
        {"http port kept", R"({"http_port":8080})", Num(&ServerSettings::usHttpPort), "8080"},
        {"http port too big", R"({"http_port":70000})", Num(&ServerSettings::usHttpPort), "8810"},
        {"disk mode absent", "{}", Num(&ServerSettings::uiHttpDiskMode), "0"},
        {"disk mode share", R"({"http_disk_mode":0})", Num(&ServerSettings::uiHttpDiskMode), "0"},
        {"disk mode http", R"({"http_disk_mode":1})", Num(&ServerSettings::uiHttpDiskMode), "1"},
        {"disk mode other", R"({"http_disk_mode":7})", Num(&ServerSettings::uiHttpDiskMode), "1"},
        {"ImgISO absent", "{}", Num(&ServerSettings::uiImgISO), "1"},
        {"xxx1 absent", "{}", Num(&ServerSettings::uiDhcpXxx1), "1"},
        {"deny absent", "{}", Num(&ServerSettings::uiMacFltDeny), "1"},
        {"only pxe signed", R"({"dhcp_only_pxe":-3})", Num(&ServerSettings::iDhcpOnlyPxe), "-3"},
        {"IPAddr dotted", R"({"IPAddr":3232235876})", Str(&ServerSettings::strIPAddr),
         "192.168.1.100"},
        {"IPAddr zero", R"({"IPAddr":0})", Str(&ServerSettings::strIPAddr), ""},
        {"ImgPath hex", R"({"ImgPath":"433A5C6F732E69736F"})", Str(&ServerSettings::strImgPath),
         "C:\\os.iso"},
        {"ImgPath lower hex", R"({"ImgPath":"433a5c6f732e69736f"})",
         Str(&ServerSettings::strImgPath), "C:\\os.iso"},
        {"ImgPath null", R"({"ImgPath":"null"})", Str(&ServerSettings::strImgPath), ""},
        {"ImgPath bad hex", R"({"ImgPath":"43G1"})", Str(&ServerSettings::strImgPath), ""},
        {"winkey as typed", R"({"winkey":"AAAAA-BBBBB"})", Str(&ServerSettings::strWinkey),
         "AAAAA-BBBBB"},
        // Wrongly typed keys count as absent.
        {"IPNum as text", R"({"IPNum":"30"})", Num(&ServerSettings::uiIPNum), "20"},
        {"IPNum negative", R"({"IPNum":-5})", Num(&ServerSettings::uiIPNum), "20"},
        {"followhost as bool", R"({"dhcp_followhost":true})",
         Num(&ServerSettings::uiDhcpFollowHost), "0"},
        {"http port as text", R"({"http_port":"80"})", Num(&ServerSettings::usHttpPort), "8810"},
        {"IPAddr as text", R"({"IPAddr":"192.168.1.1"})", Str(&ServerSettings::strIPAddr), ""},
        {"ImgPath as number", R"({"ImgPath":7})", Str(&ServerSettings::strImgPath), ""},
        {"winkey as number", R"({"winkey":5})", Str(&ServerSettings::strWinkey), ""},
        {"name servers absent", "{}", Dns(), ""},
        {"proxy absent", "{}", Num(&ServerSettings::uiDhcpProxy), "0"},
        {"name servers", R"({"dhcp_dns":["10.0.0.1","10.0.0.2"]})", Dns(), "10.0.0.1,10.0.0.2"},
        {"name servers: bad entries and a fourth dropped",
         R"({"dhcp_dns":["10.0.0.1","x","0.0.0.0",7,"10.0.0.2","10.0.0.3","10.0.0.4"]})", Dns(),
         "10.0.0.1,10.0.0.2,10.0.0.3"},
        {"domain absent", "{}", Str(&ServerSettings::strDhcpDomain), ""},
        {"domain", R"({"dhcp_domain":"lab.example"})", Str(&ServerSettings::strDhcpDomain),
         "lab.example"},
        {"domain with a blank dropped", R"({"dhcp_domain":"lab example"})",
         Str(&ServerSettings::strDhcpDomain), ""},
        {"domain too long dropped", strLongDomain.c_str(), Str(&ServerSettings::strDhcpDomain), ""},
    };
    for (const Case &stCase : astCases) {
        EXPECT_EQ(stCase.fnField(Load(stCase.pcJson)), stCase.strWanted) << stCase.pcName;
    }
}

TEST_F(SettingsTest, BrokenFilesChangeNothing)
{
    const char *apcBroken[] = {"{ \"IPNum\": 5", "[1, 2]", "\"text\"", "", "\xff\xfe"};
    for (const char *pcJson : apcBroken) {
        bool bRead = true;
        ServerSettings stSet = Load(pcJson, &bRead);
        EXPECT_FALSE(bRead) << pcJson;
        EXPECT_EQ(stSet.uiDhcpFollowHost, 1U) << pcJson;
        EXPECT_EQ(stSet.uiIPNum, 20U) << pcJson;
    }
    bool bRead = true;
    Load(nullptr, &bRead);
    EXPECT_FALSE(bRead);
}

TEST_F(SettingsTest, WronglyTypedKeysLeaveTheOthersAlone)
{
    bool bRead = false;
    ServerSettings stSet = Load(R"({"IPNum":"x","http_port":{},"history_path_list":"z",
        "mac_flt_list":[1,"00-11-22-*",null],"ext_boot_opt_list":{"os_name":"a"},
        "IPAddr":167772161,"tftp_timeout":9,"Chinese":"yes"})",
                                &bRead);
    EXPECT_TRUE(bRead);
    EXPECT_EQ(stSet.uiIPNum, 20U);
    EXPECT_EQ(stSet.usHttpPort, 8810);
    EXPECT_TRUE(stSet.vecHistoryPath.empty());
    EXPECT_EQ(stSet.vecMacFltList, std::vector<std::string>({"00-11-22-*"}));
    EXPECT_EQ(stSet.strIPAddr, "10.0.0.1");
    EXPECT_EQ(stSet.uiTftpTimeout, 9U);
}

TEST_F(SettingsTest, ChineseKey)
{
    struct Case {
        const char *pcJson;
        bool bStartChinese;
        bool bWanted;
    };
    const Case astCases[] = {
        {R"({"Chinese":255})", true, true},
        {R"({"Chinese":255})", false, false},
        {"{}", true, true},
        {"{}", false, false},
        {R"({"Chinese":0})", true, false},
        {R"({"Chinese":1})", false, true},
        {R"({"Chinese":7})", false, true},
        {R"({"Chinese":"0"})", true, true},
    };
    for (const Case &stCase : astCases) {
        MSG_SetChinese(stCase.bStartChinese);
        Load(stCase.pcJson);
        EXPECT_EQ(MSG_IsChinese(), stCase.bWanted)
            << stCase.pcJson << " from " << stCase.bStartChinese;
    }
    MSG_SetChinese(false);
}

TEST_F(SettingsTest, HistoryDropsVanishedPaths)
{
    std::filesystem::create_directory(m_stDir / "tree");
    WriteFile(m_stDir / "a.iso", "x");
    std::string strJson = "{\"history_path_list\":[\"" + HexEncodePath(m_stDir / "a.iso") +
                          "\",\"" + HexEncodePath(m_stDir / "gone.iso") + "\",\"" +
                          HexEncodePath(m_stDir / "tree") + "\"]}";
    ServerSettings stSet = Load(strJson.c_str());
    EXPECT_EQ(stSet.vecHistoryPath,
              std::vector<std::string>({m_stDir / "a.iso", m_stDir / "tree"}));
    EXPECT_NE(ReadFile(m_stDir / "test.log")
                  .find("[PXEDLG] Path " + (m_stDir / "gone.iso") + " not exist \n"),
              std::string::npos);
}

TEST_F(SettingsTest, MacListReplacesTheListHeld)
{
    ServerSettings stSet;
    stSet.vecMacFltList = {"aa-bb-cc-dd-ee-ff"};
    WriteFile(m_stDir / "orv.json", R"({"mac_flt_list":["00-11-22-33-44-55","01-*"]})");
    ASSERT_TRUE(LoadSettingsFile(m_stDir / "orv.json", stSet));
    EXPECT_EQ(stSet.vecMacFltList, std::vector<std::string>({"00-11-22-33-44-55", "01-*"}));
}

TEST(ExtBootOptions, BuiltFromPluginDescriptions)
{
    std::vector<PluginDescription> vecPlugins = {
        {"PLUG_HERON.so",
         "Generic OS plug-in\r\n-- Ubuntu 22.04\r\n-- CentOS 7\n-- Future Version ESXi 9\r\n-- "
         "Debian 12"},
        {"plug_osprey.so", "-- Windows 10\r\n"},
        {"PLUG_OTHER.so", "-- Alpine\n-- \n"},
    };
    std::vector<std::string> vecNames;
    for (const ExtBootOption &stOpt : BuildExtBootOptions(vecPlugins)) {
        vecNames.push_back(stOpt.strOsName);
        EXPECT_FALSE(stOpt.bEnabled);
        EXPECT_TRUE(stOpt.strLegacyOpt.empty() && stOpt.strUefiOpt.empty());
    }
    EXPECT_EQ(vecNames,
              std::vector<std::string>({"Alpine", "CentOS 7", "Debian 12", "Ubuntu 22.04"}));
    EXPECT_TRUE(BuildExtBootOptions({}).empty());
}

TEST_F(SettingsTest, ExtBootOptionsMatchRecordsByName)
{
    ServerSettings stSet;
    stSet.vecExtBootOpt =
        BuildExtBootOptions({{"PLUG_HERON.so", "-- CentOS 7\n-- Ubuntu 22.04\n"}});
    WriteFile(m_stDir / "orv.json", R"({"ext_boot_opt_list":[
        {"os_name":"Ubuntu 22.04","enable_ext_boot_opt":true,"legacy_ext_boot_opt":"quiet","uefi_ext_boot_opt":"splash"},
        {"os_name":"Unknown OS","enable_ext_boot_opt":true,"legacy_ext_boot_opt":"x","uefi_ext_boot_opt":"y"},
        {"os_name":"centos 7","enable_ext_boot_opt":true}, 5]})");
    ASSERT_TRUE(LoadSettingsFile(m_stDir / "orv.json", stSet));
    ASSERT_EQ(stSet.vecExtBootOpt.size(), 2U);
    EXPECT_EQ(stSet.vecExtBootOpt[0].strOsName, "CentOS 7");
    EXPECT_FALSE(stSet.vecExtBootOpt[0].bEnabled);
    EXPECT_TRUE(stSet.vecExtBootOpt[1].bEnabled);
    EXPECT_EQ(stSet.vecExtBootOpt[1].strLegacyOpt, "quiet");
    EXPECT_EQ(stSet.vecExtBootOpt[1].strUefiOpt, "splash");
}

TEST(NameServerText, ParseAndDomainRules)
{
    const std::pair<const char *, const char *> astDns[] = {
        {"", ""},
        {"10.0.0.1", "10.0.0.1"},
        {" 10.0.0.1 , 10.0.0.2,10.0.0.3 ", "10.0.0.1,10.0.0.2,10.0.0.3"},
        {"10.0.0.1,10.0.0.2,10.0.0.3,10.0.0.4", nullptr},
        {"10.0.0.1,,10.0.0.2", nullptr},
        {"10.0.0.256", nullptr},
        {"0.0.0.0", nullptr},
        {"auto", nullptr},
    };
    for (const auto &[pcText, pcWanted] : astDns) {
        std::vector<std::string> vecOut = {"unchanged"};
        EXPECT_EQ(ParseDnsList(pcText, &vecOut), pcWanted != nullptr) << pcText;
        ServerSettings stSet;
        stSet.vecDhcpDns = vecOut;
        EXPECT_EQ(Dns()(stSet), pcWanted != nullptr ? pcWanted : "unchanged") << pcText;
    }
    const std::pair<std::string, bool> astDomains[] = {
        {"", true},
        {"lab.example", true},
        {"a-b.c9", true},
        {std::string(63, 'a') + ".b", true},
        {std::string(64, 'a') + ".b", false},
        {"lab..example", false},
        {".lab", false},
        {"lab_x", false},
        {"lab;rm", false},
        {std::string(253, 'a')
             .replace(60, 1, ".")
             .replace(120, 1, ".")
             .replace(180, 1, ".")
             .replace(240, 1, "."),
         true},
        {std::string(254, 'a'), false},
    };
    for (const auto &[strName, bValid] : astDomains) {
        EXPECT_EQ(DomainNameValid(strName), bValid) << strName;
    }
}

TEST(HexPath, Codec)
{
    EXPECT_EQ(HexEncodePath("C:\\os.iso"), "433A5C6F732E69736F");
    EXPECT_EQ(HexEncodePath("/srv/中"), "2F7372762FE4B8AD");
    EXPECT_EQ(HexEncodePath(""), "");
    struct Case {
        const char *pcHex;
        bool bValid;
        const char *pcPath;
    };
    const Case astCases[] = {
        {"433A", true, "C:"}, {"2f7372762Fe4b8ad", true, "/srv/中"},
        {"433", false, ""},   {"4G", false, ""},
        {"0041", false, ""},  {"", true, ""},
    };
    for (const Case &stCase : astCases) {
        std::string strPath = "unchanged";
        EXPECT_EQ(HexDecodePath(stCase.pcHex, &strPath), stCase.bValid) << stCase.pcHex;
        EXPECT_EQ(strPath, stCase.bValid ? stCase.pcPath : "unchanged") << stCase.pcHex;
    }
}

const std::set<std::string> g_setAllKeys = {
    "IPAddr",           "IPNum",         "ImgPath",        "history_path_list",
    "ImgISO",           "AutoStart",     "Chinese",        "winkey_enable",
    "winkey",           "auto_install",  "dhcp_mask",      "dhcp_gateway",
    "dhcp_followhost",  "dhcp_xxx1",     "tftp_timeout",   "tftp_maxretrans",
    "tftp_singlemode",  "http_port",     "http_disk_mode", "mac_flt_deny",
    "mac_flt_list",     "nfs_share_url", "dhcp_only_pxe",  "zel_vm_filter",
    "ext_boot_opt_list", "dhcp_dns",      "dhcp_domain",    "dhcp_proxy",
    "dhcp_relay",       "root_password", "ipv6_ra"};

TEST_F(SettingsTest, SaveOmitsEmptyStartAddressAndSource)
{
    ServerSettings stSet;
    ASSERT_TRUE(SaveSettingsFile(m_stDir / "conf/orv.json", stSet));
    Json::Value stRoot = ParseJson(ReadFile(m_stDir / "conf/orv.json"));
    std::set<std::string> setWanted = g_setAllKeys;
    setWanted.erase("IPAddr");
    setWanted.erase("ImgPath");
    std::vector<std::string> vecNames = stRoot.getMemberNames();
    EXPECT_EQ(std::set<std::string>(vecNames.begin(), vecNames.end()), setWanted);
    // Nothing is left beside the file.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_stDir / "conf"),
                            std::filesystem::directory_iterator()),
              1);
}

TEST_F(SettingsTest, RoundTripKeepsEveryValueAndType)
{
    // Every key with a value other than its default, in the types the file is written with.
    std::string strSource = m_stDir / "os.iso";
    WriteFile(strSource, "x");
    std::string strHex = HexEncodePath(strSource);
    std::string strJson = R"({"IPAddr":3232235876,"IPNum":50,"ImgPath":")" + strHex +
                          R"(","history_path_list":[")" + strHex + R"("],"ImgISO":0,"AutoStart":1,
        "Chinese":1,"winkey_enable":1,"winkey":"K","auto_install":0,"dhcp_mask":4294901760,
        "dhcp_gateway":167838209,"dhcp_followhost":0,"dhcp_xxx1":0,"tftp_timeout":3,
        "tftp_maxretrans":9,"tftp_singlemode":1,"http_port":8080,"http_disk_mode":1,
        "mac_flt_deny":0,"mac_flt_list":["00-11-22-33-44-55","01-*"],"nfs_share_url":"10.0.0.1:/srv","root_password":"pw",
        "dhcp_only_pxe":1,"zel_vm_filter":-2,"ext_boot_opt_list":[{"os_name":"CentOS 7",
        "enable_ext_boot_opt":true,"legacy_ext_boot_opt":"a=1","uefi_ext_boot_opt":"b=2"}],
        "dhcp_dns":["10.0.0.53","10.0.0.54"],"dhcp_domain":"lab.example","dhcp_proxy":1,"dhcp_relay":1,"ipv6_ra":1})";
    Json::Value stWritten = ParseJson(strJson);
    std::vector<std::string> vecNames = stWritten.getMemberNames();
    ASSERT_EQ(std::set<std::string>(vecNames.begin(), vecNames.end()), g_setAllKeys);
    WriteFile(m_stDir / "first.json", strJson);

    MSG_SetChinese(false);
    ServerSettings stSet;
    stSet.vecExtBootOpt = BuildExtBootOptions({{"PLUG_HERON.so", "-- CentOS 7\n"}});
    ASSERT_TRUE(LoadSettingsFile(m_stDir / "first.json", stSet));
    EXPECT_TRUE(MSG_IsChinese());
    EXPECT_EQ(stSet.strIPAddr, "192.168.1.100");
    EXPECT_EQ(stSet.strImgPath, strSource);
    EXPECT_EQ(stSet.iZelVmFilter, -2);
    ASSERT_TRUE(SaveSettingsFile(m_stDir / "second.json", stSet));
    std::string strSaved = ReadFile(m_stDir / "second.json");
    EXPECT_EQ(strSaved.back(), '\n');
    Json::Value stSaved = ParseJson(strSaved);
    EXPECT_EQ(stSaved, stWritten) << strSaved;
    EXPECT_TRUE(stSaved["zel_vm_filter"].isInt() &&
                stSaved["ext_boot_opt_list"][0]["enable_ext_boot_opt"].isBool());
    MSG_SetChinese(false);
}

TEST_F(SettingsTest, FailedSaveKeepsTheOldFile)
{
    // The target is a directory, so the final rename fails.
    std::filesystem::create_directories(m_stDir / "conf/orv.json");
    EXPECT_FALSE(SaveSettingsFile(m_stDir / "conf/orv.json", ServerSettings{}));
    EXPECT_TRUE(std::filesystem::is_directory(m_stDir / "conf/orv.json"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_stDir / "conf"),
                            std::filesystem::directory_iterator()),
              1);
}

}  // namespace

// Keys a layer above owns load into and save from its storage, with the same rules as the
// table's own keys. It comes last: a registration lasts for the process.
TEST_F(SettingsTest, RegisteredKeysLoadIntoAndSaveFromTheirOwnersStorage)
{
    static uint32_t uiOwned = 2;
    static int32_t iOwned = 0;
    static std::string strOwned = "built-in", strKept = "chosen";
    RegisterSettingsKeys({{{"t_uint", &uiOwned, 3, 3}},
                          {{"t_int", &iOwned, 7}},
                          {{"t_text", &strOwned, "absent"}, {"t_kept", &strKept, nullptr}}});
    struct Case {
        const char *pcJson;  // nullptr: no file
        uint32_t uiWanted;
        int32_t iWanted;
        const char *pcText, *pcKept;
    };
    const Case astCases[] = {
        {nullptr, 2, 0, "built-in", "chosen"},
        {"{}", 3, 7, "absent", "chosen"},
        {R"({"t_uint":0,"t_int":-4,"t_text":"x","t_kept":"y"})", 3, -4, "x", "y"},
        {R"({"t_uint":9,"t_int":"1","t_text":[],"t_kept":"null"})", 9, 7, "absent", "y"},
    };
    for (const Case &stCase : astCases) {
        Load(stCase.pcJson);
        EXPECT_EQ(uiOwned, stCase.uiWanted) << stCase.pcJson;
        EXPECT_EQ(iOwned, stCase.iWanted) << stCase.pcJson;
        EXPECT_EQ(strOwned, stCase.pcText) << stCase.pcJson;
        EXPECT_EQ(strKept, stCase.pcKept) << stCase.pcJson;
    }
    ASSERT_TRUE(SaveSettingsFile(m_stDir / "owned.json", ServerSettings{}));
    Json::Value stSaved = ParseJson(ReadFile(m_stDir / "owned.json"));
    EXPECT_EQ(stSaved["t_uint"].toStyledString(), "9\n");
    EXPECT_EQ(stSaved["t_int"].toStyledString(), "7\n");
    EXPECT_EQ(stSaved["t_text"].asString(), "absent");
    EXPECT_EQ(stSaved["t_kept"].asString(), "y");
}
