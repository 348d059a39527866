// The whole step routine against a loopback HTTP peer that records the request lines it gets.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <sys/wait.h>
#include <unistd.h>

#include "core/steps.h"
#include "core/text_util.h"
#include "fake_system.h"
#include "temp_dir.h"

namespace ferrit {
namespace {

class HttpPeer {
public:
    explicit HttpPeer(const std::filesystem::path &dir) : m_log((dir / "requests.log").string())
    {
        std::filesystem::create_directories(dir / "www");
        int out[2];
        if (::pipe(out) != 0) return;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(out[1], 1);
            std::string script = std::string(KIV_SOURCE_DIR) + "/agent/tests/http_peer.py";
            std::string root = (dir / "www").string();
            ::execlp("timeout", "timeout", "120", "python3", script.c_str(), root.c_str(),
                     m_log.c_str(), nullptr);
            ::_exit(127);
        }
        ::close(out[1]);
        char text[16] = {};
        ssize_t n = ::read(out[0], text, sizeof text - 1);
        ::close(out[0]);
        m_port = n > 0 ? static_cast<std::uint16_t>(std::atoi(text)) : 0;
    }
    ~HttpPeer()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    std::uint16_t port() const { return m_port; }
    std::vector<std::string> Requests() const
    {
        return ReadLines(m_log).value_or(std::vector<std::string>{});
    }

private:
    std::string m_log;
    pid_t m_pid = -1;
    std::uint16_t m_port = 0;
};

struct Flow {
    test::TempDir dir;
    HttpPeer peer{dir.path()};
    test::FakeSystem sys;
    AgentContext ctx{sys};

