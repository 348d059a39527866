#include <gtest/gtest.h>

#include "core/http_disk.h"
#include "core/install_run.h"
#include "fake_system.h"
#include "temp_dir.h"

namespace ferrit {
namespace {

TEST(HttpDiskUrl, Parsing)
{
    struct Case {
        const char *url;
        bool ok;
        const char *host;
        int port;
        const char *path;
    } cases[] = {
        {"http://10.0.0.1/ISO1/_RAWISO_.iso", true, "10.0.0.1", 80, "/ISO1/_RAWISO_.iso"},
        {"http://192.168.1.1:8810/ISO1/_RAWISO_.iso", true, "192.168.1.1", 8810,
         "/ISO1/_RAWISO_.iso"},
        {"https://10.0.0.1/x", false, "", 0, ""},
        {"10.0.0.1/x", false, "", 0, ""},
        {"http://10.0.0.1", false, "", 0, ""},
        {"http://10.0.0.1:99999/x", false, "", 0, ""},
        {"http://10.0.0.1:/x", false, "", 0, ""},
        {"http:///x", false, "", 0, ""},
    };
    for (const auto &c : cases) {
        HttpDiskUrl u;
        ASSERT_EQ(ParseHttpDiskUrl(c.url, u), c.ok) << c.url;
        if (!c.ok) continue;
        EXPECT_EQ(u.szHost, c.host);
        EXPECT_EQ(u.usPort, c.port);
        EXPECT_EQ(u.szPath, c.path);
    }
}

TEST(HttpDiskUrl, ConnectRecordBytes)
{
    HttpDiskUrl u{"192.168.1.1", 8810, "/ISO1/_RAWISO_.iso"};
    auto r = BuildConnectRecord(u, 'H');
    ASSERT_EQ(r.size(), u.szPath.size() + 272);
    EXPECT_EQ(ConnectRecordInputLength(u), u.szPath.size() + 271);
    const std::vector<std::uint8_t> head = {192, 168, 1, 1, 0x22, 0x6A, 'H', 0, 11, 0};
    EXPECT_EQ(std::vector<std::uint8_t>(r.begin(), r.begin() + 10), head);
    EXPECT_EQ(std::string(r.begin() + 10, r.begin() + 21), "192.168.1.1");
    EXPECT_EQ(r[21], 0);
    EXPECT_EQ(r[266], u.szPath.size());
    EXPECT_EQ(r[267], 0);
    EXPECT_EQ(std::string(r.begin() + 268, r.begin() + 268 + u.szPath.size()), u.szPath);
    EXPECT_EQ(r.back(), 0);
    EXPECT_TRUE(BuildConnectRecord({"server.lan", 80, "/x"}, 'H').empty());
}

TEST(SetupCommand, Variants)
{
    EXPECT_EQ(SetupCommand({true, false, false, 'X', "H:"}),
              "\\setup.exe /unattend:unattended.xml ");
    EXPECT_EQ(SetupCommand({true, true, false, 'X', "H:"}),
              "\\setup.exe /unattend:unattended.xml /noreboot");
    EXPECT_EQ(SetupCommand({false, true, false, 'X', "I:"}),
              "X:\\sources\\setup.exe /installfrom:I:\\sources\\install.wim "
              "/unattend:unattended.xml /noreboot");
    EXPECT_EQ(SetupCommand({true, false, true, 'X', "H:"}),
              "\\setup.exe " + std::string(24, ' ') + " ");
}

TEST(MountShare, AccountAndLetterOrder)
{
    test::TempDir dir;
    EXPECT_EQ(ShareAccount(".", "admin"), "admin");
    EXPECT_EQ(ShareAccount("CORP", "admin"), "CORP\\admin");
    EXPECT_EQ(ShareLetters(), "HIJKLMNOPQRSTUVWYZ");

    test::FakeSystem sys;
    AgentContext ctx(sys);
    ctx.params.szSharePath = "\\\\10.0.0.1\\D$\\win10";
    ctx.params.szDomain = "CORP";
    ctx.params.szUserName = "admin";
    ctx.params.szPassword = "pw";
    ASSERT_EQ(MountShare(ctx), 0);
    EXPECT_EQ(ctx.szSourceDrive, "H:");
    EXPECT_EQ(sys.log, std::vector<std::string>{"share H \\\\10.0.0.1\\D$\\win10 CORP\\admin pw"});

    sys.log.clear();
    sys.shareResult = 53;
    EXPECT_EQ(MountShare(ctx), 53);
    ASSERT_EQ(sys.log.size(), 36u);  // 18 letters by WNet, then 18 by "net use"
    EXPECT_EQ(sys.log[17].substr(0, 8), "share Z ");
    EXPECT_EQ(sys.log[18], "run cmd /c net use H: \\\\10.0.0.1\\D$\\win10  pw /user:CORP\\admin");
    EXPECT_EQ(dir.Read("kiv_ferrit.log").find(" pw "),
              std::string::npos);  // password kept out of the log
}

TEST(MountHttpDisk, FirstFreeLetterAndRecord)
{
    test::TempDir dir;
    dir.Write("unattended.xml", "<!-- HTTPDISKURL=http://10.0.0.1/ISO1/_RAWISO_.iso -->\n");
    test::FakeSystem sys;
    sys.drives = (1u << 2) | (1u << 7) | (1u << 23);  // C:, H:, X:
    AgentContext ctx(sys);
    ASSERT_EQ(MountHttpDisk(ctx), 0);
    EXPECT_EQ(ctx.szSourceDrive, "I:");
    EXPECT_EQ(sys.log, (std::vector<std::string>{"httpdisk-driver", "httpdisk I"}));
    EXPECT_EQ(sys.httpDiskRecord, BuildConnectRecord({"10.0.0.1", 80, "/ISO1/_RAWISO_.iso"}, 'I'));

    sys.drives = 0xFFFFFFFFu;
    EXPECT_NE(MountHttpDisk(ctx), 0);
    dir.Write("unattended.xml", "<!-- no url -->\n");
    sys.drives = 0;
    EXPECT_NE(MountHttpDisk(ctx), 0);
    std::string log = dir.Read("kiv_ferrit.log");
    EXPECT_NE(log.find("No free driver letter left, too many disks??"), std::string::npos);
    EXPECT_NE(log.find("Failed to parse URL from unattended file"), std::string::npos);
}

TEST(WinPeDrivers, SubdirectoriesOnlyAndBypassMarker)
{
    test::TempDir dir;
    dir.Write("X/$WinPEDriver$/net/e1000.inf", "");
    dir.Write("X/$WinPEDriver$/net/readme.txt", "");
    dir.Write("X/$WinPEDriver$/net/deeper/nested.inf", "");
    dir.Write("X/$WinPEDriver$/skip/storage.inf", "");
    dir.Write("X/$WinPEDriver$/skip/kivpxe_driver_notuse", "");
    dir.Write("X/$WinPEDriver$/.hidden/h.inf", "");
    dir.Write("X/$WinPEDriver$/raid/bad.INF", "");
    dir.Write("X/$WinPEDriver$/root.inf", "");
    test::FakeSystem sys;
    // The driver root sits on the current directory's drive (its first three characters): here
    // the test's own "X/" folder.
    sys.currentDirectory = "X//Windows";
    AgentContext ctx(sys);
    int installed = -1;
    ASSERT_EQ(InstallWinPeDrivers(ctx, installed), 0);
    EXPECT_EQ(installed, 1);
    EXPECT_EQ(sys.log, (std::vector<std::string>{"inf X//$WinPEDriver$/net/e1000.inf",
                                                 "inf X//$WinPEDriver$/raid/bad.INF"}));
    EXPECT_NE(dir.Read("kiv_ferrit.log").find("bypass"), std::string::npos);
    sys.currentDirectory = "Q:\\Windows";
    EXPECT_EQ(InstallWinPeDrivers(ctx, installed), 1);
}

}  // namespace
}  // namespace ferrit
