// The roots a start hands the file services: a refused root fails the start, visibly, and leaves
// no root behind, the plug-in's own included.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "plugin_util.h"
#include "prompt.h"
#include "qvhttp.h"
#include "qvtftp.h"
#include "service_roots.h"

namespace {

class ServiceRoots : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_stDir =
            std::filesystem::temp_directory_path() / ("service_roots_" + std::to_string(getpid()));
        std::filesystem::create_directories(m_stDir);
        PROMPT_SetHandler([this](const PromptRequest &stRequest) {
            m_vecPrompts.push_back(stRequest.strText);
            return PromptAnswer::Ok;
        });
        QVTFTP_Init();
        QVHTTP_Init();
    }
    void TearDown() override
    {
        ROOTS_ClearAll();
        QVHTTP_Deinit();
        QVTFTP_Deinit();
        PROMPT_SetHandler(nullptr);
        std::filesystem::remove_all(m_stDir);
    }
    ServiceRoot Root(const char *pcPrefix, const std::string &strSub = "") const
    {
        return {nullptr, pcPrefix, (strSub.empty() ? m_stDir : m_stDir / strSub).string(), {}};
    }
    std::filesystem::path m_stDir;
    std::vector<std::string> m_vecPrompts;
};

TEST_F(ServiceRoots, AnEleventhTftpRootFailsTheStartAndClearsThePluginsRoots)
{
    // What a plug-in's start adds through its utility slot.
    for (int i = 0; i < 8; ++i) {
        ASSERT_EQ(0u, UTIL_AddTftpRoot(("plug" + std::to_string(i)).c_str(), m_stDir.c_str()));
    }
    EXPECT_FALSE(ROOTS_AddTftp({Root("ISO1"), Root(""), Root("virtualiso"), Root("driver")}));
    ASSERT_EQ(1u, m_vecPrompts.size());
    EXPECT_EQ("TFTP root virtualiso " + m_stDir.string() + " could not be added (0x2009)",
              m_vecPrompts[0]);
    EXPECT_TRUE(QVTFTP_CFG_Roots()->vRoots.empty());
}

TEST_F(ServiceRoots, PresentAndAbsentRootsPassAFileThatIsNoImageFails)
{
    ASSERT_EQ(0u, UTIL_AddTftpRoot("", m_stDir.c_str()));
    EXPECT_TRUE(ROOTS_AddTftp({Root(""), Root("driver"), Root("virtualiso", "missing")}));
    EXPECT_EQ(2u, QVTFTP_CFG_Roots()->vRoots.size());
    EXPECT_TRUE(m_vecPrompts.empty());

    std::ofstream(m_stDir / "not.iso") << "no image";
    EXPECT_TRUE(ROOTS_AddHttp({Root("kickstart"), Root("repository", "missing")}));
    EXPECT_FALSE(ROOTS_AddHttp({Root("ISO1", "not.iso")}));
    ASSERT_EQ(1u, m_vecPrompts.size());
    EXPECT_EQ("HTTP root ISO1 " + (m_stDir / "not.iso").string() + " could not be added (0x2001)",
              m_vecPrompts[0]);
    EXPECT_TRUE(QVHTTP_CFG_Roots()->vRoots.empty());
    EXPECT_TRUE(QVTFTP_CFG_Roots()->vRoots.empty());
}

}  // namespace
