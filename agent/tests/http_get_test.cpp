// The agent's downloads and reports against kivpxe's own HTTP service, which keeps HTTP/1.1
// connections open for the next request.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include "core/http_get.h"
#include "core/text_util.h"
#include "temp_dir.h"

namespace ferrit {
namespace {

// qvhttp_testserver serving `dir`/kick as /kickstart on a free loopback port, request events
// appended to `dir`/events.
class KivHttp {
public:
    explicit KivHttp(const std::filesystem::path &dir)
    {
        std::filesystem::create_directories(dir / "kick");
        int out[2];
        if (::pipe(out) != 0) return;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(out[1], 1);
            std::string server = std::string(KIV_BINARY_DIR) + "/server/qvHTTP/qvhttp_testserver";
            std::string root = "kickstart=" + (dir / "kick").string();
            std::string events = (dir / "events").string();
            ::execlp("timeout", "timeout", "120", server.c_str(), "--root", root.c_str(),
                     "--events", events.c_str(), nullptr);
            ::_exit(127);
        }
        ::close(out[1]);
        char text[32] = {};
        ssize_t n = ::read(out[0], text, sizeof text - 1);
        ::close(out[0]);
        if (n > 5 && std::string(text, 5) == "PORT ")
            m_port = static_cast<std::uint16_t>(std::atoi(text + 5));
    }
    ~KivHttp()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    std::uint16_t port() const { return m_port; }

private:
    pid_t m_pid = -1;
    std::uint16_t m_port = 0;
};

TEST(ReplyComplete, ByContentLength)
{
    EXPECT_FALSE(ReplyComplete("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n"));
    EXPECT_FALSE(ReplyComplete("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nab"));
    EXPECT_TRUE(ReplyComplete("HTTP/1.1 200 OK\r\ncontent-length:3\r\n\r\nabc"));
    EXPECT_TRUE(ReplyComplete("HTTP/1.1 404 X\r\nContent-Length: 0\r\n\r\n"));
    EXPECT_FALSE(ReplyComplete("HTTP/1.1 200 OK\r\nX-Content-Length: 0\r\n\r\nabc"));
    EXPECT_FALSE(ReplyComplete("HTTP/1.1 200 OK\r\nContent-Length: x\r\n\r\nabc"));
    EXPECT_FALSE(ReplyComplete("HTTP/1.1 200 OK\r\n\r\nabc"));  // the close ends it
}

TEST(HttpGet, DownloadEndsWithTheReplyNotTheKeptConnection)
{
    test::TempDir dir;
    KivHttp server(dir.path());
    ASSERT_NE(server.port(), 0);
    // several receive blocks, with what follows the answer file cut off
    std::string answer = "<unattend>\n" + std::string(20000, 'x') + "\n</unattend>\n";
    dir.Write("kick/01-52-54-00-aa-bb-cc.auto", answer + "junk\n");
    const std::uint32_t loopback = 0x7f000001;
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(HttpGet(loopback, server.port(), "/kickstart/01-52-54-00-aa-bb-cc.auto",
                      "unattended_temp.xml"),
              0);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // kivpxe keeps the connection 60 s; the old read-until-close waited all of it
    EXPECT_LT(seconds, 30.0) << "the download waited for the server to close";
    RecordProperty("download_seconds", std::to_string(seconds));
    EXPECT_EQ(dir.Read("unattended_temp.xml"), answer.substr(0, answer.size() - 1));

    // the identity report as the agent sends it, spaces unescaped, reaches the report handler
    ASSERT_EQ(HttpGet(loopback, server.port(),
                      "/kickstart/virturl_report_client_info?vendor=Dell Inc.&pdt_serial=AB "
                      "12&pdt_name=PowerEdge R740&param_end"),
              0);
    ::usleep(200 * 1000);  // the event is written by the service thread after the reply
    auto events = ReadLines((dir.path() / "events").string()).value_or(std::vector<std::string>{});
    EXPECT_NE(std::find(events.begin(), events.end(),
                        "3 404 0 0 /kickstart/virturl_report_client_info|GET "
                        "/kickstart/virturl_report_client_info?vendor=Dell Inc.&pdt_serial=AB "
                        "12&pdt_name=PowerEdge R740&param_end"),
              events.end());
}

}  // namespace
}  // namespace ferrit
