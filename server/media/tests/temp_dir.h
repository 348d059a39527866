// A scratch directory named after this task and process, removed with everything in it.
#pragma once

#include <atomic>
#include <filesystem>
#include <string>
#include <unistd.h>

class TempDir {
public:
    TempDir()
    {
        static std::atomic<int> s_iNext{0};
        m_path = std::filesystem::temp_directory_path() /
                 ("kiv_iso_" + std::to_string(getpid()) + "_" + std::to_string(s_iNext++));
        std::filesystem::remove_all(m_path);
        std::filesystem::create_directories(m_path);
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    std::string Path(const std::string &szName = "") const
    {
        return szName.empty() ? m_path.string() : (m_path / szName).string();
    }

private:
    std::filesystem::path m_path;
};
