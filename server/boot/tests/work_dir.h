// A private data directory that the test runs in: the boot configuration works relative to the
// working directory.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>

#include "test_support.h"

class WorkDir {
public:
    WorkDir() : m_stOld(std::filesystem::current_path())
    {
        std::filesystem::current_path(m_stDir.Path());
    }
    ~WorkDir() { std::filesystem::current_path(m_stOld); }
    WorkDir(const WorkDir &) = delete;
    WorkDir &operator=(const WorkDir &) = delete;
    std::string operator/(const std::string &strName) const { return m_stDir / strName; }
    // Creates a file (and its directories) with some content.
    void Touch(const std::string &strName, const std::string &strText = "x") const
    {
        std::filesystem::create_directories(std::filesystem::path(m_stDir / strName).parent_path());
        WriteFile(m_stDir / strName, strText);
    }

private:
    TempDir m_stDir;
    std::filesystem::path m_stOld;
};