    explicit Flow(const std::string &options)
    {
        dir.Write("Ferrit.json",
                  Format("{\n   \"KIV_PXE_SHARE_PATH\" : \"\\\\127.0.0.1\\D$\\win10\",\n"
                         "   \"DOMAIN\" : \".\",\n   \"USERNAME\" : \"admin\",\n   \"PASSWORD\" : "
                         "\"636261\",\n"
                         "   \"SERVER_IP\" : \"127.0.0.1\",\n   \"HTTP_PORT\" : \"%u\",\n%s}\n",
                         peer.port(), options.c_str()));
        dir.Write(
            "www/kickstart_01-52-54-00-aa-bb-cc.auto",
            "<!-- DISK_SELECT_TYPE=by-size DISK_SIZE_GB=300 -->\n<unattend>\n<DiskID>0</DiskID>\n"
            "<UILanguage>en-US</UILanguage>\n</unattend>\ntrailing junk\n");
        dir.Write("TmpFirstRun.bat", "echo first\n");  // what wget.exe would have fetched
        sys.adapters = {
            test::Adapter({0x52, 0x54, 0, 0xaa, 0xbb, 0xcc}, 2, "127.0.0.2", "255.0.0.0")};
        sys.disks = {DiskInfo{"d0", true, 0, 0, 11, 120}, DiskInfo{"d1", true, 0, 1, 11, 500}};
        ctx.identity = {"Acme Co", "Box 9", "SN 1"};
    }
};

TEST(StepRoutine, ReportsAndRequestsOfAWholeInstall)
{
    Flow flow("   \"NO_REBOOT\" : \"YES\"\n");
    ASSERT_NE(flow.peer.port(), 0);
    EXPECT_EQ(RunSteps(flow.ctx), StepEnd::Finished);
    EXPECT_EQ(flow.peer.Requests(),
              (std::vector<std::string>{"GET /kickstart/virturl_report_client_info?vendor=Acme "
                                        "Co&pdt_serial=SN 1&pdt_name=Box 9&param_end "
                                        "HTTP/1.1",
                                        "GET /kickstart/01-52-54-00-aa-bb-cc.auto HTTP/1.1",
                                        "GET kickstart/FERRIT/Install HTTP/1.1",
                                        "GET kickstart/FERRIT/Reboot HTTP/1.1"}));
    // the answer file: cut after </unattend>, disk by size, language kept
    EXPECT_EQ(flow.dir.Read("unattended.xml"),
              "<!-- DISK_SELECT_TYPE=by-size DISK_SIZE_GB=300 -->\n<unattend>\n<DiskID>0</DiskID>\n"
              "<UILanguage>en-US</UILanguage>\n</unattend>\n");
    EXPECT_EQ(flow.dir.Read("FirstRun.bat"), "echo first\r\n");
    const auto &log = flow.sys.log;
    auto has = [&](const std::string &entry) {
        return std::find(log.begin(), log.end(), entry) != log.end();
    };
    EXPECT_TRUE(has("run wget.exe http://127.0.0.1:" + std::to_string(flow.peer.port()) +
                    "/kickstart/01-52-54-00-aa-bb-cc.first -O TmpFirstRun.bat"));
    EXPECT_TRUE(has("share H \\\\127.0.0.1\\D$\\win10 admin abc"));
    EXPECT_TRUE(has("start X:\\sources\\setup.exe /installfrom:H:\\sources\\install.wim "
                    "/unattend:unattended.xml /noreboot"));
    EXPECT_TRUE(has("copy FirstRun.bat C:\\Windows\\FirstRun.bat"));
    EXPECT_EQ(log.back(), "setup-ended");
    EXPECT_EQ(flow.sys.status[StatusField::Driver], "Success 0");
    EXPECT_EQ(flow.sys.status[StatusField::Network], "Success");
    EXPECT_EQ(flow.sys.status[StatusField::Source], "Success");
}

TEST(StepRoutine, DebugStopAtStep3AfterTheAnswerFile)
{
    Flow flow("   \"DEBUGMOD\" : \"YES\",\n   \"DEBUGSTEP\" : \"STEP3\"\n");
    EXPECT_EQ(RunSteps(flow.ctx), StepEnd::DebugStop);
    EXPECT_EQ(flow.peer.Requests().size(), 2u);
    EXPECT_EQ(flow.sys.status[StatusField::Source], "WaitDebug");
    EXPECT_TRUE(std::filesystem::exists(flow.dir.path() / "unattended.xml"));
}

TEST(StepRoutine, EndsCleanlyWithoutWpeUtil)
{
    Flow flow("");
    flow.sys.wpeUtilPresent = false;
    EXPECT_EQ(RunSteps(flow.ctx), StepEnd::Failed);
    EXPECT_EQ(flow.sys.status[StatusField::Network], "Failed");
    EXPECT_TRUE(flow.peer.Requests().empty());
    EXPECT_NE(flow.dir.Read("kiv_ferrit.log").find("KIV_WPEUTIL_Init Failed"), std::string::npos);
}

TEST(StepRoutine, ManualInstallAndHttpDiskMode)
{
    Flow flow("");
    flow.dir.Write(
        "Ferrit.json",
        Format("{ \"SERVER_IP\" : \"127.0.0.1\", \"HTTP_PORT\" : \"%u\" }\n", flow.peer.port()));
    flow.dir.Write("www/kickstart_01-52-54-00-aa-bb-cc.auto",
                   "<!-- HTTPDISKURL=http://127.0.0.1:8810/ISO1/_RAWISO_.iso -->\n<!-- "
                   "INSTALL_TYPE=MANUAL -->\n"
                   "<unattend>\n</unattend>\n");
    EXPECT_EQ(RunSteps(flow.ctx), StepEnd::Finished);
    const auto &log = flow.sys.log;
    EXPECT_NE(std::find(log.begin(), log.end(), "httpdisk H"), log.end());
    EXPECT_NE(std::find(log.begin(), log.end(),
                        "start X:\\sources\\setup.exe /installfrom:H:\\sources\\install.wim " +
                            std::string(24, ' ') + " "),
              log.end());
    for (const auto &entry : log) EXPECT_EQ(entry.rfind("copy", 0), std::string::npos) << entry;
}

}  // namespace
}  // namespace ferrit
