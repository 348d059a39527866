// Helpers shared by the server's unit tests: a private temporary directory and file reading.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

class TempDir {
public:
    TempDir()
    {
        std::string strTemplate = (std::filesystem::temp_directory_path() /
                                   ("kiv-core-" + std::to_string(getpid()) + "-XXXXXX"))
                                      .string();
        m_stPath = mkdtemp(strTemplate.data());
    }
    ~TempDir()
    {
        std::error_code stErr;
        std::filesystem::remove_all(m_stPath, stErr);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::filesystem::path &Path() const { return m_stPath; }
    std::string operator/(const std::string &strName) const
    {
        return (m_stPath / strName).string();
    }

private:
    std::filesystem::path m_stPath;
};

inline std::string ReadFile(const std::string &strPath)
{
    std::ifstream stIn(strPath, std::ios::binary);
    std::ostringstream stText;
    stText << stIn.rdbuf();
    return stText.str();
}

inline void WriteFile(const std::string &strPath, const std::string &strText)
{
    std::ofstream(strPath, std::ios::binary | std::ios::trunc) << strText;
}
