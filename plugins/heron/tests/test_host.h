// A utility table of real implementations for the plug-in tests: files, templates and ISO lookups
// done as the host does them, log lines collected for the assertions.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "kiv_plugin_api.h"

namespace test_host {

// Installs the table into the plug-in code; menu directory as the host reports it.
void Install(const std::string &strMenuDir = "pxelinux/pxelinux.cfg");
void SetMenuDir(const std::string &strMenuDir);
std::vector<std::string> &Logs();
bool Logged(const std::string &strText);

std::string ReadText(const std::string &strPath);
void WriteText(const std::string &strPath, const std::string &strText);
// Runs a program (argument vector, no shell); its exit status, output in *pstrOut when given.
int Run(const std::vector<std::string> &vecArgv, std::string *pstrOut = nullptr);

// A working directory of its own for one test, left again (and removed) at the end.
class WorkDir {
public:
    WorkDir();
    ~WorkDir();
    WorkDir(const WorkDir &) = delete;
    WorkDir &operator=(const WorkDir &) = delete;
    std::string Path(const std::string &strName = "") const;

private:
    std::filesystem::path m_path, m_old;
};

}  // namespace test_host
