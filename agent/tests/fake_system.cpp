#include "fake_system.h"

namespace ferrit::test {

void FakeSystem::SetStatus(StatusField field, const std::string &text)
{
    status[field] = text;
    log.push_back("status " + std::to_string(static_cast<int>(field)) + " " + text);
}

bool FakeSystem::InstallInf(const std::string &path)
{
    log.push_back("inf " + path);
    return path.find("bad") == std::string::npos;
}

std::vector<std::string> FakeSystem::DiskPaths()
{
    std::vector<std::string> paths;
    for (const auto &disk : disks) paths.push_back(disk.szPath);
    return paths;
}

DiskInfo FakeSystem::QueryDisk(const std::string &path)
{
    for (const auto &disk : disks)
        if (disk.szPath == path) return disk;
    return {};
}

int FakeSystem::ConnectShare(const std::string &remote, char letter, const std::string &account,
                             const std::string &password)
{
    log.push_back(std::string("share ") + letter + " " + remote + " " + account + " " + password);
    return shareResult;
}

int FakeSystem::ConnectHttpDisk(char letter, const std::vector<std::uint8_t> &record)
{
    log.push_back(std::string("httpdisk ") + letter);
    httpDiskRecord = record;
    return httpDiskResult;
}

bool FakeSystem::StartProcess(const std::string &command)
{
    log.push_back("start " + command);
    return setupStarts;
}

bool FakeSystem::CopyFileTo(const std::string &from, const std::string &to)
{
    log.push_back("copy " + from + " " + to);
    return true;
}

AdapterInfo Adapter(std::array<std::uint8_t, 6> mac, std::uint32_t ifIndex, std::string ip,
                    std::string mask)
{
    return AdapterInfo{mac, ifIndex, {{std::move(ip), std::move(mask)}}};
}

}  // namespace ferrit::test
