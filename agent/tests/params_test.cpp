#include <gtest/gtest.h>

#include "core/agent_params.h"
#include "core/firmware_tables.h"
#include "core/pxe_option.h"
#include "core/wget_args.h"
#include "temp_dir.h"

namespace ferrit {
namespace {

// The per-service copy as the plug-in writes it: styled JSON, then doubled backslashes undone.
const char kParameterFile[] = R"({
   "DEBUGMOD" : "YES",
   "DEBUGSTEP" : "STEP3",
   "DOMAIN" : "CORP",
   "HTTP_PORT" : "8810",
   "IMAGE_INDEX" : "4",
   "KIV_PXE_SHARE_PATH" : "\\10.0.0.1\D$\images\win10",
   "PASSWORD" : "636261",
   "SERVER_IP" : "10.0.0.1",
   "SERVER_MASK" : "255.255.255.0",
   "USERNAME" : "admin"
}
)";

TEST(AgentParameters, ReadsThePluginsNonStrictFileLiterally)
{
    test::TempDir dir;
    dir.Write("Ferrit.json", kParameterFile);
    AgentParameters p;
    ASSERT_EQ(ReadAgentParameters("Ferrit.json", p), 0);
    EXPECT_EQ(p.szSharePath, "\\\\10.0.0.1\\D$\\images\\win10");
    EXPECT_EQ(p.szDomain, "CORP");
    EXPECT_EQ(p.szUserName, "admin");
    EXPECT_EQ(p.szPassword, "abc");
    EXPECT_EQ(p.uiImageIndex, 4u);
    EXPECT_EQ(p.uiServerIp, 0x0A000001u);
    EXPECT_EQ(p.szServerMask, "255.255.255.0");
    EXPECT_EQ(p.usHttpPort, 8810);
    EXPECT_TRUE(IsYes(p.szDebugMod));
    EXPECT_EQ(p.szNoReboot, "");  // absent key
    // The log carries the values but never the password.
    std::string log = dir.Read("kiv_ferrit.log");
    EXPECT_NE(log.find("KIV_PXE_SHARE_PATH:\\\\10.0.0.1\\D$\\images\\win10"), std::string::npos)
        << log;
    EXPECT_EQ(log.find("PASSWORD:abc"), std::string::npos) << log;
}

TEST(AgentParameters, MissingFileAndOversizedValues)
{
    test::TempDir dir;
    AgentParameters p;
    EXPECT_EQ(ReadAgentParameters("Ferrit.json", p), 1);
    EXPECT_TRUE(p.szSharePath.empty());
    p = ParseAgentParameters("\"SERVER_MASK\" : \"" + std::string(100, '9') +
                             "\", \"HTTP_PORT\" : \"99999\", "
                             "\"SERVER_IP\" : \"300.1.1.1\"");
    EXPECT_EQ(p.szServerMask.size(), 31u);
    EXPECT_EQ(p.usHttpPort, 0);
    EXPECT_EQ(p.uiServerIp, 0u);
    EXPECT_FALSE(IsYes("yes"));
    EXPECT_FALSE(IsYes("YES "));
}

TEST(AgentParameters, ReversedHexDecoding)
{
    struct Case {
        const char *hex;
        const char *clear;
    } cases[] = {{"636261", "abc"}, {"", ""},          {"63626", ""},
                 {"4A", "J"},       {"217a7A", "zz!"}, {"6G", ""}};
    for (const auto &c : cases) EXPECT_EQ(DecodeReversedHex(c.hex), c.clear) << c.hex;
}

std::vector<std::uint8_t> Ack(std::vector<std::uint8_t> options)
{
    std::vector<std::uint8_t> ack(240, 0);
    ack[16] = 10, ack[17] = 0, ack[18] = 0, ack[19] = 42;
    const std::uint8_t mac[] = {0x52, 0x54, 0x00, 0xaa, 0xbb, 0xcc};
    std::copy(mac, mac + 6, ack.begin() + 28);
    ack[236] = 99, ack[237] = 130, ack[238] = 83, ack[239] = 99;
    ack.insert(ack.end(), options.begin(), options.end());
    return ack;
}

TEST(PxeOption, DhcpAckFromTheRegistry)
{
    test::TempDir dir;
    struct Case {
        std::vector<std::uint8_t> options;
        const char *mask;
        const char *gateway;
    } cases[] = {
        // router before mask, with pad bytes
        {{0, 3, 4, 10, 0, 0, 1, 0, 53, 1, 5, 1, 4, 255, 255, 255, 0, 255},
         "255.255.255.0",
         "10.0.0.1"},
        // no router option
        {{1, 4, 255, 255, 0, 0, 255}, "255.255.0.0", ""},
        // an option running past the value ends the walk
        {{1, 4, 255, 0, 0, 0, 3, 40, 1, 2}, "255.0.0.0", ""},
    };
    for (const auto &c : cases) {
        PxeOption o;
        ASSERT_EQ(ParseDhcpAck(Ack(c.options), o), 0);
        EXPECT_EQ(o.ip, "10.0.0.42");
        EXPECT_EQ(MacText(o.mac), "52-54-00-aa-bb-cc");
        EXPECT_EQ(o.mask, c.mask);
        EXPECT_EQ(o.gateway, c.gateway);
        EXPECT_TRUE(PxeOptionUsable(o));
    }
    PxeOption o;
    EXPECT_EQ(ParseDhcpAck(std::vector<std::uint8_t>(100, 0), o), -1);
    auto badCookie = Ack({});
    badCookie[236] = 0;
    ASSERT_EQ(ParseDhcpAck(badCookie, o), 0);
    EXPECT_FALSE(PxeOptionUsable(o));
}

