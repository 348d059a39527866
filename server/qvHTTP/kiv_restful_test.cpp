#include "kiv_restful.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <vector>

namespace {

Json::Value ParseJson(const std::string &strText)
{
    Json::Value jsValue;
    Json::Reader().parse(strText, jsValue);
    return jsValue;
}

std::vector<KIV_REST_KsNotify> g_vecNotified;
void Notified(const KIV_REST_KsNotify *pstNotify)
{
    g_vecNotified.push_back(*pstNotify);
}

}  // namespace

TEST(RestRequest, UrlFormVersionCommandAndParameters)
{
    struct Case {
        const char *pcText;
        bool bMatch;
        int iVersion;
        const char *pcCommand;
        std::map<std::string, std::string> mapParams;
    } astCases[] = {
        {"GET /rest/v1/pim_get_sysinfo HTTP/1.1\r\nHost: x\r\n\r\n",
         true,
         1,
         "pim_get_sysinfo",
         {}},
        {"POST /rest/v2/notify_pim_ks?mac=00-11-22-33-44-55&ip=10.0.0.5&mask=255.255.255.0"
         "&gw=10.0.0.1&bios=UEFI HTTP/1.1\r\n",
         true,
         2,
         "notify_pim_ks",
         {{"mac", "00-11-22-33-44-55"},
          {"ip", "10.0.0.5"},
          {"mask", "255.255.255.0"},
          {"gw", "10.0.0.1"},
          {"bios", "UEFI"}}},
        {"GET /rest/v9/x?a=1&a=2&empty=&=v&b= 7  HTTP/1.0\r\n",
         true,
         9,
         "x",
         {{"a", "2"}, {"b", "7"}}},
        {"junk before HEAD /rest/v3/cmd\r\n", true, 3, "cmd", {}},
        {"GET /rest/v0/pim_get_sysinfo HTTP/1.1\r\n", false, 0, "", {}},
        {"GET /rest/v10/pim_get_sysinfo HTTP/1.1\r\n", false, 0, "", {}},
        {"PUT /rest/v1/pim_get_sysinfo HTTP/1.1\r\n", false, 0, "", {}},
        {"GET /rest/v1/ HTTP/1.1\r\n", false, 0, "", {}},
        // Network bytes that are not UTF-8 are matched as bytes.
        {"GET /rest/v1/x\xff^\xfe HTTP/1.1\r\n", true, 1, "x\xff^\xfe", {}},
        {"GET /rest/v1/y?a=\xff^\xfe&\xc3\x28=1 HTTP/1.1\r\n",
         true,
         1,
         "y",
         {{"a", "\xff^\xfe"}, {"\xc3\x28", "1"}}},
        {"\xff^\xfe", false, 0, "", {}},
        // The URL form must lie before "HTTP/1".
        {"GET / HTTP/1.1\r\nX: GET /rest/v1/pim_get_sysinfo\r\n", false, 0, "", {}},
    };
    for (const Case &stCase : astCases) {
        SCOPED_TRACE(stCase.pcText);
        KIV_REST_Request stReq;
        ASSERT_EQ(KIV_REST_ParseRequest(stCase.pcText, &stReq), stCase.bMatch);
        if (stCase.bMatch) {
            EXPECT_EQ(stReq.iVersion, stCase.iVersion);
            EXPECT_EQ(stReq.strCommand, stCase.pcCommand);
            EXPECT_EQ(stReq.mapParams, stCase.mapParams);
        }
    }
}

