// Runs a test inside a fresh temporary directory: the agent works in its current directory.
#pragma once
#include <filesystem>
#include <string>

namespace ferrit::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::filesystem::path &path() const { return m_path; }
    // Reads or writes a file inside the directory.
    std::string Read(const std::string &name) const;
    void Write(const std::string &name, const std::string &text) const;

private:
    std::filesystem::path m_path, m_previous;
};

}  // namespace ferrit::test
