#include "msg_table.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <string>

namespace {

struct Entry {
    int iNumber;
    const char *pcText;
};

TEST(MsgTable, EnglishTextsThatAreEasyToGetWrong)
{
    const Entry astCases[] = {
        {0, "OK"},
        {5, "        OS"},
        {23, "Please run ORV under correct directory!"},
        {40, "Extral Boot Option"},
        {55, "Filt Mode"},
        {65,
         "On this mode,\r\nall the request will be denied if the mac address list is empty!! OK?"},
        {80, "   ISO File"},
        {82, "Status: "},
        {92, "L  (Write to file after log cache accumulate to this number)"},
        {113, "Please input correct disk!\r\n /dev/sda or by size  200GB"},
        {114, "Install Finished"},
        {116, "Installing OS ..."},
        {132, "This OS need NFS service, please set the configuration in \"Option\"--\"NFS "
              "Configuration\""},
        {140, "Start Time "},
        {141, "Total Time  "},
        {145, " Warning: the os does not match the client in architecture (X86 ARM ...)"},
        {147, "1. Come here when you see \"Cannot read the ProductKey\" ...  during installation"},
        {156, "Auto Start"},
    };
    for (const Entry &stCase : astCases) {
        EXPECT_STREQ(MSG_TextIn(stCase.iNumber, false), stCase.pcText) << stCase.iNumber;
    }
}

TEST(MsgTable, ChineseTextsTheLogicDependsOn)
{
    const Entry astCases[] = {
        {0, "确定"},
        {1, "取消"},
        {2, "失败"},
        {23, "请在正确的目录下运行本程序！"},
        {32, "选项"},
        {33, "插件"},
        {34, "日志"},
        {35, "语言"},
        {36, "帮助"},
        {38, "过滤ZEL虚拟机"},
        {114, "安装完成"},
        {115, "完成安装"},
        {116, "正在安装系统 ..."},
        {117, "正在重启以完成安装 ..."},
        {118, "下载文件"},
        {119, "正在下载文件"},
        {120, "下载文件失败"},
        {121, "下载文件完成"},
        {122, "正在请求IP地址"},
        {125, "镜像源不存在,请确认!"},
        {126, "分配IP不可以和本机IP地址冲突，请确认！"},
        {127, "本机中没有对应网段的IP地址，请确认！"},
        {128, "端口被占用"},
        {129, "启动失败"},
        {130, "当前不支持此种OS的安装"},
        {131, "当前选择的启动文件不支持Windows的安装\r\n请选择其他启动文件"},
        {144, "用时"},
        {145, " 警告: 此操作系统和此客户端设备的CPU体系结构不匹配(X86 ARM...)"},
    };
    for (const Entry &stCase : astCases) {
        EXPECT_STREQ(MSG_TextIn(stCase.iNumber, true), stCase.pcText) << stCase.iNumber;
    }
}

TEST(MsgTable, EveryEntryHasBothLanguages)
{
    for (int i = 0; i < MSG_COUNT; ++i) {
        std::string strEnglish = MSG_TextIn(i, false);
        std::string strChinese = MSG_TextIn(i, true);
        EXPECT_FALSE(strEnglish.empty()) << i;
        EXPECT_TRUE(g_utf8_validate(strChinese.c_str(), -1, nullptr)) << i;
        // A translated entry carries at least one Chinese character.
        bool bHasWide = false;
        for (unsigned char ucByte : strChinese) {
            bHasWide = bHasWide || ucByte >= 0x80;
        }
        EXPECT_TRUE(bHasWide) << i << ": " << strChinese;
    }
}

TEST(MsgTable, TextFollowsTheLanguageFlag)
{
    MSG_SetChinese(true);
    EXPECT_TRUE(MSG_IsChinese());
    EXPECT_STREQ(MSG_Text(129), "启动失败");
    EXPECT_STREQ(MSG_Choose("中", "en"), "中");
    MSG_SetChinese(false);
    EXPECT_FALSE(MSG_IsChinese());
    EXPECT_STREQ(MSG_Text(129), "startup failed");
    EXPECT_STREQ(MSG_Choose("中", "en"), "en");
}

}  // namespace