TEST(RestAnswer, SysInfoStoppedAndRunning)
{
    KIV_REST_SysInfo stInfo;
    stInfo.strVersion = "1.2.3";
    KIV_REST_Publish(stInfo);
    KIV_REST_Request stReq;
    ASSERT_TRUE(KIV_REST_ParseRequest("GET /rest/v1/pim_get_sysinfo HTTP/1.1", &stReq));
    Json::Value jsStopped = ParseJson(KIV_REST_Answer(stReq));
    EXPECT_EQ(jsStopped.getMemberNames(), (std::vector<std::string>{"orv_running", "orv_version"}));
    EXPECT_FALSE(jsStopped["orv_running"].asBool());
    EXPECT_EQ(jsStopped["orv_version"].asString(), "1.2.3");

    stInfo.bRunning = true;
    stInfo.usHttpPort = 8810;
    stInfo.strOsName = "Debian 12";
    stInfo.bSupportUefi = true;
    stInfo.bIscsiUefi = true;
    KIV_REST_Publish(stInfo);
    struct Case {
        const char *pcRequest;
        bool bIscsi;
    } astCases[] = {
        {"GET /rest/v1/pim_get_sysinfo?bios=UEFI HTTP/1.1", true},
        {"GET /rest/v1/pim_get_sysinfo?bios=Legacy HTTP/1.1", false},
        {"GET /rest/v1/pim_get_sysinfo HTTP/1.1", false},
    };
    for (const Case &stCase : astCases) {
        SCOPED_TRACE(stCase.pcRequest);
        KIV_REST_Request stRun;
        ASSERT_TRUE(KIV_REST_ParseRequest(stCase.pcRequest, &stRun));
        std::string strJson = KIV_REST_Answer(stRun);
        Json::Value jsRunning = ParseJson(strJson);
        EXPECT_EQ(jsRunning.size(), 6u);
        EXPECT_EQ(jsRunning["orv_http_port"].asUInt(), 8810u);
        EXPECT_EQ(jsRunning["orv_img_path"].asString(), "ISO1");
        EXPECT_EQ(jsRunning["orv_os_name"].asString(), "Debian 12");
        EXPECT_EQ(jsRunning["orv_iscsi_deploy_support"].asBool(), stCase.bIscsi);
        // The styled writer: members in key order, one per line.
        EXPECT_LT(strJson.find("orv_http_port"), strJson.find("orv_version"));
    }
    KIV_REST_Publish(KIV_REST_SysInfo{});
}

TEST(RestAnswer, NotifyIsHandedOnAndUnknownCommandsGetNothing)
{
    KIV_REST_SetNotifyFunc(Notified);
    KIV_REST_Request stReq;
    ASSERT_TRUE(
        KIV_REST_ParseRequest("POST /rest/v2/notify_pim_ks?mac=00-11-22-33-44-5f&"
                              "ip=10.0.0.5&mask=255.255.255.0&gw=10.0.0.1&bios=UEFI HTTP/1.1",
                              &stReq));
    EXPECT_EQ(ParseJson(KIV_REST_Answer(stReq))["result"].asString(), "success");
    ASSERT_EQ(g_vecNotified.size(), 1u);
    const KIV_REST_KsNotify &stNote = g_vecNotified[0];
    EXPECT_EQ(stNote.uiAddress, 0x0A000005u);
    EXPECT_EQ(stNote.uiMask, 0xFFFFFF00u);
    EXPECT_EQ(stNote.uiGateway, 0x0A000001u);
    EXPECT_EQ(stNote.aucMac[0], 0x00);
    EXPECT_EQ(stNote.aucMac[5], 0x5f);
    EXPECT_EQ(stNote.uiUefi, 1u);
    // Bad values give zeroes, never garbage.
    ASSERT_TRUE(KIV_REST_ParseRequest("GET /rest/v1/notify_pim_ks?ip=10.0.0.300&mac=zz", &stReq));
    KIV_REST_Answer(stReq);
    ASSERT_EQ(g_vecNotified.size(), 2u);
    EXPECT_EQ(g_vecNotified[1].uiAddress, 0u);
    EXPECT_EQ(g_vecNotified[1].aucMac[0], 0u);
    KIV_REST_SetNotifyFunc(nullptr);

    ASSERT_TRUE(KIV_REST_ParseRequest("GET /rest/v1/format_disk HTTP/1.1", &stReq));
    EXPECT_EQ(KIV_REST_Answer(stReq), "");
}

TEST(RestAnswer, ReplyHead)
{
    std::string strReply = KIV_HTTP_ReplyOKJson("{}\n");
    EXPECT_EQ(strReply.rfind("HTTP/1.1 200 OK \r\nContent-Type: application/json\r\nDate: ", 0),
              0u);
    EXPECT_NE(strReply.find(" GMT\r\nConnection: Close\r\nContent-Length: 3\r\n\r\n{}\n"),
              std::string::npos);
}