TEST(PxeOption, WimParamRecord)
{
    test::TempDir dir;
    std::vector<std::uint8_t> record(100, 0);
    for (int i = 16; i < 20; ++i) record[i] = 0xFF;
    auto put = [&](int at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) record[at + i] = (v >> (8 * i)) & 255;
    };
    put(20, 0xC0A8010Au), put(24, 0xFFFFFF00u), put(28, 0xC0A80101u);
    const std::uint8_t mac[] = {1, 2, 3, 4, 5, 6};
    std::copy(mac, mac + 6, record.begin() + 32);
    dir.Write("wim_param.bin", std::string(record.begin(), record.end()));
    PxeOption o;
    ASSERT_EQ(ReadPxeOptionFromWimParam("wim_param.bin", o), 0);
    EXPECT_EQ(o.ip, "192.168.1.10");
    EXPECT_EQ(o.mask, "255.255.255.0");
    EXPECT_EQ(o.gateway, "192.168.1.1");
    EXPECT_EQ(MacText(o.mac), "01-02-03-04-05-06");
    EXPECT_TRUE(PxeOptionUsable(o));

    record[16] = 0, record[17] = 0, record[18] = 0, record[19] = 0;
    dir.Write("wim_param.bin", std::string(record.begin(), record.end()));
    PxeOption invalid;
    EXPECT_EQ(ReadPxeOptionFromWimParam("wim_param.bin", invalid), -1);
    EXPECT_FALSE(PxeOptionUsable(invalid));
    EXPECT_NE(dir.Read("kiv_ferrit.log").find("wim param is not valid, 0x0 "), std::string::npos);
    dir.Write("wim_param.bin", std::string(50, '\xFF'));  // short file
    EXPECT_EQ(ReadPxeOptionFromWimParam("wim_param.bin", invalid), -1);
    std::filesystem::remove(dir.path() / "wim_param.bin");
    EXPECT_EQ(ReadPxeOptionFromWimParam("wim_param.bin", invalid), -1);
    EXPECT_NE(dir.Read("kiv_ferrit.log").find("file wim_param.bin is not exist"),
              std::string::npos);
}

std::vector<std::uint8_t> Smbios(std::vector<std::uint8_t> structures)
{
    std::vector<std::uint8_t> raw = {0, 3, 0, 0};
    std::uint32_t n = static_cast<std::uint32_t>(structures.size());
    for (int i = 0; i < 4; ++i) raw.push_back((n >> (8 * i)) & 255);
    raw.insert(raw.end(), structures.begin(), structures.end());
    return raw;
}

TEST(MachineIdentity, SmbiosSystemInformation)
{
    // type 0 (BIOS) with one string, then type 1: vendor 1, product 2, serial 3 with a control
    // byte.
    std::vector<std::uint8_t> s = {0,   4,   0,   0,   'B', 'I', 'O', 'S', 0,   0,   1,
                                   8,   1,   0,   1,   2,   0,   3,   'A', 'c', 'm', 'e',
                                   ' ', 'C', 'o', 0,   'B', 'o', 'x', 0,   'S', 'N', '\x01',
                                   '9', 0,   0,   127, 4,   2,   0,   0,   0};
    MachineIdentity id;
    ASSERT_TRUE(ParseSmbiosIdentity(Smbios(s), id));
    EXPECT_EQ(id.szVendor, "Acme Co");
    EXPECT_EQ(id.szProduct, "Box");
    EXPECT_EQ(id.szSerial, "SN.9");
    // string number past the last string, and number 0
    std::vector<std::uint8_t> bad = {1, 8, 0, 0, 9, 0, 0, 1, 'X', 0, 0};
    ASSERT_TRUE(ParseSmbiosIdentity(Smbios(bad), id));
    EXPECT_EQ(id.szVendor, "BAD_INDEX");
    EXPECT_EQ(id.szProduct, "");
    EXPECT_EQ(id.szSerial, "X");
    auto wrongLength = Smbios(s);
    wrongLength.pop_back();
    EXPECT_FALSE(ParseSmbiosIdentity(wrongLength, id));
    EXPECT_FALSE(
        ParseSmbiosIdentity(Smbios({1, 8, 0, 0, 1, 2, 0, 3, 'A'}), id));  // strings never end
}

TEST(WgetArgs, CommandLines)
{
    struct Case {
        std::vector<std::string> args;
        bool ok;
        const char *url;
        const char *out;
        bool quiet;
    } cases[] = {
        {{"http://10.0.0.1:8810/kickstart/01-aa.first", "-O", "TmpFirstRun.bat"},
         true,
         "http://10.0.0.1:8810/kickstart/01-aa.first",
         "TmpFirstRun.bat",
         false},
        {{"-q", "-O", "x.bin", "http://h/a"}, true, "http://h/a", "x.bin", true},
        {{"http://h/dir/file.iso?x=1"}, true, "http://h/dir/file.iso?x=1", "file.iso", false},
        {{"http://h"}, true, "http://h", "index.html", false},
        {{"--output-document=o", "http://h/"}, true, "http://h/", "o", false},
        {{"http://h/a", "-O"}, false, "", "", false},
        {{"ftp://h/a"}, false, "", "", false},
        {{"--mirror", "http://h/a"}, false, "", "", false},
        {{}, false, "", "", false},
    };
    for (const auto &c : cases) {
        WgetArgs parsed;
        std::string error;
        ASSERT_EQ(ParseWgetArgs(c.args, parsed, error), c.ok) << (c.args.empty() ? "" : c.args[0]);
        if (!c.ok) {
            EXPECT_FALSE(error.empty());
            continue;
        }
        EXPECT_EQ(parsed.szUrl, c.url);
        EXPECT_EQ(parsed.szOutput, c.out);
        EXPECT_EQ(parsed.bQuiet, c.quiet);
    }
}

}  // namespace
}  // namespace ferrit
