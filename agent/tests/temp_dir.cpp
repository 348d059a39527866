#include "temp_dir.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "core/agent_log.h"

namespace ferrit::test {

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "ferrit-XXXXXX").string();
    m_path = ::mkdtemp(pattern.data());
    m_previous = std::filesystem::current_path();
    std::filesystem::current_path(m_path);
    SetAgentLogPath("kiv_ferrit.log");
}

TempDir::~TempDir()
{
    std::filesystem::current_path(m_previous);
    std::filesystem::remove_all(m_path);
}

std::string TempDir::Read(const std::string &name) const
{
    std::ifstream in(m_path / name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void TempDir::Write(const std::string &name, const std::string &text) const
{
    std::filesystem::create_directories((m_path / name).parent_path());
    std::ofstream(m_path / name, std::ios::binary) << text;
}

}  // namespace ferrit::test
